#include "ui/CSmtpPage.h"
#include "ui/CCertificateTrustBox.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QVBoxLayout>

#include "mail/CSMTP.h"
#include "support/CAppEnvironment.h"
#include "support/StringUtils.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CSettingBinding.h"
#include "ui/PageWidgets.h"
#include "ui/UiText.h"

namespace {

constexpr SettingBinding kSecurityBindings[] = {
    // A new setup starts at STARTTLS on the submission port.
    {"SmtpSecurity", "General", 202, "1"},
    {"SmtpAuth", "General", 203, "0"},
    {"", nullptr, 0, ""},
};

}  // namespace

CSmtpPage::CSmtpPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("smtpPage"));
    m_server = PageEdit("smtpName", 18, this);
    m_port = PagePort("smtpPort", this);
    m_security = PageCombo(
        "smtpSecurity", 202,
        {QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")}, this);
    QHBoxLayout* serverRow = PageServerRow(m_server, m_port, m_security, this);

    QLineEdit* login = PageEdit("smtpLogin", 19, this);
    m_password = PagePassword("smtpPassword", 20, this);
    m_verify = PagePassword("smtpVerifyPassword", 21, this);
    QLineEdit* name = PageEdit("userName", 22, this);

    auto* form = new QFormLayout;
    auto* serverLabel = new QLabel(QStringLiteral("SMTP Ser&ver name:"), this);
    serverLabel->setBuddy(m_server);
    form->addRow(serverLabel, serverRow);
    form->addRow(QStringLiteral("&Login name:"), login);
    m_auth = PageCombo(
        "smtpAuth", 203,
        {QStringLiteral("Password"), QStringLiteral("OAuth2, with the sign-in of an account")},
        this);
    m_oauthAccount = new QComboBox(this);
    m_oauthAccount->setObjectName(QStringLiteral("smtpOAuthAccount"));
    auto* authLabel = new QLabel(QStringLiteral("Sign-in &method:"), this);
    authLabel->setBuddy(m_auth);
    form->addRow(authLabel, m_auth);
    auto* oauthLabel = new QLabel(QStringLiteral("Sign-in &account:"), this);
    oauthLabel->setBuddy(m_oauthAccount);
    form->addRow(oauthLabel, m_oauthAccount);
    form->addRow(QStringLiteral("&Password:"), m_password);
    form->addRow(QStringLiteral("V&erify Password:"), m_verify);
    auto* nameLabel = new QLabel(
        QStringLiteral("Your &name: It will appear in InboxWarden's outgoing emails"), this);
    nameLabel->setBuddy(name);
    nameLabel->setWordWrap(true);

    m_testButton = new QPushButton(QStringLiteral("&Test my SMTP Server"), this);
    m_testButton->setObjectName(QStringLiteral("testSmtp"));
    m_testButton->setAutoDefault(false);
    auto* testRow = new QHBoxLayout;
    testRow->addStretch(1);
    testRow->addWidget(m_testButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(nameLabel);
    layout->addWidget(name);
    layout->addLayout(testRow);
    layout->addStretch(1);
    connect(m_testButton, &QPushButton::clicked, this, &CSmtpPage::OnTestSmtp);
    connect(m_auth, &QComboBox::currentIndexChanged, this, &CSmtpPage::ShowAuthFields);
    connect(&m_test, &CServerTest::SmtpDone, this, &CSmtpPage::OnSmtpDone);
    connect(&m_test, &CServerTest::TokenFailed, this, [this](const QString& error) {
        CloseTestProgress(m_busy, this);
        m_testButton->setEnabled(true);
        TellTokenFailed(this, error, m_oauthAccount->currentText());
    });
}

void CSmtpPage::Load() {
    CSettingBinding::TransferSettings(PageSettings(), kGeneralBindings, this,
                                      CSettingBinding::Load);
    CSettingBinding::TransferSettings(PageSettings(), kSecurityBindings, this,
                                      CSettingBinding::Load);
    m_port->clear();
    ShowPort(m_port, PageSettings().GetString("SmtpPort", "General", ""),
             m_security->currentIndex(), CSMTP::StandardPort);
    FillOAuthAccounts(FromStd(PageSettings().GetString("SmtpOAuthAccount", "General", "")));
    ShowAuthFields();
}

void CSmtpPage::showEvent(QShowEvent* event) {
    FillOAuthAccounts(m_oauthAccount->currentText());
    QWidget::showEvent(event);
}

void CSmtpPage::FillOAuthAccounts(const QString& select) {
    StringList accounts;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), accounts);
    m_oauthAccount->clear();
    for (const std::string& account : accounts) {
        m_oauthAccount->addItem(FromStd(account));
    }
    // Sections are found without regard to case, so the choice is too.
    int index = m_oauthAccount->findText(select, Qt::MatchFixedString);
    if (index < 0 && !select.isEmpty()) {
        // An account since removed stays shown, so saving does not quietly
        // move SMTP to another account's sign-in.
        m_oauthAccount->addItem(select);
        index = m_oauthAccount->count() - 1;
    }
    m_oauthAccount->setCurrentIndex(index < 0 ? 0 : index);
}

