#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "testlib/DbTestEnv.h"
#include "testlib/SqlProbe.h"

namespace {

using Clock = std::chrono::steady_clock;

CEmailData* Numbered(int n, uint32_t received) {
    return new CEmailData("acct", received, "sender" + std::to_string(n) + "@example.com",
                          "subject " + std::to_string(n), static_cast<uint32_t>(n), "text", "", 10,
                          ES_OnServer, 0, "", "", n);
}

TEST(HistoryThreads, ReadersSeeConsistentRecordsWhileTheWorkerChangesTheList) {
    DbTestEnv env;
    CInboxWardenDb db;
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    const int total = 3000;
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    const auto deadline = Clock::now() + std::chrono::seconds(60);

    std::thread worker([&] {
        for (int n = 0; n < total && Clock::now() < deadline; ++n) {
            // Odd records are old enough for the cleanups below.
            history.Add(Numbered(n, n % 2 ? 1000u : 2000000000u));
            if (n % 250 == 249) {
                history.SaveAll();
                history.CleanupHistory(1);
            }
            if (n % 100 == 0) {
                auto lock = history.Lock();
                if (CEmailData* first = history.GetAt(0)) {
                    first->m_todo ^= 1;
                    first->MarkDirty();
                }
            }
        }
        history.SaveAll();
        done = true;
    });
    std::thread reader([&] {
        int rounds = 0;
        while (!done && rounds < 100000 && Clock::now() < deadline) {
            ++rounds;
            for (const auto& entry : history.Snapshot()) {
                if (entry.record.m_sender.rfind("sender", 0) != 0 || entry.key == nullptr) {
                    ++badReads;
                }
            }
            auto lock = history.Lock();
            int count = history.GetCount();
            for (int i = 0; i < count; ++i) {
                const CEmailData* record = history.GetAt(i);
                if (!record || record->m_subject.rfind("subject ", 0) != 0) {
                    ++badReads;
                }
            }
        }
    });
    worker.join();
    reader.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(badReads, 0);
    // Every odd record went by cleanup; every even one is stored once.
    EXPECT_EQ(history.GetCount(), total / 2);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), total / 2);
}

TEST(HistoryThreads, ScopesOfTwoThreadsNeverOverlap) {
    DbTestEnv env;
    CInboxWardenDb db;
    CFilterLists lists(db);
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::atomic<int> misses{0};

    // The worker adds records and friends while the interface thread edits
    // the same list and looks senders up in it.
    std::thread worker([&] {
        for (int n = 0; n < 50 && Clock::now() < deadline; ++n) {
            history.Add(Numbered(n, 2000000000u));
            history.SaveAll();
            lists.AddWord("friend" + std::to_string(n) + ".example.com", FL_Friends);
        }
    });
    std::thread ui([&] {
        std::string matched;
        for (int n = 0; n < 50 && Clock::now() < deadline; ++n) {
            lists.AddWord("ui" + std::to_string(n), FL_Friends);
            if (!lists.FindWord(FL_Friends, "Someone <ui" + std::to_string(n) + "@x.org>", matched,
                                true)) {
                ++misses;
            }
            if (n % 2) {
                lists.DeleteWord("ui" + std::to_string(n), FL_Friends);
            }
            history.Snapshot();
        }
    });
    worker.join();
    ui.join();
    EXPECT_EQ(misses, 0);
    EXPECT_EQ(lists.GetCount(FL_Friends), 75);
    std::string log = env.MainLogText();
    EXPECT_EQ(log.find("already open!"), std::string::npos);
    EXPECT_EQ(log.find("already closed!"), std::string::npos);
    CFilterLists restarted(db);
    EXPECT_EQ(restarted.GetCount(FL_Friends), 75);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 50);
}

}  // namespace
