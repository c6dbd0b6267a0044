#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/CDBOpenScope.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "testlib/DbTestEnv.h"
#include "testlib/SqlProbe.h"

namespace {

CEmailData* MakeRecord(const std::string& sender, uint32_t received = 1700000000,
                       const std::string& subject = "Hello", const std::string& filename = "") {
    return new CEmailData("acct", received, sender, subject, 42, "body text",
                          "Mon, 1 Jan 2024 10:00:00 +0000", 123, ES_Quarantined, 7,
                          "unknown sender", filename, 3);
}

struct Notices {
    std::vector<std::pair<std::string, std::string>> seen;
    void Attach(CInboxWardenDb& db) {
        db.SetNoticeCallback([this](const std::string& caption, const std::string& text) {
            seen.emplace_back(caption, text);
        });
    }
};

class HistoryStore : public ::testing::Test {
protected:
    DbTestEnv env;
    CInboxWardenDb db;
};

TEST_F(HistoryStore, MissingFileIsCreatedWithAllTablesInOrder) {
    {
        CEmailHistory history(db);
        EXPECT_EQ(history.LoadAll(), 0);
        EXPECT_EQ(history.GetCount(), 0);
        history.Add(MakeRecord("a@example.com"));
        history.SaveAll();
    }
    std::string log = env.MainLogText();
    EXPECT_NE(log.find("Open failed, calling CreateDatabase()"), std::string::npos);
    EXPECT_NE(log.find("Calling gInboxWardenDb.Create for " + env.DbPath()), std::string::npos);
    size_t last = 0;
    for (const char* table :
         {"EmailData", "Friends", "Undesirables", "AutoSenders", "BadSubjects", "GoodSubjects"}) {
        size_t fields = log.find(std::string("Creating fields for table ") + table + "...");
        size_t index = log.find(std::string("Creating simpleIndex for table ") + table + "...");
        ASSERT_NE(fields, std::string::npos) << table;
        ASSERT_NE(index, std::string::npos) << table;
        EXPECT_GT(fields, last) << table;
        EXPECT_GT(index, fields) << table;
        last = index;
    }

    // Deleted while the program is stopped: the next unit of work makes a new one.
    ASSERT_TRUE(std::filesystem::remove(env.DbPath()));
    CEmailHistory again(db);
    EXPECT_EQ(again.LoadAll(), 0);
    SqlProbe probe(env.DbPath());
    std::vector<std::string> tables = probe.Column(
        "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
        "ORDER BY rowid");
    EXPECT_EQ(tables, (std::vector<std::string>{"EmailData", "Friends", "Undesirables",
                                                "AutoSenders", "BadSubjects", "GoodSubjects"}));
    std::vector<std::string> columns =
        probe.Column("SELECT name FROM pragma_table_info('EmailData')");
    EXPECT_EQ(columns,
              (std::vector<std::string>{"id", "account", "sender", "subject", "status", "reason",
                                        "reasonDetails", "todo", "headerTimestamp", "myTimestamp",
                                        "bodyChecksum", "emailFilename"}));
    EXPECT_EQ(probe.Column("SELECT name FROM pragma_table_info('Friends')"),
              (std::vector<std::string>{"id", "words", "flags"}));
}

TEST_F(HistoryStore, RoundTripKeepsFieldsOrderAndLongValues) {
    {
        CEmailHistory history(db);
        ASSERT_EQ(history.LoadAll(), 0);
        CEmailData* first = MakeRecord("first@example.com", 0xFFFFFFF0u, "S1", "/q/a.eml");
        first->m_status = 0xFFFFFFFFu;
        first->m_todo = 0x80000001u;
        first->m_bodyChecksum = 0xDEADBEEFu;
        history.Add(first);
        history.Add(MakeRecord("second@example.com", 1000, "S2"));
        history.SaveAll();
        EXPECT_GT(first->m_id, 0);
        EXPECT_FALSE(first->m_dirty);
    }
    CEmailHistory loaded(db);
    ASSERT_EQ(loaded.LoadAll(), 2);
    const CEmailData* a = loaded.GetAt(0);
    const CEmailData* b = loaded.GetAt(1);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(loaded.GetAt(2), nullptr);
    EXPECT_EQ(a->m_sender, "first@example.com");
    EXPECT_EQ(a->m_account, "acct");
    EXPECT_EQ(a->m_subject, "S1");
    EXPECT_EQ(a->m_headerTimestamp, "Mon, 1 Jan 2024 10:00:00 +0000");
    EXPECT_EQ(a->m_reasonDetails, "unknown sender");
    EXPECT_EQ(a->m_emailFilename, "/q/a.eml");
    EXPECT_EQ(a->m_status, 0xFFFFFFFFu);
    EXPECT_EQ(a->m_todo, 0x80000001u);
    EXPECT_EQ(a->m_bodyChecksum, 0xDEADBEEFu);
    EXPECT_EQ(a->m_myTimestamp, 0xFFFFFFF0u);
    EXPECT_EQ(a->m_reason, 7u);
    EXPECT_FALSE(a->m_dirty);
    // Fields that are not stored come back empty.
    EXPECT_EQ(a->m_text, "");
    EXPECT_EQ(a->m_size, 0u);
    EXPECT_EQ(a->m_serverId, 0);
    EXPECT_EQ(b->m_sender, "second@example.com");
    EXPECT_EQ(b->m_emailFilename, "");
    EXPECT_LT(a->m_id, b->m_id);
}

TEST_F(HistoryStore, TextsAreCutToTheirColumnsAndEmptyTextsAreNotWritten) {
    std::string sender(120, 's');
    std::string details(1500, 'd');
    std::string account(60, 'a');
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    CEmailData* record = MakeRecord(sender, 1700000000, "subject", "/quarantine/acct/1.eml");
    record->m_reasonDetails = details;
    record->m_account = account;
    history.Add(record);
    history.SaveAll();
    {
        SqlProbe probe(env.DbPath());
        EXPECT_EQ(probe.Column("SELECT sender FROM EmailData")[0], sender.substr(0, 100));
        EXPECT_EQ(probe.Column("SELECT reasonDetails FROM EmailData")[0], details.substr(0, 1000));
        EXPECT_EQ(probe.Column("SELECT account FROM EmailData")[0], account.substr(0, 50));
    }
    // In memory the texts stay whole.
    EXPECT_EQ(record->m_sender.size(), 120u);

    // A cleared file name and subject keep their stored values.
    record->m_emailFilename.clear();
    record->m_subject.clear();
    record->m_status = ES_Deleted;
    record->MarkDirty();
    history.SaveAll();
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Column("SELECT emailFilename FROM EmailData")[0], "/quarantine/acct/1.eml");
    EXPECT_EQ(probe.Column("SELECT subject FROM EmailData")[0], "subject");
    EXPECT_EQ(probe.Number("SELECT status FROM EmailData"), ES_Deleted);
    // A new record with empty texts leaves its columns Null.
    history.Add(new CEmailData("acct", 1, "x@example.com", "", 0, "", "", 0, 0, 0, "", "", 0));
    history.SaveAll();
    EXPECT_EQ(probe.Column("SELECT emailFilename FROM EmailData ORDER BY id")[1], "<null>");
}

