#include "mail/CPOP3.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>

#include "mail/CMailContent.h"
#include "mail/SaslOAuth.h"
#include "support/CLogFile.h"
#include "support/StringUtils.h"

namespace {

constexpr size_t kReadSize = 32768;
// Far above any status line a server sends (RFC 1939 allows 512 characters).
constexpr size_t kMaxStatusLine = 65536;

const char* const kReplyErrors[] = {
    "Server didn't connect",        "Bad user name",   "Invalid username/password combination",
    "STATus couldn't be retrieved", "RETRieve failed", "Could not DELEte message",
    "Error while QUITting",
};

const char* const kTimedOut = "Server timed out!";
const char* const kClosed = "Connection closed by server";

// Stamps a reply deadline and clears the timed-out flag for one operation,
// and clears both on every way out.
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

// The digits from pos on, stopping at the first non-digit; capped at INT_MAX.
int LeadingNumber(const std::string& text, size_t pos) {
    long long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        if (value > INT_MAX) {
            value = INT_MAX;
        }
        ++pos;
    }
    return static_cast<int>(value);
}

// A CAPA reply is a few lines; anything longer is not one.
constexpr size_t kMaxCapaReply = 65536;

// True when a CAPA line "SASL PLAIN LOGIN" names mechanism.
bool OffersSasl(const std::vector<std::string>& capabilities, const std::string& mechanism) {
    for (const auto& line : capabilities) {
        StringList words;
        SplitBySet(" \t", line, words);
        if (words.empty()) {
            continue;
        }
        std::string keyword = words[0];
        ToLower(keyword);
        if (keyword != "sasl") {
            continue;
        }
        for (size_t i = 1; i < words.size(); ++i) {
            std::string word = words[i];
            ToLower(word);
            std::string wanted = mechanism;
            ToLower(wanted);
            if (word == wanted) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

unsigned CPOP3::StandardPort(int security) {
    return security == SEC_Tls ? 995 : 110;
}

CPOP3::CPOP3(const std::string& host, unsigned port, const char* user, const char* password)
    : m_port(port), m_host(host) {
    if (user) {
        m_user = user;
    }
    if (password) {
        m_password = password;
    }
}

CPOP3::~CPOP3() {
    if (m_connected) {
        Disconnect();
    }
}

void CPOP3::SetLogin(const char* user, const char* password) {
    if (user && password) {
        m_user = user;
        m_password = password;
    }
}

void CPOP3::SetSecurity(int mode, const std::string& caFile) {
    m_security = (mode == SEC_Stls || mode == SEC_Tls) ? mode : SEC_None;
    m_caFile = caFile;
}

void CPOP3::SetError(const std::string& text) {
    m_errorText = text;
    if (m_errorLog) {
        m_errorLog->Write("%s%s", "POP3 ERROR: ", text.c_str());
    }
}

void CPOP3::LoseConnection(const std::string& text) {
    m_wsPOP3Server.Close();
    m_pending.clear();
    m_connectionLost = true;
    m_lostText = text;
}

void CPOP3::SendCommand(const std::string& command, const char* hidden) {
    if (m_trafficLog) {
        if (hidden) {
            m_trafficLog->Write("%s %s", "POP3 <- ", hidden);
        } else {
            m_trafficLog->Write("%s%s", "POP3 <- ", command.c_str());
        }
    }
    m_wsPOP3Server.StampDeadline();
    // A failed send shows in the reply that does not come.
    m_wsPOP3Server.Send(command);
}

bool CPOP3::get_response(int index) {
    try {
        size_t eol = m_pending.find("\r\n");
        while (eol == std::string::npos) {
            if (!m_wsPOP3Server.IsOpen()) {
                SetError(m_connectionLost ? m_lostText : "Socket Error");
                return false;
            }
            if (m_pending.size() > kMaxStatusLine) {
                LoseConnection("Server reply too long");
                SetError(m_lostText);
                return false;
            }
            char buffer[kReadSize];
            int n = m_wsPOP3Server.Receive(buffer, sizeof buffer);
            if (n < 0) {
                if (m_wsPOP3Server.IsTimedOut()) {
                    // The caller decides: a reconnect, or the time-out text only.
                    SetError(kTimedOut);
                } else {
                    LoseConnection("Socket Error");
                    SetError(m_lostText);
                }
                return false;
            }
            if (n == 0) {
                LoseConnection(kClosed);
                SetError(kClosed);
                return false;
            }
            size_t from = m_pending.empty() ? 0 : m_pending.size() - 1;
            m_pending.append(buffer, static_cast<size_t>(n));
            eol = m_pending.find("\r\n", from);
        }
        m_response.assign(m_pending, 0, eol + 2);
        m_pending.erase(0, eol + 2);
        if (m_response.compare(0, 4, "-ERR") == 0) {
            int slot = index >= 0 && index < 7 ? index : 0;
            SetError(kReplyErrors[slot]);
            return false;
        }
        if (m_trafficLog) {
            m_trafficLog->Write("%s%s", "POP3 -> ", m_response.c_str());
        }
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in get_response");
        }
        return false;
    }
}

bool CPOP3::Connect() {
    OperationScope scope(m_wsPOP3Server);
    try {
        if (m_connected) {
            return true;
        }
        m_pending.clear();
        m_connectionLost = false;
        m_deletions = 0;
        CLineSocket::ConnectResult result = m_wsPOP3Server.Connect(m_host, m_port);
        if (result == CLineSocket::CR_CreateFailed) {
            SetError("Unable to create the socket.");
            return false;
        }
        if (result != CLineSocket::CR_Connected) {
            SetError("Unable to connect to server");
            m_wsPOP3Server.Close();
            return false;
        }
        if (!OpenSession()) {
            m_wsPOP3Server.Close();
            m_pending.clear();
            return false;
        }
        m_connected = true;
        ++m_sessionNumber;
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in Connect");
        }
        m_wsPOP3Server.Close();
        return false;
    }
}

bool CPOP3::OpenSession() {
    if (m_security == SEC_Tls && !m_wsPOP3Server.StartTls(m_caFile)) {
        SetError(m_wsPOP3Server.GetLastFailure());
        return false;
    }
    if (!get_response(0)) {
        return false;
    }
    if (m_security == SEC_Stls) {
        SendCommand("STLS\r\n");
        if (!get_response(0)) {
            // Nothing secret has been sent, and nothing will be in clear.
            if (!m_connectionLost && !m_wsPOP3Server.IsTimedOut()) {
                SetError("The server does not offer STLS: " +
                         WithoutTrailingLineBreaks(m_response));
            }
            return false;
        }
        // Bytes sent before the TLS handshake could pose as replies inside it.
        if (!m_pending.empty()) {
            SetError("The server sent data after agreeing to STLS");
            return false;
        }
        if (!m_wsPOP3Server.StartTls(m_caFile)) {
            SetError(m_wsPOP3Server.GetLastFailure());
            return false;
        }
    }
    if (m_wsPOP3Server.IsTls() && m_trafficLog) {
        m_trafficLog->Write("POP3 TLS: %s", m_wsPOP3Server.TlsDescription().c_str());
    }
    if (!m_bearerToken.empty()) {
        return AuthBearer();
    }
    // A line break in the name or password would add a command of its own.
    if (HasLineBreak(m_user) || HasLineBreak(m_password)) {
        SetError("Line break in the user name or password");
        return false;
    }
    // The password goes out only after a good greeting and a good USER reply.
    SendCommand("USER " + m_user + "\r\n");
    if (!get_response(1)) {
        if (m_connectionLost || m_wsPOP3Server.IsTimedOut() || m_wsPOP3Server.IsAborted()) {
            return false;
        }
        std::string refused = m_errorText;
        std::vector<std::string> capabilities;
        if (CapaExchange(capabilities) && OffersSasl(capabilities, "PLAIN")) {
            return AuthPlain();
        }
        // The refused name is the reason, whatever the question after it met.
        SetError(refused);
        return false;
    }
    SendCommand("PASS " + m_password + "\r\n", "PASSWORD (not shown)");
    return get_response(2);
}

bool CPOP3::AuthPlain() {
    SendCommand("AUTH PLAIN\r\n");
    if (!get_response(2)) {
        return false;
    }
    if (m_response.compare(0, 1, "+") != 0 || m_response.compare(0, 3, "+OK") == 0) {
        SetError(kReplyErrors[2]);
        return false;
    }
    std::string token = EncodeBase64(std::string(1, '\0') + m_user + '\0' + m_password);
    SendCommand(token + "\r\n", "AUTH PLAIN (not shown)");
    token.assign(token.size(), '\0');
    return get_response(2);
}

bool CPOP3::AuthBearer() {
    if (HasLineBreak(m_user) || HasLineBreak(m_bearerToken)) {
        SetError("Line break in the user name or sign-in token");
        return false;
    }
    std::vector<std::string> capabilities;
    if (!CapaExchange(capabilities)) {
        if (!m_connectionLost && !m_wsPOP3Server.IsTimedOut()) {
            SetError("The server does not list its logins (CAPA), so no OAuth2 login");
        }
        return false;
    }
    std::vector<std::string> offered;
    for (const char* name : {"OAUTHBEARER", "XOAUTH2"}) {
        bool allowed = m_oauthMechanism == SaslOAuth::Mechanism::None ||
                       name == std::string(SaslOAuth::Name(m_oauthMechanism));
        if (allowed && OffersSasl(capabilities, name)) {
            offered.emplace_back(name);
        }
    }
    SaslOAuth::Mechanism mechanism = SaslOAuth::Choose(offered);
    if (mechanism == SaslOAuth::Mechanism::None) {
        SetError("The server offers no OAuth2 login (XOAUTH2, OAUTHBEARER)");
        return false;
    }
    const std::string name = SaslOAuth::Name(mechanism);
    // The token goes after the "+", never on the AUTH line: tokens outgrow
    // the 255 octets RFC 5034 allows an initial response there.
    SendCommand("AUTH " + name + "\r\n");
    if (!get_response(2)) {
        return false;
    }
    if (m_response.compare(0, 1, "+") != 0 || m_response.compare(0, 3, "+OK") == 0) {
        SetError("The server did not ask for the " + name + " response");
        return false;
    }
    std::string payload =
        EncodeBase64(SaslOAuth::Payload(mechanism, m_user, m_bearerToken, m_host, m_port));
    std::string hidden = "AUTH " + name + " (not shown)";
    SendCommand(payload + "\r\n", hidden.c_str());
    payload.assign(payload.size(), '\0');
    if (!get_response(2)) {
        if (!m_connectionLost && !m_wsPOP3Server.IsTimedOut()) {
            SetError("OAuth2 login refused: " + WithoutTrailingLineBreaks(m_response));
        }
        return false;
    }
    if (m_response.compare(0, 3, "+OK") == 0) {
        return true;
    }
    // A failure comes as a challenge with the reason; an empty line ends the
    // exchange and brings the final -ERR.
    std::string detail = SaslOAuth::DescribeFailure(m_response.substr(1));
    SendCommand("\r\n");
    get_response(2);
    if (!m_connectionLost && !m_wsPOP3Server.IsTimedOut()) {
        std::string text = "OAuth2 login refused";
        if (!detail.empty()) {
            text += " (" + detail + ")";
        }
        SetError(text + ": " + WithoutTrailingLineBreaks(m_response));
    }
    return false;
}

bool CPOP3::CapaExchange(std::vector<std::string>& lines) {
    lines.clear();
    SendCommand("CAPA\r\n");
    if (!get_response(0)) {
        return false;
    }
    std::string text;
    FetchResult result = CollectMessage(text, std::min(m_maxMessageSize, kMaxCapaReply));
    if (result != FR_Complete) {
        if (result == FR_TooLarge) {
            LoseConnection("Server reply too long");
            SetError(m_lostText);
        } else {
            FetchFailed(0, result, false);
        }
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        // Dot-stuffed like any multi-line reply.
        if (!line.empty() && line[0] == '.') {
            line.erase(0, 1);
        }
        lines.push_back(line);
        start = end + 2;
    }
    return true;
}

bool CPOP3::Capa(std::vector<std::string>& lines) {
    OperationScope scope(m_wsPOP3Server);
    try {
        if (!m_connected) {
            SetError("Must be connected");
            return false;
        }
        if (!CapaExchange(lines)) {
            HandleTimeout(false);
            return false;
        }
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in Capa");
        }
        return false;
    }
}

