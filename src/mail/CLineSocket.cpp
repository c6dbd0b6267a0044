#include "mail/CLineSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "mail/CTlsSession.h"
#include "support/CAppEnvironment.h"
#include "support/CLogFile.h"

namespace {

std::mutex g_defaultsLock;
CLineSocket::Timeouts g_defaults;

using Clock = std::chrono::steady_clock;

// How often a wait looks at the abort flag.
constexpr int kAbortSliceMs = 100;

int MsUntil(Clock::time_point when) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

void SetTimeoutOption(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Host names as the HELO greeting may carry them.
bool IsPlainHostName(const char* name) {
    if (!*name) {
        return false;
    }
    for (const char* p = name; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

CLineSocket::CLineSocket() : m_timeouts(GetDefaultTimeouts()) {
    TrafficLog();
}

CLineSocket::~CLineSocket() {
    Close();
}

CLogFile& CLineSocket::TrafficLog() {
    // Opened once per process and truncated then, so each run starts it afresh.
    static CLogFile log = [] {
        CAppEnvironment* env = CAppEnvironment::Instance();
        return CLogFile(env ? env->GetProgramFolder() : CAppEnvironment::ComputeProgramFolder(),
                        env ? env->GetAppName() : std::string("InboxWarden"));
    }();
    static std::once_flag opened;
    std::call_once(
        opened, [] { log.Open("SocketTraffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1); });
    return log;
}

void CLineSocket::SetDefaultTimeouts(const Timeouts& timeouts) {
    std::lock_guard<std::mutex> guard(g_defaultsLock);
    g_defaults = timeouts;
}

CLineSocket::Timeouts CLineSocket::GetDefaultTimeouts() {
    std::lock_guard<std::mutex> guard(g_defaultsLock);
    return g_defaults;
}

void CLineSocket::SetTimeouts(const Timeouts& timeouts) {
    m_timeouts = timeouts;
    if (m_fd >= 0) {
        SetTimeoutOption(m_fd, SO_RCVTIMEO, m_timeouts.receiveMs);
        SetTimeoutOption(m_fd, SO_SNDTIMEO, m_timeouts.sendMs);
    }
}

void CLineSocket::Fail(const std::string& what, int error) {
    m_lastFailure = what;
    if (error) {
        m_lastFailure += ": ";
        m_lastFailure += strerror(error);
    }
    TrafficLog().Write("|: %s", m_lastFailure.c_str());
}

CLineSocket::ConnectResult CLineSocket::Connect(const std::string& host, unsigned port) {
    Close();
    m_host = host;
    // A cancelled test or scan must not start a new connection.
    if (IsAborted()) {
        Fail("connect to " + host + " aborted", 0);
        return CR_ConnectFailed;
    }
    if (port == 0 || port > 65535) {
        Fail("Invalid port " + std::to_string(port) + " for " + host, 0);
        return CR_ConnectFailed;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // An IPv6 literal may come in brackets, as in URLs.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    int rc = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        Fail("Cannot resolve " + host + ": " + gai_strerror(rc), 0);
        return CR_ConnectFailed;
    }

    // One time bound for all addresses together.
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(m_timeouts.connectMs);
    bool anySocket = false;
    std::string target = host + " port " + std::to_string(port);
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            Fail("socket for " + target, errno);
            continue;
        }
        anySocket = true;
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int error = 0;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int ready;
                while (true) {
                    int wait = MsUntil(until);
                    if (m_abortFlag) {
                        wait = std::min(wait, kAbortSliceMs);
                    }
                    ready = poll(&p, 1, wait);
                    if (ready < 0 && errno == EINTR && MsUntil(until) > 0) {
                        continue;
                    }
                    if (ready == 0 && MsUntil(until) > 0 && !IsAborted()) {
                        continue;
                    }
                    break;
                }
                if (ready == 0 && IsAborted()) {
                    close(fd);
                    Fail("connect to " + target + " aborted", 0);
                    freeaddrinfo(found);
                    return CR_ConnectFailed;
                }
                if (ready > 0) {
                    socklen_t len = sizeof error;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
                        error = errno;
                    }
                } else {
                    error = ready == 0 ? ETIMEDOUT : errno;
                }
            }
        }
        if (error == 0) {
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            int one = 1;
            // Commands and the pieces of a message go out at once.
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_fd = fd;
            SetTimeoutOption(m_fd, SO_RCVTIMEO, m_timeouts.receiveMs);
            SetTimeoutOption(m_fd, SO_SNDTIMEO, m_timeouts.sendMs);
            freeaddrinfo(found);
            return CR_Connected;
        }
        close(fd);
        Fail("connect to " + target, error);
        if (MsUntil(until) == 0) {
            break;
        }
    }
    freeaddrinfo(found);
    return anySocket ? CR_ConnectFailed : CR_CreateFailed;
}

void CLineSocket::Close() {
    if (m_tls) {
        m_tls->Shutdown();
        m_tls.reset();
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void CLineSocket::StampDeadline() {
    StampDeadline(m_timeouts.deadlineMs);
}

void CLineSocket::StampDeadline(int ms) {
    m_deadline = Clock::now() + std::chrono::milliseconds(ms);
    m_hasDeadline = true;
}

void CLineSocket::ClearDeadline() {
    m_hasDeadline = false;
}

int CLineSocket::RemainingMs(int limitMs) const {
    if (!m_hasDeadline) {
        return limitMs;
    }
    return std::min(limitMs, MsUntil(m_deadline));
}

// False when the wait failed; a wait that ran out sets the timed-out flag.
bool CLineSocket::WaitFor(short events, int timeoutMs) {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{m_fd, events, 0};
    while (true) {
        int left = MsUntil(until);
        int ready = poll(&p, 1, m_abortFlag ? std::min(left, kAbortSliceMs) : left);
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            if (IsAborted()) {
                return false;
            }
            if (MsUntil(until) > 0) {
                continue;
            }
            m_timedOut = true;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool CLineSocket::WaitForTls(int want, int timeoutMs, const char* what) {
    if (WaitFor(want == CTlsSession::IO_WantRead ? POLLIN : POLLOUT, timeoutMs)) {
        return true;
    }
    FailWait(what);
    return false;
}

void CLineSocket::FailWait(const char* what) {
    std::string text = what;
    if (m_timedOut) {
        Fail(text + " timed out", 0);
    } else if (IsAborted()) {
        Fail(text + " aborted", 0);
    } else {
        Fail(text + " wait", errno);
    }
}

bool CLineSocket::Send(const char* data, size_t length) {
    if (m_fd < 0) {
        return false;
    }
    if (m_tls) {
        return SendTls(data, length);
    }
    size_t sent = 0;
    while (sent < length) {
        if (!WaitFor(POLLOUT, RemainingMs(m_timeouts.sendMs))) {
            FailWait("send");
            return false;
        }
        ssize_t n = send(m_fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            Fail("send", errno);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

int CLineSocket::Receive(char* buffer, int size) {
    return Receive(buffer, size, m_timeouts.receiveMs);
}

int CLineSocket::Receive(char* buffer, int size, int waitMs) {
    if (m_fd < 0 || size <= 0) {
        return -1;
    }
    if (m_tls) {
        return ReceiveTls(buffer, size, waitMs);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!WaitFor(POLLIN, RemainingMs(waitMs))) {
            FailWait("receive");
            return -1;
        }
        ssize_t n = recv(m_fd, buffer, static_cast<size_t>(size), 0);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_timedOut = true;
            Fail("receive timed out", 0);
            return -1;
        }
        if (errno != EINTR) {
            Fail("receive", errno);
            return -1;
        }
    }
    return -1;
}

bool CLineSocket::StartTls(const std::string& caFile) {
    if (m_fd < 0) {
        Fail("TLS without a connection", 0);
        return false;
    }
    if (m_tls) {
        return true;
    }
    // OpenSSL reads and writes what the socket takes now; the waits are ours.
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    auto tls = std::make_unique<CTlsSession>();
    std::string error;
    m_refused = CTlsSession::PeerCertificate();
    if (!tls->Begin(m_fd, m_host, caFile, error, m_pin)) {
        Fail(error, 0);
        Close();
        return false;
    }
    Clock::time_point until =
        Clock::now() + std::chrono::milliseconds(RemainingMs(m_timeouts.receiveMs));
    // Each round either finishes or waits; the time limit ends the rounds.
    for (int round = 0; round < 10000; ++round) {
        CTlsSession::IoResult result = tls->Handshake(error);
        if (result == CTlsSession::IO_Done) {
            m_tls = std::move(tls);
            return true;
        }
        if (result != CTlsSession::IO_WantRead && result != CTlsSession::IO_WantWrite) {
            m_refused = tls->Refused();
            Fail(error, 0);
            Close();
            return false;
        }
        if (!WaitForTls(result, MsUntil(until), "TLS handshake")) {
            Close();
            return false;
        }
    }
    Fail("TLS handshake does not end", 0);
    Close();
    return false;
}

std::string CLineSocket::TlsDescription() const {
    return m_tls ? m_tls->Description() : std::string();
}

int CLineSocket::ReceiveTls(char* buffer, int size, int waitMs) {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(RemainingMs(waitMs));
    std::string error;
    // A round that reads nothing (a session ticket, a partial record) waits
    // before the next; the time limit ends the rounds.
    for (int round = 0; round < 100000; ++round) {
        int got = 0;
        CTlsSession::IoResult result = m_tls->Read(buffer, size, got, error);
        switch (result) {
            case CTlsSession::IO_Done:
                return got;
            case CTlsSession::IO_Closed:
                return 0;
            case CTlsSession::IO_WantRead:
            case CTlsSession::IO_WantWrite:
                if (!WaitForTls(result, MsUntil(until), "receive")) {
                    return -1;
                }
                break;
            case CTlsSession::IO_Error:
                Fail(error, 0);
                return -1;
        }
    }
    Fail("receive: no progress", 0);
    return -1;
}

bool CLineSocket::SendTls(const char* data, size_t length) {
    std::string error;
    size_t sent = 0;
    for (int round = 0; round < 1000000 && sent < length; ++round) {
        size_t written = 0;
        CTlsSession::IoResult result = m_tls->Write(data + sent, length - sent, written, error);
        if (result == CTlsSession::IO_Done) {
            sent += written;
            continue;
        }
        if (result == CTlsSession::IO_WantRead || result == CTlsSession::IO_WantWrite) {
            if (!WaitForTls(result, RemainingMs(m_timeouts.sendMs), "send")) {
                return false;
            }
            continue;
        }
        Fail(error, 0);
        return false;
    }
    return sent == length;
}

std::string CLineSocket::GetLocalName() const {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0 && IsPlainHostName(name)) {
        return name;
    }
    // Without a usable name, the address literal of this end of the connection.
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    char text[INET6_ADDRSTRLEN] = "";
    if (m_fd >= 0 && getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        if (local.ss_family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&local);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
                return std::string("[") + text + "]";
            }
        } else if (local.ss_family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
            if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) {
                return std::string("[IPv6:") + text + "]";
            }
        }
    }
    return "localhost";
}
