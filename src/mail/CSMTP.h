#pragma once

#include <string>

#include "mail/CLineSocket.h"

class CLogFile;
class CMailContent;

// Plain SMTP delivery: greeting, HELO, MAIL, RCPT, DATA, QUIT. No EHLO, no
// authentication.
class CSMTP {
public:
    static constexpr unsigned kDefaultPort = 25;

    // The reply expected after a command, an index into the code table.
    enum ResponseIndex {
        GENERIC_SUCCESS = 0,  // 250
        CONNECT_SUCCESS = 1,  // 220
        DATA_SUCCESS = 2,     // 354
        QUIT_SUCCESS = 3,     // 221
    };

    explicit CSMTP(const std::string& host, unsigned port = kDefaultPort);
    virtual ~CSMTP();
    CSMTP(const CSMTP&) = delete;
    CSMTP& operator=(const CSMTP&) = delete;

    // Builds the header, stuffs the dots of the body and ends it with CRLF;
    // false for a message without recipients. Stuffs again when called again,
    // so give each send a freshly built message.
    virtual bool PrepareMessage(CMailContent& message);

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
    void SendCommand(const std::string& command, const std::string& logCopy);
    void SendCommand(const std::string& command) { SendCommand(command, command); }
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
    // Bytes received past the last reply.
    std::string m_pending;
};