bool CPOP3::Disconnect() {
    OperationScope scope(m_wsPOP3Server);
    try {
        if (!m_connected) {
            return true;
        }
        SendCommand("QUIT\r\n");
        bool ok = get_response(6);
        m_wsPOP3Server.Close();
        m_pending.clear();
        m_connected = false;
        m_deletions = 0;
        return ok;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in Disconnect");
        }
        m_wsPOP3Server.Close();
        m_connected = false;
        return false;
    }
}

bool CPOP3::HandleTimeout(bool logIt) {
    if (!m_wsPOP3Server.IsTimedOut()) {
        return false;
    }
    SetError(kTimedOut);
    if (logIt && m_errorLog) {
        IW_LOG_AT(*m_errorLog, "timeout!");
    }
    RecoverFromTimeout();
    return true;
}

void CPOP3::RecoverFromTimeout() {
    if (m_recovering) {
        return;
    }
    if (m_errorLog) {
        m_errorLog->Write("Asked to RecoverFromTimeout!");
    }
    std::string errorText = m_errorText;
    if (m_deletions > 0) {
        // QUIT would remove the marked messages and renumber the rest under
        // the caller, whose later numbers would then hit other messages.
        if (m_errorLog) {
            m_errorLog->Write("Not reconnecting: %d message(s) marked for deletion", m_deletions);
        }
        LoseConnection(kTimedOut);
        return;
    }
    m_recovering = true;
    m_pending.clear();
    Disconnect();
    bool ok = Connect();
    m_messageCount = ok ? GetNumMessages() : -1;
    if (m_errorLog) {
        m_errorLog->Write("Connect() returned %d", ok ? 1 : 0);
    }
    m_recovering = false;
    // The caller reports the time-out, not what the recovery met.
    m_errorText = errorText;
}

