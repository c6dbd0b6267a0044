#include "ui/CSettingsDlg.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "engine/CInboxWardenEngine.h"
#include "support/CAppEnvironment.h"
#include "support/SettingsTable.h"
#include "ui/CAccountsPage.h"
#include "ui/CFirstRunWizard.h"
#include "ui/CGeneralPage.h"
#include "ui/CListsPage.h"
#include "ui/CPreferencesPage.h"
#include "ui/CSmtpPage.h"

CSettingsDlg::CSettingsDlg(CInboxWardenEngine* engine, QWidget* parent, bool firstTime)
    : QDialog(parent), m_engine(engine), m_firstTime(firstTime) {
    setObjectName(QStringLiteral("settingsDlg"));
    setWindowTitle(QStringLiteral("InboxWarden Settings"));
    setSizeGripEnabled(true);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("settingsTabs"));
    m_general = new CGeneralPage(engine, m_tabs);
    m_accounts = new CAccountsPage(false, m_tabs);
    m_smtp = new CSmtpPage(m_tabs);
    m_lists = new CListsPage(m_tabs);
    m_preferences = new CPreferencesPage(m_tabs);
    if (m_engine != nullptr) {
        m_preferences->SetHistory(&m_engine->GetHistory());
    }
    m_tabs->addTab(m_general, QStringLiteral("&General"));
    m_tabs->addTab(m_accounts, QStringLiteral("&Mail Accounts"));
    m_tabs->addTab(m_smtp, QStringLiteral("S&MTP Server"));
    m_tabs->addTab(m_lists, QStringLiteral("L&ists"));
    m_tabs->addTab(m_preferences, QStringLiteral("P&references"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("dialogButtons"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CSettingsDlg::reject);
    connect(m_tabs, &QTabWidget::currentChanged, this, &CSettingsDlg::OnTabChanged);
    if (!m_firstTime) {
        m_general->Load();
        m_accounts->Load();
        m_smtp->Load();
        m_preferences->Load();
    }
    resize(620, 520);
}

int CSettingsDlg::exec() {
    if (m_firstTime) {
        int result = RunFirstTime(parentWidget()) ? QDialog::Accepted : QDialog::Rejected;
        setResult(result);
        return result;
    }
    return QDialog::exec();
}

void CSettingsDlg::OnTabChanged(int index) {
    if (m_switching) {
        return;
    }
    // Unequal SMTP passwords keep the user on that page.
    if (m_shownTab == SmtpPage && index != SmtpPage && !m_smtp->Save()) {
        BackToSmtpPage();
        return;
    }
    m_shownTab = index;
}

void CSettingsDlg::BackToSmtpPage() {
    // The switch back must not count as leaving a page, which would save again.
    m_switching = true;
    m_tabs->setCurrentIndex(SmtpPage);
    m_switching = false;
    m_shownTab = SmtpPage;
}

void CSettingsDlg::accept() {
    if (!m_smtp->Save()) {
        BackToSmtpPage();
        return;
    }
    m_general->Save();
    m_accounts->SaveAccount();
    m_preferences->Save();
    if (m_engine != nullptr) {
        m_engine->ReadSettings(false);
    } else if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->ReloadDataFolder();
    }
    QDialog::accept();
}

bool CSettingsDlg::RunFirstTime(QWidget* parent) {
    CFirstRunWizard wizard(parent);
    if (wizard.exec() != QDialog::Accepted) {
        return false;
    }
    WriteMissingDefaults();
    return true;
}

void CSettingsDlg::WriteMissingDefaults() {
    CSettings& settings = CAppEnvironment::Instance()->GetSettings();
    const std::string absent = "\x01";
    for (const SettingBinding* row = kGeneralBindings; row->controlId != 0; ++row) {
        if (settings.GetString(row->key, row->section, absent) == absent) {
            settings.WriteString(row->key, row->defaultText, row->section);
        }
    }
}
