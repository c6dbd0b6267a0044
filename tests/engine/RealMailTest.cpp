// Faults that real mail shows and synthetic messages did not: odd line
// ends, several display forms of one sender, and the worker and interface
// threads meeting on the history's lock.
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "EngineFixture.h"
#include "Pop3Mailbox.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "ScriptedSession.h"
#include "SmtpSink.h"
#include "lists/CFilterLists.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"

namespace {

using namespace std::chrono_literals;

// An owner whose open call, like a window's, needs the history: it waits
// (bounded) for another thread that takes the history's lock.
class LockingOwner : public RecordingOwner {
public:
    bool OnOpenWithDesktop(const std::string& target) override {
        RecordingOwner::OnOpenWithDesktop(target);
        if (!history) {
            return true;
        }
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> future = done->get_future();
        CEmailHistory* h = history;
        threads.emplace_back([h, done] {
            auto lock = h->Lock();
            done->set_value();
        });
        if (future.wait_for(5s) == std::future_status::ready) {
            ++lockTaken;
        } else {
            ++lockTimedOut;
        }
        return true;
    }
    ~LockingOwner() override {
        for (auto& t : threads) {
            t.join();
        }
    }

    CEmailHistory* history = nullptr;
    std::vector<std::thread> threads;
    std::atomic<int> lockTaken{0};
    std::atomic<int> lockTimedOut{0};
};

class RealMailTest : public EngineFixture {
protected:
    RealMailTest() {
        Settings().WriteString("emailAddress", "me@home.example", "Home");
        Settings().WriteString("emailAddress", "me@work.example", "Work");
        ClearLists();
    }
    ~RealMailTest() override {
        if (engine) {
            engine->SetCurrentClients(nullptr, nullptr);
        }
        engine.reset();
    }
    CEmailData* Quarantined(const std::string& sender, const std::string& subject,
                            const std::string& account = "Home") {
        auto* email = new CEmailData(account, 1000, sender, subject, 1, "text\r\n", "date", 10,
                                     ES_Quarantined, ER_UnknownSender, "", "", 0);
        engine->GetHistory().Add(email);
        EXPECT_TRUE(engine->SaveToQuarantine(email));
        return email;
    }

    ScopedSocketTimeouts timeouts{2000, 4000, 3000, 2000};
    LockingOwner lockingOwner;
    std::unique_ptr<CInboxWardenEngine> engine = std::make_unique<CInboxWardenEngine>();
};

}  // namespace

TEST_F(RealMailTest, QuarantineCopyAndRestoreKeepOddLineEndsByteForByte) {
    ASSERT_TRUE(engine->Initialize(&owner));
    const std::string body =
        "line one\r\r\nlone\rcarriage return\r\n\r\r\n.dot line\r\n\r\nend\r\r\n";
    const std::string message =
        "From: Odd <odd@o.example>\r\nTo: me@home.example\r\nSubject: CR\r\nX-Odd: a\rb\r\r\n"
        "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n" +
        body;
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(message);
    ScriptedServer popServer;
    popServer.ServeEach(box.Handler(), 1).Start();
    SmtpSink sink;
    ScriptedServer smtpServer;
    smtpServer.ServeEach(sink.Handler(), 4).Start();
    CPOP3 pop3("127.0.0.1", popServer.Port(), "bob", "secret");
    ASSERT_TRUE(pop3.Connect());
    CSMTP smtp("127.0.0.1", smtpServer.Port());
    engine->SetCurrentClients(&pop3, &smtp);

    auto* email = new CEmailData("Home", 1000, "Odd <odd@o.example>", "CR", 1, "", "", 10,
                                 ES_Quarantined, 0, "", "", 1);
    engine->GetHistory().Add(email);
    ASSERT_TRUE(engine->SaveToQuarantine(email));
    EXPECT_EQ(TempHome::ReadFile(email->m_emailFilename), message);

    ASSERT_TRUE(engine->RestoreEmailPrivate(email));
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    const std::string& data = deliveries[0].data;
    ASSERT_GE(data.size(), body.size());
    EXPECT_EQ(data.substr(data.size() - body.size()), body) << data;
    EXPECT_NE(data.find("Subject: CR[InboxWardenRestored]\r\n"), std::string::npos);
    engine->SetCurrentClients(nullptr, nullptr);
    pop3.Disconnect();
    popServer.Stop();
    smtpServer.Stop();
}

