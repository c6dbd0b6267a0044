#include "SmtpSink.h"

#include <cctype>

namespace {

std::string Between(const std::string& text) {
    size_t lt = text.find('<');
    size_t gt = text.find('>', lt == std::string::npos ? 0 : lt);
    if (lt == std::string::npos || gt == std::string::npos) {
        return {};
    }
    return text.substr(lt + 1, gt - lt - 1);
}

// Undoes the dot stuffing of CRLF lines and drops the final ".\r\n".
std::string Unstuffed(const std::string& data) {
    std::string text = data.size() >= 3 ? data.substr(0, data.size() - 3) : std::string();
    std::string out;
    out.reserve(text.size());
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(lineStart && text[i] == '.')) {
            out += text[i];
        }
        lineStart = text[i] == '\n' && i > 0 && text[i - 1] == '\r';
    }
    return out;
}

}  // namespace

SmtpSink::SmtpSink(std::string greeting) : m_greeting(std::move(greeting)) {}

void SmtpSink::RefuseRecipient(const std::string& address) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_refused.insert(address);
}

void SmtpSink::FailWith(const std::string& step, const std::string& reply, Then then) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures[step] = {reply, then};
}

void SmtpSink::ClearFailures() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.clear();
}

SmtpSink::Injected SmtpSink::Inject(ScriptedSession& session, const std::string& step) {
    std::pair<std::string, Then> failure;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_failures.find(step);
        if (found == m_failures.end()) {
            return NotScripted;
        }
        failure = found->second;
    }
    session.Send(failure.first);
    if (failure.second == CloseAfter) {
        session.Close();
        return Ended;
    }
    if (failure.second == SilenceAfter) {
        session.Silence(1 << 30);
        return Ended;
    }
    return Replied;
}

ScriptedServer::Handler SmtpSink::Handler() {
    return [this](ScriptedSession& session) { Serve(session); };
}

std::vector<SmtpSink::Delivery> SmtpSink::Deliveries() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deliveries;
}

std::vector<std::string> SmtpSink::Commands() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_commands;
}

void SmtpSink::Serve(ScriptedSession& session) {
    switch (Inject(session, "greeting")) {
        case Ended:
            return;
        case Replied:
            break;
        case NotScripted:
            session.Send(m_greeting);
    }
    Delivery current;
    bool haveSender = false;
    std::string line;
    while (session.ReadLine(line)) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_commands.push_back(line);
        }
        std::string verb = line.substr(0, 4);
        for (char& c : verb) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        Injected injected = Inject(session, verb);
        if (injected == Ended) {
            return;
        }
        if (injected == Replied) {
            if (verb == "QUIT") {
                session.Close();
                return;
            }
            continue;
        }
        if (verb == "HELO" || verb == "EHLO") {
            session.Send("250 sink\r\n");
        } else if (verb == "MAIL") {
            current = Delivery{};
            current.from = Between(line);
            haveSender = true;
            session.Send("250 2.1.0 Ok\r\n");
        } else if (verb == "RCPT") {
            std::string address = Between(line);
            bool refused;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                refused = m_refused.count(address) > 0;
            }
            if (!haveSender) {
                session.Send("503 5.5.1 Error: need MAIL command\r\n");
            } else if (refused) {
                session.Send("550 5.1.1 <" + address + ">: Recipient address rejected\r\n");
            } else {
                current.recipients.push_back(address);
                session.Send("250 2.1.5 Ok\r\n");
            }
        } else if (verb == "DATA") {
            if (current.recipients.empty()) {
                session.Send("554 5.5.1 Error: no valid recipients\r\n");
                continue;
            }
            session.Send("354 End data with <CR><LF>.<CR><LF>\r\n");
            std::string data;
            // The end is a line of one dot, also right at the start.
            if (!session.ReadUntil(".\r\n", data)) {
                return;
            }
            while (!(data == ".\r\n" ||
                     (data.size() >= 5 && data.compare(data.size() - 5, 5, "\r\n.\r\n") == 0))) {
                std::string more;
                if (!session.ReadUntil(".\r\n", more)) {
                    return;
                }
                data += more;
            }
            Injected afterData = Inject(session, ".");
            if (afterData == Ended) {
                return;
            }
            if (afterData == Replied) {
                current = Delivery{};
                haveSender = false;
                continue;
            }
            current.data = Unstuffed(data);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_deliveries.push_back(current);
            }
            current = Delivery{};
            haveSender = false;
            session.Send("250 2.0.0 Ok: queued\r\n");
        } else if (verb == "RSET") {
            current = Delivery{};
            haveSender = false;
            session.Send("250 2.0.0 Ok\r\n");
        } else if (verb == "NOOP") {
            session.Send("250 2.0.0 Ok\r\n");
        } else if (verb == "QUIT") {
            session.Send("221 2.0.0 Bye\r\n");
            session.Close();
            return;
        } else {
            session.Send("502 5.5.2 Error: command not recognized\r\n");
        }
    }
}
