#pragma once

#include <atomic>
#include <chrono>
#include <string>

// The server end of one accepted test connection. Every wait ends at the
// server's time limit or when the server is stopped.
class ScriptedSession {
public:
    using Clock = std::chrono::steady_clock;

    ScriptedSession(int fd, Clock::time_point until, const std::atomic<bool>& stop);
    ~ScriptedSession();
    ScriptedSession(const ScriptedSession&) = delete;
    ScriptedSession& operator=(const ScriptedSession&) = delete;

    // One line up to and with its "\n"; false when the client closed the
    // connection, time ran out or the server stops (line then holds the rest).
    bool ReadLine(std::string& line);
    // Everything up to and with terminator.
    bool ReadUntil(const std::string& terminator, std::string& data);
    bool Send(const std::string& bytes);
    // Sends in pieces of pieceSize bytes with a pause after each but the last.
    bool SendInPieces(const std::string& bytes, size_t pieceSize, int pauseMs);
    // Sleeps, but no longer than the time limit or a stop allow.
    void Pause(int ms);
    // Reads and records without answering, until the client closes or ms pass.
    void Silence(int ms);
    // Ends our side in order (the client reads 0 bytes) and waits briefly
    // for the client to close its side.
    void Close();
    bool IsClosed() const { return m_fd < 0; }

    // Every byte the client sent that was read.
    const std::string& Received() const { return m_received; }

private:
    bool Fill();
    // Reads into the record only, until the client closes or until passes.
    void Drain(Clock::time_point until);

    int m_fd;
    Clock::time_point m_until;
    const std::atomic<bool>& m_stop;
    std::string m_buffer;
    std::string m_received;
};
