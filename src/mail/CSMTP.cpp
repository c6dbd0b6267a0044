#include "mail/CSMTP.h"

#include <cstdlib>
#include <exception>

#include "mail/CMailContent.h"
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
};

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

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

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

CSMTP::CSMTP(const std::string& host, unsigned port) : m_port(port), m_host(host) {}

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

void CSMTP::SendCommand(const std::string& command, const std::string& logCopy) {
    if (m_trafficLog) {
        IW_LOG_AT(*m_trafficLog, "%s%s", "SMTP -> ", logCopy.c_str());
    }
    m_socket.StampDeadline();
    m_socket.Send(command);
}

bool CSMTP::get_response(int index) {
    const ExpectedReply& expected = kReplies[index >= 0 && index < 4 ? index : 0];
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
            int n = m_socket.Receive(buffer, sizeof buffer);
            if (n < 0) {
                // Whatever comes later would be taken for the next reply.
                LoseConnection(m_socket.IsTimedOut() ? kTimedOut : "Socket Error");
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
        if (!get_response(CONNECT_SUCCESS)) {
            SetError("Server didn't respond.");
            m_socket.Close();
            return false;
        }
        SendCommand("HELO " + m_socket.GetLocalName() + "\r\n");
        if (!get_response(GENERIC_SUCCESS)) {
            m_socket.Close();
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
    SendCommand("DATA\r\n");
    if (!get_response(DATA_SUCCESS)) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Got FALSE from get_response( DATA_SUCCESS )");
        }
        return false;
    }

    // The header goes out dot-stuffed too: a copied MIME line could begin with a dot.
    std::string header = message.m_header;
    CMailContent::StuffDots(header);
    SendCommand(header);
    SendCommand("\r\n");
    std::string logCopy = message.m_body;
    IndentForLog(logCopy);
    SendCommand(message.m_body, logCopy);
    // The body's own final CRLF begins the terminator.
    bool endsWithCrLf = message.m_body.size() >= 2 &&
                        message.m_body.compare(message.m_body.size() - 2, 2, "\r\n") == 0;
    SendCommand(endsWithCrLf ? ".\r\n" : "\r\n.\r\n");
    if (!get_response(GENERIC_SUCCESS)) {
        if (m_errorLog) {
            IW_LOG_AT(*m_errorLog, "Got FALSE from get_response( GENERIC_SUCCESS )");
        }
        return false;
    }
    return true;
}
