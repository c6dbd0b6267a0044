#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

#include "engine/CSenderSurvey.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;
class QTreeWidget;

// "Find friends in my mailbox...": reads the headers of the mail waiting on
// one account's server, lists the senders (those already friends left out)
// with personal-looking ones ticked, and adds the ticked ones to Friends.
// The reading and the adding run on a thread of their own; nothing on the
// server changes. Also embedded as the first-run wizard's last page.
class CFindFriendsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CFindFriendsDlg(QWidget* parent = nullptr);
    ~CFindFriendsDlg() override;

    // The account list is read again (the wizard has just written it).
    void ReloadAccounts();
    bool IsBusy() const { return m_worker != nullptr; }
    // The number of entries Friends gained at the last adding.
    int AddedCount() const { return m_added; }

public slots:
    void OnSearch();
    // Stops a search under way (an adding is let to end); the dialog stays.
    void Cancel();
    void OnAdd();
    void reject() override;

private:
    void SearchDone(bool ok, const QString& error, std::vector<CSenderSurvey::Sender> senders);
    void SetBusy(bool busy);
    void UpdateButtons();

    QComboBox* m_account = nullptr;
    QTreeWidget* m_senders = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_search = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_close = nullptr;
    QThread* m_worker = nullptr;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    int m_added = 0;
    bool m_adding = false;
};