int CPOP3::GetNumMessages() {
    OperationScope scope(m_wsPOP3Server);
    try {
        SendCommand("STAT\r\n");
        if (!get_response(3)) {
            if (!HandleTimeout(false)) {
                SetError("Unknown Error in GetNumMessages()!");
            }
            return -1;
        }
        size_t digit = m_response.find_first_of("0123456789");
        if (digit == std::string::npos) {
            // A count of -1 must say why, or the caller logs the last good "OK".
            SetError(kReplyErrors[3]);
            return -1;
        }
        return LeadingNumber(m_response, digit);
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in GetNumMessages");
        }
        return -1;
    }
}

CPOP3::FetchResult CPOP3::CollectMessage(std::string& text, size_t limit) {
    text.swap(m_pending);
    m_pending.clear();
    // Only the new bytes and the four before them can complete the terminator.
    size_t searchFrom = 0;
    const auto started = std::chrono::steady_clock::now();
    while (true) {
        if (text.compare(0, 3, ".\r\n") == 0) {
            m_pending.assign(text, 3);
            text.clear();
            return FR_Complete;
        }
        size_t end = text.find("\r\n.\r\n", searchFrom);
        if (end != std::string::npos) {
            m_pending.assign(text, end + 5);
            text.resize(end + 2);
            return FR_Complete;
        }
        if (text.size() > limit) {
            return FR_TooLarge;
        }
        searchFrom = text.size() >= 4 ? text.size() - 4 : 0;
        char buffer[kReadSize];
        int n = m_wsPOP3Server.Receive(buffer, sizeof buffer);
        if (n == 0) {
            return FR_Closed;
        }
        if (n < 0) {
            return FR_SocketError;
        }
        text.append(buffer, static_cast<size_t>(n));
        // Data still flowing: the reply is not late, unless the whole
        // transfer is, for its size so far.
        long long allowedMs =
            m_transferBaseMs + static_cast<long long>(text.size() / 51200) * m_transferMsPer50KB;
        long long leftMs = allowedMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count();
        if (leftMs <= 0) {
            if (m_errorLog) {
                m_errorLog->Write("Transfer of %zu bytes took longer than %lld ms", text.size(),
                                  allowedMs);
            }
            m_wsPOP3Server.SetTimedOut(true);
            return FR_SocketError;
        }
        m_wsPOP3Server.StampDeadline(
            static_cast<int>(std::min<long long>(m_wsPOP3Server.GetTimeouts().deadlineMs, leftMs)));
    }
}