TEST_F(RealMailTest, ReplyUnderAnotherDisplayFormRestoresEveryForm) {
    ASSERT_TRUE(engine->Initialize(&owner));
    SmtpSink sink;
    ScriptedServer smtpServer;
    smtpServer.ServeEach(sink.Handler(), 10).Start();
    CSMTP smtp("127.0.0.1", smtpServer.Port());
    engine->SetCurrentClients(nullptr, &smtp);

    CEmailData* named = Quarantined("Sender Name <Sender@Example.org>", "first");
    CEmailData* bare = Quarantined("sender@example.org", "second");
    CEmailData* other = Quarantined("Other Name <SENDER@EXAMPLE.ORG>", "third", "Work");
    CEmailData* stranger = Quarantined("Someone <someone@example.org>", "fourth");
    CEmailData* lookalike = Quarantined("sender@example.org.evil", "fifth");

    EXPECT_EQ(engine->RestoreEmailsFromSenderPrivate("sender@example.org"), 3);
    for (CEmailData* e : {named, bare, other}) {
        EXPECT_EQ(e->m_status, ES_OnServer) << e->m_subject;
    }
    for (CEmailData* e : {stranger, lookalike}) {
        EXPECT_EQ(e->m_status, ES_Quarantined) << e->m_subject;
    }
    EXPECT_EQ(sink.Deliveries().size(), 3u);

    // A second pass finds nothing left to restore.
    EXPECT_EQ(engine->RestoreEmailsFromSenderPrivate("Sender Name <sender@EXAMPLE.org>"), 0);
    EXPECT_EQ(sink.Deliveries().size(), 3u);
    engine->SetCurrentClients(nullptr, nullptr);
    smtpServer.Stop();
}

TEST_F(RealMailTest, SenderRestoreNeverHoldsTheHistoryLockAcrossMailOrOwner) {
    lockingOwner.history = &engine->GetHistory();
    ASSERT_TRUE(engine->Initialize(&lockingOwner));

    // While the SMTP server talks to the engine, another thread can take the
    // history's lock (the window refreshing its list).
    SmtpSink sink;
    auto sinkHandler = sink.Handler();
    std::atomic<int> freeDuringSend{0};
    std::atomic<int> heldDuringSend{0};
    CEmailHistory* history = &engine->GetHistory();
    ScriptedServer smtpServer;
    smtpServer
        .ServeEach(
            [&](ScriptedSession& session) {
                auto probe = std::async(std::launch::async, [history] {
                    auto lock = history->Lock();
                    return true;
                });
                if (probe.wait_for(3s) == std::future_status::ready) {
                    ++freeDuringSend;
                } else {
                    ++heldDuringSend;
                }
                sinkHandler(session);
            },
            4)
        .Start();
    CSMTP smtp("127.0.0.1", smtpServer.Port());
    engine->SetCurrentClients(nullptr, &smtp);
    Quarantined("Bob <bob@x.org>", "one");
    EXPECT_EQ(engine->RestoreEmailsFromSenderPrivate("Bob <bob@x.org>"), 1);
    EXPECT_EQ(freeDuringSend.load(), 1);
    EXPECT_EQ(heldDuringSend.load(), 0);
    smtpServer.Stop();

    // The eleventh failure asks the owner to open the folder; the owner
    // waits for a thread that takes the history's lock.
    engine->SetCurrentClients(nullptr, nullptr);
    CEmailData* failing = Quarantined("Bob <bob@x.org>", "two");
    failing->m_restoreFailures = 10;
    auto run = std::async(std::launch::async,
                          [&] { return engine->RestoreEmailsFromSenderPrivate("bob@x.org"); });
    ASSERT_EQ(run.wait_for(20s), std::future_status::ready)
        << "worker and owner wait for each other";
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(lockingOwner.lockTaken.load(), 1);
    EXPECT_EQ(lockingOwner.lockTimedOut.load(), 0);
    EXPECT_EQ(failing->m_todo, 0u) << "no more attempts";
    EXPECT_EQ(failing->m_restoreFailures, 11);
    auto opened = lockingOwner.Opened();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], home.Path() + "Quarantine/Home");
}

TEST_F(RealMailTest, SenderRestoreSkipsRecordsRemovedOrRestoredMeanwhile) {
    ASSERT_TRUE(engine->Initialize(&owner));
    // Without an SMTP client every send fails; a record the user restored by
    // hand in the meantime (status On Server) is left to its own task.
    CEmailData* a = Quarantined("Bob <bob@x.org>", "a");
    CEmailData* b = Quarantined("Bob <bob@x.org>", "b");
    b->m_status = ES_OnServer;
    EXPECT_EQ(engine->RestoreEmailsFromSenderPrivate("bob@x.org"), 0);
    EXPECT_EQ(a->m_todo, uint32_t{RestoreEmail});
    EXPECT_EQ(a->m_restoreFailures, 1);
    EXPECT_EQ(b->m_restoreFailures, 0);
    EXPECT_EQ(b->m_todo, 0u);
}
