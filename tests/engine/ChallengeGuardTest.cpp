// Challenges that cannot be forged, and that go to plausible people only,
// at most once a day each.
#include "EngineTestBase.h"
#include "lists/CFilterLists.h"
#include "mail/CMailContent.h"

namespace {

class ChallengeGuardTest : public EngineTestBase {
protected:
    // A new record whose header said what kind of mail it is, filtered.
    CEmailData* FilterKind(const std::string& sender, const std::string& subject, int kind) {
        CEmailData* email = AddEmail(sender, subject);
        email->m_mailKind = kind;
        m_engine->FilterNewEmail(email);
        return email;
    }
    size_t SentTo(const std::string& address) const {
        size_t n = 0;
        for (const auto& delivery : m_sink.Deliveries()) {
            n += delivery.recipients == std::vector<std::string>{address} ? 1 : 0;
        }
        return n;
    }
};

}  // namespace

TEST_F(ChallengeGuardTest, OnlyTheTagOfTheRepliesOwnAddressRegisters) {
    const std::string tag = Tag("carol@c.example");
    EXPECT_EQ(tag, Tag("Carol <CAROL@c.example>")) << "one tag for every form of the address";
    EXPECT_NE(tag, Tag("dave@d.example"));
    EXPECT_NE(tag, m_engine->GetChallengeTag()) << "not the installation's single tag";

    const struct {
        const char* name;
        std::string sender;
        std::string subject;
        uint32_t reason;
    } rows[] = {
        {"own tag", "Carol <Carol@C.example>", "RE: RE: Hello " + tag, ER_Registration},
        {"own tag, bare sender", "carol@c.example", "Re: " + tag, ER_Registration},
        {"leaked tag, other sender", "Spam <spam@s.example>", "RE: Hello " + tag, ER_UnknownSender},
        {"leaked tag, look-alike address", "carol@c.example.evil", "RE: " + tag, ER_UnknownSender},
        {"installation tag", "Erin <erin@e.example>", "RE: x " + m_engine->GetChallengeTag(),
         ER_UnknownSender},
        {"tag cut short", "carol@c.example", "RE: " + tag.substr(0, tag.size() - 2) + "]",
         ER_UnknownSender},
        {"tag in capitals", "carol@c.example", "RE: [INBOXWARDENCHALLENGE:" + tag.substr(22),
         ER_UnknownSender},
        {"empty sender", "", "RE: " + Tag(""), ER_UnknownSender},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClearLists();
        CEmailData* email = Filter(row.sender, row.subject);
        EXPECT_EQ(email->m_reason, row.reason);
        if (row.reason == ER_Registration) {
            EXPECT_EQ(Entries(FL_Friends), std::vector<std::string>{"carol@c.example"});
        } else {
            EXPECT_TRUE(Entries(FL_Friends).empty());
            // Neither registered nor challenged: it answers a challenge.
            EXPECT_EQ(email->m_todo, uint32_t{DeleteFromServer});
        }
    }
}

TEST_F(ChallengeGuardTest, AnyWellFormedTagMakesAnAutoSendersAnswerOneToAChallenge) {
    CFilterLists::Instance().AddWord("autoresponder", FL_AutoSenders);
    const struct {
        const char* name;
        std::string subject;
        std::string text;
        uint32_t reason;
    } rows[] = {
        {"tag of another address in the text", "Out of office",
         "> RE: Hi " + Tag("someone@else.example") + "\r\n", ER_AutoSender},
        {"tag in the subject", "Auto: RE: Hi " + Tag("x@y.example"), "away\r\n", ER_AutoSender},
        {"eight digits", "Auto", "[InboxWardenChallenge:0123abcd]", ER_AutoSender},
        {"nine digits", "Auto", "[InboxWardenChallenge:0123abcde]", ER_UserMailBounced},
        {"no digits", "Auto", "[InboxWardenChallenge:]", ER_UserMailBounced},
        {"not hexadecimal", "Auto", "[InboxWardenChallenge:xyz]", ER_UserMailBounced},
        {"unclosed", "Auto", "[InboxWardenChallenge:12ab", ER_UserMailBounced},
        {"no tag", "Out of office", "away\r\n", ER_UserMailBounced},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CEmailData* email =
            Filter("AutoResponder <autoresponder@r.example>", row.subject, 2000, row.text);
        EXPECT_EQ(email->m_reason, row.reason);
    }
}

