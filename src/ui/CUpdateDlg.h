#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <string>

#include "update/IUpdateUi.h"

class QEventLoop;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The small window of the update check: its questions, states and errors
// appear in it, and the download shows its progress in it. Transfers run on
// a thread of their own while this window keeps answering the user.
class CUpdateDlg : public QDialog, public IUpdateUi {
    Q_OBJECT

public:
    explicit CUpdateDlg(QWidget* parent = nullptr);
    ~CUpdateDlg() override;

    // The whole check with the settings' server, asking first; true when an
    // installer was saved. For the About box's "Check for updates".
    static bool Run(QWidget* parent);

    // Opens the folder of a saved installer; the default asks the desktop.
    void SetFolderOpener(std::function<void(const std::string&)> opener) {
        m_openFolder = std::move(opener);
    }
    QString MessageText() const;
    QString ProgressText() const;
    int ProgressValue() const;

    // IUpdateUi
    int Ask(const std::string& text, bool okEnabled, bool cancelEnabled) override;
    void ShowBusy(const std::string& text, bool cancelEnabled) override;
    void RunSlow(const std::function<void()>& work) override;
    void OnProgress(int tenths) override;
    bool IsCancelled() const override { return m_cancelled.load(); }
    void Close() override;
    void OnInstallerWritten(const std::string& path) override;

signals:
    // A question is shown and waits for OK or Cancel (tests answer it).
    void questionShown(const QString& text);

public slots:
    void reject() override;

private:
    void OnButton(int result);
    void ShowProgress();
    void SetWaiting(bool waiting);

    QLabel* m_message = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;
    QEventLoop* m_loop = nullptr;
    int m_answer = 2;
    bool m_slow = false;
    bool m_waitCursor = false;
    std::atomic<bool> m_cancelled{false};
    std::atomic<int> m_tenths{-1};
    std::function<void(const std::string&)> m_openFolder;
};
