// The whole road of a user's mail through the real Dovecot and Postfix on
// loopback: one mailbox with mail from a friend, an unknown sender, a bad
// subject and an undesirable sender; the challenge, its answer, the restore
// and the history as the database keeps it. Run once with the engine inside
// the test and once through the inboxwarden-scan program.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MailServerScanFixture.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "testlib/MailServers.h"
#include "testlib/ProgramRunner.h"
#include "testlib/ScopedSocketTimeouts.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

const char* kAccount = "Home";
const char* kFriend = "Friend <friend@iw.test>";
const char* kStranger = "Stranger <stranger@iw.test>";
const char* kPest = "Pest <pest@nuisance.example>";
const char* kMailer = "Mass Mailer <promo@offers.example>";

std::string Message(const std::string& from, const std::string& subject, const std::string& body,
                    int minute) {
    return "Return-Path: <sender@iw.test>\r\nFrom: " + from +
           "\r\nTo: me@iw.test\r\nSubject: " + subject +
           "\r\nDate: Tue, 08 Dec 26 01:" + (minute < 10 ? "0" : "") + std::to_string(minute) +
           ":00 GMT\r\n\r\n" + body;
}

// The unfolded Subject field of a stored message (LF or CRLF line ends).
std::string SubjectOf(const std::string& text) {
    size_t at = text.find("\nSubject: ");
    if (at == std::string::npos) {
        return "";
    }
    at += 10;
    std::string subject;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        subject += line;
        at = end + 1;
        if (at >= text.size() || (text[at] != ' ' && text[at] != '\t')) {
            break;
        }
    }
    return subject;
}

std::vector<std::string> Subjects(const std::string& user) {
    std::vector<std::string> out;
    for (const std::string& text : Servers().ReadAll(user)) {
        out.push_back(SubjectOf(text));
    }
    return out;
}

bool HasSubjectContaining(const std::vector<std::string>& subjects, const std::string& part) {
    for (const std::string& s : subjects) {
        if (s.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The records as the database holds them, by subject.
struct Stored {
    uint32_t status;
    uint32_t reason;
    uint32_t todo;
    std::string sender;
    std::string details;
    std::string file;
};

class EndToEnd : public MailServerScanFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        IW_REQUIRE_MAIL_SERVERS();
        for (const char* user : {"me", "stranger"}) {
            Servers().Clear(user);
        }
        Settings().WriteString("AccountsList", kAccount, "General");
        Settings().WriteString("SmtpName", Servers().Host(), "General");
        Settings().WriteInt("SmtpPort", static_cast<int>(Servers().SmtpPort()), "General");
        Settings().WriteBool("SendConfirmations", true, "General");
        Settings().WriteBool("Filter", true, kAccount);
        Settings().WriteString("emailAddress", Servers().Address("me"), kAccount);
        Settings().WriteString("PopName", Servers().Host(), kAccount);
        Settings().WriteInt("PopPort", static_cast<int>(Servers().Pop3Port()), kAccount);
        Settings().WriteString("PopLogin", Servers().Address("me"), kAccount);
        Settings().WriteString("!PopPassword", Servers().Password("me"), kAccount);
        CFilterLists& lists = CFilterLists::Instance();
        lists.AddWord("friend@iw.test", FL_Friends);
        lists.AddWord("pest@nuisance.example", FL_Undesirables);
        lists.AddWord("cheap pills", FL_BadSubjects);
        if (!ThroughProgram()) {
            m_engine = std::make_unique<CInboxWardenEngine>();
            ASSERT_TRUE(m_engine->Initialize(&owner));
        }
    }

    bool ThroughProgram() const { return GetParam(); }

    // One scan; the counts of new mail left on the server and of new mail.
    std::pair<int, int> Scan() {
        if (!ThroughProgram()) {
            size_t before = owner.Scans().size();
            m_engine->ScanServers();
            auto scans = owner.Scans();
            EXPECT_EQ(scans.size(), before + 1);
            EXPECT_FALSE(m_engine->LastScanHadErrors()) << MainLogText();
            if (scans.size() != before + 1) {
                return {-1, -1};
            }
            return {scans.back().newLeftOnServer, scans.back().newMessages};
        }
        ProgramRunner::Result run = ProgramRunner::Run(IW_SCAN_BINARY, {}, 60000);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find("read-only"), std::string::npos) << run.output;
        size_t at = run.output.rfind(" new Friendly emails, ");
        if (at == std::string::npos) {
            ADD_FAILURE() << run.output;
            return {-1, -1};
        }
        size_t lineStart = run.output.rfind('\n', at);
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        int left = atoi(run.output.c_str() + lineStart);
        int all = atoi(run.output.c_str() + at + 22);
        return {left, all};
    }

    // The history as a restarted engine finds it in the database.
    std::map<std::string, Stored> Restarted() {
        m_engine.reset();
        CInboxWardenEngine engine;
        RecordingOwner quiet;
        std::map<std::string, Stored> out;
        if (!engine.Initialize(&quiet)) {
            ADD_FAILURE() << "the engine did not start again";
            return out;
        }
        CEmailHistory& history = engine.GetHistory();
        auto lock = history.Lock();
        for (int i = 0; i < history.GetCount(); ++i) {
            const CEmailData* e = history.GetAt(i);
            EXPECT_EQ(out.count(e->m_subject), 0u) << "twice in the history: " << e->m_subject;
            out[e->m_subject] = {e->m_status, e->m_reason,        e->m_todo,
                                 e->m_sender, e->m_reasonDetails, e->m_emailFilename};
        }
        return out;
    }
};

}  // namespace

