#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "EngineTestBase.h"
#include "lists/CFilterLists.h"

namespace {

class TasksTest : public EngineTestBase {
protected:
    // A record as the filter leaves it, with its message number on the server.
    CEmailData* Pending(const std::string& sender, const std::string& subject, uint32_t todo,
                        int32_t serverId = 3) {
        CEmailData* email = AddEmail(sender, subject, 2000, "body\r\n", serverId);
        email->m_status = ES_Quarantined;
        email->m_todo = todo;
        return email;
    }

    static size_t Count(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    }

    bool SentWithSubject(const std::string& subject) const {
        for (const auto& delivery : m_sink.Deliveries()) {
            if (delivery.data.find("Subject: " + subject + "\r\n") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Whether the status line showed the text after the first `mark` statuses.
    bool StatusSince(size_t mark, const std::string& text) const {
        auto statuses = owner.Statuses();
        for (size_t i = mark; i < statuses.size(); ++i) {
            if (statuses[i] == text) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(TasksTest, DeleteFromServer) {
    StartMail();
    CEmailData* deleted = Pending("a@a.example", "Spam one", DeleteFromServer, 3);
    // The mailbox holds nine messages: the server refuses number 12.
    CEmailData* refused = Pending("b@b.example", "Spam two", DeleteFromServer, 12);
    refused->m_reasonDetails = "Bad subject (matched \"spam\")";
    CEmailData* unsaved = Pending("c@c.example", "Spam three", DeleteFromServer, 6);
    unsaved->m_id = 0;
    CEmailData* noNumber = Pending("d@d.example", "Gone", DeleteFromServer, 0);
    m_engine->ProcessTasks(kAccount);

    // Number 12 cannot be fetched for its saved copy, so it is not even
    // asked to be deleted.
    EXPECT_EQ(Deletes(), (std::vector<int>{3}));
    EXPECT_EQ(deleted->m_todo, 0u);
    EXPECT_EQ(deleted->m_reasonDetails.rfind("Deleted (", 0), 0u);
    EXPECT_EQ(deleted->m_reasonDetails.find('\n'), std::string::npos);
    EXPECT_TRUE(owner.HasStatus("Deleting spam one"));

    EXPECT_EQ(refused->m_todo, DeleteFromServer);
    EXPECT_EQ(refused->m_reasonDetails.rfind("Failed to delete #12 (", 0), 0u);
    EXPECT_NE(refused->m_reasonDetails.find(")\nBad subject (matched \"spam\")"),
              std::string::npos);
    EXPECT_TRUE(owner.HasStatus(
        "Warning: Expected m_todo to be 0 after todo loop for b@b.example/Spam two."));

    EXPECT_EQ(unsaved->m_todo, DeleteFromServer);
    EXPECT_TRUE(unsaved->m_reasonDetails.empty());
    EXPECT_TRUE(owner.HasStatus("Warning: I was asked to Delete an unsaved email!!!"));

    EXPECT_EQ(noNumber->m_todo, DeleteFromServer);
    EXPECT_EQ(noNumber->m_reasonDetails.rfind("Failed to delete #0 (", 0), 0u);
    EXPECT_NE(MainLogText().find("ERROR: Asked to delete email with ID 0 on the server!:"),
              std::string::npos);
}

TEST_F(TasksTest, ReadOnlyModeDeletesNothingButClearsTheBit) {
    StartMail();
    m_engine->SetReadOnly(true);
    CEmailData* email = Pending("a@a.example", "Spam", DeleteFromServer | Challenge, 4);
    email->m_reasonDetails = "Unknown Sender";
    m_engine->ProcessTasks(kAccount);
    EXPECT_TRUE(Deletes().empty());
    EXPECT_EQ(email->m_todo, 0u);
    // Newest first: the deletion, then the challenge, then the decision.
    EXPECT_EQ(email->m_reasonDetails.rfind("Not deleted: read-only (", 0), 0u);
    size_t challenge = email->m_reasonDetails.find("\nChallenge not sent: read-only (");
    size_t decision = email->m_reasonDetails.find("\nUnknown Sender");
    EXPECT_NE(challenge, std::string::npos);
    EXPECT_NE(decision, std::string::npos);
    EXPECT_LT(challenge, decision);
    EXPECT_TRUE(m_sink.Deliveries().empty());
}

TEST_F(TasksTest, ReadOnlyForAnEmptyFriendsListEndsWithTheFirstFriend) {
    StartMail();
    // Asked on the command line, read-only stays whatever the list holds.
    for (bool fromCommandLine : {true, false}) {
        SCOPED_TRACE(fromCommandLine ? "command line" : "empty Friends list");
        ClearLists();
        m_engine->SetReadOnly(fromCommandLine);
        if (!fromCommandLine) {
            m_engine->SetReadOnlyUntilFriends();
        }
        EXPECT_FALSE(m_engine->EndReadOnlyIfFriends());
        EXPECT_TRUE(m_engine->IsReadOnly());
        Pending("new@n.example", "Registration", AddSenderToFriends, 0);
        Pending("spam@s.example", "Spam", DeleteFromServer, 5);
        m_engine->ProcessTasks(kAccount);
        EXPECT_EQ(m_engine->IsReadOnly(), fromCommandLine);
        EXPECT_EQ(Deletes(), fromCommandLine ? std::vector<int>{} : std::vector<int>{5});
        EXPECT_EQ(owner.HasStatus("Read-only mode ended: your Friends list has entries"),
                  !fromCommandLine);
    }
}

TEST_F(TasksTest, Challenge) {
    StartMail();
    CEmailData* email = Pending("Dan Smith <dan@d.example>", "Meeting", Challenge, 0);
    email->m_reasonDetails = "Unknown Sender";
    m_engine->ProcessTasks(kAccount);
    auto deliveries = m_sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].recipients, std::vector<std::string>{"dan@d.example"});
    EXPECT_TRUE(SentWithSubject("RE: Meeting " + Tag("dan@d.example")));
    EXPECT_EQ(email->m_todo, 0u);
    EXPECT_EQ(email->m_reasonDetails.rfind("Challenge sent (", 0), 0u);
    EXPECT_TRUE(owner.HasStatus("Challenging dan smith <dan@d.example>"));
}

TEST_F(TasksTest, FailedChallengeIsRetriedAndNoted) {
    StartMail();
    UseWorkingSmtp(false);
    CEmailData* email = Pending("dan@d.example", "Meeting", Challenge | DeleteFromServer, 2);
    email->m_reasonDetails = "Unknown Sender";
    m_engine->ProcessTasks(kAccount);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(email->m_todo, Challenge);
    EXPECT_EQ(Count(email->m_reasonDetails, "Failed to send Challenge ("), 2u);
    EXPECT_EQ(email->m_reasonDetails.rfind("Failed to send Challenge (", 0), 0u);
    EXPECT_NE(email->m_reasonDetails.find("\nUnknown Sender"), std::string::npos);

    UseWorkingSmtp(true);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(email->m_todo, 0u);
    EXPECT_EQ(email->m_reasonDetails.rfind("Challenge sent (", 0), 0u);
    EXPECT_EQ(Count(email->m_reasonDetails, "Failed to send Challenge ("), 2u);
}

TEST_F(TasksTest, ReasonDetailsStayBounded) {
    StartMail();
    UseWorkingSmtp(false);
    CEmailData* email = Pending("dan@d.example", "Meeting", Challenge, 0);
    email->m_reasonDetails = "Unknown Sender\n" + std::string(990, 'x');
    m_engine->ProcessTasks(kAccount);
    EXPECT_LE(email->m_reasonDetails.size(), 1000u);
    EXPECT_EQ(email->m_reasonDetails.rfind("Failed to send Challenge (", 0), 0u);
    EXPECT_NE(email->m_reasonDetails.find("\nUnknown Sender"), std::string::npos);
}

TEST_F(TasksTest, RegistrationFromCapitalisedSender) {
    StartMail();
    const struct {
        const char* sender;
        std::vector<std::string> friends;
    } rows[] = {
        // Friends keeps the bare address in lower case, whatever the display form.
        {"Carol <Carol@C.example>", {"carol@c.example"}},
        {"erin@e.example", {"erin@e.example"}},
        {" Erin@E.example ", {"erin@e.example"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sender);
        ClearLists();
        CEmailData* email = Filter(row.sender, "RE: Hi " + Tag(row.sender));
        ASSERT_EQ(email->m_todo, 0x144u);
        m_engine->ProcessTasks(kAccount);
        EXPECT_EQ(email->m_todo, 0u);
        EXPECT_EQ(Entries(FL_Friends), row.friends);
        EXPECT_EQ(email->m_reasonDetails.rfind("Added new friend: " + row.friends[0], 0), 0u);
        // Nothing else from the sender was quarantined, and confirmations are off.
        EXPECT_TRUE(owner.HasStatus("Error restoring emails from " + std::string(row.sender)));
        EXPECT_TRUE(m_sink.Deliveries().empty());
    }
}

TEST_F(TasksTest, RegistrationRestoresAndWelcomes) {
    StartMail(
        {"From: Fay <fay@f.example>\r\nTo: me@home.example\r\nSubject: Question\r\n\r\n"
         "Hello?\r\n"});
    ASSERT_TRUE(Settings().WriteBool("SendConfirmations", true, "General"));
    // The first message is quarantined, deleted from the server and its
    // sender challenged.
    CEmailData* first = Filter("Fay <fay@f.example>", "Question", 2000, "Hello?\r\n", 1);
    ASSERT_EQ(first->m_todo, Challenge | DeleteFromServer);
    ASSERT_FALSE(first->m_emailFilename.empty());
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(first->m_todo, 0u);
    EXPECT_EQ(Deletes(), std::vector<int>{1});
    ASSERT_TRUE(SentWithSubject("RE: Question " + Tag("fay@f.example")));
    first->m_serverId = 0;

    // Her reply registers her: the quarantined message comes back, she is welcomed.
    CEmailData* reply = Filter("Fay <fay@f.example>", "RE: RE: Question " + Tag("Fay@F.example"));
    ASSERT_EQ(reply->m_reason, ER_Registration);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(reply->m_todo, 0u);
    EXPECT_EQ(first->m_status, ES_OnServer);
    EXPECT_TRUE(SentWithSubject("Question[InboxWardenRestored]"));
    EXPECT_TRUE(SentWithSubject("Your registration was successful"));
    EXPECT_TRUE(owner.HasStatus("Restored Sender Fay <fay@f.example>"));
    EXPECT_NE(MainLogText().find("Welcomed Sender Fay <fay@f.example>"), std::string::npos);

    // The restored copy and the returned confirmation stay on the server.
    EXPECT_EQ(Filter("Fay <fay@f.example>", "Question[InboxWardenRestored]")->m_reason, ER_Good);
    EXPECT_EQ(Filter("x@x.example", "Your registration was successful")->m_reason, ER_Good);
}

TEST_F(TasksTest, WelcomeSender) {
    StartMail();
    CEmailData* off = Pending("g@g.example", "w1", WelcomeSender, 0);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(off->m_todo, 0u);
    EXPECT_TRUE(m_sink.Deliveries().empty());

    ASSERT_TRUE(Settings().WriteBool("SendConfirmations", true, "General"));
    UseWorkingSmtp(false);
    CEmailData* failing = Pending("h@h.example", "w2", WelcomeSender, 0);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(failing->m_todo, WelcomeSender);

    UseWorkingSmtp(true);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(failing->m_todo, 0u);
    auto deliveries = m_sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].recipients, std::vector<std::string>{"h@h.example"});
    EXPECT_EQ(deliveries[0].from, kHomeAddress);
    EXPECT_NE(deliveries[0].data.find("Your registration to the InboxWarden database was "
                                      "successful,\r\nand your previous emails have been "
                                      "restored.\r\n"),
              std::string::npos);
}

TEST_F(TasksTest, RestoreEmail) {
    StartMail(
        {"From: Ivy <ivy@i.example>\r\nTo: me@home.example\r\nSubject: Lost\r\n\r\n"
         "keep me\r\n"});
    CEmailData* email = Filter("Ivy <ivy@i.example>", "Lost", 2000, "keep me\r\n", 1);
    email->m_todo = 0;
    m_engine->MarkForRestore(email);
    email->m_status = ES_Quarantined;

    UseWorkingSmtp(false);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(email->m_todo, RestoreEmail);
    EXPECT_EQ(email->m_status, ES_Quarantined);
    EXPECT_TRUE(owner.HasStatus("Restoring Email failed: Lost"));

    UseWorkingSmtp(true);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(email->m_todo, 0u);
    EXPECT_EQ(email->m_status, ES_OnServer);
    EXPECT_TRUE(owner.HasStatus("Restored Email: Lost"));
    EXPECT_TRUE(SentWithSubject("Lost[InboxWardenRestored]"));

    // A file removed by hand leaves nothing to send, and the restore counts as done.
    CEmailData* gone = Filter("jo@j.example", "Removed");
    ASSERT_EQ(unlink(gone->m_emailFilename.c_str()), 0);
    gone->m_todo = RestoreEmail;
    size_t before = m_sink.Deliveries().size();
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(gone->m_todo, 0u);
    EXPECT_EQ(gone->m_status, ES_Quarantined);
    EXPECT_EQ(m_sink.Deliveries().size(), before);
}

TEST_F(TasksTest, RemoteCommands) {
    StartMail();
    const struct {
        const char* name;
        std::string subject;
        bool openSucceeds;
        uint32_t todoAfter;
        std::vector<std::string> pings;  // recipients of "I'm here!"
        std::vector<std::string> friends;
        std::vector<std::string> opened;
        std::vector<std::string> statuses;
    } rows[] = {
        {"ping",
         "[iw:pw ping]",
         true,
         0,
         {"boss@b.example"},
         {},
         {},
         {"Returned Ping to boss <boss@b.example>"}},
        {"ping and addfriend",
         "[iw:pw ping addfriend:new@friend.example]",
         true,
         0,
         {"boss@b.example"},
         {"new@friend.example"},
         {},
         {"Returned Ping to boss <boss@b.example>", "Added new friend: new@friend.example"}},
        {"addfriend keeps blanks and lower-cases",
         "[IW:PW addfriend: Kim Lee ]",
         true,
         0,
         {},
         {" kim lee "},
         {},
         {"Added new friend:  kim lee "}},
        {"argument runs to the end when the bracket comes first",
         "[iw:pw] addfriend:late@l.example",
         true,
         0,
         {},
         {"late@l.example"},
         {},
         {}},
        {"run",
         "[iw:pw run:https://example.org/Doc]",
         true,
         0,
         {},
         {},
         {"https://example.org/doc"},
         {}},
        {"run text is one argument",
         "[iw:pw run:notes.txt; rm -rf ~ `id`]",
         true,
         0,
         {},
         {},
         {"notes.txt; rm -rf ~ `id`"},
         {}},
        {"run that fails",
         "[iw:pw run:missing.exe]",
         false,
         0,
         {},
         {},
         {"missing.exe"},
         {"Error: Asked to run command but it failed: missing.exe"}},
        {"no known word", "[iw:pw hello]", true, Instruction, {}, {}, {}, {}},
        {"no closing bracket",
         "[iw:pw ping",
         true,
         Instruction,
         {},
         {},
         {},
         {"Error: Closing bracket not found for InboxWarden To Do"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClearLists();
        size_t mark = owner.Statuses().size();
        owner.openResult = row.openSucceeds;
        size_t opensBefore = owner.Opened().size();
        size_t sentBefore = m_sink.Deliveries().size();
        CEmailData* email = AddEmail("Boss <boss@b.example>", row.subject, 2000, "", 7);
        email->m_status = ES_OnServer;
        email->m_reason = ER_Instruction;
        email->m_todo = Instruction;
        m_engine->ProcessTasks(kAccount);
        EXPECT_EQ(email->m_todo, row.todoAfter);

        std::vector<std::string> pings;
        auto deliveries = m_sink.Deliveries();
        for (size_t i = sentBefore; i < deliveries.size(); ++i) {
            EXPECT_NE(deliveries[i].data.find("Subject: I'm here!\r\n"), std::string::npos);
            EXPECT_NE(deliveries[i].data.find("Have a good day!\r\n\r\nInboxWarden"),
                      std::string::npos);
            EXPECT_EQ(deliveries[i].from, kHomeAddress);
            pings.insert(pings.end(), deliveries[i].recipients.begin(),
                         deliveries[i].recipients.end());
        }
        EXPECT_EQ(pings, row.pings);
        EXPECT_EQ(Entries(FL_Friends), row.friends);
        auto opened = owner.Opened();
        EXPECT_EQ(
            std::vector<std::string>(opened.begin() + static_cast<long>(opensBefore), opened.end()),
            row.opened);
        for (const auto& status : row.statuses) {
            EXPECT_TRUE(StatusSince(mark, status)) << status;
        }
        EXPECT_EQ(StatusSince(mark,
                              "Warning: Expected m_todo to be 0 after todo loop for Boss "
                              "<boss@b.example>/" +
                                  row.subject + "."),
                  row.todoAfter != 0);
        // Done with this message: it leaves the server.
        email->m_serverId = 0;
        email->m_todo = 0;
    }
    EXPECT_EQ(owner.CloseRequests(), 0);
}

TEST_F(TasksTest, KeptInstructionIsLookedAtEveryScan) {
    StartMail();
    CEmailData* email = AddEmail("boss@b.example", "[iw:pw hello]", 2000, "", 7);
    email->m_todo = Instruction;
    m_engine->ProcessTasks(kAccount);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(email->m_todo, Instruction);
    EXPECT_EQ(Count(MainLogText(), "Processing 7 (todo 128): boss@b.example/[iw:*** hello] \n"),
              2u);
}

// Recognised by the filter, carried out by the tasks, however large it is.
TEST_F(TasksTest, LargeInstructionIsObeyed) {
    StartMail();
    ASSERT_TRUE(Settings().WriteBool("EnableRemoteCommands", true, "General"));
    ASSERT_TRUE(Settings().WriteString("!RemoteCommandsPassword", "Pass Word", "General"));
    CEmailData* email =
        Filter("Me <me@work.example>", "[IW:PASS WORD run:Report.PDF] big", 300000, "x", 5);
    ASSERT_EQ(email->m_reason, ER_TooBig);
    ASSERT_EQ(email->m_todo, Instruction);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(owner.Opened(), std::vector<std::string>{"report.pdf"});
    EXPECT_EQ(email->m_todo, 0u);
    EXPECT_TRUE(Deletes().empty());
}

// An owner that looks at the history when it is asked to close the program.
class ClosingOwner : public RecordingOwner {
public:
    std::function<void()> onClose;
    void OnCloseProgram() override {
        if (onClose) {
            onClose();
        }
        RecordingOwner::OnCloseProgram();
    }
};

TEST_F(TasksTest, ShutdownSavesFirst) {
    StartMail();
    ClosingOwner closing;
    m_engine->SetCurrentClients(nullptr, nullptr);
    m_engine = std::make_unique<CInboxWardenEngine>();
    ASSERT_TRUE(m_engine->Initialize(&closing));
    UseWorkingSmtp(true);

    CEmailData* email = AddEmail("boss@b.example", "[iw:pw shutdown ping]", 2000, "", 7);
    email->m_todo = Instruction;
    CEmailData* other = Pending("z@z.example", "later", DeleteFromServer, 8);
    bool savedAtClose = false;
    closing.onClose = [&] {
        auto lock = History().Lock();
        savedAtClose = email->m_id > 0 && !email->m_dirty && email->m_todo == 0;
    };
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(closing.CloseRequests(), 1);
    EXPECT_TRUE(savedAtClose);
    EXPECT_TRUE(closing.HasStatus("Shutting down InboxWarden..."));
    // The other words and the other records are still dealt with.
    EXPECT_TRUE(SentWithSubject("I'm here!"));
    EXPECT_EQ(other->m_todo, 0u);
    m_engine->SetCurrentClients(nullptr, nullptr);
    m_engine.reset();
}

TEST_F(TasksTest, WalkAndSave) {
    StartMail();
    CEmailData* mine = Pending("a@a.example", "Mine", DeleteFromServer, 2);
    CEmailData* elsewhere = AddEmail("b@b.example", "Other account", 2000, "", 3, "Work");
    elsewhere->m_todo = DeleteFromServer;
    CEmailData* idle = AddEmail("c@c.example", "Nothing to do", 2000, "", 0);
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(Deletes(), std::vector<int>{2});
    EXPECT_EQ(elsewhere->m_todo, DeleteFromServer);
    std::string log = MainLogText();
    EXPECT_NE(log.find("Processing tasks for Home"), std::string::npos);
    EXPECT_NE(log.find("Processing 2 (todo 2): a@a.example/Mine \n"), std::string::npos);
    EXPECT_EQ(log.find("/Other account "), std::string::npos);
    EXPECT_EQ(log.find("/Nothing to do "), std::string::npos);
    // Every changed record is in the database afterwards.
    EXPECT_GT(mine->m_id, 0);
    EXPECT_FALSE(mine->m_dirty);
    EXPECT_GT(idle->m_id, 0);

    // An abort request stops the walk before the first record.
    CEmailData* late = Pending("d@d.example", "Late", DeleteFromServer, 4);
    m_engine->AbortScan();
    m_engine->ProcessTasks(kAccount);
    EXPECT_EQ(late->m_todo, DeleteFromServer);
    EXPECT_EQ(Deletes(), std::vector<int>{2});
}

// The interface thread copies records and marks them while the worker
// decides and carries out tasks; the sanitizer build catches unguarded changes.
TEST_F(TasksTest, InterfaceWorksBesideTheWorker) {
    StartMail();
    UseWorkingSmtp(false);
    std::vector<CEmailData*> records;
    std::atomic<bool> done{false};
    std::atomic<int> snapshots{0};
    std::atomic<int> published{0};
    std::thread reader([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done && std::chrono::steady_clock::now() < until) {
            size_t total = 0;
            for (const auto& entry : History().Snapshot(true)) {
                total += entry.record.m_reasonDetails.size() + entry.record.m_emailFilename.size();
            }
            EXPECT_GE(total, 0u);
            // Marks one record already filtered, as the restore command does.
            int ready = published;
            if (ready > 0) {
                CEmailData* email = records[static_cast<size_t>(snapshots % ready)];
                auto lock = History().Lock();
                if (email->m_todo & Challenge) {
                    m_engine->MarkForRestore(email);
                }
            }
            ++snapshots;
        }
    });
    records.reserve(40);
    for (int i = 0; i < 40; ++i) {
        std::string n = std::to_string(i);
        records.push_back(Filter("s" + n + "@x.example", "subject " + n));
        published = i + 1;
    }
    for (int pass = 0; pass < 3; ++pass) {
        m_engine->ProcessTasks(kAccount);
    }
    done = true;
    reader.join();
    EXPECT_GT(snapshots.load(), 0);
    for (CEmailData* email : records) {
        // A failed challenge keeps its bit; a restore asked for meanwhile stays asked for.
        EXPECT_TRUE(email->m_todo & Challenge);
        if (email->m_status == ES_OnServer) {
            EXPECT_EQ(email->m_reason, ER_User);
        }
    }
}

}  // namespace
