#include "ui/CAccountsPage.h"
#include "ui/CCertificateTrustBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "engine/CInboxWardenEngine.h"
#include "engine/ProductInfo.h"
#include "history/CAuthServIds.h"
#include "history/CInboxWardenDb.h"
#include "mail/CPOP3.h"
#include "signin/CAccessTokens.h"
#include "signin/COAuthSettings.h"
#include "support/CAppEnvironment.h"
#include "support/StringUtils.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CInputBox.h"
#include "ui/CSettingBinding.h"
#include "ui/PageWidgets.h"
#include "ui/UiText.h"

namespace {

// Keys of this page that the shared table does not hold.
constexpr SettingBinding kSecurityBindings[] = {
    {"PopSecurity", "", 101, "0"},
    {"AuthServId", "", 102, ""},
    {"PopAuth", "", 103, "0"},
    {"", nullptr, 0, ""},
};

// Written only for an account that signs in with OAuth2, so a password
// account's section stays as it was.
constexpr SettingBinding kOAuthBindings[] = {
    {"OAuthClientId", "", 104, ""},
    {"!OAuthClientSecret", "", 105, ""},
    {"OAuthAuthUrl", "", 106, ""},
    {"OAuthTokenUrl", "", 107, ""},
    {"OAuthDeviceUrl", "", 108, ""},
    {"OAuthScope", "", 109, ""},
    {"", nullptr, 0, ""},
};

constexpr const char* kProviders[] = {"google", "microsoft", "custom"};

// A name that can stand in the comma list of accounts and as a section name.
bool UsableAccountName(const QString& name) {
    return !name.trimmed().isEmpty() && !name.contains(u',') && !name.contains(u'[') &&
           !name.contains(u']') && !name.contains(u'\n') && !name.contains(u'\r') &&
           !name.contains(u'/');
}

}  // namespace

