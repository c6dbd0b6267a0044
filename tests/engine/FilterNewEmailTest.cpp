#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "EngineTestBase.h"
#include "lists/CFilterLists.h"

namespace {

struct Expected {
    const char* name;
    std::string sender;
    std::string subject;
    uint32_t size;
    std::string text;
    uint32_t status;
    uint32_t reason;
    uint32_t todo;
    std::string details;
};

class FilterTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        CFilterLists& lists = CFilterLists::Instance();
        lists.AddWord("friend@pals.example", FL_Friends);
        lists.AddWord("both@mixed.example", FL_Friends);
        lists.AddWord("spammer", FL_Undesirables);
        lists.AddWord("both@mixed.example", FL_Undesirables);
        lists.AddWord("order", FL_GoodSubjects);
        lists.AddWord("viagra", FL_BadSubjects);
        lists.AddWord("postmaster", FL_AutoSenders);
    }

    void Check(const Expected& row) {
        SCOPED_TRACE(row.name);
        CEmailData* email = Filter(row.sender, row.subject, row.size, row.text);
        EXPECT_EQ(email->m_status, row.status);
        EXPECT_EQ(email->m_reason, row.reason);
        EXPECT_EQ(email->m_todo, row.todo);
        EXPECT_EQ(email->m_reasonDetails, row.details);
        EXPECT_TRUE(email->m_dirty);
    }
};

TEST_F(FilterTest, ListRulesInTheirOrder) {
    const Expected rows[] = {
        {"friend", "Pal <friend@pals.example>", "Hello", 2000, "", ES_OnServer, ER_Friend, 0,
         "From a friend (matched \"friend@pals.example\")"},
        {"friends before bad subjects", "friend@pals.example", "cheap VIAGRA", 2000, "",
         ES_OnServer, ER_Friend, 0, "From a friend (matched \"friend@pals.example\")"},
        {"undesirables before friends", "Both <Both@Mixed.example>", "hi", 2000, "", ES_Deleted,
         ER_Undesirable, DeleteFromServer, "Undesirable sender (matched \"both@mixed.example\")"},
        {"undesirable word", "offers@buy-spammer.net", "hi", 2000, "", ES_Deleted, ER_Undesirable,
         DeleteFromServer, "Undesirable sender (matched \"spammer\")"},
        {"undesirable needs a whole word", "x@spammers.net", "hi", 2000, "", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"the user's own address", "Me <ME@home.example>", "note to self", 2000, "", ES_OnServer,
         ER_Friend, 0, "From me! (matched \"me@home.example\")"},
        {"bad subject", "a@stranger.example", "Cheap Viagra now", 2000, "", ES_Deleted,
         ER_BadSubject, DeleteFromServer, "Bad subject (matched \"viagra\")"},
        {"good subject", "b@stranger.example", "Your order #123", 2000, "", ES_OnServer, ER_Good, 0,
         "Good subject (matched \"order\")"},
        {"good subject needs a whole word", "c@stranger.example", "Reorder now", 2000, "",
         ES_Quarantined, ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"restored mark", "d@stranger.example", "Hi[InboxWardenRestored]", 2000, "", ES_OnServer,
         ER_Good, 0, "Restored by InboxWarden"},
        {"restored mark before undesirables", "spammer@x.example", "x[inboxwardenrestored]", 2000,
         "", ES_OnServer, ER_Good, 0, "Restored by InboxWarden"},
        {"bypass tag", "e@stranger.example", "[BypassInboxWarden] urgent", 2000, "", ES_OnServer,
         ER_Good, 0, "Matched \"[bypassinboxwarden]\""},
        {"returned confirmation", "f@stranger.example", "RE: Your Registration Was Successful",
         2000, "", ES_OnServer, ER_Good, 0, "Matched \"[bypassinboxwarden]\""},
        {"auto sender quoting the challenge", "MAILER-DAEMON <postmaster@far.example>",
         "Undeliverable", 2000, "", ES_Deleted, ER_AutoSender, DeleteFromServer,
         "From Auto sender (matched \"postmaster\")"},
        {"auto sender bouncing the user's mail", "postmaster@near.example", "Undeliverable", 2000,
         "your message could not be delivered", ES_OnServer, ER_UserMailBounced, 0,
         "Auto Sender bounced a user email."},
        {"unknown sender", "New Guy <new@guy.example>", "Hello there", 2000, "", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"our own tag in any case", "g@stranger.example", "RE: x [INBOXWARDENchallenge:zz]", 2000,
         "", ES_Quarantined, ER_UnknownSender, DeleteFromServer, "Unknown Sender"},
        {"sender without @", "nobody", "hi", 2000, "", ES_Quarantined, ER_UnknownSender,
         DeleteFromServer, "Invalid email address (nobody), cannot challenge."},
        {"address from the brackets", "Odd <odd@localhost>", "hi", 2000, "", ES_Quarantined,
         ER_UnknownSender, DeleteFromServer,
         "Invalid email address (odd@localhost), cannot challenge."},
        {"exactly 100000 bytes", "h@stranger.example", "big", 100000, "", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"100001 bytes", "i@stranger.example", "bigger", 100001, "", ES_OnServer, ER_TooBig, 0,
         "Too big for Spam (97 kb)"},
        {"too big from an undesirable", "spammer@y.example", "huge", 500000, "", ES_OnServer,
         ER_TooBig, 0, "Too big for Spam (488 kb)"},
    };
    // The auto sender row that quotes the challenge needs the real tag.
    for (Expected row : rows) {
        if (std::string(row.name) == "auto sender quoting the challenge") {
            row.text = "> RE: Hello " + Tag("someone@else.example") + "\r\n";
        }
        Check(row);
    }
}

