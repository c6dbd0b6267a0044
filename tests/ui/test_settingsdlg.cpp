#include <curl/curl.h>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>
#include <filesystem>

#include "DbTestEnv.h"
#include "MailServers.h"
#include "MemorySecretStore.h"
#include "ModalAnswer.h"
#include "Pop3Mailbox.h"
#include "RecordingOwner.h"
#include "Screenshot.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "engine/CInboxWardenEngine.h"
#include "history/CAuthServIds.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "secrets/CPasswordAccess.h"
#include "signin/CAccessTokens.h"
#include "signin/COAuthSettings.h"
#include "signin/CRefreshTokenStore.h"
#include "support/CAppEnvironment.h"
#include "ui/CAccountsPage.h"
#include "ui/CFindFriendsDlg.h"
#include "ui/CFirstRunWizard.h"
#include "ui/CGeneralPage.h"
#include "ui/CPreferencesPage.h"
#include "ui/CSettingsDlg.h"
#include "ui/CSmtpPage.h"
#include "ui/StartWithWindows.h"

namespace {

CSettings& Settings() {
    return CAppEnvironment::Instance()->GetSettings();
}

template <typename T>
T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) {
        qWarning("no child %s", name);
    }
    return child;
}

void SetText(QWidget* parent, const char* name, const QString& text) {
    Child<QLineEdit>(parent, name)->setText(text);
}

// Points the shown account at a local server, plain connection.
void AimAt(QWidget* page, unsigned short port, const char* password = "secret") {
    SetText(page, "popName", QStringLiteral("127.0.0.1"));
    SetText(page, "popPort", QString::number(port));
    Child<QComboBox>(page, "popSecurity")->setCurrentIndex(0);
    SetText(page, "popLogin", QStringLiteral("bob"));
    SetText(page, "popPassword", QString::fromLatin1(password));
    SetText(page, "popVerifyPassword", QString::fromLatin1(password));
}

// One form post to the loopback token service's control endpoints.
void TokenService(const std::string& path, const std::string& form) {
    std::string url = MailServers::Get().Value("IW_MAIL_TOKEN_URL") + path;
    std::string ca = MailServers::Get().CaFile();
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    curl_easy_perform(curl);
    curl_easy_cleanup(curl);
}

}  // namespace

class TestSettingsDlg : public QObject {
    Q_OBJECT

    std::unique_ptr<DbTestEnv> m_env;

private slots:
    void init() {
        m_env = std::make_unique<DbTestEnv>();
        CFilterLists::Instance().Reload();
        QByteArray config = QByteArray::fromStdString(m_env->Home().File("config"));
        qputenv("XDG_CONFIG_HOME", config);
    }
    void cleanup() {
        CFilterLists::Instance().Reload();
        m_env.reset();
    }

    void emptyFileShowsDialogDefaultsAndOkWritesThem() {
        CSettingsDlg dialog(nullptr, nullptr);
        QWidget* general = dialog.General();
        QCOMPARE(Child<QLineEdit>(general, "interval")->text(), QStringLiteral("600"));
        QVERIFY(!Child<QLineEdit>(general, "interval")->isEnabled());
        QCOMPARE(Child<QLineEdit>(general, "daysToKeep")->text(), QStringLiteral("14"));
        QVERIFY(Child<QRadioButton>(general, "minutes")->isChecked());
        QVERIFY(Child<QCheckBox>(general, "sendConfirmations")->isChecked());
        QVERIFY(Child<QCheckBox>(general, "guardChallenges")->isChecked());
        QCOMPARE(Child<QLineEdit>(dialog.Preferences(), "remotePassword")->text(),
                 QStringLiteral("QX7315"));

        Child<QCheckBox>(general, "autoScan")->click();
        QVERIFY(Child<QLineEdit>(general, "interval")->isEnabled());
        SetText(general, "interval", QStringLiteral("45"));
        Child<QRadioButton>(general, "seconds")->click();
        Child<QCheckBox>(general, "guardChallenges")->click();
        Child<QCheckBox>(general, "startWithWindows")->click();
        Child<QComboBox>(dialog.Preferences(), "notificationType")->setCurrentIndex(2);
        SetText(dialog.Smtp(), "smtpName", QStringLiteral("smtp.example.org"));
        Child<QComboBox>(dialog.Smtp(), "smtpSecurity")->setCurrentIndex(1);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        const std::pair<const char*, const char*> expected[] = {
            {"AutoScan", "Yes"},
            {"Interval", "45"},
            {"IntervalInMinutes", "No"},
            {"DaysToKeepInfo", "14"},
            {"GuardChallenges", "No"},
            {"NotificationType", "2"},
            {"SmtpName", "smtp.example.org"},
            {"SmtpSecurity", "1"},
            {"SmtpPort", "587"},
            {"!RemoteCommandsPassword", "QX7315"},
            {"SendConfirmations", "Yes"},
            {"StartWithWindows", "Yes"},
        };
        for (const auto& [key, value] : expected) {
            QCOMPARE(QString::fromStdString(Settings().GetString(key, "General", "<absent>")),
                     QString::fromLatin1(value));
        }
        // The data folder is written by a move alone.
        QCOMPARE(Settings().GetString("DataFolder", "General", "<absent>"),
                 std::string("<absent>"));
        QVERIFY(StartupEntryPath().startsWith(
            QString::fromStdString(m_env->Home().File("config/autostart/InboxWarden-"))));
        QVERIFY(QFileInfo::exists(StartupEntryPath()));

        CSettingsDlg again(nullptr, nullptr);
        QVERIFY(Child<QRadioButton>(again.General(), "seconds")->isChecked());
        QVERIFY(Child<QCheckBox>(again.General(), "startWithWindows")->isChecked());
        QCOMPARE(Child<QLineEdit>(again.Smtp(), "smtpPort")->text(), QString());  // standard
    }

