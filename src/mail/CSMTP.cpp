#include "mail/CSMTP.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "mail/CMailContent.h"
#include "mail/SaslOAuth.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

namespace {

constexpr size_t kReadSize = 16384;
// A reply of many lines is still far below this.
constexpr size_t kMaxReply = 65536;

struct ExpectedReply {
    int code;
    const char* text;
};
const ExpectedReply kReplies[] = {
    {250, "SMTP server error"},
    {220, "SMTP server not available"},
    {354, "SMTP server not ready for data"},
    {221, "SMTP server didn't terminate session"},
    {235, "SMTP login refused"},
    {334, "SMTP login refused"},
};
constexpr int kReplyCount = sizeof kReplies / sizeof kReplies[0];

std::mutex g_limitsLock;
CSMTP::ReplyLimits g_limits;

const char* const kTimedOut = "Server timed out!";
const char* const kClosed = "Connection closed by server";

class OperationScope {
public:
    explicit OperationScope(CLineSocket& socket) : m_socket(socket) {
        m_socket.SetTimedOut(false);
        m_socket.StampDeadline();
    }
    ~OperationScope() {
        m_socket.SetTimedOut(false);
        m_socket.ClearDeadline();
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    CLineSocket& m_socket;
};

// The end of the reply's last line in text (just past its CRLF), or npos
// while it is incomplete. A line whose fourth character is "-" announces
// another; any other complete line ends the reply. scanned keeps where
// the lines already seen end.
size_t FindReplyEnd(const std::string& text, size_t& scanned) {
    while (true) {
        size_t eol = text.find("\r\n", scanned);
        if (eol == std::string::npos) {
            return std::string::npos;
        }
        bool more = eol - scanned >= 4 && text[scanned + 3] == '-';
        scanned = eol + 2;
        if (!more) {
            return scanned;
        }
    }
}

}  // namespace

unsigned CSMTP::StandardPort(int security) {
    return security == SEC_Tls ? 465 : security == SEC_StartTls ? 587 : 25;
}

void CSMTP::SetDefaultReplyLimits(const ReplyLimits& limits) {
    std::lock_guard<std::mutex> guard(g_limitsLock);
    g_limits = limits;
}

CSMTP::ReplyLimits CSMTP::GetDefaultReplyLimits() {
    std::lock_guard<std::mutex> guard(g_limitsLock);
    return g_limits;
}

CSMTP::CSMTP(const std::string& host, unsigned port)
    : m_port(port), m_host(host), m_limits(GetDefaultReplyLimits()) {
    // The message text may take as long to go out as the server lets it.
    CLineSocket::Timeouts timeouts = m_socket.GetTimeouts();
    timeouts.sendMs = m_limits.dataBlockMs;
    m_socket.SetTimeouts(timeouts);
}

void CSMTP::SetSecurity(int mode, const std::string& caFile) {
    m_security = (mode == SEC_StartTls || mode == SEC_Tls) ? mode : SEC_None;
    m_caFile = caFile;
}

void CSMTP::SetLogin(const std::string& login, const std::string& password) {
    m_login = login;
    m_password = password;
}

CSMTP::~CSMTP() {
    if (m_connected) {
        Disconnect();
    }
}

void CSMTP::SetError(const std::string& text) {
    m_errorText = text;
    if (m_errorLog) {
        IW_LOG_AT(*m_errorLog, "%s%s", "SMTP ERROR: ", text.c_str());
    }
}

void CSMTP::LoseConnection(const std::string& text) {
    m_socket.Close();
    m_pending.clear();
    m_connectionLost = true;
    m_lostText = text;
}

void CSMTP::SendCommand(const std::string& command, const std::string& logCopy, int limitMs) {
    if (m_trafficLog) {
        IW_LOG_AT(*m_trafficLog, "%s%s", "SMTP -> ", logCopy.c_str());
    }
    m_socket.StampDeadline(limitMs > 0 ? limitMs : m_limits.commandMs);
    m_socket.Send(command);
}

bool CSMTP::get_response(int index) {
    const ExpectedReply& expected = kReplies[index >= 0 && index < kReplyCount ? index : 0];
    try {
        size_t scanned = 0;
        size_t end = FindReplyEnd(m_pending, scanned);
        while (end == std::string::npos) {
            if (!m_socket.IsOpen()) {
                SetError(m_connectionLost ? m_lostText : "Socket Error");
                return false;
            }
            if (m_pending.size() > kMaxReply) {
                LoseConnection("Server reply too long");
                SetError(m_lostText);
                return false;
            }
            char buffer[kReadSize];
            // The deadline stamped with the command is the limit.
            int n = m_socket.Receive(buffer, sizeof buffer, INT_MAX);
            if (n < 0) {
                // Whatever comes later would be taken for the next reply.
                LoseConnection(m_socket.IsTimedOut()  ? kTimedOut
                               : m_socket.IsAborted() ? "Aborted"
                                                      : "Socket Error");
                SetError(m_lostText);
                return false;
            }
            if (n == 0) {
                LoseConnection(kClosed);
                SetError(kClosed);
                return false;
            }
            m_pending.append(buffer, static_cast<size_t>(n));
            end = FindReplyEnd(m_pending, scanned);
        }
        m_response.assign(m_pending, 0, end);
        m_pending.erase(0, end);

        int code = std::atoi(m_response.substr(0, 3).c_str());
        if (code == expected.code) {
            if (m_trafficLog) {
                IW_LOG_AT(*m_trafficLog, "%s%s", "SMTP <- ", m_response.c_str());
            }
            return true;
        }
        SetError(std::to_string(code) + ":" + expected.text);
        return false;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in get_response");
        }
        return false;
    }
}