CAccountsPage::CAccountsPage(bool wizard, QWidget* parent) : QWidget(parent), m_wizard(wizard) {
    setObjectName(QStringLiteral("accountsPage"));
    m_accounts = new QComboBox(this);
    m_accounts->setObjectName(QStringLiteral("accountList"));
    m_accounts->setMinimumWidth(200);
    m_new = PageButton(QStringLiteral("New &Account..."), "newAccount", this);
    m_remove = PageButton(QStringLiteral("&Remove Account"), "removeAccount", this);
    auto* accountRow = new QHBoxLayout;
    auto* accountLabel = new QLabel(QStringLiteral("A&ccount:"), this);
    accountLabel->setBuddy(m_accounts);
    accountRow->addWidget(accountLabel);
    accountRow->addWidget(m_accounts, 1);
    accountRow->addWidget(m_new);
    accountRow->addWidget(m_remove);

    m_filter = PageCheck(QStringLiteral("&Scan and filter this account"), "filterAccount", 1, this);

    QLineEdit* address = PageEdit("emailAddress", 2, this);
    QLineEdit* server = PageEdit("popName", 3, this);
    QLineEdit* login = PageEdit("popLogin", 4, this);
    m_password = PagePassword("popPassword", 5, this);
    m_verify = PagePassword("popVerifyPassword", 0, this);
    m_port = PagePort("popPort", this);
    m_security = PageCombo(
        "popSecurity", 101,
        {QStringLiteral("None"), QStringLiteral("STLS"), QStringLiteral("SSL/TLS")}, this);
    QHBoxLayout* serverRow = PageServerRow(server, m_port, m_security, this);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("eMail a&ddress for this account:"), address);
    auto* serverLabel = new QLabel(QStringLiteral("Ser&ver name:"), this);
    serverLabel->setBuddy(server);
    form->addRow(serverLabel, serverRow);
    form->addRow(QStringLiteral("&Login name:"), login);
    m_auth =
        PageCombo("popAuth", 103, {QStringLiteral("Password"), QStringLiteral("OAuth2")}, this);
    auto* authLabel = new QLabel(QStringLiteral("Sign-in &method:"), this);
    authLabel->setBuddy(m_auth);
    form->addRow(authLabel, m_auth);
    form->addRow(QStringLiteral("&Password:"), m_password);
    form->addRow(QStringLiteral("V&erify Password:"), m_verify);

    auto* oauthGroup = new QGroupBox(QStringLiteral("OAuth2 sign-in"), this);
    oauthGroup->setObjectName(QStringLiteral("oauthGroup"));
    m_oauthGroup = oauthGroup;
    m_provider = new QComboBox(oauthGroup);
    m_provider->setObjectName(QStringLiteral("oauthProvider"));
    m_provider->addItems(
        {QStringLiteral("Google"), QStringLiteral("Microsoft"), QStringLiteral("Custom")});
    QLineEdit* clientId = PageEdit("oauthClientId", 104, oauthGroup);
    QLineEdit* clientSecret = PagePassword("oauthClientSecret", 105, oauthGroup);
    clientSecret->setPlaceholderText(QStringLiteral("none for a public client"));
    const char* endpointNames[] = {"oauthAuthUrl", "oauthTokenUrl", "oauthDeviceUrl", "oauthScope"};
    for (int i = 0; i < 4; ++i) {
        m_endpoints[i] = PageEdit(endpointNames[i], 106 + i, oauthGroup);
    }
    auto* oauthForm = new QFormLayout(oauthGroup);
    const std::pair<QString, QWidget*> oauthRows[] = {
        {QStringLiteral("Si&gn-in provider:"), m_provider},
        {QStringLiteral("OAut&h client id:"), clientId},
        {QStringLiteral("OA&uth client secret:"), clientSecret},
        {QStringLiteral("&Browser sign-in address:"), m_endpoints[0]},
        {QStringLiteral("To&ken address:"), m_endpoints[1]},
        {QStringLiteral("Device authori&zation address:"), m_endpoints[2]},
        {QStringLiteral("Re&quested scope:"), m_endpoints[3]},
    };
    for (const auto& [text, field] : oauthRows) {
        auto* label = new QLabel(text, oauthGroup);
        label->setBuddy(field);
        oauthForm->addRow(label, field);
    }

    m_servId = PageEdit("authServId", 102, this);
    m_servId->setPlaceholderText(QStringLiteral("learned from the mail"));
    m_servId->setToolTip(QStringLiteral(
        "The name this server gives itself in the Authentication-Results lines it adds to "
        "each message; several may be listed, separated by commas."));
    form->addRow(QStringLiteral("Server's authentication &name:"), m_servId);
    m_verification = new QLabel(this);
    m_verification->setObjectName(QStringLiteral("verificationNote"));
    m_verification->setWordWrap(true);
    form->addRow(QString(), m_verification);

    m_testButton = PageButton(QStringLiteral("&Test my POP3 Server"), "testPop3", this);
    auto* editChallenge = PageButton(QStringLiteral("Ed&it..."), "editChallenge", this);
    auto* defaultChallenge = PageButton(QStringLiteral("Use de&fault"), "defaultChallenge", this);
    auto* challenge = new QGroupBox(QStringLiteral("Challenge email text for this account"), this);
    auto* challengeRow = new QHBoxLayout(challenge);
    challengeRow->addWidget(editChallenge);
    challengeRow->addWidget(defaultChallenge);
    challengeRow->addStretch(1);
    m_signInButton = PageButton(QStringLiteral("Sig&n in..."), "signInButton", this);
    m_codeButton = PageButton(QStringLiteral("Sign in &with a code..."), "signInCodeButton", this);
    m_signInStatus = new QLabel(this);
    m_signInStatus->setObjectName(QStringLiteral("signInStatus"));
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(m_signInStatus);
    testRow->addWidget(m_signInButton);
    testRow->addWidget(m_codeButton);
    testRow->addStretch(1);
    testRow->addWidget(m_testButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(accountRow);
    layout->addWidget(m_filter);
    layout->addLayout(form);
    layout->addWidget(oauthGroup);
    layout->addWidget(challenge);
    layout->addLayout(testRow);
    layout->addStretch(1);

    if (m_wizard) {
        for (QWidget* fixed :
             std::initializer_list<QWidget*>{m_accounts, m_new, m_remove, m_filter}) {
            fixed->setEnabled(false);
        }
    }
    connect(m_accounts, &QComboBox::currentIndexChanged, this, &CAccountsPage::OnAccountChosen);
    connect(m_new, &QPushButton::clicked, this, &CAccountsPage::OnNewAccount);
    connect(m_remove, &QPushButton::clicked, this, &CAccountsPage::OnRemoveAccount);
    connect(editChallenge, &QPushButton::clicked, this, &CAccountsPage::OnEditChallenge);
    connect(defaultChallenge, &QPushButton::clicked, this, &CAccountsPage::OnDefaultChallenge);
    connect(m_testButton, &QPushButton::clicked, this, &CAccountsPage::OnTestPop3);
    connect(&m_test, &CServerTest::Pop3Done, this, &CAccountsPage::OnPop3Done);
    connect(&m_test, &CServerTest::TokenFailed, this, [this](const QString& error) {
        CloseTestProgress(m_busy, this);
        m_testButton->setEnabled(!m_shown.isEmpty());
        ShowSignIn(ToStd(m_shown));
        TellTokenFailed(this, error, m_shown);
        emit WizardButtons(1);
    });
    connect(m_signInButton, &QPushButton::clicked, this, &CAccountsPage::OnSignIn);
    connect(m_codeButton, &QPushButton::clicked, this, &CAccountsPage::OnSignInWithCode);
    connect(&m_codeSignIn, &CCodeSignIn::Said, this, [this](const QString& text) {
        if (m_codeText != nullptr) {
            m_codeText->setText(text);
        }
    });
    connect(&m_codeSignIn, &CCodeSignIn::Finished, this, [this](bool ok, const QString& text) {
        if (m_codeBox != nullptr) {
            m_codeBox->deleteLater();
            m_codeBox = nullptr;
            m_codeText = nullptr;
        }
        OnSignInDone(ok, text);
    });
    connect(m_auth, &QComboBox::currentIndexChanged, this, &CAccountsPage::OnAuthChosen);
    connect(m_provider, &QComboBox::currentIndexChanged, this, &CAccountsPage::OnProviderChosen);
    connect(&m_signIn, &CBrowserSignIn::Finished, this, &CAccountsPage::OnSignInDone);
}