    void numberFieldsNeverSaveAnEmptyOrOutOfRangeValue() {
        // An empty stored number shows (and is saved back) as the dialog's default.
        Settings().WriteString("Interval", "", "General");
        Settings().WriteString("DaysToKeepInfo", "", "General");
        {
            CSettingsDlg dialog(nullptr, nullptr);
            QCOMPARE(Child<QLineEdit>(dialog.General(), "daysToKeep")->text(),
                     QStringLiteral("14"));
            Child<QLineEdit>(dialog.General(), "interval")->setText(QStringLiteral("30"));
            dialog.accept();
        }
        struct Edit {
            const char* interval;
            const char* days;
            const char* storedInterval;
            const char* storedDays;
        } edits[] = {{"", "", "30", "14"},
                     {"0", "", "30", "14"},
                     {"-5", "abc", "30", "14"},
                     {"45", "7", "45", "7"}};
        for (const Edit& e : edits) {
            CSettingsDlg dialog(nullptr, nullptr);
            SetText(dialog.General(), "interval", QString::fromLatin1(e.interval));
            SetText(dialog.General(), "daysToKeep", QString::fromLatin1(e.days));
            dialog.accept();
            QCOMPARE(Settings().GetString("Interval", "General", ""),
                     std::string(e.storedInterval));
            QCOMPARE(Settings().GetString("DaysToKeepInfo", "General", ""),
                     std::string(e.storedDays));
        }
    }

    // The page shows where the passwords are and moves them either way; a
    // keyring that fails leaves the settings file as it was and says why.
    void passwordsMoveBetweenKeyringAndFileFromTheGeneralPage() {
        auto store = std::make_shared<MemorySecretStore>();
        CSecretStore::SetCurrent(store);
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("!PopPassword", "pop-pw", "Home");
        struct Step {
            const char* failure;  // the keyring's, empty when it works
            const char* shownBefore;
            const char* afterWhere;
            size_t keyringItems;
        };
        const Step steps[] = {
            {"No Secret Service on the session bus", "until a desktop keyring", "", 0},
            {"", "until a desktop keyring", "keyring", 1},
            {"The keyring is locked", "in the desktop keyring", "keyring", 1},
            {"", "in the desktop keyring", "file", 0},
        };
        for (const Step& step : steps) {
            store->FailWith(step.failure);
            CSettingsDlg dialog(nullptr, nullptr);
            QLabel* shown = Child<QLabel>(dialog.General(), "passwordStore");
            QVERIFY2(shown->text().contains(QString::fromLatin1(step.shownBefore)),
                     qPrintable(shown->text()));
            const std::string before = TempHome::ReadFile(Settings().GetPath());
            ModalAnswer answer;
            if (*step.failure) {
                answer.Press(QMessageBox::Ok);
            }
            Child<QPushButton>(dialog.General(), "movePasswords")->click();
            if (*step.failure) {
                QVERIFY(answer.Seen().join(QString()).contains(QString::fromLatin1(step.failure)));
                QCOMPARE(TempHome::ReadFile(Settings().GetPath()), before);
            }
            QCOMPARE(Settings().GetString("PasswordStore", "General", ""),
                     std::string(step.afterWhere));
            store->FailWith("");
            QCOMPARE(store->Count(), step.keyringItems);
            std::string why;
            QCOMPARE(CPasswordAccess(Settings()).Read(CPasswordAccess::Pop("Home"), "", &why),
                     std::optional<std::string>("pop-pw"));
        }
        CSecretStore::SetCurrent(nullptr);
    }

    void cleanupHistoryAsksThenRemovesOldRecords() {
        RecordingOwner owner;
        CInboxWardenEngine engine;
        QVERIFY(engine.Initialize(&owner));
        engine.GetHistory().Add(new CEmailData("Home", 1000, "Bob <bob@x.org>", "Hi", 1, "", "", 1,
                                               ES_Deleted, 0, "Unknown Sender", "", 0));
        CGeneralPage page(&engine);
        const std::pair<QMessageBox::StandardButton, int> answers[] = {{QMessageBox::No, 1},
                                                                       {QMessageBox::Yes, 0}};
        for (const auto& [button, left] : answers) {
            ModalAnswer answer;
            answer.Press(button);
            page.OnCleanupHistory();
            QVERIFY(answer.AllUsed());
            QVERIFY(answer.Seen()[0].startsWith(QStringLiteral("Clean History?|This will delete")));
            QCOMPARE(engine.GetHistory().GetCount(), left);
            QVERIFY(page.window()->isEnabled());
        }
    }

