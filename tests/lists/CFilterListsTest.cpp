#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "testlib/DbTestEnv.h"
#include "testlib/SqlProbe.h"

namespace {

std::vector<std::string> Words(CFilterLists& lists, int id) {
    std::vector<std::string> words;
    for (const CFilterList::Entry& entry : lists.GetEntries(id)) {
        words.push_back(entry.words);
    }
    return words;
}

class FilterLists : public ::testing::Test {
protected:
    DbTestEnv env;
    CInboxWardenDb db;
};

TEST(FilterListsMatch, WholeWordsIgnoreCaseAndOnlyTheFirstOccurrenceCounts) {
    EXPECT_FALSE(CFilterLists::MatchWords("pillow.com", "pill", true));
    EXPECT_TRUE(CFilterLists::MatchWords("buy-pill.com", "pill", true));
    EXPECT_TRUE(CFilterLists::MatchWords("Cheap PILL 4you", "pill", true));
    EXPECT_TRUE(CFilterLists::MatchWords("pill4you", "pill", true));  // digits are boundaries
    EXPECT_FALSE(CFilterLists::MatchWords("pillow", "pillo", true));
    EXPECT_TRUE(CFilterLists::MatchWords("Your order #123", "order", true));
    EXPECT_FALSE(CFilterLists::MatchWords("Reorder now", "order", true));
    EXPECT_FALSE(CFilterLists::MatchWords("orders shipped", "order", true));
    // The first occurrence fails, so the later whole word is not looked at.
    EXPECT_FALSE(CFilterLists::MatchWords("pillow pill", "pill", true));
    // Without the whole-word rule any occurrence fits.
    EXPECT_TRUE(CFilterLists::MatchWords("Reorder now", "ORDER", false));
    EXPECT_FALSE(CFilterLists::MatchWords("Reorder now", "", false));
    EXPECT_FALSE(CFilterLists::MatchWords("", "a", true));
    // Bytes above 127 are neither letters nor lowered.
    EXPECT_TRUE(CFilterLists::MatchWords("caf\xe9pill", "pill", true));
}

TEST_F(FilterLists, FindWordMatchesDomainsAndReportsTheEntry) {
    CFilterLists lists(db);
    lists.AddWord("Example.COM", FL_Friends);
    lists.AddWord("pill", FL_Undesirables);
    std::string matched;
    EXPECT_TRUE(lists.FindWord(FL_Friends, "John Smith <john@example.com>", matched, true));
    EXPECT_EQ(matched, "Example.COM");
    EXPECT_FALSE(lists.FindWord(FL_Undesirables, "sales@pillow.com", matched, true));
    EXPECT_TRUE(lists.FindWord(FL_Undesirables, "sales@buy-pill.com", matched, true));
    EXPECT_EQ(matched, "pill");
    // Match mode false: exact, case-sensitive equality.
    EXPECT_EQ(lists.Find(FL_Undesirables, "pill", false), 0);
    EXPECT_EQ(lists.Find(FL_Undesirables, "PILL", false), -1);
    EXPECT_EQ(lists.Find(FL_Undesirables, "buy-pill", false), -1);
    // Ids outside the table find nothing and change nothing.
    EXPECT_EQ(lists.Find(5, "pill", true), -1);
    EXPECT_FALSE(lists.FindWord(-1, "pill", matched, true));
    lists.AddWord("x", 7);
    EXPECT_EQ(lists.GetCount(7), 0);
    EXPECT_FALSE(lists.GetEntry(FL_Friends, 1).has_value());
}

TEST_F(FilterLists, EntriesKeepByteOrderInMemoryAndAfterReload) {
    {
        CFilterLists lists(db);
        lists.AddWord("Zeta", FL_BadSubjects);
        lists.AddWord("alpha", FL_BadSubjects);
        lists.AddWord("Beta", FL_BadSubjects);
        EXPECT_EQ(Words(lists, FL_BadSubjects),
                  (std::vector<std::string>{"Beta", "Zeta", "alpha"}));
    }
    {
        // Rows written in another order still load in byte order.
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec("INSERT INTO BadSubjects (words, flags) VALUES ('Alpha', 0)"));
        ASSERT_TRUE(probe.Exec("INSERT INTO BadSubjects (words, flags) VALUES ('', 0)"));
        ASSERT_TRUE(probe.Exec("INSERT INTO BadSubjects (words, flags) VALUES (NULL, 0)"));
    }
    CFilterLists restarted(db);
    EXPECT_EQ(Words(restarted, FL_BadSubjects),
              (std::vector<std::string>{"Alpha", "Beta", "Zeta", "alpha"}));
    // Empty rows never become entries that would fit every text.
    EXPECT_EQ(restarted.Find(FL_BadSubjects, "anything at all", true), -1);
    EXPECT_EQ(restarted.GetEntry(FL_BadSubjects, 1)->flags, 1);
    EXPECT_EQ(restarted.GetEntry(FL_BadSubjects, 0)->flags, 0);
}

