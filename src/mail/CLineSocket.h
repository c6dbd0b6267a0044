#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "mail/CTlsSession.h"

class CLogFile;

// One blocking TCP connection of a mail client, plain or TLS. No framing of
// its own: the clients send whole commands and read replies in pieces. Every
// wait is bounded: the connect, the TLS handshake, each receive, each send,
// and an optional deadline that the clients stamp for each reply. An abort
// flag, when given, ends any wait that is still waiting within a tenth of a
// second.
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
    void Close();

    // Turns the open connection into a TLS client session (before any byte
    // of the server's is read for implicit TLS, right after the server's
    // "go ahead" for STLS/STARTTLS), checking the certificate against the
    // host given to Connect. Bounded by the receive time-out and the
    // deadline. On failure the connection is closed and GetLastFailure names
    // the reason ("Certificate not accepted: self-signed certificate").
    bool StartTls(const std::string& caFile);
    // The one certificate (SHA-256 fingerprint) StartTls accepts from now on,
    // whoever issued it; empty for the usual checks.
    void SetPinnedCertificate(const std::string& sha256) { m_pin = sha256; }
    // The certificate the last StartTls refused (empty fingerprint otherwise).
    const CTlsSession::PeerCertificate& RefusedCertificate() const { return m_refused; }
    bool IsTls() const { return m_tls != nullptr; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", empty on a plain connection.
    std::string TlsDescription() const;

    // While *flag is true, waits end early (false, not timed out) and
    // IsAborted is true. The flag must outlive the socket's use of it.
    void SetAbortFlag(const std::atomic<bool>* flag) { m_abortFlag = flag; }
    bool IsAborted() const { return m_abortFlag && m_abortFlag->load(); }

    // Sends all bytes; false on error or time-out (the timed-out flag is then set).
    bool Send(const char* data, size_t length);
    bool Send(const std::string& data) { return Send(data.data(), data.size()); }
    // Bytes read (1..size), 0 when the peer closed the connection, -1 on an
    // error or time-out (a time-out sets the timed-out flag).
    int Receive(char* buffer, int size);
    // The same, waiting at most waitMs (and never past the deadline).
    int Receive(char* buffer, int size, int waitMs);

    bool IsTimedOut() const { return m_timedOut; }
    void SetTimedOut(bool timedOut) { m_timedOut = timedOut; }
    // The deadline for the reply now awaited: now + deadlineMs. Receive then
    // waits at most until it.
    void StampDeadline();
    // The deadline for the reply now awaited: now + ms.
    void StampDeadline(int ms);
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
    // The text of a wait that failed: time-out, abort, or poll's error.
    void FailWait(const char* what);
    // Waits for what a TLS call asked (want: its IO_WantRead or IO_WantWrite);
    // a failed wait is reported as what's failure.
    bool WaitForTls(int want, int timeoutMs, const char* what);
    int ReceiveTls(char* buffer, int size, int waitMs);
    bool SendTls(const char* data, size_t length);

    int m_fd = -1;
    std::string m_host;
    std::unique_ptr<CTlsSession> m_tls;
    std::string m_pin;
    CTlsSession::PeerCertificate m_refused;
    const std::atomic<bool>* m_abortFlag = nullptr;
    bool m_timedOut = false;
    bool m_hasDeadline = false;
    std::chrono::steady_clock::time_point m_deadline;
    Timeouts m_timeouts;
    std::string m_lastFailure;
};
