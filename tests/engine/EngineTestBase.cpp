#include "EngineTestBase.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "lists/CFilterLists.h"

namespace {

// A loopback port that nothing listens on (it was free a moment ago).
unsigned ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 9;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

}  // namespace

void EngineTestBase::SetUp() {
    Settings().WriteBool("EnableLogging", true, "General");
    Settings().WriteString("emailAddress", kHomeAddress, kAccount);
    ClearLists();
    m_engine = std::make_unique<CInboxWardenEngine>();
    ASSERT_TRUE(m_engine->Initialize(&owner));
    ASSERT_FALSE(Tag("someone@example.org").empty());
}

void EngineTestBase::TearDown() {
    StopMail();
    m_engine.reset();
    ClearLists();
}

CEmailData* EngineTestBase::AddEmail(const std::string& sender, const std::string& subject,
                                     uint32_t size, const std::string& text, int32_t serverId,
                                     const std::string& account) {
    // Dated an hour ago, as fresh mail is (remote commands must be).
    time_t sent = time(nullptr) - 3600;
    struct tm utc {};
    gmtime_r(&sent, &utc);
    char date[64];
    strftime(date, sizeof date, "%d %b %Y %H:%M:%S +0000", &utc);
    auto* email = new CEmailData(account, static_cast<uint32_t>(time(nullptr)), sender, subject, 0,
                                 text, date, size, ES_Unknown, 0, "", "", serverId);
    History().Add(email);
    return email;
}

CEmailData* EngineTestBase::Filter(const std::string& sender, const std::string& subject,
                                   uint32_t size, const std::string& text, int32_t serverId,
                                   const std::string& account) {
    CEmailData* email = AddEmail(sender, subject, size, text, serverId, account);
    m_engine->FilterNewEmail(email);
    return email;
}

void EngineTestBase::StartMail(const std::vector<std::string>& messages) {
    for (const auto& text : messages) {
        m_mailbox.AddMessage(text);
    }
    for (int n = static_cast<int>(messages.size()) + 1; n <= 9; ++n) {
        std::string number = std::to_string(n);
        m_mailbox.AddMessage("From: sender" + number + "@mail.example\r\nTo: " + kHomeAddress +
                             "\r\nSubject: Message " + number + "\r\n\r\nbody " + number + "\r\n");
    }
    m_popServer = std::make_unique<ScriptedServer>(30000);
    m_popServer->ServeEach(m_mailbox.Handler(), 1).Start();
    m_smtpServer = std::make_unique<ScriptedServer>(30000);
    m_smtpServer->ServeEach(m_sink.Handler(), 60).Start();
    m_pop3 = std::make_unique<CPOP3>("127.0.0.1", m_popServer->Port());
    m_pop3->SetLogin("user", "secret");
    ASSERT_TRUE(m_pop3->Connect()) << m_pop3->GetErrorText();
    m_smtp = std::make_unique<CSMTP>("127.0.0.1", m_smtpServer->Port());
    m_deadSmtp = std::make_unique<CSMTP>("127.0.0.1", ClosedPort());
    UseWorkingSmtp(true);
}

void EngineTestBase::UseWorkingSmtp(bool working) {
    m_engine->SetCurrentClients(m_pop3.get(), working ? m_smtp.get() : m_deadSmtp.get());
}

void EngineTestBase::StopMail() {
    if (m_engine) {
        m_engine->SetCurrentClients(nullptr, nullptr);
    }
    if (m_pop3) {
        m_pop3->Disconnect();
    }
    m_pop3.reset();
    m_smtp.reset();
    m_deadSmtp.reset();
    if (m_popServer) {
        m_popServer->Stop();
    }
    if (m_smtpServer) {
        m_smtpServer->Stop();
    }
}

std::vector<int> EngineTestBase::Deletes() const {
    std::vector<int> numbers;
    for (const auto& command : m_mailbox.Commands()) {
        if (command.rfind("DELE ", 0) == 0) {
            numbers.push_back(atoi(command.c_str() + 5));
        }
    }
    return numbers;
}

std::vector<std::string> EngineTestBase::Entries(int list) {
    std::vector<std::string> words;
    for (const auto& entry : CFilterLists::Instance().GetEntries(list)) {
        words.push_back(entry.words);
    }
    return words;
}
