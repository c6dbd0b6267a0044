// Sender verification on the real Dovecot and Postfix: messages lie in the
// mailbox with the Authentication-Results the provider's server would have
// added; a verified stranger is challenged, a forged sender (a real mailbox
// here, so a stray challenge would arrive) is not, a friend is a friend.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "MailServerScanFixture.h"
#include "lists/CFilterLists.h"
#include "testlib/MailServers.h"

namespace {

const char* kAccount = "Home";

std::string Message(const std::string& from, const std::string& subject,
                    const std::string& results) {
    return "Return-Path: <" + from + ">\r\n" + results +
           "Received: from relay.elsewhere.example by mx.iw.test (Postfix) with ESMTP id 1;\r\n"
           "\tTue, 08 Dec 2026 10:00:00 +0000\r\n"
           "Received: from localhost by relay.elsewhere.example; Tue, 08 Dec 2026 09:59:00\r\n"
           "Authentication-Results: mx.iw.test; dmarc=pass header.from=iw.test\r\n"
           "From: " +
           from + "\r\nTo: me@iw.test\r\nSubject: " + subject +
           "\r\nDate: Tue, 08 Dec 2026 09:58:00 +0000\r\n\r\nHello.\r\n";
}

class SenderVerificationEndToEnd : public MailServerScanFixture {
protected:
    void SetUp() override {
        IW_REQUIRE_MAIL_SERVERS();
        const MailServers& servers = MailServers::Get();
        for (const char* user : {"me", "stranger", "spare"}) {
            servers.Clear(user);
        }
        Settings().WriteString("AccountsList", kAccount, "General");
        Settings().WriteString("SmtpName", servers.Host(), "General");
        Settings().WriteInt("SmtpPort", static_cast<int>(servers.SmtpPort()), "General");
        Settings().WriteBool("Filter", true, kAccount);
        Settings().WriteString("emailAddress", servers.Address("me"), kAccount);
        Settings().WriteString("PopName", servers.Host(), kAccount);
        Settings().WriteInt("PopPort", static_cast<int>(servers.Pop3Port()), kAccount);
        Settings().WriteString("PopLogin", servers.Address("me"), kAccount);
        Settings().WriteString("!PopPassword", servers.Password("me"), kAccount);
        Settings().WriteString("AuthServId", "mx.iw.test", kAccount);
        CFilterLists::Instance().AddWord("friend@iw.test", FL_Friends);
        m_engine = std::make_unique<CInboxWardenEngine>();
        ASSERT_TRUE(m_engine->Initialize(&owner));
    }
    void TearDown() override {
        if (MailServers::Get().Available()) {
            MailServers::Get().Clear("spare");
        }
        MailServerScanFixture::TearDown();
    }
};

}  // namespace

TEST_F(SenderVerificationEndToEnd, ForgedSendersAreNotChallenged) {
    const MailServers& servers = MailServers::Get();
    // The forged one carries a passing verdict of its own below the relay's
    // Received line, with the right id.
    ASSERT_FALSE(servers
                     .Drop("me", Message("Spare <spare@iw.test>", "forged invoice",
                                         "Authentication-Results: mx.iw.test; spf=fail "
                                         "smtp.mailfrom=spare@iw.test; dmarc=fail "
                                         "header.from=iw.test\r\n"))
                     .empty());
    ASSERT_FALSE(servers
                     .Drop("me", Message("Stranger <stranger@iw.test>", "a real question",
                                         "Authentication-Results: mx.iw.test;\r\n"
                                         " dkim=pass header.d=iw.test; spf=pass "
                                         "smtp.mailfrom=stranger@iw.test\r\n"))
                     .empty());
    ASSERT_FALSE(servers
                     .Drop("me", Message("Friend <friend@iw.test>", "lunch",
                                         "Authentication-Results: mx.iw.test; dmarc=fail "
                                         "header.from=iw.test\r\n"))
                     .empty());

    m_engine->ScanServers();
    EXPECT_FALSE(m_engine->LastScanHadErrors()) << MainLogText();

    std::map<std::string, CEmailData> bySubject;
    for (const auto& entry : m_engine->GetHistory().Snapshot()) {
        bySubject.emplace(entry.record.m_subject, entry.record);
    }
    ASSERT_EQ(bySubject.size(), 3u);
    const CEmailData& forged = bySubject.at("forged invoice");
    EXPECT_EQ(forged.m_status, ES_Quarantined);
    EXPECT_NE(
        forged.m_reasonDetails.find("Not challenged (sender not verified: spf=fail, dmarc=fail)"),
        std::string::npos)
        << forged.m_reasonDetails;
    EXPECT_EQ(forged.m_todo, 0u) << "deleted from the server, and nothing else";
    const CEmailData& stranger = bySubject.at("a real question");
    EXPECT_EQ(stranger.m_status, ES_Quarantined);
    EXPECT_NE(stranger.m_reasonDetails.find("Challenge sent"), std::string::npos)
        << stranger.m_reasonDetails;
    EXPECT_EQ(bySubject.at("lunch").m_reason, ER_Friend);

    // The challenge reached the verified stranger; nothing reached the
    // address the forger used (the two went through Postfix in the same scan).
    EXPECT_TRUE(servers.WaitForCount("stranger", 1, std::chrono::seconds(20)));
    EXPECT_EQ(servers.Count("spare"), 0u);
    EXPECT_EQ(servers.Count("me"), 1u) << "only the friend's mail stays on the server";
}
