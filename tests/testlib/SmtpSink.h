#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ScriptedServer.h"

// A small SMTP receiver for tests, served through a ScriptedServer: HELO,
// EHLO, MAIL, RCPT, DATA, RSET, NOOP and QUIT. It keeps every accepted
// message.
class SmtpSink {
public:
    struct Delivery {
        std::string from;
        std::vector<std::string> recipients;
        // The message as the client meant it: dots unstuffed, without the
        // terminating ".\r\n" line.
        std::string data;
    };

    // greeting is sent as it is, e.g. "220-first\r\n220 second\r\n".
    explicit SmtpSink(std::string greeting = "220 test sink ready\r\n");

    // RCPT of this address (between the angle brackets) gets a 550.
    void RefuseRecipient(const std::string& address);
    // What the session does after a scripted reply.
    enum Then { Continue, CloseAfter, SilenceAfter };
    // The reply in place of the usual one at a step: "greeting", a verb in
    // upper case ("HELO", "MAIL", "RCPT", "DATA", "QUIT"), or "." for the
    // reply after the message data (the message then counts as not taken).
    void FailWith(const std::string& step, const std::string& reply, Then then = Continue);
    void ClearFailures();
    ScriptedServer::Handler Handler();

    std::vector<Delivery> Deliveries() const;
    std::vector<std::string> Commands() const;

private:
    void Serve(ScriptedSession& session);
    enum Injected { NotScripted, Replied, Ended };
    Injected Inject(ScriptedSession& session, const std::string& step);

    std::string m_greeting;
    mutable std::mutex m_lock;
    std::set<std::string> m_refused;
    std::map<std::string, std::pair<std::string, Then>> m_failures;
    std::vector<Delivery> m_deliveries;
    std::vector<std::string> m_commands;
};