TEST_F(ChallengeGuardTest, ListsMachinesAndBouncesAreQuarantinedWithoutAChallenge) {
    const struct {
        const char* name;
        const char* sender;
        int kind;
        const char* details;
    } rows[] = {
        {"list", "News <news@lists.example>", CMailContent::MK_List,
         "Not challenged (mailing list)"},
        {"auto-reply", "Holiday <away@h.example>", CMailContent::MK_Automatic,
         "Not challenged (automatic mail)"},
        {"bounce", "MAILER-DAEMON@mx.example (Mail Delivery System)", CMailContent::MK_Personal,
         "Not challenged (automatic mail)"},
        {"postmaster", "Postmaster <postmaster@mx.example>", CMailContent::MK_Personal,
         "Not challenged (automatic mail)"},
        {"null sender", "<>", CMailContent::MK_Personal, "Not challenged (automatic mail)"},
        {"empty sender", "", CMailContent::MK_Personal, "Not challenged (automatic mail)"},
    };
    for (bool guard : {true, false}) {
        ASSERT_TRUE(Settings().WriteBool("GuardChallenges", guard, "General"));
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (guard ? " guarded" : " unguarded"));
            CEmailData* email =
                FilterKind(row.sender, std::string("subject ") + row.name, row.kind);
            EXPECT_EQ(email->m_status, ES_Quarantined);
            EXPECT_EQ(email->m_reason, ER_UnknownSender);
            if (guard) {
                EXPECT_EQ(email->m_todo, uint32_t{DeleteFromServer});
                EXPECT_EQ(email->m_reasonDetails, row.details);
            } else if (row.kind != CMailContent::MK_Personal ||
                       std::string(row.sender).find("@") != std::string::npos) {
                // Without the guard, as before: every valid address is challenged.
                EXPECT_EQ(email->m_todo, Challenge | DeleteFromServer);
            } else {
                EXPECT_EQ(email->m_todo, uint32_t{DeleteFromServer});
            }
        }
    }
}

TEST_F(ChallengeGuardTest, OneChallengeADayPerAddressAcrossScansAndRestarts) {
    StartMail();
    // Two messages of one sender in one scan: only the first is challenged.
    CEmailData* first = Filter("Gil <gil@g.example>", "one", 2000, "body\r\n", 1);
    CEmailData* second = Filter("gil@G.example", "two", 2000, "body\r\n", 2);
    EXPECT_EQ(first->m_todo, Challenge | DeleteFromServer);
    EXPECT_EQ(second->m_todo, Challenge | DeleteFromServer) << "nothing was sent yet";
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(SentTo("gil@g.example"), 1u);
    EXPECT_EQ(second->m_todo, 0u);
    EXPECT_NE(second->m_reasonDetails.find("Not challenged (already challenged today)"),
              std::string::npos)
        << second->m_reasonDetails;

    // A later scan knows it at the decision.
    CEmailData* third = Filter("Gil <gil@g.example>", "three");
    EXPECT_EQ(third->m_todo, uint32_t{DeleteFromServer});
    EXPECT_EQ(third->m_reasonDetails, "Not challenged (already challenged today)");
    // Another address is challenged as usual.
    EXPECT_EQ(Filter("hal@h.example", "hi")->m_todo, Challenge | DeleteFromServer);

    // The count is in the database: a new engine knows it too.
    m_engine.reset();
    m_engine = std::make_unique<CInboxWardenEngine>();
    ASSERT_TRUE(m_engine->Initialize(&owner));
    EXPECT_EQ(Filter("gil@g.example", "four")->m_reasonDetails,
              "Not challenged (already challenged today)");
    // Older than a day: challenged again; the cleanup forgets it.
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    ASSERT_TRUE(m_engine->GetChallengeLog().Record("ivy@i.example", now - 86400 - 10));
    EXPECT_EQ(Filter("ivy@i.example", "old")->m_todo, Challenge | DeleteFromServer);
    m_engine->CleanupHistory(0);
    EXPECT_FALSE(m_engine->GetChallengeLog().ChallengedSince("ivy@i.example", 0));
    EXPECT_TRUE(m_engine->GetChallengeLog().ChallengedSince("gil@g.example", now - 100));

    // With the guard off the limit does not apply.
    ASSERT_TRUE(Settings().WriteBool("GuardChallenges", false, "General"));
    EXPECT_EQ(Filter("gil@g.example", "five")->m_todo, Challenge | DeleteFromServer);
}

TEST_F(ChallengeGuardTest, OurOwnMailSaysItIsAnAutomaticReply) {
    StartMail();
    ASSERT_TRUE(Settings().WriteBool("SendConfirmations", true, "General"));
    Filter("Kim <kim@k.example>", "question");
    CEmailData* reply = Filter("kim@k.example", "RE: question " + Tag("kim@k.example"));
    ASSERT_EQ(reply->m_reason, ER_Registration);
    m_engine->ProcessTasks(kAccount);
    auto deliveries = m_sink.Deliveries();
    ASSERT_GE(deliveries.size(), 2u);
    for (const auto& d : deliveries) {
        size_t blank = d.data.find("\r\n\r\n");
        std::string header = d.data.substr(0, blank + 2);
        bool ours = header.find("[InboxWardenRestored]") == std::string::npos;
        EXPECT_EQ(header.find("\r\nAuto-Submitted: auto-replied\r\n") != std::string::npos, ours)
            << header;
    }
}
