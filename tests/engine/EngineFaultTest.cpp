// A scan meets a broken server at every step of POP3 and SMTP: the connection
// drops, the server stalls past the time-out, answers garbage or an error.
// Whatever happens, the engine keeps working, the next clean scan finishes the
// job, and no mail is lost.
#include <sys/stat.h>

#include <chrono>
#include <set>

#include "EngineFixture.h"
#include "LoopbackAccount.h"
#include "Pop3Mailbox.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"

namespace {

enum class Mode { Drop, Stall, Garbage, Error };

struct Fault {
    bool smtp;
    const char* step;  // a command prefix, "greeting", or "." after the SMTP data
    Mode mode;
};

const char* const kFriend = "Ann <ann@friends.example>";
const char* const kStranger = "Sam <sam@strangers.example>";
const char* const kSpammer = "Spam <spam@bad.example>";

std::string Message(const std::string& from, const std::string& subject) {
    return "From: " + from + "\r\nTo: me@home.example\r\nSubject: " + subject +
           "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nfirst line\r\n..dotted\r\nlast\r\n";
}

std::string ReadWhole(const std::string& path) {
    return TempHome::ReadFile(path);
}

class EngineFaultTest : public EngineFixture, public ::testing::WithParamInterface<Fault> {
protected:
    EngineFaultTest() {
        originals = {Message(kFriend, "hello"), Message(kStranger, "who am I"),
                     Message(kSpammer, "buy now")};
        for (const auto& text : originals) {
            box.AddMessage(text);
        }
        pop3Server.ServeEach(box.Handler(), 40);
        smtpServer.ServeEach(sink.Handler(), 40);
        LoopbackAccount(smtpServer.Port(), pop3Server.Port(), "me", "pw").WriteTo(Settings());
        CFilterLists::Instance().AddWord("ann@friends.example", FL_Friends);
        CFilterLists::Instance().AddWord("spam@bad.example", FL_Undesirables);
    }
    ~EngineFaultTest() override {
        engine.reset();
        pop3Server.Stop();
        smtpServer.Stop();
    }

    void Inject(const Fault& fault) {
        std::string reply;
        int then = 0;  // Continue
        switch (fault.mode) {
            case Mode::Drop:
                then = 1;
                break;
            case Mode::Stall:
                then = 2;
                break;
            case Mode::Garbage:
                reply = "\x01\xfe garbage \x7f no status here\r\n";
                break;
            case Mode::Error:
                reply = fault.smtp ? "554 5.0.0 injected failure\r\n" : "-ERR injected failure\r\n";
                break;
        }
        if (fault.smtp) {
            sink.FailWith(fault.step, reply, static_cast<SmtpSink::Then>(then));
        } else {
            box.FailWith(fault.step, reply, static_cast<Pop3Mailbox::Then>(then));
        }
    }

    // Runs one scan on the worker thread: proves it is still alive.
    void Scan() {
        size_t before = owner.Scans().size();
        engine->RequestScan();
        ASSERT_TRUE(owner.WaitForScans(before + 1, std::chrono::seconds(60)))
            << "the worker thread no longer scans";
    }

    const CEmailData* RecordOf(const std::string& sender) {
        auto lock = engine->GetHistory().Lock();
        const CEmailData* found = nullptr;
        for (int i = 0; i < engine->GetHistory().GetCount(); ++i) {
            const CEmailData* email = engine->GetHistory().GetAt(i);
            if (email->m_sender == sender) {
                EXPECT_EQ(found, nullptr) << "two records of one message from " << sender;
                found = email;
            }
        }
        return found;
    }

    size_t ChallengesSent() {
        size_t n = 0;
        for (const auto& delivery : sink.Deliveries()) {
            for (const auto& to : delivery.recipients) {
                n += to == "sam@strangers.example";
            }
        }
        return n;
    }

    // Any POP3 reply but "-ERR" counts as success, so a DELE or QUIT answered
    // with garbage looks done to the engine. Nothing is lost: the messages
    // stay on the server.
    bool GarbageCountsAsDeleted() const {
        const Fault& fault = GetParam();
        std::string step = fault.step;
        return !fault.smtp && fault.mode == Mode::Garbage && (step == "DELE" || step == "QUIT");
    }

