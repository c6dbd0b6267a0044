#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/CAccountLock.h"

class CInboxWardenDlg;
class QLocalServer;
class QWidget;

// Start-up and shutdown of the windowed program: the command-line words, the
// main log, the first-run setup, the check against other running copies and
// the main window; it also answers other copies' questions for the whole run.
// The process-wide environment must be installed before Run.
class CInboxWardenApp : public QObject {
    Q_OBJECT

public:
    enum RunResult { RR_Closed = 0, RR_Conflict = 1, RR_NoEngine = 2, RR_SetupCancelled = 3 };

    explicit CInboxWardenApp(const std::vector<std::string>& arguments, QObject* parent = nullptr);
    ~CInboxWardenApp() override;

    // True when a graphical session can be reached; the platform plug-in
    // would otherwise abort the process.
    static bool HasDisplay();

    bool ReadOnly() const { return m_readOnly; }
    bool FirstTime() const { return m_firstTime; }

    // The first-run setup; true when the user saved it. The default says
    // in the log that no setup is available and returns false.
    void SetFirstRunHook(std::function<bool(QWidget*)> hook) { m_firstRun = std::move(hook); }
    // Runs the started main window; the default shows it and runs it modal.
    void SetWindowRunner(std::function<void(CInboxWardenDlg&)> runner) {
        m_runWindow = std::move(runner);
    }
    // Message boxes are skipped when false (tests).
    void SetInteractive(bool on) { m_interactive = on; }

    RunResult Run();

    // The listener for other copies' questions; started by Run once this
    // copy holds its accounts' locks, and kept until this object goes.
    bool StartListening();
    QString ListenPath() const;

private:
    void OnQuestion();
    // Shows why this copy does not start (a modal box) when interactive.
    void Refuse(const QString& title, const QString& text);
    // Moves the passwords to the keyring where one answers; otherwise says so
    // once and offers to keep them in the settings file.
    void CheckPasswordStore(class CSettings& settings);

    bool m_readOnly = false;
    bool m_firstTime = false;
    bool m_interactive = true;
    std::function<bool(QWidget*)> m_firstRun;
    std::function<void(CInboxWardenDlg&)> m_runWindow;
    QLocalServer* m_server = nullptr;
    // This copy's claim on its mailboxes, held for the whole run.
    CAccountLock m_accounts;
};
