#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedSession.h"

// A TCP server on 127.0.0.1 with an ephemeral port that plays a scripted
// dialogue in a thread of its own, one script per connection in the order
// the connections arrive, and records what the client sent. Connections are
// served one after the other: the next is accepted when the script before it
// ended. Everything it does ends at its time limit.
//
//   ScriptedServer server;
//   server.Send("+OK ready\r\n").Expect("USER bob\r\n").Send("-ERR no\r\n");
//   server.Start();
//   ... client connects to 127.0.0.1:server.Port() ...
//   server.Wait();  EXPECT_TRUE(server.Failures().empty());
class ScriptedServer {
public:
    using Handler = std::function<void(ScriptedSession&)>;

    explicit ScriptedServer(int limitMs = 20000);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned short Port() const { return m_port; }

    // Steps of the current connection's script (before Start).
    ScriptedServer& Send(const std::string& bytes);
    ScriptedServer& SendInPieces(const std::string& bytes, size_t pieceSize, int pauseMs = 20);
    // Reads one line and compares it with line (exactly, with its CRLF). A
    // mismatch is recorded and ends the connection.
    ScriptedServer& Expect(const std::string& line);
    ScriptedServer& ExpectPrefix(const std::string& prefix);
    // Reads up to and with the end of the data "\r\n.\r\n" (any bytes).
    ScriptedServer& ExpectData();
    ScriptedServer& Pause(int ms);
    // Stays connected without answering (what comes is recorded) until the
    // client closes or ms pass.
    ScriptedServer& Silence(int ms);
    // Ends the connection now (an orderly close).
    ScriptedServer& Close();
    ScriptedServer& Serve(Handler handler);
    // Later steps belong to the script of the next connection.
    ScriptedServer& NextConnection();
    // The same handler for each of the next count connections.
    ScriptedServer& ServeEach(const Handler& handler, int count);

    void Start();
    // Waits until every script ran or the time limit passed; true when every
    // script ran to its end.
    bool Wait();
    void Stop();

    // What the client sent on one connection (in arrival order).
    std::string Received(size_t connection = 0) const;
    std::vector<std::string> Failures() const;
    int ConnectionsAccepted() const { return m_accepted; }

private:
    struct Step {
        enum Kind { Send, Pieces, Expect, Prefix, Data, Pause, Silence, Close, Serve } kind;
        std::string text;
        size_t pieceSize = 0;
        int ms = 0;
        Handler handler;
    };
    using Script = std::vector<Step>;

    ScriptedServer& Add(Step step);
    void Run();
    void Play(const Script& script, ScriptedSession& session, size_t connection);
    void Fail(size_t connection, const std::string& what);

    int m_listenFd = -1;
    unsigned short m_port = 0;
    int m_limitMs;
    std::vector<Script> m_scripts;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_allRan{false};
    std::atomic<int> m_accepted{0};
    mutable std::mutex m_lock;
    std::vector<std::string> m_received;
    std::vector<std::string> m_failures;
};
