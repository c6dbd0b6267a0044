#include "Pop3Mailbox.h"

#include <cstdlib>
#include <set>
#include <sstream>

Pop3Mailbox::Pop3Mailbox(std::string user, std::string password)
    : m_user(std::move(user)), m_password(std::move(password)) {}

void Pop3Mailbox::AddMessage(const std::string& text, const std::string& uid) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_messages.push_back(text);
    ++m_uidCounter;
    m_uids.push_back(uid.empty() ? "uid" + std::to_string(m_uidCounter) : uid);
}

void Pop3Mailbox::RemoveMessage(size_t number) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (number >= 1 && number <= m_messages.size()) {
        m_messages.erase(m_messages.begin() + static_cast<long>(number - 1));
        m_uids.erase(m_uids.begin() + static_cast<long>(number - 1));
    }
}

void Pop3Mailbox::FailWith(const std::string& prefix, const std::string& reply, Then then) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures[prefix] = {reply, then};
}

void Pop3Mailbox::ClearFailures() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.clear();
}

ScriptedServer::Handler Pop3Mailbox::Handler() {
    return [this](ScriptedSession& session) { Serve(session); };
}

std::vector<std::string> Pop3Mailbox::Messages() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_messages;
}

std::vector<std::string> Pop3Mailbox::Uids() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_uids;
}

std::vector<std::string> Pop3Mailbox::Commands() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_commands;
}

int Pop3Mailbox::CountCommands(const std::string& prefix, size_t from) const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (size_t i = from; i < m_commands.size(); ++i) {
        n += m_commands[i].compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

// Lines are CRLF lines; a line beginning with "." gets a second one, and the
// text is closed by the ".\r\n" line.
std::string Pop3Mailbox::Stuffed(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 64);
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (lineStart && text[i] == '.') {
            out += '.';
        }
        out += text[i];
        lineStart = text[i] == '\n' && i > 0 && text[i - 1] == '\r';
    }
    if (!text.empty() && !(out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)) {
        out += "\r\n";
    }
    out += ".\r\n";
    return out;
}

void Pop3Mailbox::Serve(ScriptedSession& session) {
    std::vector<std::string> messages;
    std::vector<std::string> uids;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        messages = m_messages;
        uids = m_uids;
    }
    std::set<size_t> deleted;
    bool userGiven = false;
    bool loggedIn = false;
    std::pair<std::string, Then> greeting{"+OK test mailbox ready\r\n", Continue};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_failures.find("greeting");
        if (found != m_failures.end()) {
            greeting = found->second;
        }
    }
    session.Send(greeting.first);
    if (greeting.second == CloseAfter) {
        session.Close();
        return;
    }
    if (greeting.second == SilenceAfter) {
        session.Silence(1 << 30);
        return;
    }
    std::string line;
    while (session.ReadLine(line)) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_commands.push_back(line);
        }
        std::string command = line;
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
            command.pop_back();
        }
        std::istringstream words(command);
        std::string verb;
        words >> verb;
        for (char& c : verb) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        std::string normalised = verb + command.substr(std::min(verb.size(), command.size()));
        bool scripted = false;
        std::pair<std::string, Then> failure;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (const auto& [prefix, reply] : m_failures) {
                if (normalised.compare(0, prefix.size(), prefix) == 0) {
                    scripted = true;
                    failure = reply;
                    break;
                }
            }
        }
        if (scripted) {
            session.Send(failure.first);
            if (failure.second == CloseAfter) {
                session.Close();
                return;
            }
            if (failure.second == SilenceAfter) {
                session.Silence(1 << 30);
                return;
            }
            continue;
        }
        // The message of number n, when it exists and is not deleted.
        auto pick = [&](long n) -> const std::string* {
            if (n < 1 || static_cast<size_t>(n) > messages.size() || deleted.count(n - 1)) {
                return nullptr;
            }
            return &messages[n - 1];
        };
        std::string argument = command.size() > verb.size() ? command.substr(verb.size() + 1) : "";
        long n = std::atol(argument.c_str());

        if (verb == "QUIT") {
            if (loggedIn) {
                std::lock_guard<std::mutex> guard(m_lock);
                std::vector<std::string> kept;
                std::vector<std::string> keptUids;
                for (size_t i = 0; i < m_messages.size(); ++i) {
                    if (!deleted.count(i)) {
                        kept.push_back(m_messages[i]);
                        keptUids.push_back(m_uids[i]);
                    }
                }
                m_messages.swap(kept);
                m_uids.swap(keptUids);
            }
            session.Send("+OK bye\r\n");
            session.Close();
            return;
        }
        if (!loggedIn) {
            if (verb == "USER") {
                userGiven = argument == m_user;
                session.Send("+OK\r\n");
            } else if (verb == "PASS" && userGiven && argument == m_password) {
                loggedIn = true;
                session.Send("+OK logged in\r\n");
            } else {
                userGiven = false;
                session.Send("-ERR [AUTH] Authentication failed.\r\n");
            }
            continue;
        }
        if (verb == "STAT") {
            size_t count = 0, octets = 0;
            for (size_t i = 0; i < messages.size(); ++i) {
                if (!deleted.count(i)) {
                    ++count;
                    octets += messages[i].size();
                }
            }
            session.Send("+OK " + std::to_string(count) + " " + std::to_string(octets) + "\r\n");
        } else if (verb == "LIST" || verb == "UIDL") {
            if (argument.empty()) {
                std::string reply = "+OK\r\n";
                for (size_t i = 0; i < messages.size(); ++i) {
                    if (!deleted.count(i)) {
                        reply += std::to_string(i + 1) + " " +
                                 (verb == "LIST" ? std::to_string(messages[i].size()) : uids[i]) +
                                 "\r\n";
                    }
                }
                session.Send(reply + ".\r\n");
            } else if (const std::string* text = pick(n)) {
                session.Send("+OK " + std::to_string(n) + " " +
                             (verb == "LIST" ? std::to_string(text->size()) : uids[n - 1]) +
                             "\r\n");
            } else {
                session.Send("-ERR no such message\r\n");
            }
        } else if (verb == "RETR") {
            if (const std::string* text = pick(n)) {
                session.Send("+OK " + std::to_string(text->size()) + " octets\r\n" +
                             Stuffed(*text));
            } else {
                session.Send("-ERR no such message\r\n");
            }
        } else if (verb == "TOP") {
            std::istringstream numbers(argument);
            long index = 0, lines = -1;
            numbers >> index >> lines;
            const std::string* text = pick(index);
            if (!text || lines < 0) {
                session.Send("-ERR no such message\r\n");
                continue;
            }
            size_t blank = text->find("\r\n\r\n");
            std::string part = *text;
            if (blank != std::string::npos) {
                size_t end = blank + 4;
                for (long k = 0; k < lines && end < text->size(); ++k) {
                    size_t eol = text->find("\r\n", end);
                    end = eol == std::string::npos ? text->size() : eol + 2;
                }
                part = text->substr(0, end);
            }
            session.Send("+OK\r\n" + Stuffed(part));
        } else if (verb == "DELE") {
            if (pick(n)) {
                deleted.insert(n - 1);
                session.Send("+OK marked\r\n");
            } else {
                session.Send("-ERR no such message\r\n");
            }
        } else if (verb == "RSET") {
            deleted.clear();
            session.Send("+OK\r\n");
        } else if (verb == "NOOP") {
            session.Send("+OK\r\n");
        } else {
            session.Send("-ERR unknown command\r\n");
        }
    }
}
