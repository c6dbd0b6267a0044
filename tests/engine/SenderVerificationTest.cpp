// Challenges go only to senders whose address the account's own server
// verified, and never to no-reply addresses.
#include "EngineTestBase.h"
#include "lists/CFilterLists.h"

namespace {

constexpr const char* kServer = "mx.home.example";

std::string Verdict(const std::string& results, const std::string& id = kServer) {
    return "Authentication-Results: " + id + "; " + results +
           "\r\nReceived: from relay.x.example by mx.home.example (Postfix)\r\n";
}

class SenderVerificationTest : public EngineTestBase {
protected:
    CEmailData* FilterWith(const std::string& sender, const std::string& header,
                           const std::string& subject = "hello") {
        CEmailData* email = AddEmail(sender, subject + " " + std::to_string(++m_count));
        email->m_header = header + "From: " + sender + "\r\n";
        m_engine->FilterNewEmail(email);
        return email;
    }
    int m_count = 0;
};

}  // namespace

TEST_F(SenderVerificationTest, OnlyAVerifiedFromDomainIsChallenged) {
    ASSERT_TRUE(
        Settings().WriteString("AuthServId", std::string("other.example, ") + kServer, kAccount));
    CFilterLists::Instance().AddWord("pal@p.example", FL_Friends);
    const char* kNotVerified = "Not challenged (sender not verified: spf=fail, dmarc=fail)";
    const struct {
        const char* name;
        const char* sender;
        std::string header;
        const char* details;  // nullptr: challenged
    } rows[] = {
        {"dmarc pass", "Ann <ann@a.example>",
         Verdict("spf=fail smtp.mailfrom=x@y.example; dmarc=pass header.from=a.example"), nullptr},
        {"dkim by the parent domain", "bob@mail.b.example",
         Verdict("dkim=pass header.d=b.example; dmarc=none header.from=mail.b.example"), nullptr},
        {"spf for the domain", "cy@c.example", Verdict("spf=pass smtp.mailfrom=bounce@c.example"),
         nullptr},
        {"forged", "Dee <dee@d.example>",
         Verdict("spf=fail smtp.mailfrom=dee@d.example; dmarc=fail header.from=d.example"),
         kNotVerified},
        {"forged pass under a later Received line", "dee@d.example",
         Verdict("spf=fail smtp.mailfrom=dee@d.example; dmarc=fail header.from=d.example") +
             "Authentication-Results: mx.home.example; dmarc=pass header.from=d.example\r\n",
         kNotVerified},
        {"pass for another domain", "eve@e.example",
         Verdict("dkim=pass header.d=evil.example; spf=pass smtp.mailfrom=e.example.evil"),
         "Not challenged (sender not verified: dkim=pass, spf=pass)"},
        {"another server's verdict only", "fay@f.example",
         Verdict("dmarc=pass header.from=f.example", "mx.evil.example"),
         "Not challenged (sender not verified: no results)"},
        {"no-reply", "noreply@n.example", Verdict("dmarc=pass header.from=n.example"),
         "Not challenged (no-reply address)"},
        {"no-reply, other spelling", "Shop <Do_Not.Reply+42@N.example>",
         Verdict("dmarc=pass header.from=n.example"), "Not challenged (no-reply address)"},
        {"reply is a real word", "reply@n.example", Verdict("dmarc=pass header.from=n.example"),
         nullptr},
    };
    for (bool on : {true, false}) {
        ASSERT_TRUE(Settings().WriteBool("ChallengeVerified", on, "General"));
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (on ? "" : ", check off"));
            CEmailData* email = FilterWith(row.sender, row.header);
            EXPECT_EQ(email->m_status, ES_Quarantined);
            bool noReply =
                std::string(row.details ? row.details : "").find("no-reply") != std::string::npos;
            if (row.details && (on || noReply)) {
                EXPECT_EQ(email->m_todo, uint32_t{DeleteFromServer});
                EXPECT_EQ(email->m_reasonDetails, row.details);
            } else {
                EXPECT_EQ(email->m_todo, Challenge | DeleteFromServer);
            }
            EXPECT_TRUE(email->m_header.empty()) << "the header outlived the decision";
        }
    }
    // The rules before it stay: a friend's forged-looking mail is a friend's.
    ASSERT_TRUE(Settings().WriteBool("ChallengeVerified", true, "General"));
    EXPECT_EQ(FilterWith("pal@p.example", Verdict("dmarc=fail header.from=p.example"))->m_reason,
              ER_Friend);
}

TEST_F(SenderVerificationTest, TheServersIdIsLearnedFromConsecutiveMessages) {
    const std::string forged = Verdict("dmarc=fail header.from=d.example");
    auto challenged = [&] {
        return FilterWith("dee@d.example", forged)->m_todo == (Challenge | DeleteFromServer);
    };
    auto& ids = m_engine->GetAuthServIds();
    // 19 of the id, one without any field, 19 more: not yet learned, as today.
    for (int i = 0; i < CAuthServIds::kLearnAfter - 1; ++i) {
        ASSERT_TRUE(challenged()) << i;
    }
    FilterWith("x@x.example", "");
    for (int i = 0; i < CAuthServIds::kLearnAfter - 1; ++i) {
        ASSERT_TRUE(challenged()) << i;
    }
    EXPECT_EQ(ids.Get(kAccount).state, CAuthServIds::AS_Unknown);
    EXPECT_TRUE(m_engine->TrustedServIds(kAccount).empty());
    // The 20th in a row teaches it, and is judged by it already.
    EXPECT_FALSE(challenged());
    EXPECT_EQ(ids.Get(kAccount).servId, kServer);
    // Another account has learned nothing.
    EXPECT_TRUE(m_engine->TrustedServIds("Other").empty());

    // Kept in the database: a restarted engine knows it.
    m_engine.reset();
    m_engine = std::make_unique<CInboxWardenEngine>();
    ASSERT_TRUE(m_engine->Initialize(&owner));
    EXPECT_FALSE(challenged());

    // A server that stops writing results: after 20 without, as today.
    for (int i = 0; i < CAuthServIds::kLearnAfter; ++i) {
        FilterWith("x@x.example", "Received: from a by mx.home.example\r\n");
    }
    EXPECT_EQ(m_engine->GetAuthServIds().Get(kAccount).state, CAuthServIds::AS_WritesNone);
    EXPECT_TRUE(challenged());
    // A set id wins over what was learned.
    ASSERT_TRUE(Settings().WriteString("AuthServId", kServer, kAccount));
    EXPECT_FALSE(challenged());
}
