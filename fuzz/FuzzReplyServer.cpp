#include "FuzzReplyServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// A client that neither reads nor closes for this long is stuck, not slow.
constexpr auto kConnectionLimit = std::chrono::seconds(20);

}  // namespace

FuzzReplyServer::FuzzReplyServer() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("FuzzReplyServer");
        abort();
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
}

FuzzReplyServer::~FuzzReplyServer() {
    m_stop = true;
    m_thread.join();
    close(m_listener);
}

void FuzzReplyServer::SetReplies(const std::string& stream, bool closeAfter) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stream = stream;
    m_closeAfter = closeAfter;
}

void FuzzReplyServer::Run() {
    while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Serve(fd);
            close(fd);
        }
    }
}

void FuzzReplyServer::Serve(int fd) {
    std::string stream;
    bool closeAfter;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        stream = m_stream;
        closeAfter = m_closeAfter;
    }
    size_t sent = 0;
    bool shut = false;
    auto started = std::chrono::steady_clock::now();
    while (!m_stop) {
        if (sent == stream.size() && closeAfter && !shut) {
            shutdown(fd, SHUT_WR);
            shut = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (sent < stream.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 20) < 0 && errno != EINTR) {
            return;
        }
        if (p.revents & POLLOUT) {
            ssize_t n = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[16384];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return;  // the client is done with this connection
            }
        }
        if (std::chrono::steady_clock::now() - started > kConnectionLimit) {
            fprintf(stderr, "FuzzReplyServer: the client kept a connection too long\n");
            abort();
        }
    }
}
