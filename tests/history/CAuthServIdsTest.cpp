#include <gtest/gtest.h>

#include "history/CAuthServIds.h"
#include "history/CInboxWardenDb.h"
#include "testlib/DbTestEnv.h"

// Streaks of observations: what each teaches. An empty id (a server that
// writes none) is an id of its own, not the absence of a field.
TEST(AuthServIds, LearnsOnlyFromUnbrokenStreaks) {
    DbTestEnv env;
    CInboxWardenDb db;
    CAuthServIds ids(db);
    const int n = CAuthServIds::kLearnAfter;
    const struct {
        const char* account;
        std::vector<std::pair<int, const char*>> runs;  // count, id (nullptr: no field)
        CAuthServIds::State state;
        const char* learned;
    } kCases[] = {
        {"a", {{n, "mx.a.example"}}, CAuthServIds::AS_Learned, "mx.a.example"},
        {"b",
         {{n - 1, "mx.b.example"}, {1, "mx.evil.example"}, {n - 1, "mx.b.example"}},
         CAuthServIds::AS_Unknown,
         ""},
        {"c", {{n - 1, ""}, {1, nullptr}, {n - 1, ""}}, CAuthServIds::AS_Unknown, ""},
        {"d", {{n, ""}}, CAuthServIds::AS_Learned, ""},
        {"e", {{n, nullptr}}, CAuthServIds::AS_WritesNone, ""},
        // A taught id stays through a short interruption; a new streak replaces it.
        {"f", {{n, "mx.f.example"}, {3, nullptr}}, CAuthServIds::AS_Learned, "mx.f.example"},
        {"g", {{n, "mx.f.example"}, {n, "mx.g.example"}}, CAuthServIds::AS_Learned, "mx.g.example"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.account);
        for (const auto& [count, id] : c.runs) {
            for (int i = 0; i < count; ++i) {
                ASSERT_TRUE(ids.Observe(c.account, id != nullptr, id ? id : ""));
            }
        }
        // Read through another connection, as a restarted program would.
        CInboxWardenDb other;
        CAuthServIds::Entry entry = CAuthServIds(other).Get(c.account);
        EXPECT_EQ(entry.state, c.state);
        EXPECT_EQ(entry.servId, c.learned);
    }
    EXPECT_EQ(ids.Get("never seen").state, CAuthServIds::AS_Unknown);
}
