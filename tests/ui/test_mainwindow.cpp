#include <QtTest>

#include "ui/CInboxWardenDlg.h"

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void opensWithTitleAndStatusLines() {
        CInboxWardenDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("InboxWarden"));
        dialog.SetStatusText(1, QStringLiteral("Scanning Mail Servers..."));
        dialog.SetStatusText(3, QStringLiteral("ignored"));
        QCOMPARE(dialog.StatusText(1), QStringLiteral("Scanning Mail Servers..."));
        QCOMPARE(dialog.StatusText(2), QString());
        QCOMPARE(dialog.StatusText(3), QString());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
