#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/CLineSocket.h"
#include "mail/SaslOAuth.h"

class CLogFile;
class CMailContent;

// A POP3 session with one mailbox: plain, STLS or implicit TLS; USER/PASS
// login (AUTH PLAIN when USER is refused and CAPA offers it), STAT, TOP/RETR,
// LIST, DELE, CAPA and QUIT. Failures are results plus the error text; every
// command and good reply goes to the traffic log (never a password), every
// failure to the error log.
class CPOP3 {
public:
    static constexpr unsigned kDefaultPort = 110;

    // Connection security.
    enum Security { SEC_None = 0, SEC_Stls = 1, SEC_Tls = 2 };
    // The port a server listens on for a security mode: 110, 110, 995.
    static unsigned StandardPort(int security);

    // Null user or password leave them empty (SetLogin follows).
    CPOP3(const std::string& host, unsigned port = kDefaultPort, const char* user = nullptr,
          const char* password = nullptr);
    virtual ~CPOP3();
    CPOP3(const CPOP3&) = delete;
    CPOP3& operator=(const CPOP3&) = delete;

    // Replaces both, only when both are non-null.
    void SetLogin(const char* user, const char* password);
    // An OAuth2 access token: the login then uses the SASL mechanism for it
    // that CAPA offers (OAUTHBEARER or XOAUTH2) instead of the password.
    void SetBearerToken(const std::string& token) { m_bearerToken = token; }
    // Only this OAuth2 mechanism, even when the server offers the other
    // (None: the client's choice).
    void SetOAuthMechanism(SaslOAuth::Mechanism mechanism) { m_oauthMechanism = mechanism; }
    // 0 none, 1 STLS, 2 implicit TLS (other values mean none); caFile adds
    // trusted certificates to the system's. Call before Connect.
    void SetSecurity(int mode, const std::string& caFile);
    int GetSecurity() const { return m_security; }
    void SetErrorLog(CLogFile* log) { m_errorLog = log; }
    void SetTrafficLog(CLogFile* log) { m_trafficLog = log; }

    std::string GetHost() const { return m_host; }
    unsigned GetPort() const { return m_port; }
    std::string GetUser() const { return m_user; }
    std::string GetPassword() const { return m_password; }
    std::string GetErrorText() const { return m_errorText; }
    // The status line of the last reply, with its CRLF.
    std::string GetResponse() const { return m_response; }
    bool IsConnected() const { return m_connected; }
    // Counts the sessions opened: message numbers hold only within one
    // (a reconnect, ours or RecoverFromTimeout's, may renumber them).
    unsigned GetSessionNumber() const { return m_sessionNumber; }
    // The count found by the last RecoverFromTimeout.
    int GetRecoveredMessageCount() const { return m_messageCount; }

    bool Connect();
    bool Disconnect();
    // -1 on failure.
    int GetNumMessages();
    // The message as received: still dot-stuffed, ending with "\r\n.\r\n".
    bool GetMessage(int index, std::string& text);
    // TOP index topLines (RETR when topLines is 0), parsed into message, and
    // its size from LIST.
    bool GetMessage(int index, CMailContent& message, int topLines);
    bool DeleteMessage(int index);
    // TOP index 0: only the header, parsed into message (body and size
    // empty); a header above kMaxHeaderSize fails.
    bool GetHeader(int index, CMailContent& message);
    static constexpr size_t kMaxHeaderSize = 256u * 1024;
    // The server's capabilities (CAPA), one line each without its CRLF;
    // false when the server refuses CAPA or the exchange fails.
    bool Capa(std::vector<std::string>& lines);

