#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <string>

#include "signin/COAuthSettings.h"

class QTcpServer;
class QTcpSocket;

// The window's sign-in: the authorization code flow with PKCE (S256) in the
// system browser. The browser comes back to a listener on 127.0.0.1 only, at
// a random port, that takes one request, checks its state and closes at
// once; the code is then exchanged for tokens on a thread of its own, and
// Finished comes on the interface thread.
class CBrowserSignIn : public QObject {
    Q_OBJECT

public:
    using Opener = std::function<bool(const QUrl&)>;

    explicit CBrowserSignIn(QObject* parent = nullptr);
    ~CBrowserSignIn() override;

    // Tests take the address instead of a browser.
    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    // Listens and opens the browser; false with error when either failed.
    bool Start(const COAuthSettings& settings, const std::string& profile, QString& error);
    void Cancel();
    quint16 Port() const;
    bool IsListening() const;

    // A request line longer than this is not the provider's redirect.
    static constexpr int kMaxRequest = 16384;

signals:
    // ok: "Signed in as ADDRESS"; else why not.
    void Finished(bool ok, const QString& text);

private:
    void OnConnection();
    void OnReadable();
    // Answers the browser, closes the listener, and goes on with the code.
    void Answer(QTcpSocket* socket, const QByteArray& request);
    void Exchange(const std::string& code);
    void Done(bool ok, const QString& text);

    Opener m_opener;
    QTcpServer* m_server = nullptr;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_request;
    COAuthSettings m_settings;
    std::string m_profile;
    std::string m_verifier;
    std::string m_state;
    QString m_redirect;
    bool m_finished = false;
};