TEST_F(FilterTest, Registration) {
    CEmailData* email =
        Filter("Carol <Carol@C.example>", "RE: RE: Hello " + Tag("carol@c.example"));
    EXPECT_EQ(email->m_status, ES_OnServer);
    EXPECT_EQ(email->m_reason, ER_Registration);
    EXPECT_EQ(email->m_todo, 0x144u);
    EXPECT_EQ(email->m_reasonDetails, "Registration from Carol <Carol@C.example>");
    // The sender's bare address, in lower case, goes to Friends at once.
    EXPECT_EQ(
        Entries(FL_Friends),
        (std::vector<std::string>{"both@mixed.example", "carol@c.example", "friend@pals.example"}));

    // A friend's reply to a challenge is a friend's message.
    CEmailData* again = Filter("friend@pals.example", "RE: x " + Tag("friend@pals.example"));
    EXPECT_EQ(again->m_reason, ER_Friend);
    EXPECT_EQ(again->m_todo, 0u);

    // The tag must be the installation's own, in its own case.
    std::string other = Tag("dave@d.example");
    other[1] = 'i';
    CEmailData* wrong = Filter("dave@d.example", "RE: x " + other);
    EXPECT_EQ(wrong->m_reason, ER_UnknownSender);
    EXPECT_EQ(wrong->m_todo, DeleteFromServer);
}

TEST_F(FilterTest, DuplicateIsNotChallenged) {
    CEmailData* first = AddEmail("Dup <dup@d.example>", "Same");
    m_engine->FilterNewEmail(first);
    CEmailData* second = AddEmail("Dup <dup@d.example>", "Same");
    second->m_duplicate = true;
    m_engine->FilterNewEmail(second);
    EXPECT_EQ(first->m_todo, Challenge | DeleteFromServer);
    EXPECT_EQ(second->m_status, ES_Quarantined);
    EXPECT_EQ(second->m_todo, DeleteFromServer);
    EXPECT_NE(MainLogText().find("   Result: status: 2, reason: 256 (Unknown Sender), To Do: Not "
                                 "challenged (Duplicate)DeleteFromServer, "),
              std::string::npos);
}

