#include <unistd.h>

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>
#include <QtTest>
#include <memory>
#include <thread>

#include "LoopbackAccount.h"
#include "Pop3Mailbox.h"
#include "ProgramFolder.h"
#include "ScopedSocketTimeouts.h"
#include "Screenshot.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "TempHome.h"
#include "engine/CInboxWardenEngine.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "ui/CHistoryModel.h"
#include "ui/CInboxWardenDlg.h"
#include "ui/CStatusLine.h"

namespace {

// A throwaway program folder with its settings file and database, and a
// started window on it.
struct WindowEnv : ProgramFolder {
    WindowEnv() : ProgramFolder([](const char* what) { qWarning("%s failed", what); }) {
        CHistoryModel::ResetSort();
    }
    ~WindowEnv() { window.reset(); }
    CInboxWardenDlg& Start() {
        window = std::make_unique<CInboxWardenDlg>();
        window->SetInteractive(false);
        if (!window->StartEngine(false)) {
            qFatal("the engine did not start");
        }
        window->show();
        return *window;
    }
    CEmailData* Add(uint32_t status, const std::string& sender, const std::string& subject = "Hi",
                    uint32_t received = 1000, uint32_t todo = 0) {
        auto* record = new CEmailData("Home", received, sender, subject, 1, "", "", 1, status,
                                      ER_Friend, "reason", "", 0);
        record->m_todo = todo;
        window->Engine()->GetHistory().Add(record);
        return record;
    }

