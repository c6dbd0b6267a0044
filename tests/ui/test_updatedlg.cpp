#include <QLabel>
#include <QPushButton>
#include <QtTest>
#include <filesystem>
#include <string>
#include <thread>

#include "FtpServer.h"
#include "Screenshot.h"
#include "TempHome.h"
#include "support/CLogFile.h"
#include "ui/CAboutDlg.h"
#include "ui/CUpdateDlg.h"
#include "update/CUpdateCheck.h"

namespace {

QPushButton* Button(CUpdateDlg& dialog, const char* name) {
    return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

}  // namespace

class TestUpdateDlg : public QObject {
    Q_OBJECT

private slots:
    void downloadThroughTheWindow() {
        FtpServer ftp("iw", "pw");
        if (!ftp.Started()) {
            QSKIP(ftp.Error().c_str());
        }
        TempHome home;
        std::string installer(2 << 20, 'i');
        ftp.Put("upgradePath.txt", "1.0:1.1=iw-1.1.deb\n");
        ftp.Put("iw-1.1.deb", installer);
        CLogFile log(home.Path(), "Update");
        CUpdateDlg dialog;
        std::string opened;
        dialog.SetFolderOpener([&](const std::string& folder) { opened = folder; });
        QStringList seen;
        int shots = 0;
        // Every question is answered with the keyboard's Enter on OK.
        connect(&dialog, &CUpdateDlg::questionShown, &dialog, [&](const QString& text) {
            seen << text;
            QVERIFY(Button(dialog, "okButton")->isEnabled());
            if (shots++ == 0) {
                SaveShot(dialog, QStringLiteral("update_question"));
            }
            QTest::keyClick(&dialog, Qt::Key_Return);
        });
        dialog.show();
        CUpdateCheck check(dialog, log, {ftp.Address(), "iw", "pw", true}, "1.0", "InboxWarden",
                           home.Path());
        QVERIFY(check.CheckForUpdates(true));
        QCOMPARE(seen.size(), 4);
        QVERIFY(seen[1].contains(QStringLiteral("can be updated to version 1.1")));
        const std::string saved = home.File("InboxWarden-1.1-iw-1.1.deb");
        QVERIFY(seen[2].contains(QString::fromStdString(saved)));
        QVERIFY(seen[3].contains(QString::fromStdString(saved)));
        QCOMPARE(dialog.ProgressValue(), 100);
        QCOMPARE(dialog.ProgressText(), QStringLiteral("100.0% complete..."));
        SaveShot(dialog, QStringLiteral("update_done"));
        QVERIFY(TempHome::ReadFile(saved) == installer);
        QCOMPARE(opened, home.Path());
        QVERIFY(!dialog.isVisible());
    }

    void escapeCancelsAQuestion() {
        TempHome home;
        CLogFile log(home.Path(), "Update");
        CUpdateDlg dialog;
        connect(&dialog, &CUpdateDlg::questionShown, &dialog, [&](const QString& text) {
            QVERIFY(text.contains(QStringLiteral("will now connect to the Internet")));
            QVERIFY(Button(dialog, "cancelButton")->isEnabled());
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        dialog.show();
        // Nothing listens at this address: had the question gone on, the
        // check would fail with another text.
        CUpdateCheck check(dialog, log, {"127.0.0.1:1", "x", "y"}, "1.0", "InboxWarden",
                           home.Path());
        QVERIFY(!check.CheckForUpdates(true));
        QVERIFY(Button(dialog, "okButton")->text() == QStringLiteral("Please wait..."));
    }

    void checkForUpdatesCannotStartTwice() {
        int checks = 0;
        bool enabledDuring = true;
        CAboutDlg* shown = nullptr;
        CAboutDlg about([&](QWidget*) {
            ++checks;
            auto* button = shown->findChild<QPushButton*>(QStringLiteral("checkForUpdatesButton"));
            enabledDuring = button->isEnabled();
            button->click();
        });
        shown = &about;
        auto* button = about.findChild<QPushButton*>(QStringLiteral("checkForUpdatesButton"));
        button->click();
        QCOMPARE(checks, 1);
        QVERIFY(!enabledDuring);
        QVERIFY(button->isEnabled());
    }

    void cancelButtonStopsTheSlowWork() {
        CUpdateDlg dialog;
        dialog.show();
        dialog.ShowBusy("Downloading", true);
        QVERIFY(Button(dialog, "cancelButton")->isEnabled());
        QTimer::singleShot(100, &dialog, [&] { Button(dialog, "cancelButton")->click(); });
        int steps = 0;
        dialog.RunSlow([&] {
            // A transfer that checks the flag now and then; bounded to 10 s.
            for (; steps < 1000 && !dialog.IsCancelled(); ++steps) {
                dialog.OnProgress(steps);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        QVERIFY(dialog.IsCancelled());
        QVERIFY(steps < 1000);
        QVERIFY(dialog.ProgressText().endsWith(QStringLiteral("% complete...")));
    }
};

QTEST_MAIN(TestUpdateDlg)
#include "test_updatedlg.moc"