    void differentPop3PasswordsSaveAnEmptyOneAndStopFiltering() {
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("!PopPassword", "old", "Home");
        Settings().WriteBool("Filter", true, "Home");
        CAccountsPage page(false);
        page.Load();
        QCOMPARE(page.ShownAccount(), QStringLiteral("Home"));
        QCOMPARE(Child<QLineEdit>(&page, "popVerifyPassword")->text(), QStringLiteral("old"));
        SetText(&page, "popPassword", QStringLiteral("one"));
        SetText(&page, "popVerifyPassword", QStringLiteral("two"));
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok);
        QVERIFY(!page.SaveAccount());
        QCOMPARE(answer.Seen(), QStringList{QStringLiteral(
                                    "InboxWarden|The two POP3 passwords you entered are "
                                    "different.\nUntil they are corrected and match this account "
                                    "will be disabled.")});
        QCOMPARE(Settings().GetString("!PopPassword", "Home", "<absent>"), std::string());
        QCOMPARE(Settings().GetString("Filter", "Home", "<absent>"), std::string("No"));
        QVERIFY(!Child<QCheckBox>(&page, "filterAccount")->isChecked());
    }

    // The page says, per account, whether senders are verified and with what.
    void accountVerificationNote() {
        Settings().WriteString("AccountsList", "Plain,Taught,Set,New", "General");
        Settings().WriteString("AuthServId", "mx.set.example", "Set");
        CAuthServIds ids(CInboxWardenDb::Instance());
        for (int i = 0; i < CAuthServIds::kLearnAfter; ++i) {
            QVERIFY(ids.Observe("Plain", false, ""));
            QVERIFY(ids.Observe("Taught", true, "mx.taught.example"));
        }
        CAccountsPage page(false);
        page.Load();
        const char* expected[] = {"not available for this account", "\"mx.taught.example\"",
                                  "verified with the results this server writes",
                                  "starts when 20 messages"};
        for (int i = 0; i < 4; ++i) {
            Child<QComboBox>(&page, "accountList")->setCurrentIndex(i);
            QString note = Child<QLabel>(&page, "verificationNote")->text();
            QVERIFY2(note.contains(QString::fromLatin1(expected[i])), qPrintable(note));
        }
        QCOMPARE(Child<QLineEdit>(&page, "authServId")->text(), QStringLiteral(""));
        Child<QComboBox>(&page, "accountList")->setCurrentIndex(2);
        QCOMPARE(Child<QLineEdit>(&page, "authServId")->text(), QStringLiteral("mx.set.example"));
    }

    void accountsAreAddedSwitchedAndRemoved() {
        CAccountsPage page(false);
        page.Load();
        QCOMPARE(page.ShownAccount(), QString());
        const char* names[] = {"Home", "Work"};
        for (const char* name : names) {
            ModalAnswer answer;
            answer.Then([name](QWidget* box) {
                box->findChild<QLineEdit*>()->setText(QString::fromLatin1(name));
                qobject_cast<QDialog*>(box)->accept();
            });
            page.OnNewAccount();
            QVERIFY(answer.AllUsed());
            QCOMPARE(page.ShownAccount(), QString::fromLatin1(name));
            QVERIFY(Child<QCheckBox>(&page, "filterAccount")->isChecked());
            QCOMPARE(Child<QComboBox>(&page, "popSecurity")->currentIndex(), 2);
            SetText(&page, "emailAddress", QString::fromLatin1(name) + QStringLiteral("@x.org"));
        }
        QCOMPARE(Settings().GetString("AccountsList", "General", ""), std::string("Home,Work"));
        // Switching saves the shown account (here Work, with its standard port).
        Child<QComboBox>(&page, "accountList")->setCurrentIndex(0);
        QCOMPARE(Settings().GetString("emailAddress", "Work", ""), std::string("Work@x.org"));
        QCOMPARE(Settings().GetString("PopPort", "Work", ""), std::string("995"));
        QCOMPARE(Child<QLineEdit>(&page, "emailAddress")->text(), QStringLiteral("Home@x.org"));

        // A name that would break the account list, open another account
        // (its section is found without regard to case or end blanks) or a
        // section of our own is refused, and the shown account is left as it is.
        Child<QComboBox>(&page, "popSecurity")->setCurrentIndex(0);
        for (const char* name : {"a,b", "home", " Work ", "GENERAL", "prompts"}) {
            ModalAnswer refuse;
            refuse
                .Then([name](QWidget* box) {
                    box->findChild<QLineEdit*>()->setText(QString::fromLatin1(name));
                    qobject_cast<QDialog*>(box)->accept();
                })
                .Press(QMessageBox::Ok);
            page.OnNewAccount();
            QVERIFY2(refuse.AllUsed(), name);
            QCOMPARE(Settings().GetString("AccountsList", "General", ""), std::string("Home,Work"));
            QCOMPARE(page.ShownAccount(), QStringLiteral("Home"));
            QCOMPARE(Child<QComboBox>(&page, "popSecurity")->currentIndex(), 0);
        }

        page.OnRemoveAccount();
        QCOMPARE(Settings().GetString("AccountsList", "General", ""), std::string("Work"));
        QCOMPARE(page.ShownAccount(), QStringLiteral("Work"));
    }

    void pop3TestOutcomes() {
        Settings().WriteString("AccountsList", "Home", "General");
        struct Case {
            const char* name;
            bool failStat;
            bool refuse;
            QStringList boxes;
            int buttons;
        };
        const Case cases[] = {
            {"login works, STAT fails", true, false, {}, 1},
            {"all good",
             false,
             false,
             {QStringLiteral("SUCCESS|InboxWarden successfuly logged in to your POP3 (incoming) "
                             "mail server.")},
             3},
            {"nobody listens",
             false,
             true,
             {QStringLiteral("Error|Could not reach your POP3 server.\nPlease check your server "
                             "name and login information.")},
             1},
        };
        for (const Case& c : cases) {
            Pop3Mailbox box("bob", "secret");
            box.AddMessage("Subject: hi\r\n\r\nbody\r\n");
            if (c.failStat) {
                box.FailWith("STAT", "-ERR mailbox locked\r\n");
            }
            unsigned short port = 0;
            if (c.refuse) {
                // A port that was just free and is closed again: refused at once.
                ScriptedServer gone(1000);
                port = gone.Port();
            }
            ScriptedServer server(10000);
            server.ServeEach(box.Handler(), 1).Start();
            if (!c.refuse) {
                port = server.Port();
            }
            CAccountsPage page(false);
            page.Load();
            AimAt(&page, port);
            QSignalSpy buttons(&page, &CAccountsPage::WizardButtons);
            ModalAnswer answer;
            for (int i = 0; i < c.boxes.size(); ++i) {
                answer.Press(QMessageBox::Ok);
            }
            Child<QPushButton>(&page, "testPop3")->click();
            QVERIFY(page.IsTesting() || buttons.count() > 0);
            QTRY_VERIFY_WITH_TIMEOUT(buttons.count() == 1, 10000);
            QVERIFY2(!page.IsTesting(), c.name);
            QCOMPARE(buttons.takeFirst().at(0).toInt(), c.buttons);
            QCOMPARE(answer.Seen(), c.boxes);
            QVERIFY2(QFileInfo::exists(QString::fromStdString(
                         m_env->Home().File("InboxWardenSettingsPOP3Test.log"))),
                     c.name);
            server.Stop();
        }
    }

    // Run by the real-server suite (ui_certificate_trust), which starts the
    // loopback Dovecot with its self-signed certificate.
    void certificateTrustIsOfferedAndKept() {
        if (qEnvironmentVariableIsEmpty("IW_MAIL_ENV") || MailServers::Get().CaFile().empty()) {
            QSKIP("needs the loopback mail servers (ctest -R ui_certificate_trust)");
        }
        const MailServers& servers = MailServers::Get();
        Settings().WriteString("AccountsList", "Home", "General");
        CAccountsPage page(false);
        page.Load();
        SetText(&page, "popName", QString::fromStdString(servers.Host()));
        SetText(&page, "popPort", QString::number(servers.Pop3Port()));
        Child<QComboBox>(&page, "popSecurity")->setCurrentIndex(1);
        SetText(&page, "popLogin", QString::fromStdString(servers.Address("me")));
        for (const char* name : {"popPassword", "popVerifyPassword"}) {
            SetText(&page, name, QString::fromStdString(servers.Password("me")));
        }
        const QString success = QStringLiteral(
            "SUCCESS|InboxWarden successfuly logged in to your POP3 (incoming) mail server.");
        // Declined: the error box, nothing stored. Trusted: stored, and the
        // test run again passes. Then no question any more.
        struct Case {
            bool trust;
            bool asked;
            QString last;
        };
        const Case cases[] = {
            {false, true, QStringLiteral("Error|Could not reach your POP3 server.")},
            {true, true, success},
            {false, false, success},
        };
        for (const Case& c : cases) {
            ModalAnswer answer;
            QString trustText;
            if (c.asked) {
                answer.Then([&](QWidget* window) {
                    trustText = qobject_cast<QMessageBox*>(window)->text();
                    auto* trust =
                        window->findChild<QAbstractButton*>(QStringLiteral("trustCertificate"));
                    QVERIFY(trust != nullptr);
                    if (c.trust) {
                        trust->click();
                    } else {
                        window->close();
                    }
                });
            }
            answer.Press(QMessageBox::Ok);
            QSignalSpy buttons(&page, &CAccountsPage::WizardButtons);
            Child<QPushButton>(&page, "testPop3")->click();
            QTRY_VERIFY_WITH_TIMEOUT(answer.AllUsed() && !page.IsTesting(), 15000);
            QVERIFY2(answer.Seen().last().startsWith(c.last), qPrintable(answer.Seen().last()));
            QCOMPARE(trustText.contains(QStringLiteral("SHA-256")), c.asked);
            QCOMPARE(Settings().GetString("PopCertSha256", "Home", "").size(),
                     c.trust || !c.asked ? size_t(95) : size_t(0));
        }
    }

    void findFriendsCancelEndsASilentSearchAtOnce() {
        ScriptedServer server(10000);
        server.Silence(8000);
        server.Start();
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("PopName", "127.0.0.1", "Home");
        Settings().WriteInt("PopPort", server.Port(), "Home");
        CFindFriendsDlg dialog;
        dialog.show();
        QVERIFY(Child<QPushButton>(&dialog, "searchButton")->isEnabled());
        Child<QPushButton>(&dialog, "searchButton")->click();
        QVERIFY(dialog.IsBusy());
        QTest::qWait(200);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(Child<QPushButton>(&dialog, "closeButton")->text(), QStringLiteral("Cancel"));
        Child<QPushButton>(&dialog, "closeButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.IsBusy(), 3000);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(dialog.isVisible());
        QCOMPARE(Child<QLabel>(&dialog, "status")->text(), QStringLiteral("Cancelled."));
        server.Stop();
    }

    void cancelEndsASilentTestAtOnce() {
        Settings().WriteString("AccountsList", "Home", "General");
        ScriptedServer server(10000);
        server.Silence(8000);
        server.Start();
        CAccountsPage page(false);
        page.Load();
        AimAt(&page, server.Port());
        QSignalSpy buttons(&page, &CAccountsPage::WizardButtons);
        Child<QPushButton>(&page, "testPop3")->click();
        QTRY_VERIFY_WITH_TIMEOUT(page.findChild<QProgressDialog*>() != nullptr, 2000);
        QTest::qWait(200);
        QElapsedTimer timer;
        timer.start();
        page.findChild<QProgressDialog*>()->findChild<QPushButton*>()->click();
        QVERIFY(!page.IsTesting());
        QVERIFY(Child<QPushButton>(&page, "testPop3")->isEnabled());
        // The thread ends within a step of the abort; the page can test again.
        page.OnCancelTest();
        QTest::qWait(300);
        QCOMPARE(buttons.count(), 0);
        QVERIFY(timer.elapsed() < 3000);
        server.Stop();
    }

    // A provider's preset fills the server and shows its endpoints read-only,
    // whatever the file held before; Custom keeps what the user types; the
    // password fields are for password accounts only.
    void oauthFieldsFollowTheMethodAndTheProvider() {
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("OAuthTokenUrl", "https://stale.example/token", "Home");
        Settings().WriteString("OAuthProvider", "google", "Home");
        const char* custom = "https://127.0.0.1:9/token";
        struct Step {
            int method;    // 0 password, 1 OAuth2
            int provider;  // 0 Google, 1 Microsoft, 2 Custom (editable)
            const char* server;
            const char* tokenUrl;  // as shown and saved
        } steps[] = {
            {1, 1, "outlook.office365.com",
             "https://login.microsoftonline.com/common/oauth2/v2.0/token"},
            {1, 2, "outlook.office365.com", custom},
            {1, 0, "pop.gmail.com", "https://oauth2.googleapis.com/token"},
            {1, 2, "pop.gmail.com", custom},
            {0, 2, "pop.gmail.com", custom},
        };
        for (const Step& step : steps) {
            CAccountsPage page(false);
            page.Load();
            QLineEdit* token = Child<QLineEdit>(&page, "oauthTokenUrl");
            QVERIFY(token->text() != QStringLiteral("https://stale.example/token"));
            Child<QComboBox>(&page, "popAuth")->setCurrentIndex(step.method);
            // A preset is chosen from Custom, so that choosing it is a change.
            Child<QComboBox>(&page, "oauthProvider")->setCurrentIndex(2);
            Child<QComboBox>(&page, "oauthProvider")->setCurrentIndex(step.provider);
            QCOMPARE(token->isReadOnly(), step.provider != 2);
            if (step.provider == 2) {
                token->setText(QString::fromLatin1(custom));
            }
            SetText(&page, "oauthClientId", QStringLiteral("client-1"));
            SetText(&page, "oauthClientSecret", QStringLiteral("s3cret"));
            QCOMPARE(Child<QLineEdit>(&page, "popName")->text(), QString::fromLatin1(step.server));
            QCOMPARE(Child<QLineEdit>(&page, "popPort")->text(), QString());  // the standard 995
            QCOMPARE(Child<QComboBox>(&page, "popSecurity")->currentIndex(), 2);
            QCOMPARE(Child<QLineEdit>(&page, "popPassword")->isEnabled(), step.method == 0);
            QCOMPARE(Child<QWidget>(&page, "oauthGroup")->isEnabled(), step.method == 1);
            QCOMPARE(Child<QPushButton>(&page, "signInButton")->isHidden(), step.method == 0);
            QVERIFY(page.SaveAccount());
            COAuthSettings saved = COAuthSettings::Read(Settings(), "Home");
            QCOMPARE(COAuthSettings::UsesOAuth(Settings(), "Home"), step.method == 1);
            QCOMPARE(saved.tokenUrl + "|" + saved.clientId + "|" + saved.clientSecret,
                     std::string(step.tokenUrl) + "|client-1|s3cret");
            QCOMPARE(Settings().GetString("PopName", "Home", ""), std::string(step.server));
        }
        // The secret is not kept readable in the file.
        QVERIFY(TempHome::ReadFile(Settings().GetPath()).find("s3cret") == std::string::npos);
    }

    // SMTP signs in as one of the accounts; one since removed stays chosen.
    void smtpOAuthAccountIsChosenFromTheAccounts() {
        Settings().WriteString("AccountsList", "Home,Work", "General");
        struct Case {
            const char* stored;
            int method;
            const char* chosen;  // by the user, null to keep what shows
            const char* saved;
        } cases[] = {
            {"", 1, "Work", "Work"},
            {"work", 1, nullptr, "Work"},
            {"Gone", 1, nullptr, "Gone"},
            {"Home", 0, "Work", "Home"},
        };
        for (const Case& c : cases) {
            Settings().WriteString("SmtpOAuthAccount", c.stored, "General");
            CSmtpPage page;
            page.Load();
            Child<QComboBox>(&page, "smtpAuth")->setCurrentIndex(c.method);
            QComboBox* account = Child<QComboBox>(&page, "smtpOAuthAccount");
            if (c.chosen != nullptr) {
                account->setCurrentIndex(account->findText(QString::fromLatin1(c.chosen)));
            }
            QCOMPARE(account->isEnabled(), c.method == 1);
            QCOMPARE(Child<QLineEdit>(&page, "smtpPassword")->isEnabled(), c.method == 0);
            QVERIFY(page.Save());
            QCOMPARE(Settings().GetInt("SmtpAuth", "General", -1), c.method);
            QCOMPARE(Settings().GetString("SmtpOAuthAccount", "General", ""), std::string(c.saved));
        }
    }

    // The POP3 test of an OAuth2 account logs in with its token, and says
    // so plainly, without connecting, when there is none.
    void pop3TestOfAnOAuthAccountUsesItsToken() {
        Settings().WriteString("AccountsList", "Home", "General");
        const QString none = QStringLiteral(
            "Error|InboxWarden has no OAuth2 sign-in to log in with for \"Home\":\n");
        struct Case {
            bool expired;
            const char* token;  // in the token cache, null for none
            QString box;
        } cases[] = {
            {false, nullptr, none + QStringLiteral("Not signed in")},
            {true, nullptr, none + QStringLiteral("Sign-in expired")},
            {false, "tok-123", QStringLiteral("SUCCESS|InboxWarden successfuly logged in")},
        };
        for (const Case& c : cases) {
            Settings().WriteBool("OAuthSignInExpired", c.expired, "Home");
            CAccessTokens::Instance().Forget("Home");
            if (c.token != nullptr) {
                CAccessTokens::Instance().Put("Home", c.token, 3600);
            }
            QByteArray payload = QByteArray(
                                     "user=bob\x01"
                                     "auth=Bearer ") +
                                 c.token + "\x01\x01";
            ScriptedServer server(10000);
            server.Send("+OK ready\r\n").Expect("CAPA\r\n").Send("+OK\r\nSASL XOAUTH2\r\n.\r\n");
            server.Expect("AUTH XOAUTH2\r\n").Send("+ \r\n");
            server.Expect(payload.toBase64().toStdString() + "\r\n").Send("+OK in\r\n");
            server.Expect("STAT\r\n").Send("+OK 0 0\r\n").Silence(2000).Start();
            CAccountsPage page(false);
            page.Load();
            AimAt(&page, server.Port(), "");
            Child<QComboBox>(&page, "popAuth")->setCurrentIndex(1);
            SetText(&page, "oauthClientId", QStringLiteral("client-1"));
            SetText(&page, "oauthTokenUrl", QStringLiteral("https://127.0.0.1:9/token"));
            ModalAnswer answer;
            answer.Press(QMessageBox::Ok);
            Child<QPushButton>(&page, "testPop3")->click();
            QTRY_VERIFY_WITH_TIMEOUT(answer.AllUsed() && !page.IsTesting(), 10000);
            QVERIFY2(answer.Seen().join(QString()).startsWith(c.box), qPrintable(c.box));
            QCOMPARE(server.ConnectionsAccepted(), c.token ? 1 : 0);
            server.Stop();
            QVERIFY(c.token == nullptr || server.Failures().empty());
        }
        CAccessTokens::Instance().Forget("Home");
    }

    // The code sign-in: its box shows the address and the code while the
    // sign-in polls on its thread; the end comes back to the status line;
    // Cancel ends it with nothing kept. The reachable cases run in the
    // real-server suite (ui_code_signin), which starts the token service.
    void codeSignInShowsTheCodeAndReportsTheEnd() {
        const MailServers& servers = MailServers::Get();
        const bool running = !qEnvironmentVariableIsEmpty("IW_MAIL_ENV") &&
                             !servers.Value("IW_MAIL_TOKEN_URL").empty();
        const std::pair<const char*, std::string> keys[] = {
            {"PopAuth", "1"},
            {"OAuthProvider", "custom"},
            {"OAuthScope", "mail"},
            {"PopLogin", "me@iw.test"},
            {"OAuthClientId", running ? servers.Value("IW_MAIL_OAUTH_CLIENT") : "client-1"}};
        for (const auto& [key, value] : keys) {
            Settings().WriteString(key, value, "Home");
        }
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("TlsCaFile", running ? servers.CaFile() : "", "General");
        struct Case {
            bool reachable;
            bool approve;  // else Cancel once the code shows
            const char* status;
        } cases[] = {
            {false, false, "Cannot reach the sign-in server"},
            {true, false, "Sign-in cancelled"},
            {true, true, "Signed in as me@iw.test"},
        };
        for (const Case& c : cases) {
            if (c.reachable && !running) {
                continue;
            }
            std::string url =
                c.reachable ? servers.Value("IW_MAIL_TOKEN_URL") : "https://127.0.0.1:1";
            Settings().WriteString("OAuthDeviceUrl", url + "/device", "Home");
            Settings().WriteString("OAuthTokenUrl", url + "/token", "Home");
            CAccountsPage page(false);
            page.Load();
            Child<QPushButton>(&page, "signInCodeButton")->click();
            if (c.reachable) {
                QLabel* shown = nullptr;
                QTRY_VERIFY_WITH_TIMEOUT(
                    (shown = page.findChild<QLabel*>("codeSignInText")) != nullptr &&
                        shown->text().contains(QStringLiteral("enter the code")),
                    10000);
                std::string code = shown->text().section(QLatin1Char(' '), -1).toStdString();
                // Approved after a cancel too: nothing may be kept then, and no
                // code is left pending for the other tests of the service.
                if (!c.approve) {
                    page.findChild<QDialog*>("codeSignInBox")->reject();
                }
                TokenService("/control/approve",
                             "user_code=" + code + "&username=" + servers.Address("me"));
                if (!c.approve) {
                    QTest::qWait(1500);  // more than the service's poll interval
                }
            }
            QTRY_VERIFY_WITH_TIMEOUT(Child<QLabel>(&page, "signInStatus")
                                         ->text()
                                         .startsWith(QString::fromLatin1(c.status)),
                                     15000);
            QVERIFY(page.findChild<QDialog*>("codeSignInBox") == nullptr ||
                    !page.findChild<QDialog*>("codeSignInBox")->isVisible());
            std::string token, error;
            QVERIFY(CRefreshTokenStore::Load(
                Settings(), CAppEnvironment::Instance()->GetProgramFolder(), "Home", token, error));
            QCOMPARE(token.empty(), !c.approve);
        }
        CAccessTokens::Instance().Forget("Home");
    }

    void smtpTestNeedsAnAccountAndSendsTheTestMessage() {
        SmtpSink sink;
        ScriptedServer server(10000);
        server.ServeEach(sink.Handler(), 1).Start();
        CSmtpPage page;
        page.Load();
        SetText(&page, "smtpName", QStringLiteral("127.0.0.1"));
        SetText(&page, "smtpPort", QString::number(server.Port()));
        Child<QComboBox>(&page, "smtpSecurity")->setCurrentIndex(0);
        {
            ModalAnswer answer;
            answer.Press(QMessageBox::Ok);
            Child<QPushButton>(&page, "testSmtp")->click();
            QCOMPARE(answer.Seen(),
                     QStringList{QStringLiteral("Error|You need at least one POP account set up "
                                                "in order to test your SMTP server")});
            QVERIFY(!page.IsTesting());
            QTest::qWait(100);
            QCOMPARE(server.ConnectionsAccepted(), 0);
        }
        Settings().WriteString("AccountsList", "Home,Work", "General");
        Settings().WriteString("emailAddress", "me@home.example", "Home");
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok);
        Child<QPushButton>(&page, "testSmtp")->click();
        QTRY_VERIFY_WITH_TIMEOUT(answer.AllUsed() && !page.IsTesting(), 10000);
        QCOMPARE(answer.Seen(),
                 QStringList{QStringLiteral("Success|A test message was sent without "
                                            "error.\nReception of that message will indicate "
                                            "that\nInboxWarden is configured properly.")});
        server.Wait();
        auto deliveries = sink.Deliveries();
        QCOMPARE(deliveries.size(), size_t(1));
        QCOMPARE(QString::fromStdString(deliveries[0].from), QStringLiteral("me@home.example"));
        QVERIFY(deliveries[0].data.find("Subject: InboxWarden SMTP Server Test") !=
                std::string::npos);
    }

    void unequalSmtpPasswordsKeepTheUserOnThePage() {
        CSettingsDlg dialog(nullptr, nullptr);
        dialog.Tabs()->setCurrentIndex(CSettingsDlg::SmtpPage);
        SetText(dialog.Smtp(), "smtpPassword", QStringLiteral("a"));
        SetText(dialog.Smtp(), "smtpVerifyPassword", QStringLiteral("b"));
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok).Press(QMessageBox::Ok);
        dialog.Tabs()->setCurrentIndex(CSettingsDlg::ListsPage);
        QCOMPARE(dialog.Tabs()->currentIndex(), int(CSettingsDlg::SmtpPage));
        QCOMPARE(Child<QLineEdit>(dialog.Smtp(), "smtpPassword")->text(), QString());
        dialog.accept();  // still different: refused
        QVERIFY(answer.AllUsed());
        QVERIFY(dialog.result() != QDialog::Accepted);
        SetText(dialog.Smtp(), "smtpVerifyPassword", QString());
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void remoteCommandsNeedEqualPasswords() {
        CPreferencesPage page;
        page.Load();
        auto* remote = Child<QCheckBox>(&page, "enableRemoteCommands");
        SetText(&page, "remoteRetypePassword", QStringLiteral("other"));
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok);
        remote->click();
        QVERIFY(!remote->isChecked());
        QCOMPARE(answer.Seen(),
                 QStringList{QStringLiteral("Password error|Your two password entries are "
                                            "different, Remote Commands will be disabled")});
        SetText(&page, "remoteRetypePassword", QStringLiteral("QX7315"));
        remote->click();
        QVERIFY(remote->isChecked());
        SetText(&page, "remotePassword", QStringLiteral("changed"));
        emit Child<QLineEdit>(&page, "remotePassword")->editingFinished();
        QVERIFY(!remote->isChecked());
    }

    void resetPromptsWithAndWithoutKeys() {
        for (bool withKeys : {false, true}) {
            if (withKeys) {
                Settings().WriteBool("DontAskIfSureExit", true, "Prompts");
                Settings().WriteBool("DontAskForDeleteListEntry", true, "Prompts");
            }
            CPreferencesPage page;
            ModalAnswer answer;
            answer.Press(QMessageBox::Ok);
            page.OnResetPrompts();
            QCOMPARE(answer.Seen(), QStringList{QStringLiteral(
                                        "Prompts reset|All your opted-out prompts have been "
                                        "reset.")});
            for (const std::string& key : Settings().GetSectionKeys("Prompts")) {
                QCOMPARE(Settings().GetString(key, "Prompts", ""), std::string("No"));
            }
            QCOMPARE(Settings().GetSectionKeys("Prompts").size(), size_t(withKeys ? 2 : 0));
        }
    }

    void dataFolderMoveSucceedsOrChangesNothing() {
        CFilterLists::Instance().AddWord("pal@x.org", FL_Friends);
        std::string home = m_env->Home().Path();
        std::filesystem::create_directories(home + "Quarantine/Home");
        TempHome::WriteFile(home + "Quarantine/Home/7.eml", "Subject: q\r\n\r\nq\r\n");
        QString target = QString::fromStdString(home + "newdata");
        CPreferencesPage page;
        page.Load();
        QVERIFY(page.MoveDataFolder(target));
        QCOMPARE(QString::fromStdString(Settings().GetString("DataFolder", "General", "")), target);
        QCOMPARE(QString::fromStdString(CAppEnvironment::Instance()->GetDataFolder()), target);
        QCOMPARE(Child<QLineEdit>(&page, "dataFolder")->text(), target);
        QVERIFY(TempHome::ReadFile(home + "copyOutput.txt").find("succeeded") != std::string::npos);
        std::filesystem::remove(home + "InboxWarden.mdb");
        CFilterLists::Instance().Reload();
        QCOMPARE(CFilterLists::Instance().GetCount(FL_Friends), 1);
        QCOMPARE(TempHome::ReadFile(target.toStdString() + "/Quarantine/Home/7.eml"),
                 std::string("Subject: q\r\n\r\nq\r\n"));

        // From a folder without a database (home, its database removed): nothing changes.
        Settings().WriteString("DataFolder", home + "empty", "General");
        CAppEnvironment::Instance()->ReloadDataFolder();
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok);
        QVERIFY(!page.MoveDataFolder(QString::fromStdString(home + "elsewhere")));
        QCOMPARE(answer.Seen(),
                 QStringList{QStringLiteral("Could not change Data Folder|Failed changing the data "
                                            "folder and copying your data files.\n Check for "
                                            "folder privileges or disk space.")});
        QCOMPARE(Settings().GetString("DataFolder", "General", ""), home + "empty");
    }

    void wizardOffersNextOnlyAfterASuccessfulTest() {
        Pop3Mailbox box("bob", "secret");
        ScriptedServer server(15000);
        box.FailWith("STAT", "-ERR not now\r\n");
        server.ServeEach(box.Handler(), 1);
        Pop3Mailbox good("bob", "secret");
        server.NextConnection().ServeEach(good.Handler(), 1);
        // The last page reads who wrote the mail on the server.
        Pop3Mailbox mail("bob", "secret");
        mail.AddMessage("From: Ann <ann@x.org>\r\nSubject: hi\r\n\r\nbody\r\n");
        mail.AddMessage("From: friend@example.org\r\nSubject: known\r\n\r\nbody\r\n");
        mail.AddMessage("From: news@x.org\r\nList-Id: <l.x.org>\r\nSubject: n\r\n\r\nb\r\n");
        server.NextConnection().ServeEach(mail.Handler(), 1);
        server.Start();
        CFilterLists::Instance().AddWord("friend@example.org", FL_Friends);

        CFirstRunWizard wizard;
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));
        QVERIFY(SaveShot(wizard, QStringLiteral("wizard_intro")));
        ModalAnswer name;
        name.Then([](QWidget* input) {
            input->findChild<QLineEdit*>()->setText(QStringLiteral("Home"));
            qobject_cast<QDialog*>(input)->accept();
        });
        wizard.next();
        QTRY_VERIFY_WITH_TIMEOUT(name.AllUsed(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(wizard.Accounts()->ShownAccount(), QStringLiteral("Home"), 5000);
        QAbstractButton* next = wizard.button(QWizard::NextButton);
        QVERIFY(!next->isEnabled());
        QVERIFY(!Child<QComboBox>(wizard.Accounts(), "accountList")->isEnabled());
        QVERIFY(!Child<QCheckBox>(wizard.Accounts(), "filterAccount")->isEnabled());
        AimAt(wizard.Accounts(), server.Port());
        SetText(wizard.Accounts(), "emailAddress", QStringLiteral("bob@home.example"));
        QVERIFY(SaveShot(wizard, QStringLiteral("wizard_account")));

        // STAT refused: still no Next.
        QSignalSpy buttons(wizard.Accounts(), &CAccountsPage::WizardButtons);
        Child<QPushButton>(wizard.Accounts(), "testPop3")->click();
        QTRY_VERIFY_WITH_TIMEOUT(buttons.count() == 1, 10000);
        QVERIFY(!next->isEnabled());

        ModalAnswer success;
        success.Press(QMessageBox::Ok);
        Child<QPushButton>(wizard.Accounts(), "testPop3")->click();
        QTRY_VERIFY_WITH_TIMEOUT(buttons.count() == 2, 10000);
        QVERIFY(next->isEnabled());
        wizard.next();
        QCOMPARE(wizard.currentId(), int(CFirstRunWizard::SmtpIntroPage));
        QCOMPARE(Settings().GetString("emailAddress", "Home", ""), std::string("bob@home.example"));
        QCOMPARE(Settings().GetString("Filter", "Home", ""), std::string("Yes"));
        wizard.next();
        SetText(wizard.Smtp(), "smtpName", QStringLiteral("smtp.home.example"));
        QVERIFY(SaveShot(wizard, QStringLiteral("wizard_smtp")));
        wizard.next();
        QCOMPARE(wizard.currentId(), int(CFirstRunWizard::FriendsPage));
        auto* senders = wizard.findChild<QTreeWidget*>(QStringLiteral("senders"));
        QTRY_COMPARE_WITH_TIMEOUT(senders->topLevelItemCount(), 2, 10000);
        QCOMPARE(senders->topLevelItem(0)->text(0), QStringLiteral("Ann <ann@x.org>"));
        QCOMPARE(senders->topLevelItem(0)->checkState(0), Qt::Checked);
        QCOMPARE(senders->topLevelItem(1)->checkState(0), Qt::Unchecked);
        auto* findFriends = wizard.findChild<CFindFriendsDlg*>();
        QTRY_VERIFY_WITH_TIMEOUT(!findFriends->IsBusy(), 5000);
        wizard.findChild<QPushButton*>(QStringLiteral("addButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(findFriends->AddedCount() == 1 && !findFriends->IsBusy(), 5000);
        QCOMPARE(CFilterLists::Instance().Find(FL_Friends, "ann@x.org", true) >= 0, true);
        QCOMPARE(senders->topLevelItemCount(), 1);
        QCOMPARE(mail.Messages().size(), size_t(3));
        QCOMPARE(mail.CountCommands("TOP 3 0\r\n"), 1);
        QCOMPARE(mail.CountCommands("DELE") + mail.CountCommands("RETR"), 0);
        wizard.accept();
        QCOMPARE(Settings().GetString("SmtpName", "General", ""), std::string("smtp.home.example"));
        CSettingsDlg::WriteMissingDefaults();
        QCOMPARE(Settings().GetInt("Interval", "General", 0), 600);
        server.Stop();
    }

    void screenshotsOfEveryPage() {
        Settings().WriteString("AccountsList", "Home", "General");
        Settings().WriteString("emailAddress", "me@home.example", "Home");
        Settings().WriteString("PopName", "pop.home.example", "Home");
        CFilterLists::Instance().AddWord("friend@example.org", FL_Friends);
        CSettingsDlg dialog(nullptr, nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const char* names[] = {"settings_general", "settings_accounts", "settings_smtp",
                               "settings_lists", "settings_preferences"};
        for (int i = 0; i < 5; ++i) {
            dialog.Tabs()->setCurrentIndex(i);
            QTest::qWait(20);
            QVERIFY(SaveShot(dialog, QString::fromLatin1(names[i])));
        }
    }
};

QTEST_MAIN(TestSettingsDlg)
#include "test_settingsdlg.moc"