bool CPOP3::SkipMessage() {
    // Keep only the tail that may hold the start of the terminator. The
    // deadline is not renewed, so a server that never ends is cut off.
    std::string tail;
    while (true) {
        char buffer[kReadSize];
        int n = m_wsPOP3Server.Receive(buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        tail.append(buffer, static_cast<size_t>(n));
        size_t end = tail.find("\r\n.\r\n");
        if (end != std::string::npos) {
            m_pending.assign(tail, end + 5);
            return true;
        }
        if (tail.size() > 4) {
            tail.erase(0, tail.size() - 4);
        }
    }
}

void CPOP3::StatusFailed(const std::string& command, int index) {
    if (!HandleTimeout(true)) {
        SetError("Unknown Error in GetMessage()!");
    }
    if (m_errorLog) {
        m_errorLog->Write("-------> GetResponse with \"%s\" returned FALSE for msg #%d",
                          command.c_str(), index);
    }
}

void CPOP3::FetchFailed(int index, FetchResult result, bool parsed) {
    switch (result) {
        case FR_Closed:
            if (m_errorLog) {
                if (parsed) {
                    IW_LOG_AT(*m_errorLog, "Error: Got %d bytes from POP3!, msg# %d", 0, index);
                } else {
                    IW_LOG_AT(*m_errorLog, "Error: Got %d bytes from POP3, aborting receive (%d)",
                              0, index);
                }
            }
            LoseConnection(kClosed);
            SetError(kClosed);
            break;
        case FR_SocketError:
            if (HandleTimeout(true)) {
                break;
            }
            m_errorText = "Unknown SOCKET_ERROR in GetMessages()";
            if (m_errorLog) {
                m_errorLog->Write("%s%s For message %d", "POP3 <- ", m_errorText.c_str(), index);
            }
            LoseConnection(m_errorText);
            break;
        case FR_TooLarge: {
            std::string text = "Message " + std::to_string(index) + " is larger than " +
                               std::to_string(m_maxMessageSize) + " bytes";
            m_pending.clear();
            if (!SkipMessage()) {
                LoseConnection(text);
            }
            SetError(text);
            break;
        }
        case FR_Complete:
            break;
    }
}

bool CPOP3::GetMessage(int index, std::string& text) {
    OperationScope scope(m_wsPOP3Server);
    try {
        std::string command = "RETR " + std::to_string(index) + "\r\n";
        SendCommand(command);
        if (!get_response(4)) {
            StatusFailed(command, index);
            return false;
        }
        FetchResult result = CollectMessage(text, m_maxMessageSize);
        if (result != FR_Complete) {
            FetchFailed(index, result, false);
            text.clear();
            return false;
        }
        text += ".\r\n";
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in GetNumMessages1");
        }
        return false;
    }
}

