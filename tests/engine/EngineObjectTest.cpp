#include <chrono>
#include <thread>

#include "EngineFixture.h"
#include "ScopedSocketTimeouts.h"
#include "ScriptedServer.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "support/Scramble.h"

using namespace std::chrono_literals;

namespace {
class EngineObjectTest : public EngineFixture {};
}  // namespace

TEST_F(EngineObjectTest, IntervalIsClampedToFifteenSeconds) {
    CInboxWardenEngine engine;
    EXPECT_EQ(engine.GetInterval(), 600);
    struct Case {
        const char* interval;
        bool minutes;
        int expected;
    } cases[] = {{"0", false, 15},  {"5", false, 15},
                 {"14", false, 15}, {"15", false, 15},
                 {"16", false, 16}, {"1", true, 60},
                 {"-5", true, 15},  {"abc", false, 15},
                 {"-1", true, 900}, {"99999999", true, 7 * 24 * 3600}};
    for (const auto& c : cases) {
        Settings().WriteString("Interval", c.interval, "General");
        Settings().WriteBool("IntervalInMinutes", c.minutes, "General");
        engine.ReadSettings(true);
        EXPECT_EQ(engine.GetInterval(), c.expected) << c.interval << " " << c.minutes;
    }
    // Absent: 15 minutes.
    TempHome::WriteFile(env->GetSettings().GetPath(), "");
    engine.ReadSettings(true);
    EXPECT_EQ(engine.GetInterval(), 900);
}

TEST_F(EngineObjectTest, AutoScanFollowsSettingsOnlyAfterStart) {
    Settings().WriteBool("AutoScan", true, "General");
    CInboxWardenEngine engine;
    engine.ReadSettings(true);
    EXPECT_FALSE(engine.GetAutoScan()) << "the main window sets it at start";
    engine.ReadSettings(false);
    EXPECT_TRUE(engine.GetAutoScan());
    Settings().WriteBool("DontScanWhileInForeground", true, "General");
    engine.ReadSettings(false);
    EXPECT_FALSE(engine.GetAutoScan());
}

TEST_F(EngineObjectTest, ChallengeTagCarriesTheMachineNumber) {
    CInboxWardenEngine engine;
    ASSERT_TRUE(engine.Initialize(&owner));
    char expected[64];
    snprintf(expected, sizeof expected, "[InboxWardenChallenge:%x]", GetMachineNumber());
    EXPECT_EQ(engine.GetChallengeTag(), expected);
}

TEST_F(EngineObjectTest, ScanRequestStartsAScanWithinASecond) {
    CInboxWardenEngine engine;
    ASSERT_TRUE(engine.Initialize(&owner));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(owner.ScanStarts(), 0u) << "auto-scan is off: no scan without a request";
    auto asked = std::chrono::steady_clock::now();
    engine.RequestScan();
    ASSERT_TRUE(owner.WaitForScans(1, 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1000ms);
    // An empty account list still gives a whole scan with 0 and 0.
    auto scans = owner.Scans();
    EXPECT_EQ(scans[0].newLeftOnServer, 0);
    EXPECT_EQ(scans[0].newMessages, 0);
    engine.RequestScan();
    EXPECT_TRUE(owner.WaitForScans(2, 1000ms));
}

TEST_F(EngineObjectTest, AutoScanRunsWithoutRequest) {
    CInboxWardenEngine engine;
    engine.SetAutoScan(true);
    ASSERT_TRUE(engine.Initialize(&owner));
    EXPECT_TRUE(owner.WaitForScans(1, 1500ms));
}

TEST_F(EngineObjectTest, DestructionDuringAScanWaitsForTheThread) {
    ScopedSocketTimeouts timeouts(1500, 3000, 3000, 2000);
    ScriptedServer server(10000);
    server.Silence(5000);
    server.Start();
    Settings().WriteString("AccountsList", "Home", "General");
    Settings().WriteBool("Filter", true, "Home");
    Settings().WriteString("PopName", "127.0.0.1", "Home");
    Settings().WriteInt("PopPort", server.Port(), "Home");
    Settings().WriteString("PopLogin", "bob", "Home");
    Settings().WriteString("!PopPassword", "secret", "Home");
    Settings().WriteString("SmtpName", "127.0.0.1", "General");
    auto started = std::chrono::steady_clock::now();
    {
        CInboxWardenEngine engine;
        ASSERT_TRUE(engine.Initialize(&owner));
        engine.RequestScan();
        ASSERT_TRUE(owner.WaitForScanStarts(1, 2000ms));
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(engine.IsScanning());
    }
    // The scan ended (its connect timed out) before the engine went away.
    EXPECT_EQ(owner.Scans().size(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6000ms);
    server.Stop();
}

TEST_F(EngineObjectTest, UserCommandsMarkRecords) {
    CInboxWardenEngine engine;
    ASSERT_TRUE(engine.Initialize(&owner));
    CEmailHistory& history = engine.GetHistory();
    auto make = [](const std::string& sender, uint32_t status) {
        auto* email = new CEmailData("Home", 100, sender, "s", 1, "", "", 10, status, 0, "", "", 0);
        email->m_dirty = false;
        return email;
    };
    history.Add(make("Bob <bob@x.com>", ES_Quarantined));
    history.Add(make("bob <bob@x.com>", ES_Deleted));
    history.Add(make("Bob <bob@x.com>", ES_Deleted));
    history.Add(make("Ann <ann@x.com>", ES_OnServer));

    engine.MarkForDeletion(history.GetAt(3));
    EXPECT_EQ(history.GetAt(3)->m_status, ES_Deleted);
    EXPECT_EQ(history.GetAt(3)->m_reason, ER_User);
    EXPECT_EQ(history.GetAt(3)->m_todo, uint32_t{DeleteFromServer});
    EXPECT_TRUE(history.GetAt(3)->m_dirty);

    engine.RestoreAllFromSender("Bob <bob@x.com>", true);
    for (int i : {0, 2}) {
        EXPECT_EQ(history.GetAt(i)->m_status, ES_OnServer) << i;
        EXPECT_EQ(history.GetAt(i)->m_todo, uint32_t{RestoreEmail}) << i;
        EXPECT_EQ(history.GetAt(i)->m_reason, ER_User) << i;
    }
    EXPECT_EQ(history.GetAt(1)->m_status, ES_Deleted) << "sender compared with case";
    std::string matched;
    EXPECT_TRUE(CFilterLists::Instance().FindWord(FL_Friends, "bob <bob@x.com>", matched, false) ||
                CFilterLists::Instance().FindWord(FL_Friends, "Bob <bob@x.com>", matched, false));
}