TEST_P(EndToEnd, ChallengeAnswerRestoreAndTheStoredHistory) {
    const std::string strangerSubject = "question about your offer";
    const std::string strangerBody = "Could you send me the details?\r\n.signature line\r\n";
    ASSERT_FALSE(
        Servers().Drop("me", Message(kFriend, "lunch on friday", "See you.\r\n", 1)).empty());
    ASSERT_FALSE(
        Servers().Drop("me", Message(kStranger, strangerSubject, strangerBody, 2)).empty());
    ASSERT_FALSE(Servers()
                     .Drop("me", Message(kMailer, "Cheap pills today only", "Buy now.\r\n", 3))
                     .empty());
    ASSERT_FALSE(
        Servers().Drop("me", Message(kPest, "hello again", "It's me again.\r\n", 4)).empty());

    // First scan: the friend stays, the other three leave the server, the
    // stranger is challenged.
    EXPECT_EQ(Scan(), std::make_pair(1, 4));
    EXPECT_EQ(Subjects("me"), std::vector<std::string>{"lunch on friday"});
    ASSERT_TRUE(Servers().WaitForCount("stranger", 1));
    std::vector<std::string> challenge = Subjects("stranger");
    ASSERT_EQ(challenge.size(), 1u);
    EXPECT_EQ(challenge[0].rfind("RE: " + strangerSubject + " [InboxWardenChallenge:", 0), 0u)
        << challenge[0];
    EXPECT_EQ(challenge[0].back(), ']');
    bool quarantined = false;
    std::string folder = home.File("Quarantine/Home");
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string text = TempHome::ReadFile(entry.path().string());
        if (entry.path().extension() == ".eml" &&
            text.find("Subject: " + strangerSubject + "\r\n") != std::string::npos &&
            text.find(strangerBody) != std::string::npos) {
            quarantined = true;
        }
    }
    EXPECT_TRUE(quarantined) << "the stranger's message is saved whole in " << folder;

    // The stranger answers the challenge as his mail program would.
    std::string error;
    ASSERT_TRUE(Servers().Send("stranger@iw.test", {"me@iw.test"},
                               "From: " + std::string(kStranger) +
                                   "\r\nTo: me@iw.test\r\nSubject: Re: " + challenge[0] +
                                   "\r\n\r\nHere I am.\r\n",
                               &error))
        << error;
    ASSERT_TRUE(Servers().WaitForCount("me", 2));

    // Second scan: registration; his quarantined message comes back.
    EXPECT_EQ(Scan(), std::make_pair(1, 1));
    ASSERT_TRUE(Servers().WaitForCount("me", 3));
    std::vector<std::string> mine = Subjects("me");
    EXPECT_TRUE(HasSubjectContaining(mine, strangerSubject + "[InboxWardenRestored]"));
    ASSERT_TRUE(Servers().WaitForCount("stranger", 2));
    EXPECT_TRUE(HasSubjectContaining(Subjects("stranger"), "Your registration was successful"));
    std::vector<CFilterList::Entry> friends = CFilterLists::Instance().GetEntries(FL_Friends);
    if (ThroughProgram()) {
        CFilterLists::Instance().Reload();
        friends = CFilterLists::Instance().GetEntries(FL_Friends);
    }
    bool isFriend = false;
    for (const auto& entry : friends) {
        // The bare address: his mail under any display name is a friend's.
        isFriend = isFriend || entry.words == "stranger@iw.test";
    }
    EXPECT_TRUE(isFriend);

    // Third scan: the restored copy is new and stays; the fourth knows it.
    EXPECT_EQ(Scan(), std::make_pair(1, 1));
    EXPECT_EQ(Servers().Count("me"), 3u);
    EXPECT_EQ(Scan(), std::make_pair(0, 0));
    EXPECT_EQ(Servers().Count("me"), 3u);
    EXPECT_TRUE(HasSubjectContaining(Subjects("me"), strangerSubject + "[InboxWardenRestored]"));

    std::map<std::string, Stored> stored = Restarted();
    ASSERT_EQ(stored.size(), 6u);
    const Stored& fromFriend = stored["lunch on friday"];
    EXPECT_EQ(fromFriend.status, ES_OnServer);
    EXPECT_EQ(fromFriend.reason, ER_Friend);
    EXPECT_EQ(fromFriend.details, "From a friend (matched \"friend@iw.test\")");
    const Stored& bad = stored["Cheap pills today only"];
    EXPECT_EQ(bad.status, ES_Deleted);
    EXPECT_EQ(bad.reason, ER_BadSubject);
    EXPECT_EQ(bad.todo, 0u);
    const Stored& pest = stored["hello again"];
    EXPECT_EQ(pest.status, ES_Deleted);
    EXPECT_EQ(pest.reason, ER_Undesirable);
    EXPECT_EQ(pest.todo, 0u);
    const Stored& original = stored[strangerSubject];
    // Restored to the mailbox, then no longer found there under its own
    // subject: the user's mail program has it.
    EXPECT_EQ(original.status, ES_Delivered);
    EXPECT_EQ(original.reason, ER_UnknownSender);
    EXPECT_EQ(original.todo, 0u);
    EXPECT_NE(original.details.find("Challenge sent ("), std::string::npos) << original.details;
    EXPECT_NE(original.details.find("Deleted ("), std::string::npos) << original.details;
    EXPECT_TRUE(std::filesystem::exists(original.file)) << original.file;
    const Stored& answer = stored["Re: " + challenge[0]];
    EXPECT_EQ(answer.status, ES_OnServer);
    EXPECT_EQ(answer.reason, ER_Registration);
    EXPECT_EQ(answer.todo, 0u);
    const Stored& restored = stored[strangerSubject + "[InboxWardenRestored]"];
    EXPECT_EQ(restored.status, ES_OnServer);
    EXPECT_EQ(restored.reason, ER_Good);
    // The copy goes out with the bare address as its sender.
    EXPECT_NE(restored.sender.find("stranger@iw.test"), std::string::npos) << restored.sender;
}