TEST_F(FilterLists, AddingIsCaseSensitiveAndNeverAddsDuplicatesOrEmptyWords) {
    CFilterLists lists(db);
    lists.AddWord("abc", FL_GoodSubjects);
    lists.AddWord("abc", FL_GoodSubjects);
    lists.AddWord("", FL_GoodSubjects);
    EXPECT_EQ(lists.GetCount(FL_GoodSubjects), 1);
    lists.AddWord("ABC", FL_GoodSubjects);
    EXPECT_EQ(Words(lists, FL_GoodSubjects), (std::vector<std::string>{"ABC", "abc"}));
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Column("SELECT words FROM GoodSubjects ORDER BY id"),
              (std::vector<std::string>{"abc", "ABC"}));
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM GoodSubjects WHERE flags = 1"), 2);
    // Each list has its own table.
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM Friends"), 0);
}

TEST_F(FilterLists, WordsWithQuotesAndLongWordsAreDeletedFromTheTable) {
    const std::string quoted = "say \"hi\" now";
    const std::string hostile = "x'); DROP TABLE Friends; --";
    const std::string longWord(130, 'w');
    {
        CFilterLists lists(db);
        lists.AddWord(quoted, FL_Friends);
        lists.AddWord(hostile, FL_Friends);
        lists.AddWord(longWord, FL_Friends);
        EXPECT_EQ(lists.GetEntry(FL_Friends, 1)->words, longWord);  // whole in memory
        SqlProbe probe(env.DbPath());
        EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM Friends WHERE words = '" +
                               std::string(100, 'w') + "'"),
                  1);
        lists.DeleteWord(quoted, FL_Friends);
        lists.DeleteWord(longWord, FL_Friends);
        EXPECT_EQ(Words(lists, FL_Friends), (std::vector<std::string>{hostile}));
        EXPECT_EQ(probe.Column("SELECT words FROM Friends"), (std::vector<std::string>{hostile}));
        lists.DeleteWord(hostile, FL_Friends);
        lists.DeleteWord("not there", FL_Friends);
    }
    CFilterLists restarted(db);
    EXPECT_EQ(restarted.GetCount(FL_Friends), 0);
    SqlProbe probe(env.DbPath());
    EXPECT_EQ(probe.Number("SELECT COUNT(*) FROM Friends"), 0);
}

TEST_F(FilterLists, ReplacedWordsSurviveARestart) {
    {
        CFilterLists lists(db);
        lists.AddWord("mike@example.com", FL_Friends);
        lists.AddWord("zed@example.com", FL_Friends);
        EXPECT_EQ(lists.ReplaceWord(FL_Friends, "mike@example.com", "anna@example.com"), 1);
        EXPECT_FALSE(lists.ReplaceWord(FL_Friends, "nobody", "x").has_value());
        EXPECT_FALSE(lists.ReplaceWord(FL_Friends, "zed@example.com", "").has_value());
        EXPECT_EQ(Words(lists, FL_Friends),
                  (std::vector<std::string>{"anna@example.com", "zed@example.com"}));
        // Replacing with a word already listed leaves that one entry.
        EXPECT_TRUE(lists.ReplaceWord(FL_Friends, "zed@example.com", "anna@example.com"));
        EXPECT_EQ(Words(lists, FL_Friends), (std::vector<std::string>{"anna@example.com"}));
    }
    {
        SqlProbe probe(env.DbPath());
        ASSERT_TRUE(probe.Exec("INSERT INTO Undesirables (words, flags) VALUES ('spam', 6)"));
    }
    CFilterLists restarted(db);
    EXPECT_EQ(Words(restarted, FL_Friends), (std::vector<std::string>{"anna@example.com"}));
    // The edit sets bit 0 and carries the other flags.
    EXPECT_EQ(restarted.ReplaceWord(FL_Undesirables, "spam", "spammer"), 7);
    CFilterLists again(db);
    ASSERT_EQ(again.GetCount(FL_Undesirables), 1);
    EXPECT_EQ(again.GetEntry(FL_Undesirables, 0)->words, "spammer");
    EXPECT_EQ(again.GetEntry(FL_Undesirables, 0)->flags, 7);
}

TEST_F(FilterLists, UnavailableDatabaseKeepsChangesInMemory) {
    ASSERT_TRUE(std::filesystem::create_directory(env.DbPath()));
    CFilterLists lists(db);
    EXPECT_EQ(lists.GetCount(FL_AutoSenders), 0);
    lists.AddWord("postmaster", FL_AutoSenders);
    lists.AddWord("mailer-daemon", FL_AutoSenders);
    lists.DeleteWord("postmaster", FL_AutoSenders);
    EXPECT_EQ(Words(lists, FL_AutoSenders), (std::vector<std::string>{"mailer-daemon"}));
}

TEST(FilterListsTable, DescriptorsInOrder) {
    const char* names[] = {"Friends", "Undesirables", "Good Subjects", "Bad Subjects",
                           "Auto Senders"};
    const char* tables[] = {"Friends", "Undesirables", "GoodSubjects", "BadSubjects",
                            "AutoSenders"};
    for (int id = 0; id < FL_Count; ++id) {
        const FilterListInfo* info = CFilterLists::GetInfo(id);
        ASSERT_NE(info, nullptr);
        EXPECT_STREQ(info->name, names[id]);
        EXPECT_STREQ(info->table, tables[id]);
        EXPECT_EQ(info->descriptionId, 32801 + id);
        EXPECT_NE(info->description, nullptr);
    }
    EXPECT_EQ(CFilterLists::GetInfo(FL_Count), nullptr);
    EXPECT_EQ(CFilterLists::GetInfo(-1), nullptr);
}

}  // namespace
