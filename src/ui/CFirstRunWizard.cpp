#include "ui/CFirstRunWizard.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWizardPage>

#include "ui/CAccountsPage.h"
#include "ui/CFindFriendsDlg.h"
#include "ui/CSmtpPage.h"

namespace {

QWizardPage* TextPage(const QString& title, const QString& text, const char* name) {
    auto* page = new QWizardPage;
    page->setObjectName(QString::fromLatin1(name));
    page->setTitle(title);
    auto* label = new QLabel(text, page);
    label->setWordWrap(true);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(label);
    layout->addStretch(1);
    return page;
}

// The account page: complete once the POP3 test succeeded; Next saves.
class AccountWizardPage : public QWizardPage {
public:
    explicit AccountWizardPage(CAccountsPage* accounts) : m_accounts(accounts) {
        setObjectName(QStringLiteral("accountWizardPage"));
        setTitle(QStringLiteral("Your mail account"));
        setSubTitle(
            QStringLiteral("Enter your POP3 account and test it; Next is offered once "
                           "InboxWarden could log in."));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(accounts);
        connect(accounts, &CAccountsPage::WizardButtons, this, [this](int flags) {
            m_passed = (flags & 2) != 0;
            emit completeChanged();
        });
    }
    void initializePage() override {
        m_passed = false;
        m_accounts->Load();
        if (m_accounts->ShownAccount().isEmpty()) {
            QTimer::singleShot(0, m_accounts, &CAccountsPage::OnNewAccount);
        }
    }
    void cleanupPage() override { m_passed = false; }
    bool isComplete() const override { return m_passed && !m_accounts->IsTesting(); }
    bool validatePage() override { return m_accounts->SaveAccount(); }

private:
    CAccountsPage* m_accounts;
    bool m_passed = false;
};

class SmtpWizardPage : public QWizardPage {
public:
    explicit SmtpWizardPage(CSmtpPage* smtp) : m_smtp(smtp) {
        setObjectName(QStringLiteral("smtpWizardPage"));
        setTitle(QStringLiteral("Your outgoing mail server"));
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(smtp);
    }
    void initializePage() override { m_smtp->Load(); }
    bool validatePage() override { return m_smtp->Save(); }

private:
    CSmtpPage* m_smtp;
};

// The last page: Friends from the mail already on the server, so that the
// program does not start with an empty list.
class FriendsWizardPage : public QWizardPage {
public:
    FriendsWizardPage() {
        setObjectName(QStringLiteral("friendsWizardPage"));
        setTitle(QStringLiteral("Your friends"));
        setSubTitle(
            QStringLiteral("Mail from your friends is never held back. InboxWarden can "
                           "find them in the mail now on your server."));
        m_find = new CFindFriendsDlg(this);
        m_find->setWindowFlags(Qt::Widget);
        m_find->findChild<QWidget*>(QStringLiteral("closeButton"))->hide();
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_find);
    }
    void initializePage() override {
        m_find->ReloadAccounts();
        QTimer::singleShot(0, m_find, &CFindFriendsDlg::OnSearch);
    }
    // Back: a search under way stops; the page keeps its contents.
    void cleanupPage() override { m_find->Cancel(); }

private:
    CFindFriendsDlg* m_find;
};

}  // namespace

CFirstRunWizard::CFirstRunWizard(QWidget* parent) : QWizard(parent) {
    setObjectName(QStringLiteral("firstRunWizard"));
    setWindowTitle(QStringLiteral("InboxWarden Settings"));
    setWizardStyle(QWizard::ClassicStyle);
    m_accounts = new CAccountsPage(true);
    m_smtp = new CSmtpPage;
    setPage(IntroPage,
            TextPage(QStringLiteral("Welcome to InboxWarden"),
                     QStringLiteral(
                         "InboxWarden checks your POP3 mailboxes before your mail program does. "
                         "Mail from your friends stays on the server; mail from unknown senders is "
                         "quarantined, and the sender is asked to confirm by replying to a "
                         "challenge.\n\nThe next pages set up your mail account and the server "
                         "that sends InboxWarden's mail."),
                     "introPage"));
    setPage(AccountPage, new AccountWizardPage(m_accounts));
    setPage(SmtpIntroPage,
            TextPage(QStringLiteral("Outgoing mail"),
                     QStringLiteral("InboxWarden sends challenges and confirmations through your "
                                    "outgoing (SMTP) mail server. Enter the server your mail "
                                    "program uses to send mail, and your name as it should appear "
                                    "in those messages."),
                     "smtpIntroPage"));
    setPage(SmtpServerPage, new SmtpWizardPage(m_smtp));
    setPage(FriendsPage, new FriendsWizardPage);
    setStartId(IntroPage);
    resize(600, 520);
}