TEST_F(FilterTest, ResultLine) {
    Filter("New <new@n.example>", "Hi");
    Filter("friend@pals.example", "Hi");
    Filter("Carol <carol@c.example>", "RE: " + Tag("carol@c.example"));
    std::string log = MainLogText();
    EXPECT_NE(log.find("   Result: status: 2, reason: 256 (Unknown Sender), To Do: Challenge, "
                       "DeleteFromServer, "),
              std::string::npos);
    EXPECT_NE(log.find("   Result: status: 1, reason: 2 (From a friend (matched "
                       "\"friend@pals.example\")), To Do: Leave on Server."),
              std::string::npos);
    EXPECT_NE(log.find("   Result: status: 1, reason: 64 (Registration from Carol "
                       "<carol@c.example>), To Do: RestoreSender, WelcomeSender, "),
              std::string::npos);
    EXPECT_NE(log.find("Saved (Home/New <new@n.example>/Hi)"), std::string::npos);
    // The text of the last rule, or the friends miss, reaches the status line.
    EXPECT_TRUE(owner.HasStatus("[new <new@n.example>] not found in friends list"));
    EXPECT_TRUE(owner.HasStatus("From a friend (matched \"friend@pals.example\")"));
}

TEST_F(FilterTest, QuarantineFileIsWrittenFirst) {
    CEmailData* email = Filter("Bob", "Hi", 2000, "the body\r\n");
    ASSERT_FALSE(email->m_emailFilename.empty());
    std::ifstream in(email->m_emailFilename, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "\r\nFrom: Bob\r\nDate: " + email->m_headerTimestamp +
                                 "\r\nSubject: Hi\r\n\r\nthe body\r\n");
}

TEST_F(FilterTest, FailedQuarantineStillFilters) {
    // A message number without a POP3 connection cannot be fetched.
    CEmailData* email = Filter("friend@pals.example", "Hello", 2000, "", 4);
    EXPECT_TRUE(email->m_emailFilename.empty());
    EXPECT_EQ(email->m_reason, ER_Friend);
    EXPECT_TRUE(owner.HasStatus("Failed to save (Home/friend@pals.example/Hello)"));
}

TEST_F(FilterTest, EmptyAccountAddressMatchesNoSender) {
    const std::string account = "Other";
    const Expected rows[] = {
        {"quoted display name", "\"Quoted\" <q@q.example>", "a", 2000, "", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"address in brackets", "<angle@a.example>", "b", 2000, "", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer, "Unknown Sender"},
        {"letter first", "plain@p.example", "c", 2000, "", ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer, "Unknown Sender"},
    };
    for (const Expected& row : rows) {
        SCOPED_TRACE(row.name);
        CEmailData* email = Filter(row.sender, row.subject, row.size, row.text, 0, account);
        EXPECT_EQ(email->m_reason, row.reason);
        EXPECT_EQ(email->m_todo, row.todo);
        EXPECT_EQ(email->m_reasonDetails, row.details);
    }
}

