#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/IEngineOwner.h"

class CInboxWardenEngine;
class QLabel;
class QProgressBar;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;

// The main window. It runs as the program's one modal dialog and owns the
// engine; the engine's calls arrive on the worker thread and are handed to
// this window's thread before they touch a widget.
class CInboxWardenDlg : public QDialog, public IEngineOwner {
    Q_OBJECT

public:
    explicit CInboxWardenDlg(QWidget* parent = nullptr);
    ~CInboxWardenDlg() override;

    // Starts the engine. False (after telling the user) when it cannot run.
    bool StartEngine(bool readOnly);
    CInboxWardenEngine* Engine() { return m_engine.get(); }

    // The two status lines under the history list.
    void SetStatusText(int line, const QString& text);
    QString StatusText(int line) const;
    int ItemCount() const;
    int View() const { return m_view; }
    void SetView(int view);
    bool IsScanning() const { return m_scanning; }
    // Message boxes are skipped when false (tests).
    void SetInteractive(bool on) { m_interactive = on; }

    // IEngineOwner, called from any thread.
    void OnStatus(int levels, const std::string& text) override;
    void OnProgressRange(int line, int maximum) override;
    void OnProgress(int line, int position) override;
    void OnScanStarted() override;
    void OnScanDone(int newLeftOnServer, int newMessages) override;
    void OnHistoryChanged() override;
    void OnNewMail(int notificationType, const std::string& text) override;
    void OnDatabaseError(const std::string& caption, const std::string& text) override;
    void OnCloseProgram() override;
    bool OnOpenWithDesktop(const std::string& target) override;

public slots:
    void OnScanCommand();
    void Refill();

protected:
    void changeEvent(QEvent* event) override;

private:
    // Runs the call on the window's thread and waits for it; gives up when
    // the window is closing, since the worker it would block is being joined.
    bool RunOnGuiAndWait(const std::function<void()>& call);
    void OnTimer();
    void ShowPendingWarning();

    std::unique_ptr<CInboxWardenEngine> m_engine;
    std::atomic<bool> m_closing{false};
    bool m_scanning = false;
    bool m_interactive = true;
    int m_view = 0;
    QString m_pendingWarning;
    QTreeWidget* m_list = nullptr;
    QLabel* m_status[2] = {nullptr, nullptr};
    QProgressBar* m_progress[2] = {nullptr, nullptr};
    QLabel* m_lastScan = nullptr;
    QPushButton* m_scanButton = nullptr;
    QPushButton* m_viewButtons[4] = {nullptr, nullptr, nullptr, nullptr};
    QTimer* m_timer = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
};
