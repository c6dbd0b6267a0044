#include <QPushButton>
#include <QtTest>
#include <thread>

#include "TempHome.h"
#include "engine/CInboxWardenEngine.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"
#include "ui/CInboxWardenDlg.h"

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void opensWithTitleAndStatusLines() {
        CInboxWardenDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("InboxWarden"));
        QCOMPARE(dialog.StatusText(1), QStringLiteral("Thank you for using InboxWarden"));
        dialog.SetStatusText(3, QStringLiteral("ignored"));
        QCOMPARE(dialog.StatusText(3), QString());
    }

    void scanFromTheWindowAndCallsFromTheWorker() {
        TempHome home;
        CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(&env);
        CFilterLists::Instance().Reload();
        {
            CInboxWardenDlg dialog;
            dialog.SetInteractive(false);
            QVERIFY(dialog.StartEngine(false));
            QVERIFY2(dialog.Engine()->IsReadOnly(), "an empty Friends list");
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));

            auto* record = new CEmailData("Home", 1000, "Bob <bob@x.org>", "Hi", 1, "", "", 1,
                                          ES_Quarantined, 0, "Unknown Sender", "", 0);
            dialog.Engine()->GetHistory().Add(record);
            dialog.SetView(1);
            QCOMPARE(dialog.ItemCount(), 1);
            dialog.SetView(0);
            QCOMPARE(dialog.ItemCount(), 0);

            // An empty account list: the scan starts and ends at once.
            QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("scanButton")),
                              Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(
                dialog.StatusText(1).startsWith(QStringLiteral("0 new Friendly emails, 0 new "
                                                               "emails, viewing 0")),
                5000);
            QCOMPARE(dialog.StatusText(2), QStringLiteral("Idle"));
            QVERIFY(!dialog.IsScanning());
            QVERIFY(dialog.windowTitle().startsWith(QStringLiteral("InboxWarden 1.")));

            // Status from another thread reaches the line on the window's thread.
            std::thread worker([&] { dialog.OnStatus(1, ".\nConnecting to pop.example..."); });
            worker.join();
            QTRY_COMPARE_WITH_TIMEOUT(dialog.StatusText(1),
                                      QStringLiteral("Connecting to pop.example..."), 2000);
        }
        CAppEnvironment::SetInstance(nullptr);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