TEST_F(FilterTest, ListSwitches) {
    const struct {
        const char* key;
        bool value;
        std::string sender;
        std::string subject;
        uint32_t status;
        uint32_t reason;
        uint32_t todo;
    } rows[] = {
        {"FilterForUndesirables", false, "both@mixed.example", "a", ES_OnServer, ER_Friend, 0},
        {"FilterForFriends", false, "friend@pals.example", "b", ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"FilterForFriends", false, "me@home.example", "c", ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"FilterForBad Subjects", false, "x@y.example", "viagra", ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"FilterForGood Subjects", false, "x@y.example", "order", ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"FilterForAuto Senders", false, "postmaster@z.example", "d", ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer},
        {"JustDeleteAllFromAuto Senders", true, "postmaster@z.example", "e", ES_Deleted,
         ER_UserMailBounced, DeleteFromServer},
        {"SendChallenges", false, "x@y.example", "f", ES_Quarantined, ER_UnknownSender,
         DeleteFromServer},
    };
    // The switches alone: the challenge guard would spare the postmaster.
    ASSERT_TRUE(Settings().WriteBool("GuardChallenges", false, "General"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        ASSERT_TRUE(Settings().WriteBool(row.key, row.value, "General"));
        CEmailData* email = Filter(row.sender, row.subject);
        EXPECT_EQ(email->m_status, row.status);
        EXPECT_EQ(email->m_reason, row.reason);
        EXPECT_EQ(email->m_todo, row.todo);
        ASSERT_TRUE(Settings().WriteBool(row.key, !row.value, "General"));
    }
}

TEST_F(FilterTest, Looping) {
    for (int i = 1; i <= 9; ++i) {
        SCOPED_TRACE(i);
        CEmailData* email = Filter("friend@pals.example", "Auto reply");
        EXPECT_EQ(email->m_reason, ER_Friend);
    }
    CEmailData* tenth = Filter("friend@pals.example", "Auto reply");
    EXPECT_EQ(tenth->m_status, ES_Deleted);
    EXPECT_EQ(tenth->m_reason, ER_Looping);
    EXPECT_EQ(tenth->m_todo, DeleteFromServer);
    EXPECT_EQ(tenth->m_reasonDetails, "Looping email");
    EXPECT_EQ(Filter("friend@pals.example", "Auto reply")->m_reason, ER_Looping);
    // A large looping message stays on the server but keeps its deletion.
    CEmailData* large = Filter("friend@pals.example", "Auto reply", 200000);
    EXPECT_EQ(large->m_status, ES_OnServer);
    EXPECT_EQ(large->m_reason, ER_TooBig);
    EXPECT_EQ(large->m_todo, DeleteFromServer);

    // One different message restarts the count.
    Filter("friend@pals.example", "Something else");
    for (int i = 1; i <= 9; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Filter("friend@pals.example", "Auto reply")->m_reason, ER_Friend);
    }
    EXPECT_EQ(Filter("friend@pals.example", "Auto reply")->m_reason, ER_Looping);
    // Sender and subject compare exactly.
    EXPECT_EQ(Filter("friend@pals.example", "auto reply")->m_reason, ER_Friend);
}

TEST_F(FilterTest, RemoteInstruction) {
    ASSERT_TRUE(Settings().WriteString("!RemoteCommandsPassword", "Secret1", "General"));
    const struct {
        const char* name;
        bool enabled;
        std::string subject;
        uint32_t size;
        uint32_t status;
        uint32_t reason;
        uint32_t todo;
    } rows[] = {
        {"commands on", true, "[iw:secret1 ping]", 2000, ES_OnServer, ER_Instruction, Instruction},
        {"tag in capitals", true, "[IW:SECRET1 PING]", 2000, ES_OnServer, ER_Instruction,
         Instruction},
        {"commands off", false, "[IW:SECRET1 PING]", 2000, ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"wrong password", true, "[iw:secret2 ping]", 2000, ES_Quarantined, ER_UnknownSender,
         Challenge | DeleteFromServer},
        {"tag not at the start", true, "fw: [iw:secret1 ping]", 2000, ES_Quarantined,
         ER_UnknownSender, Challenge | DeleteFromServer},
        {"big instruction", true, "[iw:secret1 run:notes.txt]", 150000, ES_OnServer, ER_TooBig,
         Instruction},
        {"password alone", true, "[iw:SeCrEt1]", 2000, ES_OnServer, ER_Instruction, Instruction},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(Settings().WriteBool("EnableRemoteCommands", row.enabled, "General"));
        CEmailData* email = Filter("Me <x@elsewhere.example>", row.subject, row.size);
        EXPECT_EQ(email->m_status, row.status);
        EXPECT_EQ(email->m_reason, row.reason);
        EXPECT_EQ(email->m_todo, row.todo);
        // Neither the right password nor a guess at it is kept anywhere.
        size_t at = row.subject.find('[');
        EXPECT_EQ(email->m_subject, row.subject.substr(0, at + 4) + "***" +
                                        row.subject.substr(row.subject.find_first_of(" ]", at)));
        EXPECT_EQ(email->m_emailFilename.find("ecret"), std::string::npos);
    }
    std::string log = MainLogText();
    ToLower(log);
    EXPECT_EQ(log.find("secret"), std::string::npos);

    // An empty password recognises no instruction at all.
    ASSERT_TRUE(Settings().WriteBool("EnableRemoteCommands", true, "General"));
    ASSERT_TRUE(Settings().WriteString("!RemoteCommandsPassword", "", "General"));
    EXPECT_EQ(Filter("x@elsewhere.example", "[iw: ping]")->m_reason, ER_UnknownSender);
    EXPECT_EQ(Filter("x@elsewhere.example", "[iw:")->m_reason, ER_UnknownSender);
}