TEST_F(HistoryStore, FailedSaveRollsBackAndIsRetriedBySaveAll) {
    Notices notices;
    notices.Attach(db);
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    CEmailData* kept = MakeRecord("kept@example.com");
    history.Add(kept);
    history.SaveAll();
    ASSERT_GT(kept->m_id, 0);
    int32_t keptId = kept->m_id;
    {
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec(
            "CREATE TRIGGER refuse BEFORE INSERT ON EmailData WHEN NEW.sender = 'bad@example.com' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    }
    kept->m_todo = 5;
    kept->MarkDirty();
    CEmailData* good = MakeRecord("good@example.com");
    CEmailData* bad = MakeRecord("bad@example.com");
    CEmailData* late = MakeRecord("late@example.com");
    history.Add(good);
    history.Add(bad);
    history.Add(late);
    history.SaveAll();

    // Nothing of the failed call reached the file, and every record stays dirty.
    {
        SqlProbe probe(env.DbPath());
        EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 1);
        EXPECT_EQ(probe.Number("SELECT todo FROM EmailData"), 0);
    }
    for (CEmailData* record : {kept, good, bad, late}) {
        EXPECT_TRUE(record->m_dirty) << record->m_sender;
    }
    EXPECT_EQ(kept->m_id, keptId);
    EXPECT_EQ(good->m_id, -1);
    EXPECT_EQ(bad->m_id, -1);
    ASSERT_EQ(notices.seen.size(), 1u);
    EXPECT_EQ(notices.seen[0].first, "Database Error");
    EXPECT_EQ(notices.seen[0].second.rfind(
                  "----------- Error creating new record for email: -------------\n", 0),
              0u);
    EXPECT_NE(notices.seen[0].second.find("Sender: bad@example.com\n"), std::string::npos);
    EXPECT_NE(env.MainLogText().find("Error creating new record for email:"), std::string::npos);

    // The next SaveAll tries them all again.
    {
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec("DROP TRIGGER refuse"));
    }
    history.SaveAll();
    for (CEmailData* record : {kept, good, bad, late}) {
        EXPECT_FALSE(record->m_dirty) << record->m_sender;
        EXPECT_GT(record->m_id, 0) << record->m_sender;
    }
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 4);
    EXPECT_EQ(probe.Number("SELECT todo FROM EmailData WHERE id = " + std::to_string(keptId)), 5);

    // An update that fails is reported as such.
    ASSERT_TRUE(probe.Exec(
        "CREATE TRIGGER frozen BEFORE UPDATE ON EmailData BEGIN SELECT RAISE(ABORT, 'no'); END"));
    kept->m_todo = 9;
    kept->MarkDirty();
    history.SaveAll();
    EXPECT_TRUE(kept->m_dirty);
    ASSERT_EQ(notices.seen.size(), 2u);
    EXPECT_NE(notices.seen[1].second.find("Error updating record for email:"), std::string::npos);
    db.SetNoticeCallback(nullptr);
}

