#include "ui/CGeneralPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "engine/CInboxWardenEngine.h"
#include "secrets/CPasswordAccess.h"
#include "support/CAppEnvironment.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CSettingBinding.h"
#include "ui/PageWidgets.h"
#include "ui/StartWithWindows.h"

namespace {

// Keys of this page that the shared table does not hold.
constexpr SettingBinding kGuardBindings[] = {
    {"GuardChallenges", "General", 201, "Yes"},
    {"ChallengeVerified", "General", 202, "Yes"},
    {"", nullptr, 0, ""},
};

}  // namespace

CGeneralPage::CGeneralPage(CInboxWardenEngine* engine, QWidget* parent)
    : QWidget(parent), m_engine(engine) {
    setObjectName(QStringLiteral("generalPage"));
    m_autoScan = PageCheck(QStringLiteral("&Check for new emails every"), "autoScan", 1, this);
    m_interval = new QLineEdit(this);
    m_interval->setObjectName(QStringLiteral("interval"));
    m_interval->setValidator(new QIntValidator(1, 999999, m_interval));
    m_interval->setMaximumWidth(80);
    CSettingBinding::Bind(m_interval, 2);
    m_minutes = new QRadioButton(QStringLiteral("&Minutes"), this);
    m_minutes->setObjectName(QStringLiteral("minutes"));
    CSettingBinding::Bind(m_minutes, 10);
    m_seconds = new QRadioButton(QStringLiteral("&Seconds"), this);
    m_seconds->setObjectName(QStringLiteral("seconds"));
    auto* scanRow = new QHBoxLayout;
    scanRow->addWidget(m_autoScan);
    scanRow->addWidget(m_interval);
    scanRow->addWidget(m_minutes);
    scanRow->addWidget(m_seconds);
    scanRow->addStretch(1);

    auto* daysLabel = new QLabel(QStringLiteral("Delete email &history older than:"), this);
    auto* days = new QLineEdit(this);
    days->setObjectName(QStringLiteral("daysToKeep"));
    days->setValidator(new QIntValidator(0, 2147483647, days));
    days->setMaximumWidth(80);
    daysLabel->setBuddy(days);
    CSettingBinding::Bind(days, 3);
    auto* cleanup = new QPushButton(QStringLiteral("Clean&up History"), this);
    cleanup->setObjectName(QStringLiteral("cleanupHistory"));
    cleanup->setAutoDefault(false);
    auto* daysRow = new QHBoxLayout;
    daysRow->addWidget(daysLabel);
    daysRow->addWidget(days);
    daysRow->addWidget(new QLabel(QStringLiteral("Days"), this));
    daysRow->addStretch(1);
    daysRow->addWidget(cleanup);

    m_startWithWindows = PageCheck(QStringLiteral("&Launch InboxWarden when Windows starts"),
                                   "startWithWindows", 12, this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(scanRow);
    layout->addLayout(daysRow);
    layout->addWidget(
        PageCheck(QStringLiteral("&Disable automatic scanning while InboxWarden is in foreground"),
                  "dontScanWhileInForeground", 4, this));
    layout->addWidget(PageCheck(QStringLiteral("Enable l&ogging (for diagnostic purposes)"),
                                "enableLogging", 6, this));
    layout->addWidget(
        PageCheck(QStringLiteral("Enable sending challenge &emails to unknown senders"),
                  "sendChallenges", 8, this));
    layout->addWidget(
        PageCheck(QStringLiteral("Send co&nfirmation after sender has replied to challenge"),
                  "sendConfirmations", 9, this));
    layout->addWidget(
        PageCheck(QStringLiteral("Do not challenge mailing lists, &automatic mail or the "
                                 "same sender twice a day"),
                  "guardChallenges", 201, this));
    layout->addWidget(PageCheck(QStringLiteral("Challenge only senders whose address the mail "
                                               "ser&ver verified (SPF, DKIM, DMARC)"),
                                "challengeVerified", 202, this));
    layout->addWidget(m_startWithWindows);

    m_passwordStore = new QLabel(this);
    m_passwordStore->setObjectName(QStringLiteral("passwordStore"));
    m_passwordStore->setWordWrap(true);
    m_movePasswords = new QPushButton(this);
    m_movePasswords->setObjectName(QStringLiteral("movePasswords"));
    m_movePasswords->setAutoDefault(false);
    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(m_passwordStore, 1);
    passwordRow->addWidget(m_movePasswords);
    layout->addLayout(passwordRow);
    layout->addStretch(1);

    connect(m_autoScan, &QCheckBox::toggled, this, &CGeneralPage::UpdateInterval);
    connect(cleanup, &QPushButton::clicked, this, &CGeneralPage::OnCleanupHistory);
    connect(m_movePasswords, &QPushButton::clicked, this, &CGeneralPage::OnMovePasswords);
}

void CGeneralPage::ShowPasswordStore() {
    CPasswordAccess::Where where =
        CPasswordAccess(CAppEnvironment::Instance()->GetSettings()).GetWhere();
    const bool inKeyring = where == CPasswordAccess::Where::Keyring;
    m_passwordStore->setText(
        inKeyring ? QStringLiteral("Passwords are kept in the desktop keyring.")
        : where == CPasswordAccess::Where::File
            ? QStringLiteral("Passwords are kept in the settings file (InboxWarden.ini).")
            : QStringLiteral("Passwords are kept in the settings file until a desktop keyring "
                             "can be used."));
    m_movePasswords->setText(inKeyring ? QStringLiteral("Move to the settings &file")
                                       : QStringLiteral("Move to the &keyring"));
}

void CGeneralPage::OnMovePasswords() {
    CSettings settings = CAppEnvironment::Instance()->GetSettings();
    const bool toFile = CPasswordAccess(settings).GetWhere() == CPasswordAccess::Where::Keyring;
    bool moved = false;
    std::string why;
    // The keyring may wait for the user to unlock it: not on this thread.
    RunWithWindowWaiting(this, [&] {
        moved = CPasswordAccess(settings).MoveTo(
            toFile ? CPasswordAccess::Where::File : CPasswordAccess::Where::Keyring, &why);
    });
    ShowPasswordStore();
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write("Moving the passwords to the %s: %s", toFile ? "file" : "keyring",
                                moved ? (why.empty() ? "done" : why.c_str()) : why.c_str());
    }
    if (!moved) {
        QMessageBox::warning(this, QStringLiteral("Passwords not moved"),
                             QStringLiteral("The passwords were not moved; nothing changed.\n") +
                                 QString::fromStdString(why));
    } else if (!why.empty()) {
        QMessageBox::information(this, QStringLiteral("Passwords moved"),
                                 QString::fromStdString(why));
    }
}

