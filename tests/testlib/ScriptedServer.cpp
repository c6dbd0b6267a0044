#include "ScriptedServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <stdexcept>

ScriptedServer::ScriptedServer(int limitMs) : m_limitMs(limitMs), m_scripts(1) {
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        throw std::runtime_error("ScriptedServer: socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t len = sizeof address;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 8) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        close(m_listenFd);
        throw std::runtime_error("ScriptedServer: bind/listen failed");
    }
    m_port = ntohs(address.sin_port);
}

ScriptedServer::~ScriptedServer() {
    Stop();
    if (m_listenFd >= 0) {
        close(m_listenFd);
    }
}

ScriptedServer& ScriptedServer::Add(Step step) {
    m_scripts.back().push_back(std::move(step));
    return *this;
}

ScriptedServer& ScriptedServer::Send(const std::string& bytes) {
    return Add({Step::Send, bytes, 0, 0, nullptr});
}

ScriptedServer& ScriptedServer::SendInPieces(const std::string& bytes, size_t pieceSize,
                                             int pauseMs) {
    return Add({Step::Pieces, bytes, pieceSize, pauseMs, nullptr});
}

ScriptedServer& ScriptedServer::Expect(const std::string& line) {
    return Add({Step::Expect, line, 0, 0, nullptr});
}

ScriptedServer& ScriptedServer::ExpectPrefix(const std::string& prefix) {
    return Add({Step::Prefix, prefix, 0, 0, nullptr});
}

ScriptedServer& ScriptedServer::ExpectData() {
    return Add({Step::Data, "", 0, 0, nullptr});
}

ScriptedServer& ScriptedServer::Pause(int ms) {
    return Add({Step::Pause, "", 0, ms, nullptr});
}

ScriptedServer& ScriptedServer::Silence(int ms) {
    return Add({Step::Silence, "", 0, ms, nullptr});
}

ScriptedServer& ScriptedServer::Close() {
    return Add({Step::Close, "", 0, 0, nullptr});
}

ScriptedServer& ScriptedServer::Serve(Handler handler) {
    return Add({Step::Serve, "", 0, 0, std::move(handler)});
}

ScriptedServer& ScriptedServer::NextConnection() {
    m_scripts.emplace_back();
    return *this;
}

ScriptedServer& ScriptedServer::ServeEach(const Handler& handler, int count) {
    for (int i = 0; i < count; ++i) {
        if (i > 0 || !m_scripts.back().empty()) {
            NextConnection();
        }
        Serve(handler);
    }
    return *this;
}

void ScriptedServer::Start() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_received.assign(m_scripts.size(), std::string());
    }
    m_thread = std::thread([this] { Run(); });
}

bool ScriptedServer::Wait() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_allRan;
}

void ScriptedServer::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void ScriptedServer::Fail(size_t connection, const std::string& what) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.push_back("connection " + std::to_string(connection) + ": " + what);
}

std::string ScriptedServer::Received(size_t connection) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return connection < m_received.size() ? m_received[connection] : std::string();
}

std::vector<std::string> ScriptedServer::Failures() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_failures;
}

void ScriptedServer::Run() {
    auto until = ScriptedSession::Clock::now() + std::chrono::milliseconds(m_limitMs);
    size_t next = 0;
    while (next < m_scripts.size() && !m_stop && ScriptedSession::Clock::now() < until) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++m_accepted;
        ScriptedSession session(fd, until, m_stop);
        Play(m_scripts[next], session, next);
        session.Close();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_received[next] = session.Received();
        }
        ++next;
    }
    m_allRan = next == m_scripts.size();
}

void ScriptedServer::Play(const Script& script, ScriptedSession& session, size_t connection) {
    std::string got;
    for (size_t i = 0; i < script.size(); ++i) {
        const Step& step = script[i];
        std::string where = "step " + std::to_string(i) + ": ";
        switch (step.kind) {
            case Step::Send:
                if (!session.Send(step.text)) {
                    Fail(connection, where + "could not send");
                    return;
                }
                break;
            case Step::Pieces:
                if (!session.SendInPieces(step.text, step.pieceSize, step.ms)) {
                    Fail(connection, where + "could not send");
                    return;
                }
                break;
            case Step::Expect:
            case Step::Prefix: {
                bool read = session.ReadLine(got);
                bool match = step.kind == Step::Expect
                                 ? got == step.text
                                 : got.compare(0, step.text.size(), step.text) == 0;
                if (!read || !match) {
                    Fail(connection, where + "expected \"" + step.text + "\", got \"" + got + "\"" +
                                         (read ? "" : " before the end"));
                    return;
                }
                break;
            }
            case Step::Data:
                if (!session.ReadUntil("\r\n.\r\n", got)) {
                    Fail(connection, where + "data did not end");
                    return;
                }
                break;
            case Step::Pause:
                session.Pause(step.ms);
                break;
            case Step::Silence:
                session.Silence(step.ms);
                break;
            case Step::Close:
                return;
            case Step::Serve:
                step.handler(session);
                if (session.IsClosed()) {
                    return;
                }
                break;
        }
    }
}
