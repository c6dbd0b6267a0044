// Desktop notifications against python3-dbusmock's notification daemon on a
// private session bus (the test command runs this under dbus-run-session).
#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include "ProgramFolder.h"
#include "ui/CDesktopNotifier.h"
#include "ui/CInboxWardenDlg.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage MockCall(const QString& method, const QVariantList& args = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

// Summary, body and actions of every Notify the daemon received.
struct Seen {
    QString summary;
    QString body;
    QStringList actions;
};
QList<Seen> Notifications() {
    QList<Seen> out;
    QDBusMessage reply = MockCall(QStringLiteral("GetMethodCalls"), {QStringLiteral("Notify")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return out;
    }
    // a(tav): time and the call's arguments.
    const QDBusArgument calls = reply.arguments().at(0).value<QDBusArgument>();
    calls.beginArray();
    while (!calls.atEnd() && out.size() < 100) {
        quint64 time = 0;
        QVariantList args;
        calls.beginStructure();
        calls >> time >> args;
        calls.endStructure();
        if (args.size() >= 6) {
            out.push_back(
                {args[3].toString(), args[4].toString(), qdbus_cast<QStringList>(args[5])});
        }
    }
    calls.endArray();
    return out;
}

void Invoke(uint id, const QString& key) {
    MockCall(QStringLiteral("EmitSignal"),
             {kService, QStringLiteral("ActionInvoked"), QStringLiteral("us"),
              QVariant::fromValue(QVariantList{id, key})});
}

}  // namespace

class TestNotifications : public QObject {
    Q_OBJECT

    QProcess m_daemon;

private slots:
    void initTestCase() {
        if (qEnvironmentVariable("IW_PRIVATE_BUS") != QStringLiteral("1")) {
            QSKIP("runs on a private session bus only (ctest -R ui_test_notifications)");
        }
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        CDesktopNotifier before;
        QVERIFY(!before.Available());
        m_daemon.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                        QStringLiteral("--template"), QStringLiteral("notification_daemon")});
        QVERIFY(m_daemon.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(before.Available(), 10000);
    }

    void cleanupTestCase() {
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(5000);
        }
    }

    // The window's notices, markup in sender names escaped, and the
    // "Review" action (of our notification only) opening the Quarantined view.
    void windowNotifiesAndReviewOpensQuarantine() {
        ProgramFolder folder([](const char* what) { qWarning("%s failed", what); });
        CInboxWardenDlg window;
        MockCall(QStringLiteral("ClearCalls"));
        window.OnScanStarted();
        window.OnQuarantined("a@x.org");
        window.OnQuarantined("b@x.org");
        window.OnAccountFailed("Home", "Certificate not accepted: self-signed certificate");
        window.OnScanDone(0, 2);
        // New friendly mail with no tray: the desktop notice, not a balloon.
        window.OnNewMail(1, "You've got mail from Bob <bob@x.org>");
        // An expired sign-in is told once, however many scans skip it.
        for (int scan = 0; scan < 2; ++scan) {
            window.OnAccountFailed("Work", "Sign-in expired");
        }
        QTRY_COMPARE_WITH_TIMEOUT(Notifications().size(), 4, 5000);
        QList<Seen> seen = Notifications();
        QCOMPARE(seen[0].summary, QStringLiteral("Scan of Home failed"));
        QCOMPARE(seen[0].body, QStringLiteral("Certificate not accepted: self-signed certificate"));
        QCOMPARE(seen[1].summary, QStringLiteral("New mail in quarantine"));
        QCOMPARE(seen[1].body, QStringLiteral("2 new message(s) kept in quarantine"));
        QCOMPARE(seen[1].actions,
                 (QStringList{QStringLiteral("review"), QStringLiteral("Review")}));
        QCOMPARE(seen[2].body, QStringLiteral("You've got mail from Bob &lt;bob@x.org&gt;"));
        QCOMPARE(seen[3].summary, QStringLiteral("Sign-in expired for Work"));

        auto* quarantined = window.findChild<QAction*>(QStringLiteral("viewQuarantined"));
        QVERIFY(!quarantined->isChecked());
        QSignalSpy actions(window.Notifier(), &CDesktopNotifier::ActionInvoked);
        Invoke(999, QStringLiteral("review"));  // another program's notification
        Invoke(2, QStringLiteral("review"));    // ours: the daemon numbers from 1
        QTRY_COMPARE_WITH_TIMEOUT(actions.count(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(quarantined->isChecked(), 2000);
    }
};

QTEST_MAIN(TestNotifications)
#include "test_notifications.moc"