void CSmtpPage::ShowAuthFields() {
    bool oauth = m_auth->currentIndex() == 1;
    m_password->setEnabled(!oauth);
    m_verify->setEnabled(!oauth);
    m_oauthAccount->setEnabled(oauth);
}

bool CSmtpPage::Save() {
    if (m_password->text() != m_verify->text()) {
        m_password->clear();
        TellPasswordsDiffer(this, "SMTP");
        return false;
    }
    CSettingBinding::TransferSettings(PageSettings(), kGeneralBindings, this,
                                      CSettingBinding::Save);
    CSettingBinding::TransferSettings(PageSettings(), kSecurityBindings, this,
                                      CSettingBinding::Save);
    SavePort("SmtpPort", "General", m_port, m_security->currentIndex(), CSMTP::StandardPort);
    if (m_auth->currentIndex() == 1) {
        PageSettings().WriteString("SmtpOAuthAccount", ToStd(m_oauthAccount->currentText()),
                                   "General");
    }
    return true;
}

void CSmtpPage::OnTestSmtp() {
    if (m_test.IsRunning()) {
        return;
    }
    StringList accounts;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), accounts);
    if (accounts.empty()) {
        CheckMessageBox(this,
                        QStringLiteral("You need at least one POP account set up in order to test "
                                       "your SMTP server"),
                        QStringLiteral("Error"), CCheckMessageBox::MB_ICONEXCLAMATION);
        return;
    }
    // The fields as they stand: the page saves only when it is left.
    ServerTestParams params;
    CConnectionSettings::Server& server = params.server;
    server.host = ToStd(m_server->text());
    server.security = m_security->currentIndex();
    server.port = TestPort(m_port, server.security, CSMTP::StandardPort);
    server.login = ToStd(findChild<QLineEdit*>(QStringLiteral("smtpLogin"))->text());
    server.password = ToStd(m_password->text());
    server.caFile = PageSettings().GetString("TlsCaFile", "General", "");
    server.certSha256 = PageSettings().GetString("SmtpCertSha256", "General", "");
    server.oauth = m_auth->currentIndex() == 1;
    server.oauthAccount = ToStd(m_oauthAccount->currentText());
    // As a scan does: the sign-in's address is the login unless one is set.
    if (server.oauth && server.login.empty()) {
        server.login = PageSettings().GetString("PopLogin", server.oauthAccount, "");
    }
    params.settings = &PageSettings();
    params.address = PageSettings().GetString("emailAddress", accounts.front(), "");
    CAppEnvironment* env = CAppEnvironment::Instance();
    m_testButton->setEnabled(false);
    m_busy = OpenTestProgress(this, QStringLiteral("Sending a test message..."),
                              QStringLiteral("Test my SMTP Server"), &CSmtpPage::OnCancelTest);
    m_test.StartSmtp(params, env->GetProgramFolder(), env->GetAppName());
    m_busy->show();
}

void CSmtpPage::OnCancelTest() {
    m_test.Cancel();
    CloseTestProgress(m_busy);
    m_testButton->setEnabled(true);
}

void CSmtpPage::OnSmtpDone(int stage, const QString& error) {
    CloseTestProgress(m_busy, this);
    m_testButton->setEnabled(true);
    QString reason = SecureFailureReason(m_security->currentIndex(), error);
    switch (stage) {
        case CServerTest::SmtpConnectFailed:
            if (m_test.RefusedCertificate().trustable &&
                CCertificateTrustBox::Ask(this, m_server->text(), m_test.RefusedCertificate())) {
                PageSettings().WriteString("SmtpCertSha256", m_test.RefusedCertificate().sha256,
                                           "General");
                OnTestSmtp();
                return;
            }
            CheckMessageBox(this, QStringLiteral("Could not reach your SMTP server.") + reason,
                            QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
            break;
        case CServerTest::SmtpSendFailed:
            CheckMessageBox(this, QStringLiteral("Error sending the test message."),
                            QStringLiteral("Error"), CCheckMessageBox::MB_OK);
            break;
        case CServerTest::SmtpDisconnectFailed:
            CheckMessageBox(this, QStringLiteral("Error disconnecting from the SMTP Server."),
                            QStringLiteral("Error"), CCheckMessageBox::MB_OK);
            break;
        default:
            CheckMessageBox(this,
                            QStringLiteral("A test message was sent without error.\nReception of "
                                           "that message will indicate that\nInboxWarden is "
                                           "configured properly."),
                            QStringLiteral("Success"), CCheckMessageBox::MB_ICONINFORMATION);
            break;
    }
}
