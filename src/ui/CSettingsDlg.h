#pragma once

#include <QDialog>

class CAccountsPage;
class CGeneralPage;
class CInboxWardenEngine;
class CListsPage;
class CPreferencesPage;
class CSmtpPage;
class QTabWidget;

// "InboxWarden Settings": the pages General, Mail Accounts, SMTP Server,
// Lists and Preferences. OK saves every page and has the engine read its
// settings again, so every change takes effect without a restart.
class CSettingsDlg : public QDialog {
    Q_OBJECT

public:
    enum Page { GeneralPage, AccountsPage, SmtpPage, ListsPage, PreferencesPage };

    // engine may be null (no history cleanup then). With firstTime, exec()
    // runs the first-run wizard instead.
    CSettingsDlg(CInboxWardenEngine* engine, QWidget* parent, bool firstTime = false);

    int exec() override;
    // The first-run wizard; true when the user finished it.
    static bool RunFirstTime(QWidget* parent);
    // Writes the dialog's value of every key of the General table that the
    // settings file lacks, so a finished wizard leaves a configured program.
    static void WriteMissingDefaults();

    QTabWidget* Tabs() const { return m_tabs; }
    CGeneralPage* General() const { return m_general; }
    CAccountsPage* Accounts() const { return m_accounts; }
    CSmtpPage* Smtp() const { return m_smtp; }
    CListsPage* Lists() const { return m_lists; }
    CPreferencesPage* Preferences() const { return m_preferences; }

public slots:
    void accept() override;

private:
    void OnTabChanged(int index);
    // Shows the SMTP page again after it refused to be left.
    void BackToSmtpPage();

    CInboxWardenEngine* m_engine;
    bool m_firstTime;
    int m_shownTab = 0;
    bool m_switching = false;
    QTabWidget* m_tabs = nullptr;
    CGeneralPage* m_general = nullptr;
    CAccountsPage* m_accounts = nullptr;
    CSmtpPage* m_smtp = nullptr;
    CListsPage* m_lists = nullptr;
    CPreferencesPage* m_preferences = nullptr;
};