void CAccountsPage::ShowOAuthFields() {
    bool oauth = m_auth->currentIndex() == 1;
    m_password->setEnabled(!oauth);
    m_verify->setEnabled(!oauth);
    m_oauthGroup->setEnabled(oauth);
    m_oauthGroup->setVisible(oauth);
    // A preset's endpoints are what the scan uses whatever the file says, so
    // they show as they are and cannot be edited.
    const COAuthSettings::Preset* preset =
        COAuthSettings::FindPreset(kProviders[std::max(0, m_provider->currentIndex())]);
    if (preset != nullptr) {
        const char* values[] = {preset->authUrl, preset->tokenUrl, preset->deviceUrl,
                                preset->scope};
        for (int i = 0; i < 4; ++i) {
            m_endpoints[i]->setText(QString::fromLatin1(values[i]));
        }
    }
    for (QLineEdit* endpoint : m_endpoints) {
        endpoint->setReadOnly(preset != nullptr);
    }
}

void CAccountsPage::OnAuthChosen() {
    ShowOAuthFields();
    ShowSignIn(ToStd(m_shown));
}

void CAccountsPage::OnProviderChosen() {
    ShowOAuthFields();
    const COAuthSettings::Preset* preset =
        COAuthSettings::FindPreset(kProviders[std::max(0, m_provider->currentIndex())]);
    if (preset == nullptr) {
        return;
    }
    findChild<QLineEdit*>(QStringLiteral("popName"))->setText(QString::fromLatin1(preset->popHost));
    m_security->setCurrentIndex(preset->popSecurity);
    m_port->clear();
    ShowPort(m_port, std::to_string(preset->popPort), preset->popSecurity, CPOP3::StandardPort);
}

void CAccountsPage::ShowSignIn(const std::string& section) {
    bool oauth = !section.empty() && m_auth->currentIndex() == 1;
    m_signInButton->setVisible(oauth);
    m_codeButton->setVisible(oauth);
    m_signInStatus->setVisible(oauth);
    if (!oauth) {
        return;
    }
    std::string who = PageSettings().GetString("OAuthSignedInAs", section, "");
    m_signInStatus->setText(CAccessTokens::IsExpired(PageSettings(), section)
                                ? QString::fromLatin1(CAccessTokens::kExpiredText)
                            : who.empty() ? QStringLiteral("Not signed in")
                                          : QStringLiteral("Signed in as ") + FromStd(who));
}

void CAccountsPage::OnSignIn() {
    if (m_shown.isEmpty() || !SaveAccount()) {
        return;
    }
    std::string section = ToStd(m_shown);
    CAppEnvironment* env = CAppEnvironment::Instance();
    QString error;
    if (!m_signIn.Start(COAuthSettings::Read(PageSettings(), section),
                        env ? env->GetProgramFolder() : "", error)) {
        m_signInStatus->setText(error);
        return;
    }
    m_signInStatus->setText(QStringLiteral("Waiting for the browser..."));
}