bool CPOP3::GetMessage(int index, CMailContent& message, int topLines) {
    OperationScope scope(m_wsPOP3Server);
    try {
        std::string command =
            topLines != 0 ? "TOP " + std::to_string(index) + " " + std::to_string(topLines) + "\r\n"
                          : "RETR " + std::to_string(index) + "\r\n";
        SendCommand(command);
        if (!get_response(4)) {
            StatusFailed(command, index);
            return false;
        }
        std::string text;
        FetchResult result = CollectMessage(text, m_maxMessageSize);
        if (result != FR_Complete) {
            FetchFailed(index, result, true);
            return false;
        }

        size_t blank = text.find("\r\n\r\n");
        if (blank == std::string::npos) {
            message.m_header.clear();
            text.erase(0, std::min<size_t>(3, text.size()));
        } else {
            message.m_header.assign(text, 0, blank);
            text.erase(0, blank + 4);
        }
        message.m_body.swap(text);
        message.ParseHeader();
        message.UnstuffDots();
        message.m_contentHash =
            static_cast<int64_t>(static_cast<uint64_t>(HashText64(message.m_from)) +
                                 static_cast<uint64_t>(HashText64(message.m_subject)) +
                                 static_cast<uint64_t>(HashText64(message.m_body)) +
                                 static_cast<uint64_t>(HashText64(message.m_dateText)));
        message.m_bodyHash = HashText32(message.m_body);

        SendCommand("LIST " + std::to_string(index) + "\r\n");
        if (!get_response(5)) {
            if (!HandleTimeout(true)) {
                SetError("Unknown Error in GetNumMessages()!");
            }
            if (m_errorLog) {
                m_errorLog->Write("-------> GetResponse for LIST returned FALSE for msg #%d",
                                  index);
            }
            return false;
        }
        message.m_size = 0;
        size_t space = m_response.rfind(' ');
        if (space != std::string::npos) {
            message.m_size = LeadingNumber(m_response, space + 1);
        }
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in GetNumMessages2");
        }
        return false;
    }
}