TEST_P(EndToEnd, RealMailIsKnownAgainAfterEveryRestartAndCopiedExactly) {
    const std::string longSubject = "Re: " + std::string(146, 'L');
    const std::string longSender = "Friend " + std::string(100, 'F') + " <friend@iw.test>";
    // Delivering servers put other fields ending in "Date:" above the Date line.
    const std::string dated =
        "Delivery-Date: Tue, 08 Dec 26 01:20:00 GMT\r\nResent-Date: Tue, 08 Dec 26 01:19:00 "
        "GMT\r\nFrom: " +
        std::string(kFriend) +
        "\r\nTo: me@iw.test\r\nSubject: dated\r\nDate: Tue, 08 Dec 26 "
        "01:11:00 GMT\r\n\r\nhello\r\n";
    const std::string odd =
        Message(kStranger, "odd line ends", "one\r\r\ntwo\rstill two\r\n\r\r\n.dot\r\nend\r\n", 5);
    ASSERT_FALSE(Servers().Drop("me", Message(kFriend, longSubject, "long\r\n", 1)).empty());
    ASSERT_FALSE(Servers().Drop("me", Message(longSender, "long sender", "x\r\n", 2)).empty());
    ASSERT_FALSE(Servers().Drop("me", dated).empty());
    ASSERT_FALSE(Servers().Drop("me", odd).empty());

    EXPECT_EQ(Scan(), std::make_pair(3, 4));
    EXPECT_EQ(Servers().Count("me"), 3u);
    // Every later scan (by a new process, or after a restart of the engine)
    // knows them all.
    for (int round = 0; round < 2; ++round) {
        if (!ThroughProgram()) {
            m_engine.reset();
            m_engine = std::make_unique<CInboxWardenEngine>();
            ASSERT_TRUE(m_engine->Initialize(&owner));
        }
        EXPECT_EQ(Scan(), std::make_pair(0, 0)) << "round " << round;
    }
    std::map<std::string, Stored> stored = Restarted();
    ASSERT_EQ(stored.size(), 4u);
    for (const auto& [subject, record] : stored) {
        if (subject == "odd line ends") {
            EXPECT_EQ(record.status, ES_Quarantined);
            // The copy is the message itself, byte for byte.
            EXPECT_EQ(TempHome::ReadFile(record.file), odd);
        } else {
            EXPECT_EQ(record.status, ES_OnServer) << subject;
        }
    }
    EXPECT_EQ(stored.count(longSubject.substr(0, 100)), 1u);
}