void CGeneralPage::UpdateInterval() {
    m_interval->setEnabled(m_autoScan->isChecked());
}

void CGeneralPage::Load() {
    CSettings& settings = CAppEnvironment::Instance()->GetSettings();
    CSettingBinding::TransferSettings(settings, kGeneralBindings, this, CSettingBinding::Load);
    CSettingBinding::TransferSettings(settings, kGuardBindings, this, CSettingBinding::Load);
    // Two radio buttons of one group cannot both be cleared.
    if (settings.GetBool("IntervalInMinutes", "General", true)) {
        m_minutes->setChecked(true);
    } else {
        m_seconds->setChecked(true);
    }
    m_startWithWindows->setChecked(IsStartWithWindows(this));
    UpdateInterval();
    ShowPasswordStore();
}

void CGeneralPage::Save() {
    CSettings& settings = CAppEnvironment::Instance()->GetSettings();
    CSettingBinding::TransferSettings(settings, kGeneralBindings, this, CSettingBinding::Save);
    CSettingBinding::TransferSettings(settings, kGuardBindings, this, CSettingBinding::Save);
    SetStartWithWindows(this, m_startWithWindows->isChecked());
}

void CGeneralPage::OnCleanupHistory() {
    int answer = PromptOnce(
        this, "DontAskForCleanupHistory", "Prompts",
        QStringLiteral(
            "This will delete the history and quarantine for all the emails that are not "
            "currently on the server. As a result, emails previously sent by senders who will "
            "register to InboxWarden will not be restored when these senders register. In these "
            "rare cases, it is simply a matter of asking these senders to resend. Do you want to "
            "continue?"),
        QStringLiteral("Clean History?"),
        CCheckMessageBox::MB_YESNO | CCheckMessageBox::MB_ICONQUESTION);
    if (answer != CCheckMessageBox::IDYES || m_engine == nullptr) {
        return;
    }
    // The cleanup waits for a running scan and writes the database: not on
    // this thread.
    CInboxWardenEngine* engine = m_engine;
    RunWithWindowWaiting(this, [engine] { engine->CleanupHistory(CInboxWardenEngine::Today()); });
}
