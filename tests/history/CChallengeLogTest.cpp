#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "history/CChallengeLog.h"
#include "history/CInboxWardenDb.h"
#include "testlib/DbTestEnv.h"
#include "testlib/SqlProbe.h"

TEST(ChallengeLog, RemembersWhenEachAddressWasChallenged) {
    DbTestEnv env;
    CInboxWardenDb db;
    CChallengeLog log(db);
    bool ok = false;
    EXPECT_FALSE(log.ChallengedSince("a@x.example", 0, &ok));
    EXPECT_TRUE(ok) << "an empty table is an answer";
    ASSERT_TRUE(log.Record("a@x.example", 1000));
    ASSERT_TRUE(log.Record("b@x.example", 2000));
    const struct {
        const char* address;
        uint32_t since;
        bool challenged;
    } kCases[] = {
        {"a@x.example", 0, true},
        {"a@x.example", 1000, true},
        {"a@x.example", 1001, false},
        {"b@x.example", 1500, true},
        {"A@X.example", 0, false},
        {"c@x.example", 0, false},
        {"", 0, false},
        {"a@x.example' OR '1'='1", 0, false},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(log.ChallengedSince(c.address, c.since), c.challenged)
            << c.address << " since " << c.since;
    }
    // Kept in the file: another connection (a restarted program) sees it.
    CInboxWardenDb other;
    CChallengeLog again(other);
    EXPECT_TRUE(again.ChallengedSince("b@x.example", 2000));

    EXPECT_EQ(log.RemoveBefore(1500), 1);
    EXPECT_FALSE(log.ChallengedSince("a@x.example", 0));
    EXPECT_TRUE(log.ChallengedSince("b@x.example", 0));
    EXPECT_EQ(log.RemoveBefore(1500), 0);

    // Times past 2038 and an overlong address are kept as given (the
    // address up to its limit).
    ASSERT_TRUE(log.Record("late@x.example", 4000000000u));
    EXPECT_TRUE(log.ChallengedSince("late@x.example", 3999999999u));
    std::string longAddress(CChallengeLog::kAddressLimit + 50, 'l');
    ASSERT_TRUE(log.Record(longAddress, 5000));
    EXPECT_TRUE(log.ChallengedSince(longAddress, 5000));
}

TEST(ChallengeLog, TableComesBackWhenTheDatabaseIsMadeAfresh) {
    DbTestEnv env;
    CInboxWardenDb db;
    CChallengeLog log(db);
    ASSERT_TRUE(log.Record("a@x.example", 1000));
    ASSERT_TRUE(std::filesystem::remove(env.DbPath()));
    EXPECT_FALSE(log.ChallengedSince("a@x.example", 0));
    ASSERT_TRUE(log.Record("a@x.example", 1000));
    EXPECT_TRUE(log.ChallengedSince("a@x.example", 0));
}

TEST(ChallengeLog, TwoThreadsRecordAndAskAtOnce) {
    DbTestEnv env;
    CInboxWardenDb db;
    CChallengeLog log(db);
    constexpr int kEach = 50;
    std::atomic<int> failures{0};
    auto work = [&](char who) {
        for (int i = 0; i < kEach; ++i) {
            std::string address = std::string(1, who) + std::to_string(i) + "@x.example";
            if (!log.Record(address, 1000 + i) || !log.ChallengedSince(address, 1000 + i)) {
                ++failures;
            }
        }
    };
    std::thread a(work, 'a');
    std::thread b(work, 'b');
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Column("SELECT COUNT(*) FROM Challenges"),
              std::vector<std::string>{std::to_string(2 * kEach)});
}
