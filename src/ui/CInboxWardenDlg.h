#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QSet>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/IEngineOwner.h"
#include "ui/CHistoryModel.h"

class CEmailData;
class CInboxWardenEngine;
class CNewMailTones;
class CStatusLine;
class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTableView;
class QTimer;
class QToolBar;
class CDesktopNotifier;

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
    // Shows the window: minimised and not activated when automatic scans are
    // to run only while it is in the background.
    void ShowAtStart();
    CInboxWardenEngine* Engine() { return m_engine.get(); }

    // Hooks for the dialogs that live elsewhere. The settings handler returns
    // true when the settings were saved.
    void SetSettingsHandler(std::function<bool(QWidget* parent)> handler) {
        m_settingsHandler = std::move(handler);
    }
    void SetCheckForUpdatesHandler(std::function<void(QWidget*)> handler) {
        m_checkForUpdates = std::move(handler);
    }
    // The desktop's open operation for a quarantine file (replaceable in tests).
    void SetDesktopOpener(std::function<bool(const QString& path)> opener) {
        m_desktopOpen = std::move(opener);
    }

    // The two status lines under the history list.
    void SetStatusText(int line, const QString& text);
    QString StatusText(int line) const;
    CStatusLine* StatusLine(int line) const;
    QString LastScanText() const;
    int ItemCount() const;
    int View() const { return m_view; }
    void SetView(int view);
    bool IsScanning() const { return m_scanning; }
    QTableView* HistoryList() const { return m_list; }
    CHistoryModel* Model() const { return m_model; }
    QAction* Action(const QString& objectName) const;
    int TrayFrame() const { return m_trayFrame; }
    bool ShowsAccountColumn() const { return m_showAccount; }

    // Message boxes are skipped when false (tests): questions answer
    // m_answer and the last text shown is kept.
    void SetInteractive(bool on) { m_interactive = on; }
    void SetTestAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    QString LastMessage() const { return m_lastMessage; }
    QString LastAnnouncement() const { return m_lastAnnouncement; }

    // The one place every opt-out question goes through: a key of [Prompts]
    // set to Yes answers Yes without asking.
    QMessageBox::StandardButton AskOnce(const char* key, const QString& text,
                                        const QString& caption);

    // Selects (adding to the selection) every item whose sender or subject
    // contains the text; an empty text selects all. The number matched.
    int FindAndSelect(const QString& text);
    std::vector<const CEmailData*> SelectedKeys() const;
    // Runs action on each record of keys still in the history, under its lock.
    void ForEachLiveRecord(const std::vector<const CEmailData*>& keys,
                           const std::function<void(CEmailData*)>& action);

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
    void OnQuarantined(const std::string& sender) override;
    void OnAccountFailed(const std::string& account, const std::string& reason) override;
    CDesktopNotifier* Notifier() const { return m_notifier; }

public slots:
    void OnScanCommand();
    void Refill();
    void OnDelete();
    void OnMoveToUndesirables();
    void OnAddToFriends();
    void OnRestoreToServer();
    void OnOpen();
    void OnProperties();
    void OnFind();
    void OnSettings();
    void OnAbout();
    void OnExit();
    void SortBy(int column);
    // After the settings dialog: the list's settings and the engine's.
    void ApplySettings();
    void reject() override;

protected:
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildActions();
    void BuildMenus();
    void BuildToolBar(QToolBar* bar);
    void BuildTray();
    void UpdateActions();
    void ShowContextMenu(const QPoint& pos);
    void LayoutColumns(bool force);
    // Grid lines and whether the Account column shows.
    void ApplyListSettings();
    void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text);
    // Marks the selected records of the On Server view for deletion after
    // asking; the senders of the marked records are appended.
    bool MarkSelectedForDeletion(std::vector<std::string>& senders);
    std::vector<std::string> SelectedSenders() const;
    // The model's rows of the selected lines; null where the model has none.
    std::vector<const CHistoryModel::Row*> SelectedRows() const;
    // Runs the call on the window's thread and waits for it; gives up when
    // the window is closing, so the worker is never stuck behind it.
    bool RunOnGuiAndWait(const std::function<void()>& call);
    void OnTimer();

    std::unique_ptr<CInboxWardenEngine> m_engine;
    std::unique_ptr<CNewMailTones> m_tones;
    CHistoryModel* m_model = nullptr;
    QTableView* m_list = nullptr;
    CStatusLine* m_status[2] = {nullptr, nullptr};
    QLabel* m_lastScan = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    CDesktopNotifier* m_notifier = nullptr;
    // New messages quarantined in the scan under way (interface thread).
    int m_quarantinedThisScan = 0;
    QMenu* m_trayMenu = nullptr;
    QTimer* m_timer = nullptr;
    QActionGroup* m_viewGroup = nullptr;
    QAction* m_scanAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_viewActions[4] = {};
    QAction* m_settingsAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_exitAction = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_propertiesAction = nullptr;
    QAction* m_restoreAction = nullptr;
    QAction* m_friendsAction = nullptr;
    QAction* m_undesirablesAction = nullptr;
    QAction* m_findAction = nullptr;

    std::function<bool(QWidget*)> m_settingsHandler;
    std::function<void(QWidget*)> m_checkForUpdates;
    std::function<bool(const QString&)> m_desktopOpen;

    int m_view = 0;
    bool m_scanning = false;
    bool m_interactive = true;
    // Accounts whose expired sign-in the user was told of in this run.
    QSet<QString> m_expiredNoticed;
    bool m_exitConfirmed = false;
    bool m_showAccount = false;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
    QString m_pendingWarning;
    QString m_lastMessage;
    QString m_lastAnnouncement;
    int m_trayFrame = 0;
    int m_lastRemainder = -1000;
    int m_receivedWidth = 0;
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_refillQueued{false};
};
