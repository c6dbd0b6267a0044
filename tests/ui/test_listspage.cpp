#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTabBar>
#include <QTemporaryDir>
#include <QtTest>

#include "DbTestEnv.h"
#include "ModalAnswer.h"
#include "Screenshot.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "ui/CCheckMessageBox.h"
#include "ui/CImportContactsDlg.h"
#include "ui/CInputBox.h"
#include "ui/CListsPage.h"
#include "ui/StartWithWindows.h"

namespace {

QStringList Entries(int id) {
    QStringList words;
    for (const CFilterList::Entry& entry : CFilterLists::Instance().GetEntries(id)) {
        words << QString::fromStdString(entry.words);
    }
    return words;
}

// Types text into the next input box and presses OK.
ModalAnswer::Answer TypeInto(const QString& text) {
    return [text](QWidget* window) {
        auto* edit = window->findChild<QLineEdit*>(QStringLiteral("text"));
        if (edit != nullptr) {
            edit->setText(text);
        }
        qobject_cast<QDialog*>(window)->accept();
    };
}

}  // namespace

class TestListsPage : public QObject {
    Q_OBJECT

    std::unique_ptr<DbTestEnv> m_env;

private slots:
    void init() {
        m_env = std::make_unique<DbTestEnv>();
        CFilterLists::Instance().Reload();
    }
    void cleanup() {
        CFilterLists::Instance().Reload();
        m_env.reset();
    }

    void messageBoxStylesChooseButtonsAndCodes() {
        struct Case {
            unsigned style;
            QMessageBox::StandardButtons buttons;
            QMessageBox::Icon icon;
        };
        const Case cases[] = {
            {0, QMessageBox::Ok, QMessageBox::NoIcon},
            {1 | 16, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Critical},
            {3 | 32, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
             QMessageBox::Question},
            {4 | 48, QMessageBox::Yes | QMessageBox::No, QMessageBox::Warning},
            {4 | 64, QMessageBox::Yes | QMessageBox::No, QMessageBox::Information},
            {4 | 80, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoIcon},
        };
        for (const Case& c : cases) {
            CCheckMessageBox box(nullptr, QStringLiteral("t"), QString(), c.style, QString());
            QCOMPARE(box.standardButtons(), c.buttons);
            QCOMPARE(box.icon(), c.icon);
            QCOMPARE(box.windowTitle(), QStringLiteral("Message"));
            QVERIFY(box.checkBox() == nullptr);
        }
        const std::pair<QMessageBox::StandardButton, int> presses[] = {
            {QMessageBox::Yes, 6}, {QMessageBox::No, 7}, {QMessageBox::Cancel, 2}};
        for (const auto& [button, code] : presses) {
            ModalAnswer answer;
            answer.Press(button);
            QCOMPARE(CheckMessageBox(nullptr, QStringLiteral("q"), QStringLiteral("c"), 3), code);
        }
        ModalAnswer ok;
        ok.Press(QMessageBox::Ok);
        QCOMPARE(CheckMessageBox(nullptr, QStringLiteral("q"), QStringLiteral("c"), 1), 1);
    }