    std::unique_ptr<CInboxWardenDlg> window;
};

void SelectSender(CInboxWardenDlg& window, const QString& sender) {
    CHistoryModel* model = window.Model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 0).data().toString() == sender) {
            window.HistoryList()->selectionModel()->select(
                model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

QStringList Senders(CInboxWardenDlg& window) {
    QStringList out;
    for (int row = 0; row < window.Model()->rowCount(); ++row) {
        out << window.Model()->index(row, 0).data().toString();
    }
    return out;
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void opensWithTitleAndStatusLines() {
        CInboxWardenDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("InboxWarden"));
        QCOMPARE(dialog.StatusText(1), QStringLiteral("Thank you for using InboxWarden"));
        QCOMPARE(dialog.LastScanText(), QStringLiteral("--:--:--"));
        dialog.SetStatusText(3, QStringLiteral("ignored"));
        QCOMPARE(dialog.StatusText(3), QString());
        QVERIFY(dialog.StatusLine(0) == nullptr);
        // Without an engine every command is harmless.
        dialog.SetInteractive(false);
        dialog.OnScanCommand();
        dialog.OnDelete();
        dialog.OnAddToFriends();
        dialog.OnRestoreToServer();
        dialog.OnOpen();
        QCOMPARE(dialog.ItemCount(), 0);
    }

    void scanFromTheWindowAndCallsFromTheWorker() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        QVERIFY2(dialog.Engine()->IsReadOnly(), "an empty Friends list");
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        home.Add(ES_Quarantined, "Bob <bob@x.org>");
        dialog.SetView(1);
        QCOMPARE(dialog.ItemCount(), 1);
        dialog.SetView(0);
        QCOMPARE(dialog.ItemCount(), 0);

        // An empty account list: the scan starts and ends at once. F5 is the
        // keyboard path to it. The time of the scan reads as the locale has
        // it: 24 hours in German.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QTest::keyClick(&dialog, Qt::Key_F5);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.StatusText(1).startsWith(QStringLiteral(
                                     "0 new Friendly emails, 0 new emails, viewing 0")),
                                 5000);
        QCOMPARE(dialog.StatusText(2), QStringLiteral("Idle"));
        QVERIFY(!dialog.IsScanning());
        QVERIFY(dialog.windowTitle().startsWith(QStringLiteral("InboxWarden 1.")));
        QLocale::setDefault(QLocale::c());
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]$"))
                     .match(dialog.LastScanText())
                     .hasMatch(),
                 qPrintable(dialog.LastScanText()));
        int hour = dialog.LastScanText().left(2).toInt();
        QVERIFY(hour == QTime::currentTime().hour() ||
                hour == (QTime::currentTime().hour() + 23) % 24);

        // Status from another thread reaches the line on the window's thread.
        std::thread worker([&] { dialog.OnStatus(1, ".\nConnecting to pop.example..."); });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(dialog.StatusText(1),
                                  QStringLiteral("Connecting to pop.example..."), 2000);
    }

    void viewsShowTheirRecords() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        home.Add(ES_OnServer, "on@x.org", "Lunch on Friday", 3000);
        home.Add(ES_OnServer, "pending@x.org", "Report", 2000, DeleteFromServer);
        home.Add(ES_Quarantined, "stranger@y.com", "Buy now", 1000, Challenge);
        home.Add(ES_Quarantined, "other@y.com", "Offer", 1500);
        home.Add(ES_Deleted, "gone@z.net", "Old news", 500);
        home.Add(ES_Delivered, "back@x.org", "Restored", 700, RestoreEmail);
        home.Add(ES_Unknown, "half@x.org", "Never decided", 800);
        dialog.resize(900, 400);
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const int counts[4] = {2, 2, 1, 6};
        const char* names[4] = {"onserver", "quarantined", "deleted", "all"};
        for (int view = 0; view < 4; ++view) {
            dialog.SetView(view);
            QCOMPARE(dialog.ItemCount(), counts[view]);
            QCOMPARE(dialog.StatusText(1), QStringLiteral("Viewing %1 emails").arg(counts[view]));
            QVERIFY(dialog.Action(QStringLiteral("viewOnServer"))->isChecked() == (view == 0));
            // Delete works in the On Server view only.
            QCOMPARE(dialog.Action(QStringLiteral("actionDelete"))->isEnabled(), view == 0);
            QVERIFY(SaveShot(
                dialog, QStringLiteral("mainwindow-%1").arg(QString::fromLatin1(names[view]))));
        }
        // The Delivered record with tasks has image 0, like a deleted one.
        int row = Senders(dialog).indexOf(QStringLiteral("back@x.org"));
        QVERIFY(row >= 0);
        QCOMPARE(CHistoryModel::ImageIndex(dialog.Model()->RowAt(row)->record), 0);
        // Out of range views change nothing.
        dialog.SetView(7);
        dialog.SetView(-1);
        QCOMPARE(dialog.View(), 3);
        // One enabled account: no Account column; two: it shows.
        QVERIFY(dialog.HistoryList()->isColumnHidden(CHistoryModel::C_Account));
        home.Settings().WriteString("AccountsList", "Home,Work", "General");
        home.Settings().WriteBool("Filter", true, "Home");
        home.Settings().WriteBool("Filter", false, "Work");
        dialog.ApplySettings();
        QVERIFY(!dialog.ShowsAccountColumn());
        home.Settings().WriteBool("Filter", true, "Work");
        home.Settings().WriteBool("ShowGridLines", true, "General");
        dialog.ApplySettings();
        QVERIFY(dialog.ShowsAccountColumn());
        QVERIFY(!dialog.HistoryList()->isColumnHidden(CHistoryModel::C_Account));
        QVERIFY(dialog.HistoryList()->showGrid());
        QVERIFY(SaveShot(dialog, QStringLiteral("mainwindow-all-grid")));
        // Columns share the width; an empty list splits it evenly.
        dialog.SetView(2);
        dialog.Engine()->GetHistory().CleanupHistory(1);
        dialog.Refill();
        QCOMPARE(dialog.ItemCount(), 0);
        int sixth = dialog.HistoryList()->viewport()->width() / 6;
        QCOMPARE(dialog.HistoryList()->horizontalHeader()->sectionSize(0), sixth);
        QCOMPARE(dialog.HistoryList()->horizontalHeader()->sectionSize(5), sixth);
    }

    void sortingTwiceReversesThenAnotherColumnAscends() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        home.Add(ES_OnServer, "b@x", "s", 200);
        home.Add(ES_OnServer, "C@x", "s", 100);
        home.Add(ES_OnServer, "a@x", "s", 300);
        dialog.Refill();
        QCOMPARE(Senders(dialog), QStringList({"C@x", "b@x", "a@x"}));
        // A click on the Received header: the current column, so it flips.
        QHeaderView* header = dialog.HistoryList()->horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
        QCOMPARE(Senders(dialog), QStringList({"a@x", "b@x", "C@x"}));
        QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        dialog.SortBy(CHistoryModel::C_Received);
        QCOMPARE(Senders(dialog), QStringList({"C@x", "b@x", "a@x"}));
        dialog.Action(QStringLiteral("actionSort0"))->trigger();
        QCOMPARE(Senders(dialog), QStringList({"a@x", "b@x", "C@x"}));
        QCOMPARE(header->sortIndicatorSection(), 0);
        // The order outlives a refill.
        home.Add(ES_OnServer, "B2@x", "s", 50);
        dialog.Refill();
        QCOMPARE(Senders(dialog), QStringList({"a@x", "B2@x", "b@x", "C@x"}));
    }

    void selectionSurvivesRefill() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        CEmailData* keep = home.Add(ES_OnServer, "keep@x", "s", 500);
        home.Add(ES_OnServer, "other@x", "s", 600);
        dialog.Refill();
        SelectSender(dialog, QStringLiteral("keep@x"));
        // Earlier records move the selected one down.
        home.Add(ES_OnServer, "new1@x", "s", 10);
        home.Add(ES_OnServer, "new2@x", "s", 20);
        dialog.Refill();
        auto selected = dialog.SelectedKeys();
        QCOMPARE(selected.size(), size_t(1));
        QVERIFY(selected[0] == keep);
        // A record that leaves the view leaves the selection.
        dialog.Engine()->MarkForDeletion(keep);
        dialog.Refill();
        QVERIFY(dialog.SelectedKeys().empty());
        QCOMPARE(dialog.ItemCount(), 3);
    }

    void findSelectsMatchesAndKeepsEarlierSelection() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        home.Add(ES_OnServer, "Anna <anna@x.org>", "Holiday plans");
        home.Add(ES_OnServer, "bob@y.com", "Re: HOLIDAY");
        home.Add(ES_OnServer, "carl@z.net", "Invoice");
        dialog.Refill();
        QCOMPARE(dialog.FindAndSelect(QStringLiteral("holiday")), 2);
        QCOMPARE(dialog.SelectedKeys().size(), size_t(2));
        QCOMPARE(dialog.FindAndSelect(QStringLiteral("Z.NET")), 1);
        QCOMPARE(dialog.SelectedKeys().size(), size_t(3));
        dialog.HistoryList()->clearSelection();
        QCOMPARE(dialog.FindAndSelect(QStringLiteral("nothing like it")), 0);
        QCOMPARE(dialog.LastMessage(), QStringLiteral("Word(s) not found"));
        QVERIFY(dialog.SelectedKeys().empty());
        // Part of a word is enough.
        QCOMPARE(dialog.FindAndSelect(QStringLiteral("voic")), 1);
        QCOMPARE(dialog.FindAndSelect(QString()), 3);
        QCOMPARE(dialog.SelectedKeys().size(), size_t(3));
    }

    void deleteAsksAndMarksOnlyInOnServerView() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        CEmailData* target = home.Add(ES_OnServer, "x@y", "s");
        CEmailData* quarantined = home.Add(ES_Quarantined, "q@y", "s");
        dialog.Refill();
        dialog.OnDelete();
        QVERIFY(
            dialog.LastMessage().startsWith(QStringLiteral("Please select emails to be deleted.")));
        SelectSender(dialog, QStringLiteral("x@y"));
        dialog.SetTestAnswer(QMessageBox::No);
        dialog.OnDelete();
        QVERIFY(dialog.LastMessage().startsWith(
            QStringLiteral("You have selected emails for deletion.")));
        QCOMPARE(target->m_status, uint32_t(ES_OnServer));
        // While a scan runs, Delete is ignored.
        dialog.SetTestAnswer(QMessageBox::Yes);
        dialog.OnScanStarted();
        dialog.OnDelete();
        QCOMPARE(target->m_status, uint32_t(ES_OnServer));
        dialog.OnScanDone(0, 0);
        SelectSender(dialog, QStringLiteral("x@y"));
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClick(dialog.HistoryList(), Qt::Key_Delete);
        QCOMPARE(target->m_status, uint32_t(ES_Deleted));
        QVERIFY(target->m_todo & DeleteFromServer);
        QCOMPARE(target->m_reason, uint32_t(ER_User));
        QCOMPARE(dialog.ItemCount(), 0);
        // In the Quarantined view nothing is marked.
        dialog.SetView(1);
        SelectSender(dialog, QStringLiteral("q@y"));
        dialog.OnDelete();
        QCOMPARE(quarantined->m_status, uint32_t(ES_Quarantined));
        // A silenced prompt answers Yes without asking.
        home.Settings().WriteBool("DontAskDeleteSelected", true, "Prompts");
        dialog.SetTestAnswer(QMessageBox::No);
        QCOMPARE(dialog.AskOnce("DontAskDeleteSelected", QStringLiteral("q"), QStringLiteral("c")),
                 QMessageBox::Yes);
    }

    void restoreFriendsAndUndesirablesReachTheEngine() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        CEmailData* stranger = home.Add(ES_Quarantined, "stranger@y.com", "a");
        CEmailData* stranger2 = home.Add(ES_Quarantined, "stranger@y.com", "b");
        CEmailData* pal = home.Add(ES_Quarantined, "pal@y.com", "c");
        CEmailData* spammer = home.Add(ES_OnServer, "spam@z.net", "d");
        CEmailData* spammer2 = home.Add(ES_OnServer, "spam@z.net", "e");
        dialog.SetView(1);
        SelectSender(dialog, QStringLiteral("pal@y.com"));
        dialog.Action(QStringLiteral("actionRestore"))->trigger();
        QCOMPARE(pal->m_status, uint32_t(ES_OnServer));
        QVERIFY(pal->m_todo & RestoreEmail);
        QCOMPARE(dialog.ItemCount(), 2);

        // Add to Friends: every message of the sender comes back.
        SelectSender(dialog, QStringLiteral("stranger@y.com"));
        QCOMPARE(dialog.SelectedKeys().size(), size_t(2));
        dialog.OnAddToFriends();
        QVERIFY(CFilterLists::Instance().Find(FL_Friends, "stranger@y.com", false) >= 0);
        QVERIFY((stranger->m_todo & RestoreEmail) && (stranger2->m_todo & RestoreEmail));
        QCOMPARE(dialog.ItemCount(), 0);

        // Move to Undesirables in the On Server view: deletion, then the list.
        dialog.SetView(0);
        SelectSender(dialog, QStringLiteral("spam@z.net"));
        dialog.SetTestAnswer(QMessageBox::Yes);
        dialog.OnMoveToUndesirables();
        QCOMPARE(dialog.LastMessage(),
                 QStringLiteral("Are you sure you want to delete the selected emails and add to "
                                "your undesirable list:spam@z.net?"));
        QVERIFY(CFilterLists::Instance().Find(FL_Undesirables, "spam@z.net", false) >= 0);
        QVERIFY((spammer->m_todo & DeleteFromServer) && (spammer2->m_todo & DeleteFromServer));

        // In another view the senders are collected too, and No adds none.
        CEmailData* other = home.Add(ES_Quarantined, "other@q.org", "f");
        home.Add(ES_Quarantined, "third@q.org", "g");
        dialog.SetView(1);
        SelectSender(dialog, QStringLiteral("other@q.org"));
        SelectSender(dialog, QStringLiteral("third@q.org"));
        dialog.SetTestAnswer(QMessageBox::No);
        dialog.OnMoveToUndesirables();
        QVERIFY(dialog.LastMessage().endsWith(QStringLiteral("list:other@q.org,third@q.org?")));
        QVERIFY(CFilterLists::Instance().Find(FL_Undesirables, "other@q.org", false) < 0);
        dialog.SetTestAnswer(QMessageBox::Yes);
        dialog.OnMoveToUndesirables();
        QVERIFY(CFilterLists::Instance().Find(FL_Undesirables, "other@q.org", false) >= 0);
        QCOMPARE(other->m_status, uint32_t(ES_Quarantined));
    }

    void openAndProperties() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        QStringList opened;
        dialog.SetDesktopOpener([&opened](const QString& path) {
            opened << path;
            return true;
        });
        CEmailData* saved = home.Add(ES_Quarantined, "saved@x", "s");
        saved->m_emailFilename = home.home.File("saved.eml");
        TempHome::WriteFile(saved->m_emailFilename, "Subject: s\n\nhello\n");
        home.Add(ES_Quarantined, "unsaved@x", "s");
        CEmailData* gone = home.Add(ES_Quarantined, "gone@x", "s", 0);
        dialog.SetView(1);
        SelectSender(dialog, QStringLiteral("unsaved@x"));
        dialog.OnOpen();
        QCOMPARE(dialog.LastMessage(), QStringLiteral("This email has not been saved locally."));
        dialog.OnProperties();
        QCOMPARE(dialog.LastMessage(), QStringLiteral("eMail has not been saved locally"));
        dialog.HistoryList()->clearSelection();
        SelectSender(dialog, QStringLiteral("saved@x"));
        QTest::mouseDClick(dialog.HistoryList()->viewport(), Qt::LeftButton, {},
                           dialog.HistoryList()
                               ->visualRect(dialog.HistoryList()->currentIndex().isValid()
                                                ? dialog.HistoryList()->currentIndex()
                                                : dialog.Model()->index(0, 0))
                               .center());
        dialog.HistoryList()->clearSelection();
        SelectSender(dialog, QStringLiteral("saved@x"));
        dialog.OnOpen();
        QVERIFY(opened.contains(QString::fromStdString(saved->m_emailFilename)));
        dialog.OnProperties();
        QCOMPARE(dialog.LastMessage(), QStringLiteral("Subject: s\n\nhello\n"));
        std::remove(saved->m_emailFilename.c_str());
        dialog.OnProperties();
        QCOMPARE(dialog.LastMessage(), QStringLiteral("File not found"));
        // A record the history no longer has, still in the list.
        dialog.HistoryList()->clearSelection();
        SelectSender(dialog, QStringLiteral("gone@x"));
        (void)gone;
        dialog.Engine()->GetHistory().CleanupHistory(1);
        dialog.OnOpen();
        QCOMPARE(dialog.LastMessage(), QStringLiteral("Could not retrieve email information!"));
    }

    void contextMenuByStatus_data() {
        QTest::addColumn<uint32_t>("status");
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("on server")
            << uint32_t(ES_OnServer)
            << QStringList{"actionOpen", "actionProperties", "actionMoveToUndesirables"};
        QTest::newRow("quarantined")
            << uint32_t(ES_Quarantined)
            << QStringList{"actionOpen", "actionProperties", "actionRestore", "actionAddToFriends",
                           "actionMoveToUndesirables"};
        QTest::newRow("deleted") << uint32_t(ES_Deleted)
                                 << QStringList{"actionOpen", "actionProperties", "actionRestore"};
        QTest::newRow("delivered")
            << uint32_t(ES_Delivered)
            << QStringList{"actionOpen", "actionProperties", "actionRestore"};
    }
    void contextMenuByStatus() {
        QFETCH(uint32_t, status);
        QFETCH(QStringList, actions);
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        home.Add(status, "who@x", "s");
        dialog.SetView(3);
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QStringList shown;
        QTimer::singleShot(50, [&shown] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* action : menu->actions()) {
                    shown << action->objectName();
                }
                menu->close();
            }
        });
        QTableView* list = dialog.HistoryList();
        emit list->customContextMenuRequested(
            list->visualRect(dialog.Model()->index(0, 1)).center());
        QCOMPARE(shown, actions);
        QCOMPARE(dialog.SelectedKeys().size(), size_t(1));
    }

    void progressTitleAnimationAndWarnings() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        std::thread worker([&dialog] {
            dialog.OnScanStarted();
            dialog.OnProgressRange(IEngineOwner::PL_Messages, 200);
            dialog.OnProgress(IEngineOwner::PL_Messages, 50);
            dialog.OnProgressRange(IEngineOwner::PL_Accounts, 2);
            dialog.OnProgress(IEngineOwner::PL_Accounts, 1);
            dialog.OnStatus(IEngineOwner::SL_Line1 | IEngineOwner::SL_PendingWarning,
                            "Could not save the message");
        });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.IsScanning(), 2000);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("InboxWarden - Scanning..."));
        QTRY_COMPARE_WITH_TIMEOUT(dialog.StatusLine(1)->ShownText(),
                                  QStringLiteral("Could not save the message (25%)"), 2000);
        QCOMPARE(dialog.StatusLine(2)->ShownText(), QStringLiteral("Scanning..."));
        QVERIFY(dialog.StatusLine(2)->ShowsBar());
        QCOMPARE(dialog.Action(QStringLiteral("actionScan"))->iconText(), QStringLiteral("Stop"));
        // The timer shows the warning once and animates through three images.
        QTRY_COMPARE_WITH_TIMEOUT(dialog.LastMessage(),
                                  QStringLiteral("Could not save the message"), 2000);
        QSet<int> frames;
        QTRY_VERIFY_WITH_TIMEOUT((frames.insert(dialog.TrayFrame()), frames.size() == 3), 5000);
        QVERIFY(!frames.contains(0));
        // Abort while scanning.
        dialog.OnScanCommand();
        QCOMPARE(dialog.StatusText(1), QStringLiteral("Aborting current Scan..."));
        std::thread done([&dialog] { dialog.OnScanDone(3, 7); });
        done.join();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.IsScanning(), 2000);
        QCOMPARE(dialog.StatusText(1),
                 QStringLiteral("3 new Friendly emails, 7 new emails, viewing 0"));
        QVERIFY(dialog.windowTitle().startsWith(QStringLiteral("InboxWarden 1.")));
        QVERIFY(!dialog.StatusLine(1)->ShowsBar());
        QCOMPARE(dialog.TrayFrame(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(dialog.TrayFrame(), 0, 1000);
    }

    void newMailAnnouncements() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        // The box of type 2 holds the worker until it was shown.
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            dialog.OnNewMail(2, "2 new emails from Anna");
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 3000);
        worker.join();
        QCOMPARE(dialog.LastAnnouncement(), QStringLiteral("2 new emails from Anna"));
        std::thread tones([&] { dialog.OnNewMail(1, "1 new email"); });
        tones.join();
        QTRY_COMPARE_WITH_TIMEOUT(dialog.LastAnnouncement(), QStringLiteral("1 new email"), 2000);
        // Other types announce nothing.
        dialog.OnNewMail(0, "nothing");
        dialog.OnNewMail(2147483647, "nothing");
        QCoreApplication::processEvents();
        QCOMPARE(dialog.LastAnnouncement(), QStringLiteral("1 new email"));
    }

    void exitSettingsAndAbout() {
        WindowEnv home;
        CInboxWardenDlg& dialog = home.Start();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.SetTestAnswer(QMessageBox::No);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.LastMessage(), QStringLiteral("Are you sure you want to exit?"));
        dialog.close();
        QVERIFY(dialog.isVisible());

        dialog.OnSettings();
        QCOMPARE(dialog.LastMessage(),
                 QStringLiteral("The settings window is not available in this build."));
        QWidget* parentSeen = nullptr;
        dialog.SetSettingsHandler([&](QWidget* parent) {
            parentSeen = parent;
            home.Settings().WriteBool("ShowGridLines", true, "General");
            home.Settings().WriteInt("Interval", 7, "General");
            home.Settings().WriteBool("IntervalInMinutes", true, "General");
            return true;
        });
        dialog.Action(QStringLiteral("actionSettings"))->trigger();
        QVERIFY(parentSeen == &dialog);
        QVERIFY(dialog.HistoryList()->showGrid());
        // The engine read its settings again.
        QCOMPARE(dialog.Engine()->GetInterval(), 7 * 60);
        dialog.OnAbout();

        dialog.SetTestAnswer(QMessageBox::Yes);
        dialog.Action(QStringLiteral("actionExit"))->trigger();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        // A remote shutdown from the worker closes without asking.
        CInboxWardenDlg& second = home.Start();
        second.SetTestAnswer(QMessageBox::No);
        QVERIFY(second.isVisible());
        std::thread worker([&second] { second.OnCloseProgram(); });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(!second.isVisible(), 2000);
    }

    void scanEndToEndThroughTheWindow() {
        WindowEnv home;
        ScopedSocketTimeouts timeouts{2000, 4000, 3000, 2000};
        Pop3Mailbox box("user-home", "pw-home");
        box.AddMessage(
            "From: Friend <friend@pals.org>\r\nSubject: Dinner\r\nDate: Mon, 1 Jan "
            "2024 10:00:00 +0000\r\n\r\nsee you\r\n");
        box.AddMessage(
            "From: Stranger <stranger@far.example>\r\nSubject: Hello there\r\nDate: "
            "Mon, 1 Jan 2024 11:00:00 +0000\r\n\r\nbuy\r\n");
        ScriptedServer pop(30000);
        pop.ServeEach(box.Handler(), 8);
        pop.Start();
        SmtpSink sink;
        ScriptedServer smtp(30000);
        smtp.ServeEach(sink.Handler(), 8);
        smtp.Start();
        CSettings& settings = home.Settings();
        LoopbackAccount(smtp.Port(), pop.Port(), "user-home", "pw-home").WriteTo(settings);
        CFilterLists::Instance().AddWord("friend@pals.org", FL_Friends);

        CInboxWardenDlg& dialog = home.Start();
        QVERIFY(!dialog.Engine()->IsReadOnly());
        // Both lists seen today: the cleanup check after the scan goes on.
        dialog.SetView(2);
        dialog.SetView(1);
        dialog.SetView(0);
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.Action(QStringLiteral("actionScan"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.StatusText(1).contains(QStringLiteral("new emails")),
                                 20000);
        QCOMPARE(dialog.StatusText(1),
                 QStringLiteral("1 new Friendly emails, 2 new emails, viewing 1"));
        QCOMPARE(Senders(dialog), QStringList({"Friend <friend@pals.org>"}));
        QVERIFY(SaveShot(dialog, QStringLiteral("mainwindow-after-scan")));
        dialog.SetView(1);
        QCOMPARE(Senders(dialog), QStringList({"Stranger <stranger@far.example>"}));
        QTRY_VERIFY_WITH_TIMEOUT(!sink.Deliveries().empty(), 5000);
        QVERIFY(sink.Deliveries()[0].data.find("InboxWardenChallenge") != std::string::npos);
        QCOMPARE(box.Messages().size(), size_t(1));
        int today = CInboxWardenEngine::Today();
        QVERIFY(home.MainLogText().find(std::to_string(today) + ", " + std::to_string(today) +
                                        ", " + std::to_string(today)) != std::string::npos);
        home.window.reset();
        pop.Stop();
        smtp.Stop();
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
