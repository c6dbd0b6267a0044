#include <QSignalSpy>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QtTest>

#include "ProgramFolder.h"
#include "ui/CBrowserSignIn.h"

// The browser step of the window's sign-in, with the test as the browser:
// the address the browser is sent to, and the one redirect the loopback
// listener takes.
class TestBrowserSignIn : public QObject {
    Q_OBJECT

private slots:
    void redirects() {
        ProgramFolder folder;
        COAuthSettings settings;
        settings.account = "Home";
        settings.clientId = "client-1";
        settings.user = "me@example.org";
        settings.authUrl = "https://auth.example/authorize";
        // Nothing listens there: an exchange reports that it could not reach it.
        settings.tokenUrl = "https://127.0.0.1:1/token";
        struct Case {
            const char* name;
            bool rightState;
            const char* extra;
            int status;
            const char* text;
        } cases[] = {
            {"wrong state", false, "&code=abc", 400, "does not belong to this sign-in"},
            {"no state", false, nullptr, 400, "does not belong to this sign-in"},
            {"declined", true, "&error=access_denied", 400, "refused the sign-in: access_denied"},
            {"no code", true, "", 400, "holds no code"},
            {"code exchanged", true, "&code=abc", 200, "Cannot reach the sign-in server"},
        };
        for (const Case& c : cases) {
            CBrowserSignIn signIn;
            QUrl opened;
            signIn.SetOpener([&](const QUrl& url) {
                opened = url;
                return true;
            });
            QString error;
            QVERIFY2(signIn.Start(settings, folder.home.Path(), error), qPrintable(error));
            QUrlQuery query(opened);
            QCOMPARE(query.queryItemValue("code_challenge_method"), QString("S256"));
            QCOMPARE(query.queryItemValue("code_challenge").size(), 43);
            QString redirect = query.queryItemValue("redirect_uri", QUrl::FullyDecoded);
            QCOMPARE(redirect, QString("http://127.0.0.1:%1/").arg(signIn.Port()));
            QString state = query.queryItemValue("state");
            QCOMPARE(state.size(), 43);

            const quint16 port = signIn.Port();
            QSignalSpy finished(&signIn, &CBrowserSignIn::Finished);
            QTcpSocket browser;
            browser.connectToHost(QHostAddress::LocalHost, signIn.Port());
            QVERIFY(browser.waitForConnected(5000));
            QByteArray target = "/?";
            if (c.extra || !c.rightState) {
                target += c.rightState ? "state=" + state.toLatin1() : QByteArray("state=forged");
                if (c.extra) {
                    target += c.extra;
                }
            }
            if (QByteArray(c.name) == "no state") {
                target = "/?code=abc";
            }
            browser.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            QVERIFY2(finished.wait(20000) || finished.count() == 1, c.name);
            QByteArray page;
            for (int i = 0; i < 50 && !page.contains("</html>"); ++i) {
                QTest::qWait(50);
                page += browser.readAll();
            }
            QVERIFY2(page.startsWith("HTTP/1.1 " + QByteArray::number(c.status)), c.name);
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished[0][0].toBool(), false);
            QVERIFY2(finished[0][1].toString().contains(c.text),
                     qPrintable(finished[0][1].toString()));
            // One request only: nothing listens any more.
            QVERIFY(!signIn.IsListening());
            QTcpSocket late;
            late.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(!late.waitForConnected(2000));
        }
    }
};

QTEST_MAIN(TestBrowserSignIn)
#include "test_browsersignin.moc"