TEST_F(HistoryStore, ReadOnlyFileKeepsRecordsDirtyUntilWritable) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind root; the trigger case above covers this";
    }
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    CEmailData* record = MakeRecord("ro@example.com");
    history.Add(record);
    ASSERT_EQ(chmod(env.DbPath().c_str(), 0444), 0);
    history.SaveAll();
    EXPECT_TRUE(record->m_dirty);
    EXPECT_EQ(record->m_id, -1);
    ASSERT_EQ(chmod(env.DbPath().c_str(), 0644), 0);
    history.SaveAll();
    EXPECT_FALSE(record->m_dirty);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 1);
}

TEST_F(HistoryStore, RecordWhoseRowVanishedIsStoredOnceUnderItsNewId) {
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    CEmailData* record = MakeRecord("gone@example.com");
    history.Add(record);
    history.SaveAll();
    int32_t firstId = record->m_id;
    {
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec("DELETE FROM EmailData"));
    }
    record->m_todo = 1;
    record->MarkDirty();
    history.SaveAll();
    EXPECT_NE(record->m_id, firstId);
    record->m_todo = 2;
    record->MarkDirty();
    history.SaveAll();
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 1);
    EXPECT_EQ(probe.Number("SELECT todo FROM EmailData"), 2);
}

TEST_F(HistoryStore, CleanupRemovesOldRecordsAndKeepsTheCutoffDay) {
    const int cutoff = 19700;
    const uint32_t midnight = static_cast<uint32_t>(cutoff) * 86400u;
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    CEmailData* oldStored = MakeRecord("old-stored@example.com", midnight - 86400);
    CEmailData* atMidnight = MakeRecord("midnight@example.com", midnight);
    CEmailData* justBefore = MakeRecord("before@example.com", midnight - 1);
    CEmailData* recent = MakeRecord("recent@example.com", midnight + 5000);
    for (CEmailData* record : {oldStored, atMidnight, justBefore, recent}) {
        history.Add(record);
    }
    history.SaveAll();
    // Added after the save: never stored.
    history.Add(MakeRecord("old-new@example.com", 5));
    uint64_t before = history.GetChangeCount();

    history.CleanupHistory(cutoff);
    ASSERT_EQ(history.GetCount(), 2);
    EXPECT_EQ(history.GetAt(0), atMidnight);
    EXPECT_EQ(history.GetAt(1), recent);
    EXPECT_GT(history.GetChangeCount(), before);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Column("SELECT sender FROM EmailData ORDER BY id"),
              (std::vector<std::string>{"midnight@example.com", "recent@example.com"}));
    std::string log = env.MainLogText();
    EXPECT_NE(log.find("CEmailHistory.cpp."), std::string::npos);
    EXPECT_NE(log.find("CleanupHistory(19700) test: 19700 "), std::string::npos);
    EXPECT_NE(log.find("CleanupHistory(19700) test: 19699 "), std::string::npos);
    EXPECT_NE(log.find("CleanupHistory(19700) test: 0 "), std::string::npos);
}

