#include "ui/CFindFriendsDlg.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "lists/CFilterLists.h"
#include "lists/ContactImport.h"
#include "ui/PageWidgets.h"
#include "ui/UiText.h"

CFindFriendsDlg::CFindFriendsDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("findFriendsDlg"));
    setWindowTitle(QStringLiteral("Find friends in my mailbox"));
    auto* intro = new QLabel(
        QStringLiteral("InboxWarden can read who wrote the mail now on your server (only the "
                       "headers; nothing is changed there). Tick the people whose mail you always "
                       "want, then add them to your Friends list."),
        this);
    intro->setWordWrap(true);
    m_account = new QComboBox(this);
    m_account->setObjectName(QStringLiteral("account"));
    auto* accountLabel = new QLabel(QStringLiteral("A&ccount:"), this);
    accountLabel->setBuddy(m_account);
    m_search = new QPushButton(QStringLiteral("&Search mailbox"), this);
    m_search->setObjectName(QStringLiteral("searchButton"));
    auto* top = new QHBoxLayout;
    top->addWidget(accountLabel);
    top->addWidget(m_account, 1);
    top->addWidget(m_search);

    m_senders = new QTreeWidget(this);
    m_senders->setObjectName(QStringLiteral("senders"));
    m_senders->setHeaderLabels(
        {QStringLiteral("Sender"), QStringLiteral("Messages"), QStringLiteral("Latest subject")});
    m_senders->setRootIsDecorated(false);
    m_senders->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setVisible(false);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);

    m_add = new QPushButton(QStringLiteral("&Add to Friends"), this);
    m_add->setObjectName(QStringLiteral("addButton"));
    m_close = new QPushButton(QStringLiteral("Close"), this);
    m_close->setObjectName(QStringLiteral("closeButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_add);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(top);
    layout->addWidget(m_senders, 1);
    layout->addWidget(m_progress);
    layout->addWidget(m_status);
    layout->addLayout(buttons);

    connect(m_search, &QPushButton::clicked, this, &CFindFriendsDlg::OnSearch);
    connect(m_add, &QPushButton::clicked, this, &CFindFriendsDlg::OnAdd);
    connect(m_close, &QPushButton::clicked, this, &CFindFriendsDlg::reject);
    connect(m_senders, &QTreeWidget::itemChanged, this, &CFindFriendsDlg::UpdateButtons);
    ReloadAccounts();
    resize(640, 460);
}

CFindFriendsDlg::~CFindFriendsDlg() {
    if (m_worker != nullptr) {
        if (m_cancel) {
            m_cancel->store(true);
        }
        m_worker->wait();
        delete m_worker;
    }
}

void CFindFriendsDlg::ReloadAccounts() {
    m_account->clear();
    StringList accounts;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), accounts);
    for (const std::string& account : accounts) {
        if (!account.empty() && !PageSettings().GetString("PopName", account, "").empty()) {
            m_account->addItem(QString::fromStdString(account));
        }
    }
    if (m_account->count() == 0) {
        m_status->setText(QStringLiteral("Set up a mail account first (Tools, Settings)."));
    }
    UpdateButtons();
}

void CFindFriendsDlg::UpdateButtons() {
    bool busy = m_worker != nullptr;
    m_search->setEnabled(!busy && m_account->count() > 0);
    m_account->setEnabled(!busy);
    bool ticked = false;
    for (int i = 0; i < m_senders->topLevelItemCount() && !ticked; ++i) {
        ticked = m_senders->topLevelItem(i)->checkState(0) == Qt::Checked;
    }
    m_add->setEnabled(!busy && ticked);
    m_close->setText(busy ? QStringLiteral("Cancel") : QStringLiteral("Close"));
}

void CFindFriendsDlg::SetBusy(bool busy) {
    m_progress->setVisible(busy);
    m_senders->setEnabled(!busy);
    UpdateButtons();
}

