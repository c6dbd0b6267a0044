#include "engine/CSenderSurvey.h"

#include <algorithm>

#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "support/StringUtils.h"

bool CSenderSurvey::IsMachineAddress(const std::string& address) {
    std::string local = address.substr(0, address.find('@'));
    ToLower(local);
    if (local == "mailer-daemon" || local == "postmaster") {
        return true;
    }
    RemoveChars(local, "-_.");
    return local.find("noreply") != std::string::npos ||
           local.find("donotreply") != std::string::npos;
}

void CSenderSurvey::Add(const CMailContent& header) {
    std::string address = LowerBareAddress(header.m_from);
    if (address.empty() || !IsEmailAddress(address)) {
        return;
    }
    Sender& sender = m_senders[address];
    sender.address = address;
    ++sender.count;
    sender.latestSubject = header.m_subject;
    std::string name = header.m_from.find('<') == std::string::npos
                           ? ""
                           : header.m_from.substr(0, header.m_from.find('<'));
    RemoveChars(name, "\"");
    size_t start = name.find_first_not_of(" \t");
    size_t end = name.find_last_not_of(" \t");
    sender.name = start == std::string::npos ? "" : name.substr(start, end - start + 1);
    sender.personal = sender.personal && header.GetMailKind() == CMailContent::MK_Personal &&
                      !IsMachineAddress(address);
}

std::vector<CSenderSurvey::Sender> CSenderSurvey::Result() const {
    std::vector<Sender> senders;
    senders.reserve(m_senders.size());
    for (const auto& entry : m_senders) {
        senders.push_back(entry.second);
    }
    std::stable_sort(senders.begin(), senders.end(),
                     [](const Sender& a, const Sender& b) { return a.count > b.count; });
    return senders;
}

bool CSenderSurvey::Run(const CConnectionSettings::Server& server, const std::atomic<bool>* cancel,
                        const std::function<void(int, int)>& progress) {
    CPOP3 pop3(server.host, server.port);
    CConnectionSettings::Apply(server, pop3);
    pop3.GetSocket().SetAbortFlag(cancel);
    auto cancelled = [&] { return cancel != nullptr && cancel->load(); };
    if (!pop3.Connect()) {
        m_error = cancelled() ? "Cancelled" : pop3.GetErrorText();
        return false;
    }
    int total = pop3.GetNumMessages();
    bool ok = total >= 0;
    m_error = ok ? std::string() : pop3.GetErrorText();
    for (int index = 1; ok && index <= total; ++index) {
        if (cancelled()) {
            m_error = "Cancelled";
            ok = false;
            break;
        }
        CMailContent header;
        if (!pop3.GetHeader(index, header)) {
            m_error = cancelled() ? "Cancelled" : pop3.GetErrorText();
            ok = false;
            break;
        }
        Add(header);
        if (progress) {
            progress(index, total);
        }
    }
    // Nothing was deleted, so the logout changes nothing on the server; a
    // cancelled survey still says goodbye when the connection allows it.
    pop3.GetSocket().SetAbortFlag(nullptr);
    pop3.Disconnect();
    return ok;
}