bool CSMTP::Connect() {
    OperationScope scope(m_socket);
    try {
        if (m_connected) {
            return true;
        }
        m_pending.clear();
        m_connectionLost = false;
        CLineSocket::ConnectResult result = m_socket.Connect(m_host, m_port);
        if (result == CLineSocket::CR_CreateFailed) {
            SetError("Unable to create the socket.");
            return false;
        }
        if (result != CLineSocket::CR_Connected) {
            SetError("Unable to connect to server");
            m_socket.Close();
            return false;
        }
        if (!OpenSession()) {
            m_socket.Close();
            m_pending.clear();
            return false;
        }
        m_connected = true;
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in Connect");
        }
        m_socket.Close();
        return false;
    }
}

bool CSMTP::OpenSession() {
    m_socket.StampDeadline(m_limits.greetingMs);
    if (m_security == SEC_Tls && !m_socket.StartTls(m_caFile)) {
        SetError(m_socket.GetLastFailure());
        return false;
    }
    if (!get_response(CONNECT_SUCCESS)) {
        SetError("Server didn't respond.");
        return false;
    }
    bool wantLogin = !m_login.empty();
    if (!Hello(m_security == SEC_None && !wantLogin)) {
        return false;
    }
    if (m_security == SEC_StartTls) {
        // Nothing secret goes out unless the session is encrypted.
        if (!Offers("STARTTLS")) {
            SetError("The server does not offer STARTTLS");
            return false;
        }
        SendCommand("STARTTLS\r\n");
        if (!get_response(CONNECT_SUCCESS)) {
            if (!m_connectionLost) {
                SetError("STARTTLS refused: " + WithoutTrailingLineBreaks(m_response));
            }
            return false;
        }
        // Bytes sent before the TLS handshake could pose as replies inside it.
        if (!m_pending.empty()) {
            SetError("The server sent data after agreeing to STARTTLS");
            return false;
        }
        if (!m_socket.StartTls(m_caFile)) {
            SetError(m_socket.GetLastFailure());
            return false;
        }
        // What the server said before TLS is forgotten (RFC 3207).
        if (!Hello(false)) {
            return false;
        }
    }
    if (m_socket.IsTls() && m_trafficLog) {
        IW_LOG_AT(*m_trafficLog, "SMTP TLS: %s", m_socket.TlsDescription().c_str());
    }
    return !wantLogin || Authenticate();
}

