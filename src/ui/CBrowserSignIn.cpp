#include "ui/CBrowserSignIn.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <thread>

#include "signin/CAccessTokens.h"
#include "signin/CPkce.h"
#include "signin/CTokenClient.h"
#include "support/CAppEnvironment.h"

namespace {

QByteArray Page(int status, const QString& text) {
    QByteArray body =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>InboxWarden"
        "</title></head><body><p>" +
        text.toHtmlEscaped().toUtf8() + "</p></body></html>";
    return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Bad Request") +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

CBrowserSignIn::CBrowserSignIn(QObject* parent) : QObject(parent) {
    m_opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

CBrowserSignIn::~CBrowserSignIn() {
    Cancel();
}

quint16 CBrowserSignIn::Port() const {
    return m_server ? m_server->serverPort() : 0;
}

bool CBrowserSignIn::IsListening() const {
    return m_server && m_server->isListening();
}

void CBrowserSignIn::Cancel() {
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_socket) {
        m_socket->abort();
        m_socket->deleteLater();
    }
}

bool CBrowserSignIn::Start(const COAuthSettings& settings, const std::string& profile,
                           QString& error) {
    Cancel();
    m_settings = settings;
    m_profile = profile;
    m_finished = false;
    m_request.clear();
    std::string missing = settings.Missing();
    if (missing.empty() && settings.authUrl.empty()) {
        missing = "no authorization address (OAuthAuthUrl)";
    }
    if (!missing.empty()) {
        error = QString::fromStdString("OAuth2 sign-in not set up: " + missing);
        return false;
    }
    m_verifier = CPkce::NewVerifier();
    m_state = CPkce::NewState();
    if (m_verifier.empty() || m_state.empty()) {
        error = QStringLiteral("No random numbers for the sign-in");
        return false;
    }
    m_server = new QTcpServer(this);
    // Loopback only: nothing on the network can answer in the browser's place.
    if (!m_server->listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        error = QStringLiteral("Cannot listen for the sign-in: ") + m_server->errorString();
        Cancel();
        return false;
    }
    m_server->setMaxPendingConnections(1);
    connect(m_server, &QTcpServer::newConnection, this, &CBrowserSignIn::OnConnection);
    m_redirect = QStringLiteral("http://127.0.0.1:%1/").arg(m_server->serverPort());
    QUrl url(QString::fromStdString(settings.authUrl));
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("client_id"), QString::fromStdString(settings.clientId));
    query.addQueryItem(QStringLiteral("redirect_uri"), m_redirect);
    query.addQueryItem(QStringLiteral("scope"), QString::fromStdString(settings.scope));
    query.addQueryItem(QStringLiteral("state"), QString::fromStdString(m_state));
    query.addQueryItem(QStringLiteral("code_challenge"),
                       QString::fromStdString(CPkce::ChallengeS256(m_verifier)));
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    query.addQueryItem(QStringLiteral("login_hint"), QString::fromStdString(settings.user));
    // Google gives a refresh token only when asked for offline access.
    query.addQueryItem(QStringLiteral("access_type"), QStringLiteral("offline"));
    query.addQueryItem(QStringLiteral("prompt"), QStringLiteral("consent"));
    url.setQuery(query);
    if (!m_opener(url)) {
        error = QStringLiteral("Cannot open the browser");
        Cancel();
        return false;
    }
    return true;
}

void CBrowserSignIn::OnConnection() {
    if (!m_server) {
        return;
    }
    QTcpSocket* socket = m_server->nextPendingConnection();
    if (!socket) {
        return;
    }
    // One request: the listener is closed as soon as the first comes. The
    // socket outlives it (the server owns what it accepts).
    m_server->close();
    socket->setParent(this);
    m_socket = socket;
    connect(socket, &QTcpSocket::readyRead, this, &CBrowserSignIn::OnReadable);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void CBrowserSignIn::OnReadable() {
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket || m_finished) {
        return;
    }
    m_request += socket->read(kMaxRequest + 1 - m_request.size());
    int end = m_request.indexOf("\r\n");
    if (end < 0 && m_request.size() <= kMaxRequest) {
        return;
    }
    Answer(socket, end < 0 ? QByteArray() : m_request.left(end));
}

void CBrowserSignIn::Answer(QTcpSocket* socket, const QByteArray& requestLine) {
    // "GET /?code=...&state=... HTTP/1.1"
    QList<QByteArray> parts = requestLine.split(' ');
    QString error;
    std::string code;
    if (parts.size() != 3 || parts[0] != "GET") {
        error = QStringLiteral("The browser's answer is not a sign-in redirect");
    } else {
        QUrlQuery query(QUrl(QString::fromLatin1(parts[1])).query());
        QString state = query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
        QString denied = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
        if (state.toStdString() != m_state) {
            error = QStringLiteral("The sign-in answer does not belong to this sign-in (state)");
        } else if (!denied.isEmpty()) {
            error = QStringLiteral("The provider refused the sign-in: ") + denied.left(100);
        } else {
            code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded).toStdString();
            if (code.empty()) {
                error = QStringLiteral("The sign-in answer holds no code");
            }
        }
    }
    socket->write(Page(error.isEmpty() ? 200 : 400,
                       error.isEmpty() ? QStringLiteral("InboxWarden goes on with the sign-in. "
                                                        "You can close this page.")
                                       : error));
    // The page goes out before the socket closes; the listener is gone.
    socket->flush();
    socket->disconnectFromHost();
    m_socket = nullptr;
    Cancel();
    m_finished = true;
    if (!error.isEmpty()) {
        emit Finished(false, error);
        return;
    }
    Exchange(code);
}

void CBrowserSignIn::Exchange(const std::string& code) {
    QPointer<CBrowserSignIn> self(this);
    COAuthSettings settings = m_settings;
    std::string profile = m_profile;
    std::string verifier = m_verifier;
    std::string redirect = m_redirect.toStdString();
    // The exchange may take seconds: never on the interface thread.
    std::thread([self, settings, profile, verifier, redirect, code] {
        CTokenClient client(settings);
        CTokenClient::Tokens tokens;
        CTokenClient::Result result = client.ExchangeCode(code, verifier, redirect, tokens);
        bool ok = result.Ok();
        std::string text = result.error;
        if (ok) {
            CAppEnvironment* env = CAppEnvironment::Instance();
            ok = env && CAccessTokens::Instance().CompleteSignIn(
                            env->GetSettings(), profile, settings.account, tokens.accessToken,
                            tokens.refreshToken, tokens.expiresIn, text);
            text = ok ? "Signed in as " + settings.user : text;
        }
        tokens = CTokenClient::Tokens();
        QString message = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, ok, message] {
                if (self) {
                    self->Done(ok, message);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void CBrowserSignIn::Done(bool ok, const QString& text) {
    emit Finished(ok, text);
}