bool CPOP3::DeleteMessage(int index) {
    OperationScope scope(m_wsPOP3Server);
    try {
        SendCommand("DELE " + std::to_string(index) + "\r\n");
        if (!get_response(5)) {
            HandleTimeout(false);
            return false;
        }
        ++m_deletions;
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in DeleteMessage");
        }
        return false;
    }
}

bool CPOP3::GetListing(const std::string& command, std::vector<std::string>& lines) {
    // Far above the 80 bytes a line of a real listing takes.
    constexpr size_t kMaxListingBytes = 32u << 20;
    lines.clear();
    OperationScope scope(m_wsPOP3Server);
    try {
        SendCommand(command + "\r\n");
        if (!get_response(3)) {
            if (!HandleTimeout(false)) {
                SetError(command + " refused: " + m_response.substr(0, 200));
            }
            return false;
        }
        std::string text;
        FetchResult result = CollectMessage(text, kMaxListingBytes);
        if (result == FR_TooLarge) {
            m_pending.clear();
            if (!SkipMessage()) {
                LoseConnection(command + " answer too long");
            }
            SetError(command + " answer too long");
            return false;
        }
        if (result != FR_Complete) {
            FetchFailed(0, result, true);
            return false;
        }
        size_t pos = 0;
        while (pos < text.size()) {
            size_t eol = text.find("\r\n", pos);
            if (eol == std::string::npos) {
                eol = text.size();
            }
            if (eol - pos > kMaxListLine || lines.size() >= kMaxListLines) {
                SetError(command + " answer too long");
                lines.clear();
                return false;
            }
            // A line that begins with "." was stuffed.
            size_t from = text[pos] == '.' ? pos + 1 : pos;
            lines.emplace_back(text, from, eol - from);
            pos = eol + 2;
        }
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in GetListing");
        }
        lines.clear();
        return false;
    }
}

