#include "ui/CPreferencesPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>

#include "history/CDataFolderMove.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "support/CAppEnvironment.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CSettingBinding.h"
#include "ui/PageWidgets.h"
#include "ui/UiText.h"

CPreferencesPage::CPreferencesPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("preferencesPage"));
    m_chooseFolder = [](QWidget* owner, const QString& start) {
        return QFileDialog::getExistingDirectory(owner, QStringLiteral("Please select a folder"),
                                                 start, QFileDialog::ShowDirsOnly);
    };
    QComboBox* view = PageCombo("startupView", 5,
                                {QStringLiteral("On Server"), QStringLiteral("Quarantined"),
                                 QStringLiteral("Deleted"), QStringLiteral("All")},
                                this);
    QComboBox* notify = PageCombo("notificationType", 7,
                                  {QStringLiteral("Do nothing"), QStringLiteral("Beep me gently"),
                                   QStringLiteral("Notify me with a Message Box."),
                                   QStringLiteral("Notify all the users on my network.")},
                                  this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("On Startup, show this &view:"), view);
    form->addRow(QStringLiteral("When a new email &comes in"), notify);

    m_remote =
        PageCheck(QStringLiteral("Enable &Remote Commands"), "enableRemoteCommands", 15, this);
    m_password = PagePassword("remotePassword", 16, this);
    m_retype = PagePassword("remoteRetypePassword", 17, this);
    auto* remote = new QGroupBox(QStringLiteral("Remote Commands"), this);
    auto* remoteForm = new QFormLayout(remote);
    remoteForm->addRow(m_remote);
    remoteForm->addRow(QStringLiteral("Pass&word:"), m_password);
    remoteForm->addRow(QStringLiteral("Re&type Password:"), m_retype);

    // Not bound: the folder is written by a successful move alone.
    m_dataFolder = PageEdit("dataFolder", 0, this);
    m_dataFolder->setReadOnly(true);
    auto* browse = PageButton(QStringLiteral("..."), "browseDataFolder", this);
    browse->setToolTip(QStringLiteral("Move the data folder"));
    browse->setMaximumWidth(40);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(m_dataFolder, 1);
    folderRow->addWidget(browse);
    auto* folderLabel = new QLabel(QStringLiteral("&Folder for InboxWarden's data files:"), this);
    folderLabel->setBuddy(browse);

    auto* reset = PageButton(QStringLiteral("Reset &Prompts"), "resetPrompts", this);
    auto* resetRow = new QHBoxLayout;
    resetRow->addWidget(reset);
    resetRow->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(PageCheck(QStringLiteral("Show &grid lines in the main window"),
                                "showGridLines", 11, this));
    layout->addWidget(
        PageCheck(QStringLiteral("I use Outlook Express, have it get emails after new "
                                 "friendly emails have been found."),
                  "clickEMailProgramAfterScan", 13, this));
    layout->addWidget(remote);
    layout->addWidget(folderLabel);
    layout->addLayout(folderRow);
    layout->addLayout(resetRow);
    layout->addStretch(1);

    connect(m_remote, &QCheckBox::clicked, this, &CPreferencesPage::OnRemoteCommandsClicked);
    connect(m_password, &QLineEdit::editingFinished, this, &CPreferencesPage::OnPasswordLeft);
    connect(m_retype, &QLineEdit::editingFinished, this, &CPreferencesPage::OnPasswordLeft);
    connect(reset, &QPushButton::clicked, this, &CPreferencesPage::OnResetPrompts);
    connect(browse, &QPushButton::clicked, this, &CPreferencesPage::OnBrowseDataFolder);
}

void CPreferencesPage::Load() {
    CSettingBinding::TransferSettings(PageSettings(), kGeneralBindings, this,
                                      CSettingBinding::Load);
    m_dataFolder->setText(FromStd(PageSettings().GetString("DataFolder", "General", "")));
    if (m_dataFolder->text().isEmpty()) {
        m_dataFolder->setText(FromStd(CAppEnvironment::Instance()->GetDataFolder()));
    }
}

void CPreferencesPage::Save() {
    CSettingBinding::TransferSettings(PageSettings(), kGeneralBindings, this,
                                      CSettingBinding::Save);
}

void CPreferencesPage::OnRemoteCommandsClicked() {
    if (m_password->text() != m_retype->text()) {
        CheckMessageBox(this,
                        QStringLiteral("Your two password entries are different, Remote Commands "
                                       "will be disabled"),
                        QStringLiteral("Password error"), CCheckMessageBox::MB_ICONSTOP);
        m_remote->setChecked(false);
    }
}

void CPreferencesPage::OnPasswordLeft() {
    if (m_password->text() != m_retype->text()) {
        m_remote->setChecked(false);
    }
}

void CPreferencesPage::OnResetPrompts() {
    CSettings& settings = PageSettings();
    for (const std::string& key : settings.GetSectionKeys("Prompts")) {
        settings.WriteBool(key, false, "Prompts");
    }
    CheckMessageBox(this, QStringLiteral("All your opted-out prompts have been reset."),
                    QStringLiteral("Prompts reset"), CCheckMessageBox::MB_OK);
}

void CPreferencesPage::OnBrowseDataFolder() {
    QString current = FromStd(CAppEnvironment::Instance()->GetDataFolder());
    QString chosen = m_chooseFolder(this, current);
    if (!chosen.isEmpty()) {
        MoveDataFolder(chosen);
    }
}

bool CPreferencesPage::MoveDataFolder(const QString& target) {
    CAppEnvironment* env = CAppEnvironment::Instance();
    std::string source = env->GetDataFolder();
    std::string to = ToStd(target);
    std::string log = env->GetProgramFolder() + "copyOutput.txt";
    bool copied = false;
    // The copy waits for the database lock, which a scan holds: not on this thread.
    RunWithWindowWaiting(this, [&] {
        // Switched under the same hold as the copy, so no database write can
        // fall between the two and stay behind in the old folder. The
        // records' lock comes first, as everywhere.
        std::unique_lock<std::recursive_mutex> records;
        if (m_history) {
            records = m_history->Lock();
        }
        std::lock_guard<std::recursive_mutex> hold(CInboxWardenDb::Instance().Lock());
        std::string report;
        copied = CDataFolderMove::Copy(source, to, report, log) &&
                 PageSettings().WriteString("DataFolder", to, "General");
        if (copied) {
            if (m_history) {
                CDataFolderMove::RepointHistory(*m_history, source, to);
            }
            env->ReloadDataFolder();
        }
    });
    if (!copied) {
        CheckMessageBox(this,
                        QStringLiteral("Failed changing the data folder and copying your data "
                                       "files.\n Check for folder privileges or disk space."),
                        QStringLiteral("Could not change Data Folder"),
                        CCheckMessageBox::MB_ICONSTOP);
        return false;
    }
    m_dataFolder->setText(target);
    return true;
}
