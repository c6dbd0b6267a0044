#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

class CLogFile;

// One blocking TCP connection of a mail client. No framing of its own: the
// clients send whole commands and read replies in pieces. Every wait is
// bounded: the connect, each receive, each send, and an optional deadline
// that the clients stamp for each reply.
class CLineSocket {
public:
    // All in milliseconds.
    struct Timeouts {
        int connectMs = 15000;
        int receiveMs = 10000;
        int sendMs = 10000;
        // How long one reply may take from the moment the deadline is stamped.
        int deadlineMs = 15000;
    };

    enum ConnectResult {
        CR_Connected,
        CR_CreateFailed,   // no socket could be made
        CR_ConnectFailed,  // the name did not resolve, or every address failed in time
    };

    CLineSocket();
    ~CLineSocket();
    CLineSocket(const CLineSocket&) = delete;
    CLineSocket& operator=(const CLineSocket&) = delete;

    // The time-outs given to sockets constructed from now on (tests shorten them).
    static void SetDefaultTimeouts(const Timeouts& timeouts);
    static Timeouts GetDefaultTimeouts();
    void SetTimeouts(const Timeouts& timeouts);
    const Timeouts& GetTimeouts() const { return m_timeouts; }

    // Resolves host (a name, IPv4 or IPv6 address) and tries its addresses in
    // order, all within the connect time-out. Closes any earlier connection.
    ConnectResult Connect(const std::string& host, unsigned port);
    bool IsOpen() const { return m_fd >= 0; }
    // Safe from any thread: a connect or wait in progress ends within about
    // kAbortCheckMs, and every later one fails at once. For a user's Cancel.
    void Abort() { m_aborted = true; }
    bool IsAborted() const { return m_aborted; }
    static constexpr int kAbortCheckMs = 100;
    void Close();

    // Sends all bytes; false on error or time-out (the timed-out flag is then set).
    bool Send(const char* data, size_t length);
    bool Send(const std::string& data) { return Send(data.data(), data.size()); }
    // Bytes read (1..size), 0 when the peer closed the connection, -1 on an
    // error or time-out (a time-out sets the timed-out flag).
    int Receive(char* buffer, int size);

    bool IsTimedOut() const { return m_timedOut; }
    void SetTimedOut(bool timedOut) { m_timedOut = timedOut; }
    // The deadline for the reply now awaited: now + deadlineMs. Receive then
    // waits at most until it.
    void StampDeadline();
    void ClearDeadline();
    bool HasDeadline() const { return m_hasDeadline; }

    // The text of the last failure (for logs), e.g. "connect: Connection refused".
    const std::string& GetLastFailure() const { return m_lastFailure; }
    // The local host name, or an address literal of this connection's local
    // end ("[127.0.0.1]", "[IPv6:::1]") when the name is unknown.
    std::string GetLocalName() const;

    // The process-wide "SocketTraffic" log, opened by the first socket made.
    static CLogFile& TrafficLog();

private:
    bool WaitFor(short events, int timeoutMs);
    int RemainingMs(int limitMs) const;
    void Fail(const std::string& what, int error);

    int m_fd = -1;
    std::atomic<bool> m_aborted{false};
    bool m_timedOut = false;
    bool m_hasDeadline = false;
    std::chrono::steady_clock::time_point m_deadline;
    Timeouts m_timeouts;
    std::string m_lastFailure;
};
