#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "history/CDataFolderMove.h"
#include "history/CEmailData.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "testlib/DbTestEnv.h"

namespace fs = std::filesystem;

namespace {

class DataFolderMove : public ::testing::Test {
protected:
    DbTestEnv env;
    CInboxWardenDb db;
    std::string source = env.Home().Path();
    std::string target = env.Home().File("moved/deeper");

    void MakeData() {
        CFilterLists lists(db);
        lists.AddWord("friend@x.org", FL_Friends);
        fs::create_directories(source + "Quarantine/Home");
        TempHome::WriteFile(source + "Quarantine/Home/1.eml", "Subject: kept\r\n\r\nbody\r\n");
        TempHome::WriteFile(source + "ExportedFriends.lst", "friend@x.org\n");
        TempHome::WriteFile(source + "InboxWarden.key", "secret");
    }
};

TEST_F(DataFolderMove, CopiesDatabaseListsKeyAndQuarantineReadableFromTheTarget) {
    MakeData();
    // An older copy in the target is replaced.
    fs::create_directories(target + "/Quarantine/Home");
    TempHome::WriteFile(target + "/Quarantine/Home/1.eml", "stale");
    // One record of a quarantined message, one of a message left on the server.
    CEmailHistory history(db);
    const std::string quarantined = source + "/Quarantine/Home/1.eml";
    for (const std::string& file : {quarantined, std::string()}) {
        history.Add(new CEmailData("Home", 1700000000, "s@x.org", "kept", 42, "body", "", 1,
                                   ES_Quarantined, 7, "", file, 3));
    }
    history.SaveAll();
    std::string report;
    std::string log = env.Home().File("copyOutput.txt");
    ASSERT_TRUE(CDataFolderMove::Copy(source, target, report, log)) << report;
    CDataFolderMove::RepointHistory(history, source, target);
    EXPECT_EQ(history.GetAt(0)->m_emailFilename, target + "/Quarantine/Home/1.eml");
    EXPECT_EQ(history.GetAt(1)->m_emailFilename, "");
    EXPECT_EQ(TempHome::ReadFile(target + "/Quarantine/Home/1.eml"),
              "Subject: kept\r\n\r\nbody\r\n");
    EXPECT_EQ(TempHome::ReadFile(target + "/ExportedFriends.lst"), "friend@x.org\n");
    EXPECT_EQ(TempHome::ReadFile(target + "/InboxWarden.key"), "secret");
    EXPECT_NE(TempHome::ReadFile(log).find("data folder copy succeeded"), std::string::npos);

    // The records are read from the new folder.
    env.Env().GetSettings().WriteString("DataFolder", target, "General");
    env.Env().ReloadDataFolder();
    fs::remove(source + "InboxWarden.mdb");
    CFilterLists fresh(db);
    ASSERT_EQ(fresh.GetCount(FL_Friends), 1);
    EXPECT_EQ(fresh.GetEntries(FL_Friends)[0].words, "friend@x.org");
    // ... and name the copied quarantine file, so the old folder can go.
    CEmailHistory moved(db);
    ASSERT_EQ(moved.LoadAll(), 2);
    EXPECT_EQ(moved.GetAt(0)->m_emailFilename, target + "/Quarantine/Home/1.eml");
    EXPECT_EQ(moved.GetAt(1)->m_emailFilename, "");
}

TEST(DataFolderPaths, OnlyQuarantineFilesUnderTheSourceAreRepointed) {
    struct Case {
        const char* path;
        const char* source;
        const char* repointed;  // nullptr: left alone
    } cases[] = {
        {"/d/old/Quarantine/Home/1.eml", "/d/old", "/n/Quarantine/Home/1.eml"},
        {"/d/old//Quarantine/Home/1.eml", "/d/old/", "/n/Quarantine/Home/1.eml"},
        {"/d/old/Quarantine/Home/1.eml", "/d/old//", "/n/Quarantine/Home/1.eml"},
        {"/d/older/Quarantine/Home/1.eml", "/d/old", nullptr},
        {"/d/old/Other/1.eml", "/d/old", nullptr},
        {"/d/old/Quarantined/1.eml", "/d/old", nullptr},
        {"/elsewhere/Quarantine/1.eml", "/d/old", nullptr},
        {"", "/d/old", nullptr},
        {"/Quarantine/a.eml", "/", "/n/Quarantine/a.eml"},
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        EXPECT_EQ(CDataFolderMove::RepointPath(path, c.source, "/n/"), c.repointed != nullptr)
            << c.path;
        EXPECT_EQ(path, c.repointed ? c.repointed : c.path) << c.path;
    }
}

TEST_F(DataFolderMove, FailsWithoutTheDatabaseOrAWritableTarget) {
    struct Case {
        const char* name;
        bool withData;
        bool targetIsFile;
    };
    const Case cases[] = {
        {"no database in the source", false, false},
        {"a file where the target folder should be", true, true},
    };
    for (const Case& c : cases) {
        if (c.withData) {
            MakeData();
        }
        std::string to = env.Home().File(std::string("t-") + (c.withData ? "1" : "0"));
        if (c.targetIsFile) {
            TempHome::WriteFile(to, "in the way");
        }
        std::string report;
        EXPECT_FALSE(CDataFolderMove::Copy(source, to, report)) << c.name;
        EXPECT_NE(report.find("FAILED"), std::string::npos) << c.name;
        EXPECT_FALSE(fs::exists(to + "/InboxWarden.mdb")) << c.name;
    }
}

TEST_F(DataFolderMove, TheSameFolderCopiesNothingAndSucceeds) {
    MakeData();
    std::string report;
    EXPECT_TRUE(CDataFolderMove::Copy(source, source.substr(0, source.size() - 1), report));
    EXPECT_NE(report.find("same folder"), std::string::npos);
    EXPECT_TRUE(fs::exists(source + "InboxWarden.mdb"));
}

}  // namespace