namespace {

// "number SP value" with a message number of 1 to 9 digits, above 0; the rest
// of the line is the value. False for anything else.
bool SplitListingLine(const std::string& line, int& number, std::string& value) {
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 9 || digits >= line.size() || line[digits] != ' ') {
        return false;
    }
    number = LeadingNumber(line, 0);
    value.assign(line, digits + 1, std::string::npos);
    // Some servers end the line with blanks.
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.pop_back();
    }
    return number > 0;
}

bool IsUid(const std::string& value) {
    if (value.empty() || value.size() > CPOP3::kMaxUidLength) {
        return false;
    }
    for (char c : value) {
        if (c < 0x21 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

// False for a message number listed before. Numbers beyond the table are
// let through: the caller checks the listing against the message count.
bool FirstOfItsNumber(std::vector<bool>& seen, int number) {
    size_t slot = static_cast<size_t>(number);
    if (slot >= seen.size()) {
        return true;
    }
    if (seen[slot]) {
        return false;
    }
    seen[slot] = true;
    return true;
}

}  // namespace

bool CPOP3::Uidl(std::vector<UidlEntry>& ids, int* malformed) {
    ids.clear();
    int bad = 0;
    std::vector<std::string> lines;
    bool ok = GetListing("UIDL", lines);
    // Numbers beyond the line count are kept (the caller checks the listing
    // against LIST) but cannot index this table.
    std::vector<bool> seen(lines.size() + 1, false);
    for (const std::string& line : lines) {
        UidlEntry entry;
        if (!SplitListingLine(line, entry.number, entry.uid) || !IsUid(entry.uid)) {
            ++bad;
            continue;
        }
        if (!FirstOfItsNumber(seen, entry.number)) {
            ++bad;
            continue;
        }
        ids.push_back(std::move(entry));
    }
    if (malformed) {
        *malformed = bad;
    }
    if (bad > 0 && m_errorLog) {
        m_errorLog->Write("UIDL: %d malformed line(s) left out", bad);
    }
    return ok;
}

bool CPOP3::ListSizes(std::vector<SizeEntry>& sizes, int* malformed) {
    sizes.clear();
    int bad = 0;
    std::vector<std::string> lines;
    bool ok = GetListing("LIST", lines);
    std::vector<bool> seen(lines.size() + 1, false);
    std::string value;
    for (const std::string& line : lines) {
        SizeEntry entry;
        // The size may be followed by other information (RFC 1939 allows it).
        if (!SplitListingLine(line, entry.number, value) || value.empty() || value[0] < '0' ||
            value[0] > '9') {
            ++bad;
            continue;
        }
        if (!FirstOfItsNumber(seen, entry.number)) {
            ++bad;
            continue;
        }
        long long size = 0;
        for (size_t i = 0; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
            size = size * 10 + (value[i] - '0');
            if (size > UINT32_MAX) {
                size = UINT32_MAX;
            }
        }
        entry.size = static_cast<uint32_t>(size);
        sizes.push_back(entry);
    }
    if (malformed) {
        *malformed = bad;
    }
    if (bad > 0 && m_errorLog) {
        m_errorLog->Write("LIST: %d malformed line(s) left out", bad);
    }
    return ok;
}

bool CPOP3::GetHeader(int index, CMailContent& message) {
    OperationScope scope(m_wsPOP3Server);
    try {
        std::string command = "TOP " + std::to_string(index) + " 0\r\n";
        SendCommand(command);
        if (!get_response(4)) {
            StatusFailed(command, index);
            return false;
        }
        std::string text;
        FetchResult result = CollectMessage(text, std::min(kMaxHeaderSize, m_maxMessageSize));
        if (result != FR_Complete) {
            FetchFailed(index, result, true);
            return false;
        }
        message.m_header.assign(text, 0, text.find("\r\n\r\n"));
        message.m_body.clear();
        message.ParseHeader();
        return true;
    } catch (const std::exception&) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Caught exception in GetHeader");
        }
        return false;
    }
}
