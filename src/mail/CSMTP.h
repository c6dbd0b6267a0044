#pragma once

#include <string>
#include <vector>

#include "mail/CLineSocket.h"
#include "mail/SaslOAuth.h"

class CLogFile;
class CMailContent;

// SMTP delivery, plain, STARTTLS or implicit TLS: greeting, EHLO (HELO when
// EHLO is refused and neither TLS nor a login is asked), AUTH PLAIN or LOGIN
// when a login is set, MAIL, RCPT, DATA, QUIT. Each reply is awaited as long
// as RFC 5321 (4.5.3.2) asks of a client.
class CSMTP {
public:
    static constexpr unsigned kDefaultPort = 25;

    enum Security { SEC_None = 0, SEC_StartTls = 1, SEC_Tls = 2 };
    // The port a server listens on for a security mode: 25, 587, 465.
    static unsigned StandardPort(int security);

    // How long each reply may take, in milliseconds.
    struct ReplyLimits {
        int greetingMs = 5 * 60 * 1000;
        // MAIL, RCPT and every command without a limit of its own.
        int commandMs = 5 * 60 * 1000;
        int dataStartMs = 2 * 60 * 1000;
        // Sending the message text.
        int dataBlockMs = 3 * 60 * 1000;
        // The reply to the final ".": servers may scan the message first.
        int finalMs = 10 * 60 * 1000;
    };
    // The limits of clients constructed from now on (tests shorten them).
    static void SetDefaultReplyLimits(const ReplyLimits& limits);
    static ReplyLimits GetDefaultReplyLimits();

    // The reply expected after a command, an index into the code table.
    enum ResponseIndex {
        GENERIC_SUCCESS = 0,  // 250
        CONNECT_SUCCESS = 1,  // 220
        DATA_SUCCESS = 2,     // 354
        QUIT_SUCCESS = 3,     // 221
        AUTH_SUCCESS = 4,     // 235
        AUTH_CONTINUE = 5,    // 334
    };

    explicit CSMTP(const std::string& host, unsigned port = kDefaultPort);
    virtual ~CSMTP();
    CSMTP(const CSMTP&) = delete;
    CSMTP& operator=(const CSMTP&) = delete;

    // Builds the header, stuffs the dots of the body and ends it with CRLF;
    // false for a message without recipients. Stuffs again when called again,
    // so give each send a freshly built message.
    virtual bool PrepareMessage(CMailContent& message);

    // 0 none, 1 STARTTLS, 2 implicit TLS (other values mean none); caFile
    // adds trusted certificates to the system's. Call before Connect.
    void SetSecurity(int mode, const std::string& caFile);
    int GetSecurity() const { return m_security; }
    // An empty login means no authentication.
    void SetLogin(const std::string& login, const std::string& password);
    // An OAuth2 access token for the login: the client then logs in with
    // OAUTHBEARER or XOAUTH2, whichever EHLO offers, instead of the password.
    void SetBearerToken(const std::string& token) { m_bearerToken = token; }
    // Only this OAuth2 mechanism, even when the server offers the other
    // (None: the client's choice).
    void SetOAuthMechanism(SaslOAuth::Mechanism mechanism) { m_oauthMechanism = mechanism; }
    void SetErrorLog(CLogFile* log) { m_errorLog = log; }
    void SetTrafficLog(CLogFile* log) { m_trafficLog = log; }
    std::string GetHost() const { return m_host; }
    unsigned GetPort() const { return m_port; }
    std::string GetErrorText() const { return m_errorText; }
    // The last reply read, all its lines.
    std::string GetResponse() const { return m_response; }
    bool IsConnected() const { return m_connected; }

    bool Connect();
    // Prepares the message (changing it) and transmits it.
    bool SendMessage(CMailContent& message);
    bool Disconnect();

    CLineSocket& GetSocket() { return m_socket; }

protected:
    bool get_response(int index);
    bool transmit_message(CMailContent& message);

private:
    // limitMs: how long the reply may take (0: the command limit).
    void SendCommand(const std::string& command, const std::string& logCopy, int limitMs = 0);
    void SendCommand(const std::string& command) { SendCommand(command, command); }
    // The session after the TCP connection: TLS, greeting, EHLO, login.
    bool OpenSession();
    bool Hello(bool allowHelo);
    bool Authenticate();
    bool AuthenticateBearer();
    bool Offers(const std::string& keyword) const;
    // The mechanisms of the EHLO reply's AUTH line, in upper case.
    std::vector<std::string> AuthMechanisms() const;
    void SetError(const std::string& text);
    void LoseConnection(const std::string& text);

    CLineSocket m_socket;
    CLogFile* m_errorLog = nullptr;
    CLogFile* m_trafficLog = nullptr;
    std::string m_errorText = "OK";
    std::string m_response;
    bool m_connected = false;
    bool m_connectionLost = false;
    std::string m_lostText;
    unsigned m_port;
    std::string m_host;
    ReplyLimits m_limits;
    int m_security = SEC_None;
    std::string m_caFile;
    std::string m_login;
    std::string m_password;
    std::string m_bearerToken;
    SaslOAuth::Mechanism m_oauthMechanism = SaslOAuth::Mechanism::None;
    // The EHLO reply's lines after the first, in upper case.
    std::vector<std::string> m_extensions;
    // Bytes received past the last reply.
    std::string m_pending;
};
