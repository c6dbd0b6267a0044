#pragma once

#include <QWizard>

class CAccountsPage;
class CSmtpPage;

// The first start: an introduction, one mail account (Next only after the
// POP3 test succeeded), an introduction to the outgoing server and the SMTP
// page.
class CFirstRunWizard : public QWizard {
    Q_OBJECT

public:
    enum PageId { IntroPage, AccountPage, SmtpIntroPage, SmtpServerPage, FriendsPage };

    explicit CFirstRunWizard(QWidget* parent = nullptr);

    CAccountsPage* Accounts() const { return m_accounts; }
    CSmtpPage* Smtp() const { return m_smtp; }

private:
    CAccountsPage* m_accounts = nullptr;
    CSmtpPage* m_smtp = nullptr;
};