void CAccountsPage::OnSignInWithCode() {
    if (m_shown.isEmpty() || m_codeSignIn.IsRunning() || !SaveAccount()) {
        return;
    }
    auto* box = new QDialog(this);
    box->setObjectName(QStringLiteral("codeSignInBox"));
    box->setWindowTitle(QStringLiteral("Sign in with a code"));
    box->setWindowModality(Qt::WindowModal);
    m_codeText = new QLabel(QStringLiteral("Asking the provider for a code..."), box);
    m_codeText->setObjectName(QStringLiteral("codeSignInText"));
    m_codeText->setWordWrap(true);
    // The code is typed or pasted on another device.
    m_codeText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, box);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(m_codeText);
    layout->addWidget(buttons);
    // Escape and the window's close button cancel as Cancel does.
    connect(box, &QDialog::rejected, this, &CAccountsPage::OnCancelCodeSignIn);
    connect(buttons, &QDialogButtonBox::rejected, box, &QDialog::reject);
    m_codeBox = box;
    CAppEnvironment* env = CAppEnvironment::Instance();
    m_codeSignIn.Start(env ? env->GetProgramFolder() : "", ToStd(m_shown));
    m_signInStatus->setText(QStringLiteral("Waiting for the code to be entered..."));
    box->open();
}

void CAccountsPage::OnCancelCodeSignIn() {
    if (!m_codeSignIn.IsRunning()) {
        return;
    }
    m_codeSignIn.Cancel();
    if (m_codeBox != nullptr) {
        m_codeBox->deleteLater();
        m_codeBox = nullptr;
        m_codeText = nullptr;
    }
    m_signInStatus->setText(QStringLiteral("Sign-in cancelled"));
}

void CAccountsPage::OnSignInDone(bool ok, const QString& text) {
    m_signInStatus->setText(text);
    if (ok) {
        ShowSignIn(ToStd(m_shown));
    }
}

QString CAccountsPage::VerificationNote(const std::string& account, const std::string& setId) {
    if (setId.find_first_not_of(" ,\t") != std::string::npos) {
        return QStringLiteral("Senders are verified with the results this server writes.");
    }
    CAuthServIds::Entry entry = CAuthServIds(CInboxWardenDb::Instance()).Get(account);
    switch (entry.state) {
        case CAuthServIds::AS_Learned:
            return QStringLiteral(
                       "Senders are verified with the results of \"%1\" (learned from "
                       "the mail).")
                .arg(FromStd(entry.servId.empty() ? "(no name)" : entry.servId));
        case CAuthServIds::AS_WritesNone:
            return QStringLiteral(
                "Sender verification is not available for this account: its "
                "server writes no Authentication-Results.");
        default:
            return QStringLiteral(
                       "Sender verification starts when %1 messages in a row carry this "
                       "server's Authentication-Results.")
                .arg(CAuthServIds::kLearnAfter);
    }
}

QString CAccountsPage::ChallengeFileName(const QString& account) {
    return account + QStringLiteral("_Challenge.txt");
}

void CAccountsPage::FillAccounts(const QString& select) {
    StringList names;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), names);
    QSignalBlocker quiet(m_accounts);
    m_accounts->clear();
    for (const std::string& name : names) {
        m_accounts->addItem(FromStd(name));
    }
    int index = select.isEmpty() ? 0 : m_accounts->findText(select);
    m_accounts->setCurrentIndex(index < 0 ? 0 : index);
    LoadAccount(m_accounts->currentText());
}

void CAccountsPage::Load() {
    FillAccounts(QString());
}