TEST_F(HistoryStore, CleanupOfUnsavedRecordsNeverTouchesTheDatabase) {
    CEmailHistory history(db);
    history.Add(MakeRecord("a@example.com", 10));
    history.Add(MakeRecord("b@example.com", 20));
    history.CleanupHistory(100);
    EXPECT_EQ(history.GetCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(env.DbPath()));
    EXPECT_EQ(env.MainLogText().find("Open failed"), std::string::npos);
}

TEST_F(HistoryStore, DeleteFromDatabaseChecksItsRecord) {
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 0);
    history.Add(MakeRecord("a@example.com"));
    EXPECT_EQ(history.DeleteFromDatabase(-1), -1);
    EXPECT_EQ(history.DeleteFromDatabase(1), -1);
    EXPECT_EQ(history.DeleteFromDatabase(0), -1);  // never stored
    history.SaveAll();
    EXPECT_EQ(history.DeleteFromDatabase(0), 1);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 0);
    // Still in memory: only cleanup removes records.
    EXPECT_EQ(history.GetCount(), 1);
}

TEST_F(HistoryStore, ForeignFileIsMovedAsideNotOverwritten) {
    std::string junk = "\x00\x01\x00\x00Standard Jet DB\x00";
    junk.append(8192, '\x5a');
    TempHome::WriteFile(env.DbPath(), junk);
    TempHome::WriteFile(env.DbPath() + "-journal", "not a journal either");
    CEmailHistory history(db);
    EXPECT_EQ(history.LoadAll(), 0);

    std::vector<std::string> moved;
    for (const auto& entry : std::filesystem::directory_iterator(env.Home().Path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("InboxWarden.mdb.bad-", 0) == 0) {
            moved.push_back(name);
        }
    }
    std::sort(moved.begin(), moved.end());
    ASSERT_EQ(moved.size(), 2u);
    EXPECT_EQ(TempHome::ReadFile(env.Home().File(moved[0])), junk);
    EXPECT_EQ(moved[1], moved[0] + "-journal");
    EXPECT_FALSE(std::filesystem::exists(env.DbPath() + "-journal"));
    std::string log = env.MainLogText();
    EXPECT_NE(log.find("Moved the unusable database " + env.DbPath()), std::string::npos);
    EXPECT_NE(log.find("Open failed, calling CreateDatabase()"), std::string::npos);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM EmailData"), 0);
}

TEST_F(HistoryStore, CorruptDatabaseIsMovedAside) {
    {
        CEmailHistory history(db);
        ASSERT_EQ(history.LoadAll(), 0);
        for (int i = 0; i < 300; ++i) {
            history.Add(MakeRecord("sender" + std::to_string(i) + "@example.com", 1700000000,
                                   std::string(90, 'x')));
        }
        history.SaveAll();
    }
    // Spoil the pages after the first one, keeping the header valid.
    std::string content = TempHome::ReadFile(env.DbPath());
    ASSERT_GT(content.size(), 16384u);
    for (size_t i = 4096; i < content.size(); i += 7) {
        content[i] = static_cast<char>(0xA5);
    }
    TempHome::WriteFile(env.DbPath(), content);

    auto movedAside = [&] {
        int found = 0;
        for (const auto& entry : std::filesystem::directory_iterator(env.Home().Path())) {
            if (entry.path().filename().string().rfind("InboxWarden.mdb.bad-", 0) == 0 &&
                TempHome::ReadFile(entry.path().string()) == content) {
                std::filesystem::remove(entry.path());
                ++found;
            }
        }
        return found;
    };

    // Found while reading: the load fails, and the next open checks the file.
    {
        CEmailHistory history(db);
        EXPECT_EQ(history.LoadAll(), -1);
        EXPECT_EQ(movedAside(), 0);
        CEmailHistory again(db);
        EXPECT_EQ(again.LoadAll(), 0);
        EXPECT_EQ(movedAside(), 1);
    }
    // A new run checks the file on its first open.
    TempHome::WriteFile(env.DbPath(), content);
    CInboxWardenDb fresh;
    CEmailHistory history(fresh);
    EXPECT_EQ(history.LoadAll(), 0);
    EXPECT_EQ(movedAside(), 1);
}