TEST_P(EndToEnd, LeakedTagsAndListMailOpenNothing) {
    const std::string digest =
        "Return-Path: <stranger@iw.test>\r\nFrom: " + std::string(kStranger) +
        "\r\nTo: me@iw.test\r\nSubject: weekly digest\r\nList-Id: <digest.iw.test>\r\n"
        "Precedence: list\r\nDate: Tue, 08 Dec 26 01:01:00 GMT\r\n\r\ndigest\r\n";
    ASSERT_FALSE(Servers().Drop("me", digest).empty());
    ASSERT_FALSE(Servers().Drop("me", Message(kStranger, "hello there", "hi\r\n", 2)).empty());
    EXPECT_EQ(Scan(), std::make_pair(0, 2));
    ASSERT_TRUE(Servers().WaitForCount("stranger", 1));
    std::vector<std::string> challenge = Subjects("stranger");
    ASSERT_EQ(challenge.size(), 1u) << "the list mail is not challenged";

    // Someone else replies with the stranger's tag.
    std::string error;
    ASSERT_TRUE(Servers().Send("pest@nuisance.example", {"me@iw.test"},
                               "From: " + std::string(kPest) +
                                   "\r\nTo: me@iw.test\r\nSubject: Re: " + challenge[0] +
                                   "\r\n\r\nLet me in.\r\n",
                               &error))
        << error;
    ASSERT_TRUE(Servers().WaitForCount("me", 1));
    CFilterLists::Instance().DeleteWord("pest@nuisance.example", FL_Undesirables);
    EXPECT_EQ(Scan(), std::make_pair(0, 1));
    EXPECT_EQ(Servers().Count("me"), 0u);
    EXPECT_EQ(Subjects("stranger").size(), 1u);

    std::map<std::string, Stored> stored = Restarted();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored["weekly digest"].status, ES_Quarantined);
    EXPECT_NE(stored["weekly digest"].details.find("Not challenged (mailing list)"),
              std::string::npos)
        << stored["weekly digest"].details;
    const Stored& forged = stored["Re: " + challenge[0]];
    EXPECT_EQ(forged.status, ES_Quarantined);
    EXPECT_EQ(forged.reason, ER_UnknownSender);
    CFilterLists::Instance().Reload();
    for (const auto& entry : CFilterLists::Instance().GetEntries(FL_Friends)) {
        EXPECT_EQ(entry.words, "friend@iw.test");
    }
}

INSTANTIATE_TEST_SUITE_P(Scan, EndToEnd, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("ThroughScanner")
                                               : std::string("ThroughEngine");
                         });