void CAccountsPage::LoadAccount(const QString& account) {
    m_shown = account;
    std::string section = ToStd(account);
    bool any = !account.isEmpty();
    for (QLineEdit* edit : findChildren<QLineEdit*>()) {
        edit->clear();
    }
    m_filter->setChecked(false);
    // The fields follow the file here; only a user's choice fills a preset.
    QSignalBlocker quietAuth(m_auth);
    QSignalBlocker quietProvider(m_provider);
    m_security->setCurrentIndex(0);
    m_auth->setCurrentIndex(0);
    m_provider->setCurrentIndex(2);
    if (any) {
        CSettingBinding::TransferSettings(PageSettings(), kAccountBindings, this,
                                          CSettingBinding::Load, section);
        CSettingBinding::TransferSettings(PageSettings(), kSecurityBindings, this,
                                          CSettingBinding::Load, section);
        CSettingBinding::TransferSettings(PageSettings(), kOAuthBindings, this,
                                          CSettingBinding::Load, section);
        std::string provider = COAuthSettings::Read(PageSettings(), section).provider;
        for (int i = 0; i < 3; ++i) {
            if (provider == kProviders[i]) {
                m_provider->setCurrentIndex(i);
            }
        }
        ShowPort(m_port, PageSettings().GetString("PopPort", section, ""),
                 m_security->currentIndex(), CPOP3::StandardPort);
    }
    m_verify->setText(m_password->text());
    m_verification->setText(any ? VerificationNote(section, ToStd(m_servId->text())) : QString());
    m_remove->setEnabled(any && !m_wizard);
    m_testButton->setEnabled(any);
    ShowOAuthFields();
    ShowSignIn(section);
}

bool CAccountsPage::SaveAccount() {
    if (m_shown.isEmpty()) {
        return true;
    }
    std::string section = ToStd(m_shown);
    bool match = m_password->text() == m_verify->text();
    if (!match) {
        m_password->clear();
        m_verify->clear();
        m_filter->setChecked(false);
    }
    CSettingBinding::TransferSettings(PageSettings(), kAccountBindings, this, CSettingBinding::Save,
                                      section);
    CSettingBinding::TransferSettings(PageSettings(), kSecurityBindings, this,
                                      CSettingBinding::Save, section);
    SavePort("PopPort", section, m_port, m_security->currentIndex(), CPOP3::StandardPort);
    if (m_auth->currentIndex() == 1) {
        PageSettings().WriteString("OAuthProvider",
                                   kProviders[std::max(0, m_provider->currentIndex())], section);
        CSettingBinding::TransferSettings(PageSettings(), kOAuthBindings, this,
                                          CSettingBinding::Save, section);
    }
    if (!match) {
        TellPasswordsDiffer(this, "POP3");
        return false;
    }
    return true;
}

void CAccountsPage::OnAccountChosen(int index) {
    SaveAccount();
    LoadAccount(index >= 0 ? m_accounts->itemText(index) : QString());
}

void CAccountsPage::OnNewAccount() {
    QString name;
    if (!CInputBox::GetText(this, QStringLiteral("New Account"),
                            QStringLiteral("Enter a name for this new account"), name)) {
        return;
    }
    // The name is a section of the settings file, found without regard to
    // case or end blanks: a name that differs from another only so would
    // open (and change) that account.
    name = name.trimmed();
    QString refusal;
    if (!UsableAccountName(name)) {
        refusal = QStringLiteral(
            "An account name cannot be empty or contain a comma, a slash or square brackets.");
    } else if (name.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0 ||
               name.compare(QStringLiteral("Prompts"), Qt::CaseInsensitive) == 0) {
        refusal = QStringLiteral(
                      "\"%1\" is reserved for InboxWarden's own settings; please "
                      "choose another name.")
                      .arg(name);
    }
    StringList existing;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), existing);
    for (const std::string& other : existing) {
        if (refusal.isEmpty() && FromStd(other).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            refusal = QStringLiteral("There is already an account named \"%1\".")
                          .arg(FromStd(other).trimmed());
        }
    }
    if (!refusal.isEmpty()) {
        CheckMessageBox(this, refusal, QStringLiteral("New Account"),
                        CCheckMessageBox::MB_ICONEXCLAMATION);
        return;
    }
    SaveAccount();
    std::string list = PageSettings().GetString("AccountsList", "General", "");
    if (!list.empty()) {
        list += ",";
    }
    list += ToStd(name);
    PageSettings().WriteString("AccountsList", list, "General");
    FillAccounts(name);
    m_filter->setChecked(true);
    // New accounts connect securely unless the user says otherwise.
    m_security->setCurrentIndex(2);
}

void CAccountsPage::OnRemoveAccount() {
    if (m_shown.isEmpty()) {
        return;
    }
    StringList names;
    SplitList(PageSettings().GetString("AccountsList", "General", ""), names);
    std::string gone = ToStd(m_shown);
    StringList kept;
    for (const std::string& name : names) {
        if (name != gone) {
            kept.push_back(name);
        }
    }
    std::string list;
    JoinList(list, kept, true);
    PageSettings().WriteString("AccountsList", list, "General");
    m_shown.clear();
    FillAccounts(QString());
}