TEST_F(HistoryStore, UnopenableFileIsLeftAlone) {
    // A folder where the file should be cannot be opened, nor replaced.
    ASSERT_TRUE(std::filesystem::create_directory(env.DbPath()));
    CEmailHistory history(db);
    EXPECT_EQ(history.LoadAll(), -1);
    history.Add(MakeRecord("a@example.com"));
    history.SaveAll();
    EXPECT_TRUE(history.GetAt(0)->m_dirty);
    EXPECT_TRUE(std::filesystem::is_directory(env.DbPath()));
    EXPECT_EQ(history.DeleteFromDatabase(0), -1);
}

TEST_F(HistoryStore, NestedScopeSharesTheOpenDatabase) {
    CDBOpenScope outer(db);
    ASSERT_TRUE(outer.isOpen);
    {
        CDBOpenScope inner(db);
        EXPECT_TRUE(inner.isOpen);
    }
    EXPECT_TRUE(db.IsOpen());
    EXPECT_NE(env.MainLogText().find("CDBOpenScope ctor called and DB is already open!"),
              std::string::npos);
}

TEST_F(HistoryStore, SnapshotAndModifyFollowTheLiveList) {
    CEmailHistory history(db);
    CEmailData* record = MakeRecord("a@example.com");
    history.Add(record);
    uint64_t count = 0;
    auto snapshot = history.Snapshot(false, &count);
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot[0].key, record);
    EXPECT_EQ(snapshot[0].record.m_sender, "a@example.com");
    EXPECT_EQ(snapshot[0].record.m_text, "");
    EXPECT_EQ(history.Snapshot(true)[0].record.m_text, "body text");
    EXPECT_EQ(count, history.GetChangeCount());
    EXPECT_TRUE(history.Modify(snapshot[0].key, [](CEmailData& live) {
        live.m_todo = 4;
        live.MarkDirty();
    }));
    EXPECT_EQ(record->m_todo, 4u);
    EXPECT_GT(history.GetChangeCount(), count);
    history.CleanupHistory(1 << 30);
    EXPECT_FALSE(history.Modify(snapshot[0].key, [](CEmailData&) {}));
    EXPECT_EQ(history.IndexOf(snapshot[0].key), -1);
}

}  // namespace

// A foreign file may hold texts longer than this program writes: each column
// is cut at its own size when the history is read.
TEST_F(HistoryStore, OverlongTextsOfAForeignFileAreCutPerColumn) {
    {
        CEmailHistory history(db);
        ASSERT_EQ(history.LoadAll(), 0);
        history.Add(MakeRecord("a@example.com"));
        history.SaveAll();
    }
    const std::string longText(CInboxWardenDb::kMemoLimit + 500, 'x');
    {
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec("UPDATE EmailData SET account = '" + longText + "', sender = '" +
                               longText + "', subject = '" + longText + "', headerTimestamp = '" +
                               longText + "', reasonDetails = '" + longText +
                               "', emailFilename = '" + longText + "'"));
    }
    CEmailHistory history(db);
    ASSERT_EQ(history.LoadAll(), 1);
    const CEmailData* record = history.GetAt(0);
    const struct {
        const char* column;
        const std::string& text;
    } columns[] = {{"account", record->m_account},
                   {"sender", record->m_sender},
                   {"subject", record->m_subject},
                   {"headerTimestamp", record->m_headerTimestamp},
                   {"reasonDetails", record->m_reasonDetails},
                   {"emailFilename", record->m_emailFilename}};
    for (const auto& c : columns) {
        const CInboxWardenDb::ColumnDef* def = CInboxWardenDb::FindColumn("EmailData", c.column);
        ASSERT_NE(def, nullptr) << c.column;
        size_t limit = def->kind == CInboxWardenDb::CK_Text ? static_cast<size_t>(def->size)
                                                            : CInboxWardenDb::kMemoLimit;
        EXPECT_EQ(c.text.size(), limit) << c.column;
    }
}
