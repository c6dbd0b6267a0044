#include "ScriptedSession.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {
constexpr int kSliceMs = 20;

int MsLeft(ScriptedSession::Clock::time_point until) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - ScriptedSession::Clock::now())
            .count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}
}  // namespace

ScriptedSession::ScriptedSession(int fd, Clock::time_point until, const std::atomic<bool>& stop)
    : m_fd(fd), m_until(until), m_stop(stop) {
    // Pieces go out as they are sent, not held back for the client's delayed
    // acknowledgement.
    int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

ScriptedSession::~ScriptedSession() {
    Close();
}

bool ScriptedSession::Fill() {
    while (m_fd >= 0 && !m_stop && MsLeft(m_until) > 0) {
        pollfd p{m_fd, POLLIN, 0};
        int ready = poll(&p, 1, std::min(kSliceMs, MsLeft(m_until)));
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            continue;
        }
        char chunk[16384];
        ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        m_buffer.append(chunk, static_cast<size_t>(n));
        m_received.append(chunk, static_cast<size_t>(n));
        return true;
    }
    return false;
}

bool ScriptedSession::ReadUntil(const std::string& terminator, std::string& data) {
    size_t from = 0;
    while (true) {
        size_t pos = m_buffer.find(terminator, from);
        if (pos != std::string::npos) {
            data = m_buffer.substr(0, pos + terminator.size());
            m_buffer.erase(0, pos + terminator.size());
            return true;
        }
        from = m_buffer.size() >= terminator.size() ? m_buffer.size() - terminator.size() + 1 : 0;
        if (!Fill()) {
            data = m_buffer;
            m_buffer.clear();
            return false;
        }
    }
}

bool ScriptedSession::ReadLine(std::string& line) {
    return ReadUntil("\n", line);
}

bool ScriptedSession::Send(const std::string& bytes) {
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        if (m_stop || MsLeft(m_until) == 0) {
            return false;
        }
        pollfd p{m_fd, POLLOUT, 0};
        int ready = poll(&p, 1, std::min(kSliceMs, MsLeft(m_until)));
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            continue;
        }
        ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

bool ScriptedSession::SendInPieces(const std::string& bytes, size_t pieceSize, int pauseMs) {
    pieceSize = std::max<size_t>(pieceSize, 1);
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        if (at > 0) {
            Pause(pauseMs);
        }
        if (!Send(bytes.substr(at, pieceSize))) {
            return false;
        }
    }
    return true;
}

void ScriptedSession::Pause(int ms) {
    auto until = std::min(m_until, Clock::now() + std::chrono::milliseconds(ms));
    while (!m_stop && MsLeft(until) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, MsLeft(until))));
    }
}

void ScriptedSession::Close() {
    if (m_fd < 0) {
        return;
    }
    shutdown(m_fd, SHUT_WR);
    // Read what the client still sends until it closes, so that closing does
    // not reset the connection and the client sees an orderly end.
    Drain(std::min(m_until, Clock::now() + std::chrono::milliseconds(300)));
    close(m_fd);
    m_fd = -1;
}

void ScriptedSession::Silence(int ms) {
    Drain(std::min(m_until, Clock::now() + std::chrono::milliseconds(ms)));
}

void ScriptedSession::Drain(Clock::time_point until) {
    while (m_fd >= 0 && !m_stop && MsLeft(until) > 0) {
        pollfd p{m_fd, POLLIN, 0};
        int ready = poll(&p, 1, std::min(kSliceMs, MsLeft(until)));
        if (ready < 0) {
            return;
        }
        if (ready == 0) {
            continue;
        }
        char chunk[4096];
        ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return;
        }
        m_received.append(chunk, static_cast<size_t>(n));
    }
}