bool CSMTP::Hello(bool allowHelo) {
    m_extensions.clear();
    std::string name = m_socket.GetLocalName();
    SendCommand("EHLO " + name + "\r\n");
    if (get_response(GENERIC_SUCCESS)) {
        size_t start = m_response.find("\r\n");
        while (start != std::string::npos && start + 2 < m_response.size()) {
            start += 2;
            size_t end = m_response.find("\r\n", start);
            if (end == std::string::npos) {
                break;
            }
            std::string line = end - start > 4 ? m_response.substr(start + 4, end - start - 4) : "";
            std::transform(line.begin(), line.end(), line.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            m_extensions.push_back(line);
            start = end;
        }
        return true;
    }
    if (m_connectionLost || !allowHelo) {
        return false;
    }
    SendCommand("HELO " + name + "\r\n");
    return get_response(GENERIC_SUCCESS);
}

bool CSMTP::Offers(const std::string& keyword) const {
    for (const auto& line : m_extensions) {
        if (line.compare(0, keyword.size(), keyword) == 0 &&
            (line.size() == keyword.size() || line[keyword.size()] == ' ')) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> CSMTP::AuthMechanisms() const {
    std::vector<std::string> mechanisms;
    for (const auto& line : m_extensions) {
        // "AUTH PLAIN LOGIN", or the older "AUTH=PLAIN LOGIN".
        if (line.compare(0, 5, "AUTH ") != 0 && line.compare(0, 5, "AUTH=") != 0) {
            continue;
        }
        StringList words;
        SplitBySet(" ", line.substr(5), words);
        for (const auto& word : words) {
            if (!word.empty()) {
                mechanisms.push_back(word);
            }
        }
    }
    return mechanisms;
}

bool CSMTP::AuthenticateBearer() {
    if (HasLineBreak(m_login) || HasLineBreak(m_bearerToken)) {
        SetError("Line break in the SMTP login or sign-in token");
        return false;
    }
    std::vector<std::string> offered = AuthMechanisms();
    if (m_oauthMechanism != SaslOAuth::Mechanism::None) {
        const std::string only = SaslOAuth::Name(m_oauthMechanism);
        offered.erase(std::remove_if(offered.begin(), offered.end(),
                                     [&](const std::string& name) { return name != only; }),
                      offered.end());
    }
    SaslOAuth::Mechanism mechanism = SaslOAuth::Choose(offered);
    if (mechanism == SaslOAuth::Mechanism::None) {
        SetError("The server offers no OAuth2 login (XOAUTH2, OAUTHBEARER)");
        return false;
    }
    const std::string name = SaslOAuth::Name(mechanism);
    // RFC 4954 lets an AUTH line with its initial response reach 12288 octets.
    std::string payload =
        EncodeBase64(SaslOAuth::Payload(mechanism, m_login, m_bearerToken, m_host, m_port));
    SendCommand("AUTH " + name + " " + payload + "\r\n", "AUTH " + name + " (not shown)");
    payload.assign(payload.size(), '\0');
    if (get_response(AUTH_SUCCESS)) {
        return true;
    }
    if (m_connectionLost) {
        return false;
    }
    std::string detail;
    if (m_response.compare(0, 4, "334 ") == 0) {
        // The reason comes as a challenge; an empty line ends the exchange.
        detail = SaslOAuth::DescribeFailure(m_response.substr(4));
        SendCommand("\r\n", "(end of the failed OAuth2 login)");
        get_response(AUTH_SUCCESS);
        if (m_connectionLost) {
            return false;
        }
    }
    SetError("SMTP OAuth2 login refused" + (detail.empty() ? "" : " (" + detail + ")") + ": " +
             WithoutTrailingLineBreaks(m_response));
    return false;
}

bool CSMTP::Authenticate() {
    if (!m_bearerToken.empty()) {
        return AuthenticateBearer();
    }
    if (HasLineBreak(m_login) || HasLineBreak(m_password)) {
        SetError("Line break in the SMTP login or password");
        return false;
    }
    std::vector<std::string> mechanisms = AuthMechanisms();
    auto offered = [&](const char* name) {
        return std::find(mechanisms.begin(), mechanisms.end(), name) != mechanisms.end();
    };
    auto refused = [&] {
        if (!m_connectionLost) {
            SetError("SMTP login refused: " + WithoutTrailingLineBreaks(m_response));
        }
        return false;
    };
    if (offered("PLAIN")) {
        std::string token = EncodeBase64(std::string(1, '\0') + m_login + '\0' + m_password);
        SendCommand("AUTH PLAIN " + token + "\r\n", "AUTH PLAIN (not shown)");
        token.assign(token.size(), '\0');
        return get_response(AUTH_SUCCESS) || refused();
    }
    if (offered("LOGIN")) {
        SendCommand("AUTH LOGIN\r\n");
        if (!get_response(AUTH_CONTINUE)) {
            return refused();
        }
        SendCommand(EncodeBase64(m_login) + "\r\n", "(login not shown)");
        if (!get_response(AUTH_CONTINUE)) {
            return refused();
        }
        SendCommand(EncodeBase64(m_password) + "\r\n", "(password not shown)");
        return get_response(AUTH_SUCCESS) || refused();
    }
    SetError(mechanisms.empty() ? "The server does not offer a login (AUTH)"
                                : "The server offers no login method known here (PLAIN, LOGIN)");
    return false;
}

bool CSMTP::Disconnect() {
    OperationScope scope(m_socket);
    try {
        if (!m_connected) {
            return true;
        }
        SendCommand("QUIT\r\n");
        bool ok = get_response(QUIT_SUCCESS);
        m_socket.Close();
        m_pending.clear();
        m_connected = false;
        return ok;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in Disconnect");
        }
        m_socket.Close();
        m_connected = false;
        return false;
    }
}

bool CSMTP::PrepareMessage(CMailContent& message) {
    if (!message.FormatHeader()) {
        return false;
    }
    message.StuffDots();
    if (message.m_body.size() < 2 || message.m_body.compare(message.m_body.size() - 2, 2, "\r\n")) {
        message.m_body += "\r\n";
    }
    return true;
}

bool CSMTP::SendMessage(CMailContent& message) {
    OperationScope scope(m_socket);
    try {
        if (!m_connected) {
            SetError("Must be connected");
            return false;
        }
        if (!PrepareMessage(message)) {
            SetError("The message has no recipients");
            return false;
        }
        if (m_errorLog) {
            std::string block = "Asked to send message:\nFrom: [" + message.m_from +
                                "]\nSubject: [" + message.m_subject +
                                "]\n------------ Header--------\n[" + message.m_header + "]\n";
            IW_LOG_AT(*m_errorLog, "%s", block.c_str());
        }
        bool ok = transmit_message(message);
        if (!ok && m_errorLog) {
            IW_LOG_AT(*m_errorLog, "transmit_message returned FALSE");
        }
        return ok;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in SendMessage");
        }
        return false;
    }
}

bool CSMTP::transmit_message(CMailContent& message) {
    if (!m_connected) {
        SetError("Must be connected");
        return false;
    }
    // A line break inside an address would let it add commands of its own.
    if (HasLineBreak(message.m_from)) {
        SetError("Line break in the sender address");
        return false;
    }
    SendCommand("MAIL From: <" + message.m_from + ">\r\n");
    if (!get_response(GENERIC_SUCCESS)) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Got FALSE from get_response( GENERIC_SUCCESS )");
        }
        return false;
    }
    const CRecipientList& envelope =
        message.m_envelopeRecipients.empty() ? message.m_recipients : message.m_envelopeRecipients;
    for (const auto& recipient : envelope) {
        if (HasLineBreak(recipient.first)) {
            SetError("Line break in a recipient address");
            continue;
        }
        SendCommand("RCPT TO: <" + recipient.first + ">\r\n");
        // A refused recipient leaves its error text; the others still get it.
        if (!get_response(GENERIC_SUCCESS) && m_connectionLost) {
            return false;
        }
    }
    SendCommand("DATA\r\n", "DATA\r\n", m_limits.dataStartMs);
    if (!get_response(DATA_SUCCESS)) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Got FALSE from get_response( DATA_SUCCESS )");
        }
        return false;
    }

    // The header goes out dot-stuffed too: a copied MIME line could begin with a dot.
    std::string header = message.m_header;
    CMailContent::StuffDots(header);
    SendCommand(header, header, m_limits.dataBlockMs);
    SendCommand("\r\n", "\r\n", m_limits.dataBlockMs);
    std::string logCopy = message.m_body;
    IndentForLog(logCopy);
    SendCommand(message.m_body, logCopy, m_limits.dataBlockMs);
    // The body's own final CRLF begins the terminator.
    bool endsWithCrLf = message.m_body.size() >= 2 &&
                        message.m_body.compare(message.m_body.size() - 2, 2, "\r\n") == 0;
    const char* end = endsWithCrLf ? ".\r\n" : "\r\n.\r\n";
    SendCommand(end, end, m_limits.finalMs);
    if (!get_response(GENERIC_SUCCESS)) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Got FALSE from get_response( GENERIC_SUCCESS )");
        }
        return false;
    }
    return true;
}
