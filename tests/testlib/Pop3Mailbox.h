#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptedServer.h"

// A small POP3 mailbox for tests, served through a ScriptedServer: USER,
// PASS, STAT, LIST, UIDL, TOP, RETR, DELE, RSET, NOOP and QUIT; deletions
// take effect at QUIT only.
//
//   Pop3Mailbox box("bob", "secret");
//   box.AddMessage("Subject: hi\r\n\r\nbody\r\n");
//   ScriptedServer server;
//   server.ServeEach(box.Handler(), 1).Start();
class Pop3Mailbox {
public:
    Pop3Mailbox(std::string user, std::string password);

    // text is the message as stored, lines ending in CRLF, not dot-stuffed.
    // Each message gets a unique id of its own ("uid1", "uid2", ... in the
    // order of adding) unless uid names one.
    void AddMessage(const std::string& text, const std::string& uid = "");
    // Takes message number (1-based) away between sessions, as another mail
    // program collecting it would; the later ones move up a number.
    void RemoveMessage(size_t number);
    // What the session does after a scripted reply.
    enum Then { Continue, CloseAfter, SilenceAfter };
    // The reply to every command that begins with prefix (its verb in upper
    // case, no CRLF): FailWith("DELE", "-ERR locked\r\n") refuses every DELE,
    // FailWith("TOP 3 ", "+OK\r\nSubject: cut", CloseAfter) drops the
    // connection in the middle of message 3, FailWith("STAT", "", SilenceAfter)
    // never answers. The prefix "greeting" stands for the greeting.
    void FailWith(const std::string& prefix, const std::string& reply, Then then = Continue);
    void ClearFailures();
    // The handler serving one session.
    ScriptedServer::Handler Handler();

    std::vector<std::string> Messages() const;
    // The unique ids of the messages, in the order of Messages().
    std::vector<std::string> Uids() const;
    // Every command line received, over all sessions, with its CRLF.
    std::vector<std::string> Commands() const;
    // How many of the commands from number `from` on (0-based, as in
    // Commands()) begin with prefix; Commands().size() taken before a step
    // makes `from` count that step's commands only.
    int CountCommands(const std::string& prefix, size_t from = 0) const;

private:
    void Serve(ScriptedSession& session);
    static std::string Stuffed(const std::string& text);

    std::string m_user;
    std::string m_password;
    mutable std::mutex m_lock;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_uids;
    int m_uidCounter = 0;
    std::map<std::string, std::pair<std::string, Then>> m_failures;
    std::vector<std::string> m_commands;
};
