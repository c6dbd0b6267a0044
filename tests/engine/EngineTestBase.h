#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "Pop3Mailbox.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"

// A started engine in a throwaway program folder, with empty filter lists,
// logging on and the account "Home" whose address is kHomeAddress. The mail
// servers are started by the tests that need them.
class EngineTestBase : public EngineFixture {
protected:
    static constexpr const char* kAccount = "Home";
    static constexpr const char* kHomeAddress = "me@home.example";

    void SetUp() override;
    void TearDown() override;

    CEmailHistory& History() { return m_engine->GetHistory(); }
    // The tag of a challenge to the sender's address.
    std::string Tag(const std::string& sender) const { return m_engine->GetChallengeTag(sender); }

    // A new record in the history, as the scan makes it.
    CEmailData* AddEmail(const std::string& sender, const std::string& subject,
                         uint32_t size = 2000, const std::string& text = "body\r\n",
                         int32_t serverId = 0, const std::string& account = kAccount);
    // A new record, filtered.
    CEmailData* Filter(const std::string& sender, const std::string& subject, uint32_t size = 2000,
                       const std::string& text = "body\r\n", int32_t serverId = 0,
                       const std::string& account = kAccount);

    // Starts a POP3 mailbox and an SMTP sink and makes clients for them
    // current. The mailbox holds the given messages as 1, 2, ..., then
    // others up to number 9 (from "sender<n>@mail.example" to the user,
    // subject "Message <n>").
    void StartMail(const std::vector<std::string>& messages = {});
    // Makes the current SMTP client one that cannot connect, or the sink's.
    void UseWorkingSmtp(bool working);
    void StopMail();
    // The numbers of the DELE commands the mailbox received.
    std::vector<int> Deletes() const;

    static std::vector<std::string> Entries(int list);

    ScopedSocketTimeouts m_timeouts{2000, 4000, 2000, 2000};
    std::unique_ptr<CInboxWardenEngine> m_engine;
    Pop3Mailbox m_mailbox{"user", "secret"};
    SmtpSink m_sink;
    std::unique_ptr<ScriptedServer> m_popServer;
    std::unique_ptr<ScriptedServer> m_smtpServer;
    std::unique_ptr<CPOP3> m_pop3;
    std::unique_ptr<CSMTP> m_smtp;
    std::unique_ptr<CSMTP> m_deadSmtp;
};