void CFindFriendsDlg::OnSearch() {
    if (m_worker != nullptr || m_account->count() == 0) {
        return;
    }
    CConnectionSettings::Server server =
        CConnectionSettings::ReadPop(PageSettings(), ToStd(m_account->currentText()));
    m_senders->clear();
    m_progress->setRange(0, 0);
    m_status->setText(
        QStringLiteral("Reading the headers on %1...").arg(QString::fromStdString(server.host)));
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    auto cancel = m_cancel;
    m_worker = QThread::create([this, server, cancel] {
        CSenderSurvey survey;
        bool ok = survey.Run(server, cancel.get(), [this, cancel](int done, int total) {
            if (!cancel->load()) {
                QMetaObject::invokeMethod(
                    this,
                    [this, done, total] {
                        m_progress->setRange(0, total);
                        m_progress->setValue(done);
                    },
                    Qt::QueuedConnection);
            }
        });
        // Friends already known are no news; the lists answer from memory.
        std::vector<CSenderSurvey::Sender> senders;
        std::string matched;
        for (CSenderSurvey::Sender& sender : survey.Result()) {
            if (!CFilterLists::Instance().FindWord(FL_Friends, sender.address, matched, true)) {
                senders.push_back(std::move(sender));
            }
        }
        QString error = QString::fromStdString(survey.ErrorText());
        if (!cancel->load()) {
            QMetaObject::invokeMethod(
                this, [this, ok, error, senders] { SearchDone(ok, error, senders); },
                Qt::QueuedConnection);
        }
    });
    connect(m_worker, &QThread::finished, this, [this, cancel] {
        m_worker->wait();
        m_worker->deleteLater();
        m_worker = nullptr;
        if (cancel->load()) {
            m_status->setText(QStringLiteral("Cancelled."));
        }
        SetBusy(false);
    });
    SetBusy(true);
    m_worker->start();
}

void CFindFriendsDlg::SearchDone(bool ok, const QString& error,
                                 std::vector<CSenderSurvey::Sender> senders) {
    QSignalBlocker quiet(m_senders);
    int ticked = 0;
    for (const CSenderSurvey::Sender& sender : senders) {
        QString who = QString::fromStdString(sender.address);
        if (!sender.name.empty()) {
            who = QString::fromStdString(sender.name) + QStringLiteral(" <") + who +
                  QStringLiteral(">");
        }
        auto* item = new QTreeWidgetItem(m_senders, {who, QString::number(sender.count),
                                                     QString::fromStdString(sender.latestSubject)});
        item->setData(0, Qt::UserRole, QString::fromStdString(sender.address));
        item->setCheckState(0, sender.personal ? Qt::Checked : Qt::Unchecked);
        ticked += sender.personal ? 1 : 0;
    }
    if (!ok) {
        m_status->setText(QStringLiteral("The mailbox could not be read: %1").arg(error));
    } else {
        m_status->setText(QStringLiteral("%1 new senders found; %2 look personal and are ticked.")
                              .arg(senders.size())
                              .arg(ticked));
    }
    UpdateButtons();
}

void CFindFriendsDlg::OnAdd() {
    if (m_worker != nullptr) {
        return;
    }
    StringList addresses;
    for (int i = 0; i < m_senders->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_senders->topLevelItem(i);
        if (item->checkState(0) == Qt::Checked) {
            addresses.push_back(ToStd(item->data(0, Qt::UserRole).toString()));
        }
    }
    if (addresses.empty()) {
        return;
    }
    m_adding = true;
    // Every new entry is a database write: not on the interface thread.
    m_worker = QThread::create([this, addresses] {
        int added = AddAddressesToList(CFilterLists::Instance(), FL_Friends, addresses);
        QMetaObject::invokeMethod(
            this,
            [this, added] {
                m_added = added;
                m_status->setText(
                    QStringLiteral("%1 addresses were added to your Friends list.").arg(added));
                for (int i = m_senders->topLevelItemCount() - 1; i >= 0; --i) {
                    if (m_senders->topLevelItem(i)->checkState(0) == Qt::Checked) {
                        delete m_senders->takeTopLevelItem(i);
                    }
                }
                UpdateButtons();
            },
            Qt::QueuedConnection);
    });
    connect(m_worker, &QThread::finished, this, [this] {
        m_worker->wait();
        m_worker->deleteLater();
        m_worker = nullptr;
        m_adding = false;
        SetBusy(false);
    });
    m_progress->setRange(0, 0);
    SetBusy(true);
    m_worker->start();
}

void CFindFriendsDlg::Cancel() {
    if (m_worker != nullptr && !m_adding) {
        m_cancel->store(true);
    }
}

void CFindFriendsDlg::reject() {
    if (m_worker != nullptr) {
        Cancel();
        return;
    }
    QDialog::reject();
}