// A command is obeyed once, and only while fresh; each refusal says why.
TEST_F(FilterTest, OldOrRepeatedCommandsAreNotObeyed) {
    ASSERT_TRUE(Settings().WriteBool("EnableRemoteCommands", true, "General"));
    ASSERT_TRUE(Settings().WriteString("!RemoteCommandsPassword", "pw", "General"));
    const time_t now = time(nullptr);
    auto date = [&](time_t when) {
        struct tm utc {};
        gmtime_r(&when, &utc);
        char text[64];
        strftime(text, sizeof text, "Tue, %d %b %Y %H:%M:%S +0000", &utc);
        return std::string(text);
    };
    const struct {
        const char* name;
        std::string date;
        std::string messageId;
        const char* subject;
        const char* refusal;  // empty: obeyed
    } rows[] = {
        {"fresh, by id", date(now - 3600), "<a@x>", "[iw:pw ping]", ""},
        {"same id again", date(now - 60), " <a@x>", "[iw:pw ping] again", "obeyed before"},
        {"fresh, no id", date(now - 60), "", "[iw:pw ping]", ""},
        {"same header again", date(now - 60), "", "[iw:pw ping]", "obeyed before"},
        {"eight days back", date(now - 8 * 24 * 3600), "<b@x>", "[iw:pw ping]",
         "dated more than 7 days back"},
        {"two days ahead", date(now + 2 * 24 * 3600), "<c@x>", "[iw:pw ping]",
         "dated more than a day ahead"},
        {"no date", "", "<d@x>", "[iw:pw ping]", "its date cannot be read"},
        {"two-digit year", "8 Dec 26 10:00:00 GMT", "<e@x>", "[iw:pw ping]",
         "its date cannot be read"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CEmailData* email = AddEmail("Me <x@elsewhere.example>", row.subject);
        email->m_headerTimestamp = row.date;
        email->m_messageId = row.messageId;
        m_engine->FilterNewEmail(email);
        EXPECT_EQ(email->m_status, ES_OnServer);
        EXPECT_EQ(email->m_reason, ER_Instruction);
        if (*row.refusal) {
            EXPECT_EQ(email->m_todo, 0u);
            EXPECT_EQ(email->m_reasonDetails,
                      std::string("Instruction not obeyed: ") + row.refusal);
            EXPECT_NE(MainLogText().find(std::string("Instruction from Me <x@elsewhere.example> "
                                                     "not obeyed: ") +
                                         row.refusal),
                      std::string::npos);
        } else {
            EXPECT_EQ(email->m_todo, static_cast<uint32_t>(Instruction));
        }
    }
}

TEST_F(FilterTest, DetailedLogSwitch) {
    ASSERT_TRUE(Settings().WriteBool("EnableRemoteCommands", true, "General"));
    ASSERT_TRUE(Settings().WriteString("!RemoteCommandsPassword", "pw", "General"));
    Filter("x@elsewhere.example", "[iw:pw ping] first");
    EXPECT_EQ(MainLogText().find("Instruction to InboxWarden: [iw:pw ping] first"),
              std::string::npos);
    Filter("friend@pals.example", "switch on [IW.LOG]");
    Filter("x@elsewhere.example", "[iw:pw ping] second");
    EXPECT_NE(MainLogText().find("Instruction to InboxWarden: [iw:*** ping] second"),
              std::string::npos);
}

}  // namespace