    void promptOnceRemembersTheTickAndThenAnswersYes() {
        CSettings& settings = CAppEnvironment::Instance()->GetSettings();
        {
            ModalAnswer answer;
            answer.Press(QMessageBox::Yes);
            QCOMPARE(PromptOnce(nullptr, "DontAskIfSureExit", "Prompts", QStringLiteral("Exit?"),
                                QStringLiteral("Success"), 4),
                     6);
            QVERIFY(answer.AllUsed());
            QVERIFY(!settings.GetBool("DontAskIfSureExit", "Prompts", false));
        }
        {
            // Answered No with the box ticked: silenced for good.
            ModalAnswer answer;
            answer.Press(QMessageBox::No, true);
            QCOMPARE(PromptOnce(nullptr, "DontAskIfSureExit", "Prompts", QStringLiteral("Exit?"),
                                QStringLiteral("Success"), 4),
                     7);
            QVERIFY(settings.GetBool("DontAskIfSureExit", "Prompts", false));
        }
        // Silenced: nothing is shown (no answer given, so a shown box would hang
        // until the answerer's limit and fail the time check below).
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(PromptOnce(nullptr, "dontaskifsureexit", "PROMPTS", QStringLiteral("Exit?"),
                            QStringLiteral("Success"), 4),
                 6);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void autostartEntryIsCreatedValidAndRemoved() {
        QTemporaryDir config;
        QVERIFY(config.isValid());
        QByteArray previous = qgetenv("XDG_CONFIG_HOME");
        QByteArray profile = qgetenv("INBOXWARDEN_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        const QString folder = config.path() + QStringLiteral("/autostart/");
        const QString executable = QCoreApplication::applicationFilePath();
        // Without a profile the bare program starts; each profile has an
        // entry of its own that starts the program with it.
        struct Case {
            QByteArray home;
            QString exec;
        } cases[] = {
            {QByteArray(), QStringLiteral("\nExec=\"") + executable + QStringLiteral("\"\n")},
            {config.path().toLocal8Bit() + "/one",
             QStringLiteral("\nExec=env \"INBOXWARDEN_HOME=") + config.path() +
                 QStringLiteral("/one\" \"") + executable + QStringLiteral("\"\n")},
            {config.path().toLocal8Bit() + "/two", QStringLiteral("/two\" \"")},
        };
        QStringList paths;
        for (const Case& c : cases) {
            if (c.home.isEmpty()) {
                qunsetenv("INBOXWARDEN_HOME");
            } else {
                qputenv("INBOXWARDEN_HOME", c.home);
            }
            QString path = StartupEntryPath();
            QVERIFY2(path.startsWith(folder + QStringLiteral("InboxWarden")), qPrintable(path));
            QVERIFY(!paths.contains(path));
            paths << path;
            QVERIFY(!IsStartWithWindows(nullptr));
            QVERIFY(SetStartWithWindows(nullptr, false));  // nothing there: silent
            QVERIFY(SetStartWithWindows(nullptr, true));
            QVERIFY(IsStartWithWindows(nullptr));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QString text = QString::fromUtf8(file.readAll());
            QVERIFY(text.startsWith(
                QStringLiteral("[Desktop Entry]\nType=Application\nName=InboxWarden")));
            QVERIFY2(text.contains(c.exec), qPrintable(text));
            QString validator =
                QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
            if (!validator.isEmpty()) {
                QProcess check;
                check.start(validator, {path});
                QVERIFY(check.waitForFinished(20000));
                QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());
            }
            QVERIFY(SetStartWithWindows(nullptr, true));  // replacing works too
        }
        QCOMPARE(paths[0], folder + QStringLiteral("InboxWarden.desktop"));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 3);
        QVERIFY(SetStartWithWindows(nullptr, false));
        QVERIFY(!IsStartWithWindows(nullptr));
        QVERIFY2(QDir(folder).entryList(QDir::Files).size() == 2, "only this profile's entry goes");
        if (profile.isEmpty()) {
            qunsetenv("INBOXWARDEN_HOME");
        } else {
            qputenv("INBOXWARDEN_HOME", profile);
        }

        // Relative XDG_CONFIG_HOME is ignored, as the base-directory rules say.
        qputenv("XDG_CONFIG_HOME", "relative/dir");
        QVERIFY(StartupEntryPath().startsWith(QDir::homePath() + QStringLiteral("/.config/")));
        if (previous.isEmpty()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", previous);
        }
    }

