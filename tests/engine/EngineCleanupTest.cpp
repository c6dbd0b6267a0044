#include <sys/time.h>

#include <filesystem>

#include "EngineFixture.h"
#include "history/CEmailHistory.h"

namespace fs = std::filesystem;

namespace {

class EngineCleanupTest : public EngineFixture {
protected:
    EngineCleanupTest() {
        Settings().WriteString("AccountsList", "Home", "General");
        engine.Initialize(&owner);
        today = CInboxWardenEngine::Today();
    }

    CEmailData* Received(int daysAgo, const std::string& subject) {
        auto when = static_cast<uint32_t>((today - daysAgo) * 86400 + 3600);
        auto* email =
            new CEmailData("Home", when, "a@b.c", subject, 1, "", "", 1, ES_Deleted, 0, "", "", 0);
        engine.GetHistory().Add(email);
        return email;
    }
    std::string QuarantineFile(const std::string& name, int daysAgo) {
        std::string folder = home.Path() + "Quarantine/Home";
        fs::create_directories(folder);
        std::string path = folder + "/" + name;
        TempHome::WriteFile(path, "x");
        struct timeval times[2];
        times[0].tv_sec = times[1].tv_sec = (today - daysAgo) * 86400 + 3600;
        times[0].tv_usec = times[1].tv_usec = 0;
        utimes(path.c_str(), times);
        return path;
    }
    void VisitBothLists() {
        engine.SetDeletedVisitDay(today);
        engine.SetQuarantinedVisitDay(today);
    }
    std::vector<std::string> Subjects() {
        std::vector<std::string> out;
        for (int i = 0; i < engine.GetHistory().GetCount(); ++i) {
            out.push_back(engine.GetHistory().GetAt(i)->m_subject);
        }
        return out;
    }

    CInboxWardenEngine engine;
    int today = 0;
};

}  // namespace

TEST_F(EngineCleanupTest, NoDaysToKeepMeansNoAutomaticCleanup) {
    Received(5000, "ancient");
    VisitBothLists();
    engine.SeeAboutCleaningUpHistory();
    EXPECT_EQ(Subjects(), std::vector<std::string>{"ancient"});
    EXPECT_NE(MainLogText().find(": Nothing to do because "), std::string::npos);
    EXPECT_EQ(Settings().GetInt("LastCleanup", "General", -7), -7);
}

TEST_F(EngineCleanupTest, ThirtyDaysOnceADayAfterBothListsWereSeen) {
    Settings().WriteInt("DaysToKeepInfo", 30, "General");
    Received(31, "old");
    Received(30, "edge");
    Received(1, "recent");
    engine.SetQuarantinedVisitDay(today);
    engine.SeeAboutCleaningUpHistory();
    EXPECT_EQ(Subjects().size(), 3u) << "the Deleted list was not seen today";
    EXPECT_NE(MainLogText().find("Returning because visited quarantine on day"), std::string::npos);

    engine.SetDeletedVisitDay(today);
    engine.SeeAboutCleaningUpHistory();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"edge", "recent"}));
    EXPECT_EQ(Settings().GetInt("LastCleanup", "General", 0), today);
    EXPECT_TRUE(owner.HasStatus("History has been cleaned..."));
    EXPECT_GE(owner.HistoryChanges(), 1);

    Received(40, "late arrival");
    engine.SeeAboutCleaningUpHistory();
    EXPECT_EQ(Subjects().size(), 3u);
    EXPECT_NE(MainLogText().find(": returning because already checked today"), std::string::npos);
}

TEST_F(EngineCleanupTest, ZeroDaysKeepsTodayAndRemovesOlderFiles) {
    Settings().WriteInt("DaysToKeepInfo", 0, "General");
    Received(1, "yesterday");
    Received(0, "today");
    std::string oldFile = QuarantineFile("old_0.eml", 1);
    std::string newFile = QuarantineFile("new_0.eml", 0);
    fs::create_directories(home.Path() + "Quarantine/Home/nested");
    VisitBothLists();
    engine.SeeAboutCleaningUpHistory();
    EXPECT_EQ(Subjects(), std::vector<std::string>{"today"});
    EXPECT_FALSE(fs::exists(oldFile));
    EXPECT_TRUE(fs::exists(newFile));
    EXPECT_TRUE(fs::is_directory(home.Path() + "Quarantine/Home/nested"));
}

TEST_F(EngineCleanupTest, ByHandRemovesEverythingBeforeToday) {
    Received(2, "a");
    Received(0, "b");
    std::string todays = QuarantineFile("today_0.eml", 0);
    std::string older = QuarantineFile("older_0.eml", 3);
    engine.CleanupHistory(today);
    EXPECT_EQ(Subjects(), std::vector<std::string>{"b"});
    EXPECT_TRUE(fs::exists(todays));
    EXPECT_FALSE(fs::exists(older));
    EXPECT_EQ(Settings().GetInt("LastCleanup", "General", 0), today);
}

TEST_F(EngineCleanupTest, MissingQuarantineFolderIsNoError) {
    Settings().WriteString("AccountsList", "Home,,Nowhere", "General");
    engine.CleanupHistory(today);
    EXPECT_EQ(Settings().GetInt("LastCleanup", "General", 0), today);
}