    // One line of the whole-mailbox UIDL answer.
    struct UidlEntry {
        int number = 0;
        std::string uid;
    };
    // One line of the whole-mailbox LIST answer.
    struct SizeEntry {
        int number = 0;
        uint32_t size = 0;
    };
    // Ids longer than this or with characters outside 0x21-0x7E are not ids.
    static constexpr size_t kMaxUidLength = 70;
    // A listing with more lines than this, or one line longer than
    // kMaxListLine, is refused as a whole.
    static constexpr size_t kMaxListLines = 500000;
    static constexpr size_t kMaxListLine = 1000;
    // UIDL without argument: the unique id of every message. False on "-ERR"
    // (the server has no UIDL) and on a broken answer. Malformed lines and
    // repeated message numbers are left out and counted in malformed.
    bool Uidl(std::vector<UidlEntry>& ids, int* malformed = nullptr);
    // LIST without argument: the size of every message, with the same rules.
    bool ListSizes(std::vector<SizeEntry>& sizes, int* malformed = nullptr);

    // One message's whole transfer may take baseMs plus msPer50KB for every
    // 50 KB received (2 minutes plus 1 second); past it the fetch fails as
    // a time-out does, however steadily a server drips its bytes.
    void SetTransferLimit(int baseMs, int msPer50KB) {
        m_transferBaseMs = baseMs;
        m_transferMsPer50KB = msPer50KB;
    }
    // A message longer than this fails to fetch instead of exhausting memory.
    void SetMaxMessageSize(size_t bytes) { m_maxMessageSize = bytes; }
    size_t GetMaxMessageSize() const { return m_maxMessageSize; }

    CLineSocket& GetSocket() { return m_wsPOP3Server; }

protected:
    // Reads one status line into m_response; index selects the error text.
    bool get_response(int index);
    void RecoverFromTimeout();

private:
    enum FetchResult { FR_Complete, FR_Closed, FR_SocketError, FR_TooLarge };

    // hidden, when given, is logged in place of the command.
    void SendCommand(const std::string& command, const char* hidden = nullptr);
    // The security and login part of Connect, after the TCP connection.
    bool OpenSession();
    bool CapaExchange(std::vector<std::string>& lines);
    // AUTH PLAIN, when USER was refused and the server offers it.
    bool AuthPlain();
    // AUTH OAUTHBEARER or XOAUTH2 with the bearer token.
    bool AuthBearer();
    // Collects the rest of a multi-line reply up to and without its
    // terminating ".\r\n" line; the bytes past it stay buffered. More than
    // limit bytes make it FR_TooLarge.
    FetchResult CollectMessage(std::string& text, size_t limit);
    // Reads and drops the rest of a multi-line reply; false when that fails.
    bool SkipMessage();
    void StatusFailed(const std::string& command, int index);
    // Sends command and collects its multi-line answer, split into lines
    // (dot-unstuffed, without CRLF), within the listing bounds.
    bool GetListing(const std::string& command, std::vector<std::string>& lines);
    void FetchFailed(int index, FetchResult result, bool parsed);
    // After a failed reply that timed out: the text, and a reconnect.
    bool HandleTimeout(bool logIt);
    void SetError(const std::string& text);
    // The connection cannot be used any more; later exchanges fail with text.
    void LoseConnection(const std::string& text);

    CLineSocket m_wsPOP3Server;
    CLogFile* m_errorLog = nullptr;
    CLogFile* m_trafficLog = nullptr;
    std::string m_errorText = "OK";
    std::string m_response;
    bool m_connected = false;
    bool m_recovering = false;
    bool m_connectionLost = false;
    std::string m_lostText;
    // DELE commands accepted in this session (the server removes them at QUIT).
    int m_deletions = 0;
    unsigned m_port;
    int m_security = SEC_None;
    std::string m_caFile;
    std::string m_host;
    std::string m_user;
    std::string m_password;
    std::string m_bearerToken;
    SaslOAuth::Mechanism m_oauthMechanism = SaslOAuth::Mechanism::None;
    int m_messageCount = 0;
    unsigned m_sessionNumber = 0;
    size_t m_maxMessageSize = 128u << 20;
    int m_transferBaseMs = 120000;
    int m_transferMsPer50KB = 1000;
    // Bytes received but not yet consumed.
    std::string m_pending;
};