void CAccountsPage::OnEditChallenge() {
    if (m_shown.isEmpty()) {
        return;
    }
    QString file = ChallengeFileName(m_shown);
    if (!QFileInfo::exists(file)) {
        StringList values{PageSettings().GetString("Name", "General", ""), kProductWebAddress};
        std::string text = FillPlaceholders(CInboxWardenEngine::InternalChallengeBody(), values);
        QFile out(file);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(text.data(), static_cast<qint64>(text.size()));
        }
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
}

void CAccountsPage::OnDefaultChallenge() {
    if (m_shown.isEmpty()) {
        return;
    }
    int answer = CheckMessageBox(
        this,
        QStringLiteral("Are you sure you want to reset the challenge\nfile for this account to "
                       "the InboxWarden default?"),
        QStringLiteral("Reset Challenge email text?"),
        CCheckMessageBox::MB_YESNO | CCheckMessageBox::MB_ICONQUESTION);
    if (answer == CCheckMessageBox::IDYES) {
        QFile::remove(ChallengeFileName(m_shown));
    }
}

void CAccountsPage::OnTestPop3() {
    if (m_test.IsRunning() || m_shown.isEmpty() || !SaveAccount()) {
        return;
    }
    // The fields, not the file: the file trims blanks and drops a bad port.
    ServerTestParams params;
    CConnectionSettings::Server& server = params.server;
    server.host = ToStd(findChild<QLineEdit*>(QStringLiteral("popName"))->text());
    server.login = ToStd(findChild<QLineEdit*>(QStringLiteral("popLogin"))->text());
    server.password = ToStd(m_password->text());
    server.security = m_security->currentIndex();
    server.port = TestPort(m_port, server.security, CPOP3::StandardPort);
    server.caFile = PageSettings().GetString("TlsCaFile", "General", "");
    server.certSha256 = PageSettings().GetString("PopCertSha256", ToStd(m_shown), "");
    server.oauth = m_auth->currentIndex() == 1;
    server.oauthAccount = ToStd(m_shown);
    params.settings = &PageSettings();
    CAppEnvironment* env = CAppEnvironment::Instance();
    m_testButton->setEnabled(false);
    m_busy = OpenTestProgress(this, QStringLiteral("Testing your POP3 server..."),
                              QStringLiteral("Test my POP3 Server"), &CAccountsPage::OnCancelTest);
    m_test.StartPop3(params, env->GetProgramFolder(), env->GetAppName());
    m_busy->show();
}

void CAccountsPage::OnCancelTest() {
    m_test.Cancel();
    CloseTestProgress(m_busy);
    m_testButton->setEnabled(!m_shown.isEmpty());
}

void CAccountsPage::OnPop3Done(bool connected, int count, const QString& error) {
    CloseTestProgress(m_busy, this);
    m_testButton->setEnabled(!m_shown.isEmpty());
    if (!connected) {
        // A certificate only nobody vouches for: the user may trust it by
        // its fingerprint, stored with the account, and the test runs again.
        const CTlsSession::PeerCertificate& refused = m_test.RefusedCertificate();
        if (refused.trustable && !m_shown.isEmpty() &&
            CCertificateTrustBox::Ask(
                this, findChild<QLineEdit*>(QStringLiteral("popName"))->text(), refused)) {
            PageSettings().WriteString("PopCertSha256", refused.sha256, ToStd(m_shown));
            OnTestPop3();
            return;
        }
        QString text = QStringLiteral(
            "Could not reach your POP3 server.\nPlease check your server name and login "
            "information.");
        text += SecureFailureReason(m_security->currentIndex(), error);
        CheckMessageBox(this, text, QStringLiteral("Error"), CCheckMessageBox::MB_ICONSTOP);
        emit WizardButtons(1);
        return;
    }
    if (count < 0) {
        emit WizardButtons(1);
        return;
    }
    CheckMessageBox(this,
                    QStringLiteral("InboxWarden successfuly logged in to your POP3 (incoming) mail "
                                   "server."),
                    QStringLiteral("SUCCESS"), CCheckMessageBox::MB_ICONINFORMATION);
    emit WizardButtons(3);
}