    // What must hold after every scan, broken or not.
    void CheckSafety(const std::string& when) {
        SCOPED_TRACE(when);
        std::vector<std::string> onServer = box.Messages();
        std::set<std::string> still(onServer.begin(), onServer.end());
        EXPECT_EQ(still.count(originals[0]), 1u) << "a friend's mail never leaves the server";
        {
            auto lock = engine->GetHistory().Lock();
            for (int i = 0; i < engine->GetHistory().GetCount(); ++i) {
                const CEmailData* email = engine->GetHistory().GetAt(i);
                EXPECT_TRUE(email->m_sender == kFriend || email->m_sender == kStranger ||
                            email->m_sender == kSpammer)
                    << "a record made from a broken reply: " << email->Dump();
                EXPECT_NE(email->m_status, ES_Delivered) << email->Dump();
            }
        }
        const char* senders[] = {kFriend, kStranger, kSpammer};
        const uint32_t expected[] = {ES_OnServer, ES_Quarantined, ES_Deleted};
        for (size_t k = 0; k < 3; ++k) {
            const CEmailData* email = RecordOf(senders[k]);
            bool gone = still.count(originals[k]) == 0;
            if (!email) {
                EXPECT_FALSE(gone) << "deleted without a record: " << senders[k];
                continue;
            }
            EXPECT_EQ(email->m_status, expected[k]) << email->Dump();
            if (gone) {
                ASSERT_FALSE(email->m_emailFilename.empty())
                    << "deleted without a quarantine file: " << email->Dump();
                EXPECT_EQ(ReadWhole(email->m_emailFilename), originals[k])
                    << "the quarantine copy is not the whole message";
            } else if (email->m_status != ES_OnServer && !GarbageCountsAsDeleted()) {
                EXPECT_NE(email->m_todo & DeleteFromServer, 0u)
                    << "still on the server but no longer to be deleted: " << email->Dump();
            }
        }
        if (const CEmailData* stranger = RecordOf(kStranger)) {
            if (ChallengesSent() == 0) {
                EXPECT_NE(stranger->m_todo & Challenge, 0u) << "a failed challenge keeps its bit";
            }
        }
    }

    std::vector<std::string> originals;
    ScopedSocketTimeouts timeouts{300, 1000, 2000, 1000};
    Pop3Mailbox box{"me", "pw"};
    SmtpSink sink;
    ScriptedServer pop3Server{120000};
    ScriptedServer smtpServer{120000};
    std::unique_ptr<CInboxWardenEngine> engine = std::make_unique<CInboxWardenEngine>();
};

TEST_P(EngineFaultTest, ScanSurvivesAndTheNextCleanScanFinishes) {
    const Fault& fault = GetParam();
    pop3Server.Start();
    smtpServer.Start();
    ASSERT_TRUE(engine->Initialize(&owner));
    Inject(fault);
    Scan();
    CheckSafety("after the broken scan");

    box.ClearFailures();
    sink.ClearFailures();
    Scan();
    CheckSafety("after the clean scan");
    EXPECT_FALSE(engine->LastScanHadErrors());
    for (const char* sender : {kFriend, kStranger, kSpammer}) {
        const CEmailData* email = RecordOf(sender);
        ASSERT_NE(email, nullptr) << sender;
        EXPECT_EQ(email->m_todo, 0u) << email->Dump();
    }
    EXPECT_EQ(box.Messages().size(), GarbageCountsAsDeleted() ? 3u : 1u)
        << "the clean scan carried out the deletions";
    EXPECT_GE(ChallengesSent(), 1u);
    // A message the server took is never sent again because of what came after.
    if (fault.smtp && std::string(fault.step) == "QUIT") {
        EXPECT_EQ(ChallengesSent(), 1u);
    }
}

std::vector<Fault> AllFaults() {
    const char* pop3Steps[] = {"greeting", "USER",   "PASS",   "STAT",   "TOP 1 ", "TOP 2 ",
                               "TOP 3 ",   "LIST 2", "RETR 2", "RETR 3", "DELE",   "QUIT"};
    const char* smtpSteps[] = {"greeting", "EHLO", "MAIL", "RCPT", "DATA", ".", "QUIT"};
    std::vector<Fault> faults;
    for (Mode mode : {Mode::Drop, Mode::Stall, Mode::Garbage, Mode::Error}) {
        for (const char* step : pop3Steps) {
            faults.push_back({false, step, mode});
        }
        for (const char* step : smtpSteps) {
            faults.push_back({true, step, mode});
        }
    }
    return faults;
}

std::string FaultName(const ::testing::TestParamInfo<Fault>& info) {
    static const char* modes[] = {"Drop", "Stall", "Garbage", "Error"};
    std::string step;
    for (const char* c = info.param.step; *c; ++c) {
        if (isalnum(static_cast<unsigned char>(*c))) {
            step += *c;
        }
    }
    if (step.empty()) {
        step = "EndOfData";
    }
    return std::string(info.param.smtp ? "Smtp" : "Pop3") + "_" + step + "_" +
           modes[static_cast<int>(info.param.mode)];
}

INSTANTIATE_TEST_SUITE_P(EveryStep, EngineFaultTest, ::testing::ValuesIn(AllFaults()), FaultName);

}  // namespace