    void autostartExecQuotesAwkwardPaths() {
        const std::pair<QString, QString> cases[] = {
            {QStringLiteral("/opt/iw/inboxwarden"), QStringLiteral("Exec=\"/opt/iw/inboxwarden\"")},
            {QStringLiteral("/opt/my apps/iw"), QStringLiteral("Exec=\"/opt/my apps/iw\"")},
            {QStringLiteral("/opt/100%/iw"), QStringLiteral("Exec=\"/opt/100%%/iw\"")},
            {QStringLiteral("/opt/$HOME/iw"), QStringLiteral("Exec=\"/opt/\\\\$HOME/iw\"")},
            {QStringLiteral("/opt/a\"b/iw"), QStringLiteral("Exec=\"/opt/a\\\\\"b/iw\"")},
            {QStringLiteral("/opt/a\\b/iw"), QStringLiteral("Exec=\"/opt/a\\\\\\\\b/iw\"")},
        };
        for (const auto& [executable, line] : cases) {
            QString text = StartupEntryText(QStringLiteral("InboxWarden"), executable);
            QVERIFY2(text.contains(QStringLiteral("\n") + line + QStringLiteral("\n")),
                     qPrintable(text));
        }
    }

    void importDialogSourcesAndCounts() {
        QString file = QString::fromStdString(m_env->Home().File("contacts.txt"));
        TempHome::WriteFile(file.toStdString(), "a@x.org, b@y.org\r\nc@z.org,,a@x.org\r\n");
        QString upper = QString::fromStdString(m_env->Home().File("contacts.TXT"));
        TempHome::WriteFile(upper.toStdString(), "u@x.org\n");
        QString book = QString::fromStdString(m_env->Home().File("book.vcf"));
        TempHome::WriteFile(book.toStdString(),
                            "BEGIN:VCARD\nEMAIL:v@x.org\nEND:VCARD\n"
                            "BEGIN:VCARD\nFN:No address\nEND:VCARD\n");
        QString broken = QString::fromStdString(m_env->Home().File("broken.csv"));
        TempHome::WriteFile(broken.toStdString(), "Name,E-mail\nA,\"z@x.org\n");

        const QString added = QStringLiteral(
            " contacts email addresses were added to your Friends "
            "list");
        struct Case {
            QString path;
            QString seen;
            bool accepted;
        };
        const Case cases[] = {
            {upper, QStringLiteral("Import successful|0 new") + added, true},
            {file, QStringLiteral("Import successful|3 new") + added, true},
            {file, QStringLiteral("Import successful|0 new") + added, true},       // nothing twice
            {QString(), QStringLiteral("Import successful|0 new") + added, true},  // cancelled
            {book,
             QStringLiteral("Import successful|1 new") + added +
                 QStringLiteral("\n1 contacts without an email address were skipped."),
             true},
            {broken,
             QStringLiteral("Import failed|Could not read ") + broken +
                 QStringLiteral(", line 2: a quoted field that never closes.\nNothing was added."),
             false},
        };
        for (const Case& c : cases) {
            CImportContactsDlg dialog(FL_Friends);
            auto* proceed = dialog.findChild<QPushButton*>(QStringLiteral("proceedButton"));
            QVERIFY(!proceed->isEnabled());
            dialog.findChild<QRadioButton*>(QStringLiteral("fromTextFile"))->click();
            QVERIFY(proceed->isEnabled());
            dialog.SetFileChooser([path = c.path](QWidget*) { return path; });
            ModalAnswer answer;
            answer.Press(QMessageBox::Ok);
            proceed->click();
            QTRY_VERIFY_WITH_TIMEOUT(answer.AllUsed() && !dialog.IsBusy(), 10000);
            QCOMPARE(dialog.result() == QDialog::Accepted, c.accepted);
            QCOMPARE(answer.Seen(), QStringList{c.seen});
        }
        QCOMPARE(Entries(FL_Friends),
                 (QStringList{QStringLiteral(" b@y.org"), QStringLiteral("a@x.org"),
                              QStringLiteral("c@z.org"), QStringLiteral("v@x.org")}));
    }

