#include "history/CSeenUidls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "testlib/DbTestEnv.h"
#include "testlib/SqlProbe.h"

namespace {

std::string Text(std::vector<CSeenUidls::Entry> entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.uid != b.uid ? a.uid < b.uid : a.recordId < b.recordId;
    });
    std::string text;
    for (const auto& e : entries) {
        text += e.uid + ":" + std::to_string(e.recordId) + ":" + std::to_string(e.size) + ";";
    }
    return text;
}

class SeenUidlsTest : public ::testing::Test {
protected:
    DbTestEnv env;
    CInboxWardenDb db;
};

}  // namespace

TEST_F(SeenUidlsTest, OldDatabaseTakesTheTableOnSilently) {
    // A database of the six tables only, with a record in it.
    {
        CEmailHistory history(db);
        history.LoadAll();
        history.Add(new CEmailData("acct", 1700000000, "a@x", "s", 1, "", "d", 5, ES_OnServer, 0,
                                   "", "", 1));
        history.SaveAll();
    }
    {
        SqlProbe probe(env.DbPath());
        EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM sqlite_master WHERE name = 'SeenUidls'"), 0);
    }
    CSeenUidls seen(db);
    std::vector<CSeenUidls::Entry> entries{{"stale", 1, 1}};
    EXPECT_TRUE(seen.Load("acct", entries));
    EXPECT_TRUE(entries.empty());
    CEmailHistory reloaded(db);
    EXPECT_EQ(reloaded.LoadAll(), 1);
    EXPECT_EQ(env.MainLogText().find("Seen ids:"), std::string::npos);
}

TEST_F(SeenUidlsTest, UpdateDropsThenAddsPerAccountAndBindsEveryValue) {
    CSeenUidls seen(db);
    const std::string hostile = "x'); DROP TABLE EmailData; --";
    ASSERT_TRUE(seen.Update("A", {}, {{"u1", 1, 100}, {"u1", 2, 100}, {"u2", 3, 200}}));
    ASSERT_TRUE(seen.Update(hostile, {}, {{hostile, 4, 4294967295u}}));
    ASSERT_TRUE(seen.Update("B", {}, {{"u1", 9, 100}}));
    std::vector<CSeenUidls::Entry> entries;
    ASSERT_TRUE(seen.Load("A", entries));
    EXPECT_EQ(Text(entries), "u1:1:100;u1:2:100;u2:3:200;");
    ASSERT_TRUE(seen.Load(hostile, entries));
    EXPECT_EQ(Text(entries), hostile + ":4:4294967295;");

    struct Step {
        const char* name;
        std::vector<std::string> dropped;
        std::vector<CSeenUidls::Entry> added;
        std::string expected;
    } steps[] = {
        {"nothing to do", {}, {}, "u1:1:100;u1:2:100;u2:3:200;"},
        {"drop every row of an id", {"u1"}, {}, "u2:3:200;"},
        {"drop and add the same id (refetched)", {"u2"}, {{"u2", 5, 201}}, "u2:5:201;"},
        {"adding a row twice keeps one", {}, {{"u2", 5, 201}}, "u2:5:201;"},
        {"dropping an unknown id", {"nope", ""}, {}, "u2:5:201;"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_TRUE(seen.Update("A", step.dropped, step.added));
        ASSERT_TRUE(seen.Load("A", entries));
        EXPECT_EQ(Text(entries), step.expected);
    }
    // Other accounts are untouched, and EmailData survived the hostile text.
    ASSERT_TRUE(seen.Load("B", entries));
    EXPECT_EQ(Text(entries), "u1:9:100;");
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM sqlite_master WHERE name = 'EmailData'"), 1);
}

TEST_F(SeenUidlsTest, OrphansGoWithTheirRecords) {
    CEmailHistory history(db);
    history.LoadAll();
    for (uint32_t day : {10u, 20u, 30u}) {
        history.Add(new CEmailData("acct", day * 86400, "a@x", "s" + std::to_string(day), 1, "",
                                   "d", 5, ES_OnServer, 0, "", "", 1));
    }
    history.SaveAll();
    std::vector<CSeenUidls::Entry> added;
    for (int i = 0; i < history.GetCount(); ++i) {
        added.push_back({"u" + std::to_string(i), history.GetAt(i)->m_id, 5});
    }
    CSeenUidls seen(db);
    ASSERT_TRUE(seen.Update("acct", {}, added));
    history.CleanupHistory(25);
    EXPECT_EQ(seen.RemoveOrphans(), 2);
    EXPECT_EQ(seen.RemoveOrphans(), 0);
    std::vector<CSeenUidls::Entry> entries;
    ASSERT_TRUE(seen.Load("acct", entries));
    EXPECT_EQ(Text(entries), "u2:" + std::to_string(history.GetAt(0)->m_id) + ":5;");
}

TEST_F(SeenUidlsTest, FailedWritesChangeNothing) {
    CSeenUidls seen(db);
    ASSERT_TRUE(seen.Update("A", {}, {{"u1", 1, 1}}));
    struct Case {
        const char* name;
        const char* trigger;  // on SeenUidls
        std::vector<std::string> dropped;
        std::vector<CSeenUidls::Entry> added;
    } cases[] = {
        {"the add fails after the drop: the drop is undone",
         "BEFORE INSERT",
         {"u1"},
         {{"u9", 9, 9}}},
        {"the drop fails", "BEFORE DELETE", {"u1"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            SqlProbe probe(env.DbPath());
            ASSERT_TRUE(probe.Exec("DROP TRIGGER IF EXISTS refuse"));
            ASSERT_TRUE(probe.Exec(std::string("CREATE TRIGGER refuse ") + c.trigger +
                                   " ON SeenUidls BEGIN SELECT RAISE(ABORT, 'no'); END"));
        }
        EXPECT_FALSE(seen.Update("A", c.dropped, c.added));
        std::vector<CSeenUidls::Entry> entries;
        EXPECT_TRUE(seen.Load("A", entries));
        EXPECT_EQ(Text(entries), "u1:1:1;");
    }
    // Record 1 is not in EmailData, but its entry cannot go.
    EXPECT_EQ(seen.RemoveOrphans(), -1);
    EXPECT_NE(env.MainLogText().find("Seen ids: writing failed"), std::string::npos);
}
