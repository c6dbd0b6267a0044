#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// A loopback server whose every connection is answered with one fixed byte
// stream, whatever the client sends: the client under test takes those bytes
// as the replies to its commands. The stream is then either closed (the
// client meets the end of the connection) or left open with nothing more to
// come (the client meets its time-outs). One thread serves one connection at
// a time for the whole fuzzing process.
class FuzzReplyServer {
public:
    FuzzReplyServer();
    ~FuzzReplyServer();
    FuzzReplyServer(const FuzzReplyServer&) = delete;
    FuzzReplyServer& operator=(const FuzzReplyServer&) = delete;

    unsigned Port() const { return m_port; }
    // For connections accepted from now on.
    void SetReplies(const std::string& stream, bool closeAfter);

private:
    void Run();
    void Serve(int fd);

    int m_listener = -1;
    unsigned m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::string m_stream;
    bool m_closeAfter = true;
    std::thread m_thread;
};