    void importFromTheMailProgramEndsInTheErrorBox() {
        CImportContactsDlg dialog(FL_Friends);
        dialog.findChild<QRadioButton*>(QStringLiteral("fromMailProgram"))->click();
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok).Press(QMessageBox::Ok);
        dialog.findChild<QPushButton*>(QStringLiteral("proceedButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(answer.AllUsed() && !dialog.IsBusy(), 10000);
        QCOMPARE(answer.Seen(),
                 (QStringList{QStringLiteral("Error|Could not load the Address Converter "
                                             "component."),
                              QStringLiteral("Import successful|0 new contacts email addresses "
                                             "were added to your Friends list")}));

        // Another list: only the text file, chosen already.
        CImportContactsDlg other(FL_BadSubjects);
        QVERIFY(!other.findChild<QRadioButton*>(QStringLiteral("fromMailProgram"))->isEnabled());
        QVERIFY(other.findChild<QRadioButton*>(QStringLiteral("fromTextFile"))->isChecked());
        QVERIFY(other.findChild<QPushButton*>(QStringLiteral("proceedButton"))->isEnabled());
    }

    void newSplitsEditReplacesAndDeleteAsks() {
        CListsPage page;
        page.ShowList(FL_Undesirables);
        {
            ModalAnswer answer;
            answer.Then(TypeInto(QStringLiteral(",a,, b")));
            page.OnNew();
            QVERIFY(answer.AllUsed());
        }
        QCOMPARE(Entries(FL_Undesirables),
                 (QStringList{QStringLiteral(" b"), QStringLiteral("a")}));
        auto* list = page.findChild<QListWidget*>(QStringLiteral("entries"));
        QCOMPARE(list->count(), 2);

        // Buttons that need a selection do nothing without one.
        list->clearSelection();
        page.OnEdit();
        page.OnDelete();
        page.OnBlacklist();
        QCOMPARE(Entries(FL_Undesirables).size(), 2);

        list->setCurrentRow(1);
        {
            ModalAnswer answer;
            answer.Then(TypeInto(QStringLiteral("a, c")));  // taken as typed
            page.OnEdit();
        }
        QCOMPARE(Entries(FL_Undesirables),
                 (QStringList{QStringLiteral(" b"), QStringLiteral("a, c")}));

        list->setCurrentRow(0);
        {
            ModalAnswer answer;
            answer.Press(QMessageBox::No);
            page.OnDelete();
            QCOMPARE(
                answer.Seen(),
                (QStringList{QStringLiteral("Delete entry?|Are you sure you want to delete entry "
                                            "\" b\"?")}));
        }
        QCOMPARE(Entries(FL_Undesirables).size(), 2);
        // Silenced: deleted without a question.
        CAppEnvironment::Instance()->GetSettings().WriteBool("DontAskForDeleteListEntry", true,
                                                             "Prompts");
        list->setCurrentRow(0);
        page.OnDelete();
        QCOMPARE(Entries(FL_Undesirables), (QStringList{QStringLiteral("a, c")}));
    }

    void filteringOffDisablesTheRightControls() {
        CListsPage page;
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        auto find = [&](const char* name) {
            return page.findChild<QWidget*>(QString::fromLatin1(name));
        };
        auto* dontFilter = page.findChild<QCheckBox*>(QStringLiteral("dontFilter"));
        for (int id = 0; id < FL_Count; ++id) {
            page.ShowList(id);
            QCOMPARE(find("blacklistButton")->isVisible(), id == FL_Friends);
            QCOMPARE(find("justDelete")->isVisible(), id == FL_AutoSenders);
            QVERIFY(!dontFilter->isChecked());
            dontFilter->click();
            std::string key = std::string("FilterFor") + CFilterLists::GetInfo(id)->name;
            QVERIFY(!CAppEnvironment::Instance()->GetSettings().GetBool(key, "General", true));
            for (const char* name :
                 {"newButton", "deleteButton", "entries", "importButton", "blacklistButton"}) {
                QVERIFY2(!find(name)->isEnabled(), name);
            }
            for (const char* name : {"editButton", "exportButton"}) {
                QVERIFY2(find(name)->isEnabled(), name);
            }
        }
        // Read afresh when shown again.
        page.ShowList(FL_Friends);
        QVERIFY(dontFilter->isChecked());
        dontFilter->click();
        QVERIFY(find("newButton")->isEnabled());
        QVERIFY(CAppEnvironment::Instance()->GetSettings().GetBool("FilterForFriends", "General",
                                                                   false));

        page.ShowList(FL_AutoSenders);
        page.findChild<QCheckBox*>(QStringLiteral("justDelete"))->click();
        QCOMPARE(CAppEnvironment::Instance()->GetSettings().GetString(
                     "JustDeleteAllFromAuto Senders", "General", ""),
                 std::string("Yes"));
    }

    void exportWritesOneEntryPerLineAndReportsFailure() {
        CFilterLists::Instance().AddWord("viagra", FL_GoodSubjects);
        CFilterLists::Instance().AddWord("Invoice 12", FL_GoodSubjects);
        CListsPage page;
        page.ShowList(FL_GoodSubjects);
        QString expected = QString::fromStdString(m_env->Home().Path()) +
                           QStringLiteral("ExportedGood Subjects.lst");
        QCOMPARE(CListsPage::ExportFileName(FL_GoodSubjects), expected);
        {
            ModalAnswer answer;
            answer.Press(QMessageBox::Ok);
            page.OnExport();
            QCOMPARE(answer.Seen(),
                     (QStringList{QStringLiteral("Success|A file named \"") + expected +
                                  QStringLiteral("\"\nhas been created in the InboxWarden data "
                                                 "folder.")}));
        }
        QCOMPARE(QString::fromStdString(TempHome::ReadFile(expected.toStdString())),
                 QStringLiteral("Invoice 12\nviagra\n"));

        // A folder in the file's place cannot be written.
        page.ShowList(FL_BadSubjects);
        QString blocked = CListsPage::ExportFileName(FL_BadSubjects);
        QVERIFY(QDir().mkpath(blocked));
        ModalAnswer answer;
        answer.Press(QMessageBox::Ok);
        page.OnExport();
        QCOMPARE(answer.Seen(), (QStringList{QStringLiteral("Error|Error creating file \"") +
                                             blocked + QStringLiteral("\"")}));
    }

    void blacklistMovesAFriendEvenWhenAlreadyUndesirable() {
        CFilterLists& lists = CFilterLists::Instance();
        lists.AddWord("spam@x.org", FL_Friends);
        lists.AddWord("pal@x.org", FL_Friends);
        lists.AddWord("spam@x.org", FL_Undesirables);
        CListsPage page;
        auto* list = page.findChild<QListWidget*>(QStringLiteral("entries"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("spam@x.org"));
        list->setCurrentRow(1);
        page.findChild<QPushButton*>(QStringLiteral("blacklistButton"))->click();
        QCOMPARE(Entries(FL_Friends), QStringList{QStringLiteral("pal@x.org")});
        QCOMPARE(Entries(FL_Undesirables), QStringList{QStringLiteral("spam@x.org")});
        list->setCurrentRow(0);
        page.OnBlacklist();
        QCOMPARE(Entries(FL_Friends), QStringList());
        QCOMPARE(Entries(FL_Undesirables),
                 (QStringList{QStringLiteral("pal@x.org"), QStringLiteral("spam@x.org")}));
    }

    void screenshotOfThePage() {
        for (const char* word : {"alice@example.org", "bob@example.net", "carol@example.com"}) {
            CFilterLists::Instance().AddWord(word, FL_Friends);
        }
        CListsPage page;
        page.resize(560, 400);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QVERIFY(SaveShot(page, QStringLiteral("lists_page")));
        CImportContactsDlg dialog(FL_Friends);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(SaveShot(dialog, QStringLiteral("import_contacts")));
    }
};

QTEST_MAIN(TestListsPage)
#include "test_listspage.moc"
