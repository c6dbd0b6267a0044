#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "TempHome.h"
#include "engine/CChallengeKey.h"
#include "support/CLogFile.h"

namespace fs = std::filesystem;

namespace {

class ChallengeKeyTest : public ::testing::Test {
protected:
    std::string KeyPath() const { return home.Path() + CChallengeKey::kFileName; }
    std::string Folder() const {
        std::string folder = home.Path();
        if (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        return folder;
    }
    static mode_t Mode(const std::string& path) {
        struct stat info {};
        return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
    }

    TempHome home;
};

}  // namespace

TEST_F(ChallengeKeyTest, MadeOnceReadableByTheUserOnlyAndKeptAcrossStarts) {
    CChallengeKey first;
    ASSERT_EQ(first.Load(Folder(), nullptr), CChallengeKey::LR_Created);
    EXPECT_TRUE(first.IsLoaded());
    EXPECT_EQ(fs::file_size(KeyPath()), CChallengeKey::kKeySize);
    EXPECT_EQ(Mode(KeyPath()), 0600u);
    const std::string tag = first.TagFor("bob@example.org");
    EXPECT_TRUE(std::regex_match(tag, std::regex(R"(\[InboxWardenChallenge:[0-9a-f]{1,8}\])")))
        << tag;

    CChallengeKey again;
    ASSERT_EQ(again.Load(Folder(), nullptr), CChallengeKey::LR_Loaded);
    EXPECT_EQ(again.TagFor("Bob <BOB@example.org>"), tag);

    // Another installation (another secret) gives other tags.
    TempHome other;
    std::string otherFolder = other.Path();
    otherFolder.pop_back();
    CChallengeKey foreign;
    ASSERT_EQ(foreign.Load(otherFolder, nullptr), CChallengeKey::LR_Created);
    EXPECT_NE(foreign.TagFor("bob@example.org"), tag);

    // No left-over temporary files.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(home.Path())) {
        files += entry.path().filename().string().rfind(CChallengeKey::kFileName, 0) == 0;
    }
    EXPECT_EQ(files, 1u);
}

TEST_F(ChallengeKeyTest, TagsDifferByAddressOnly) {
    CChallengeKey key;
    key.Load(Folder(), nullptr);
    const std::string tag = key.TagFor("ann@a.example");
    for (const char* same : {"ann@a.example", "Ann <ANN@a.example>", " ann@A.EXAMPLE ",
                             "\"Smith, Ann\" <ann@a.example>"}) {
        EXPECT_EQ(key.TagFor(same), tag) << same;
    }
    for (const char* other :
         {"ann@a.example.org", "bnn@a.example", "ann@a.exampl", "", "<>", "Ann Smith"}) {
        EXPECT_NE(key.TagFor(other), tag) << other;
    }
}

TEST_F(ChallengeKeyTest, DamagedOrForeignFilesAreReportedAndReplacedOnlyWhenSafe) {
    CLogFile log(home.Path(), "Key");
    ASSERT_TRUE(log.Open("Test", CLogFile::LF_Enabled, 10));
    auto logText = [&] { return TempHome::ReadFile(home.File("KeyTest.log")); };

    // Short or long: moved aside, a new one made.
    for (std::string content : {std::string("short"), std::string(), std::string(40, 'x')}) {
        SCOPED_TRACE(content.size());
        fs::remove(KeyPath() + ".damaged");
        TempHome::WriteFile(KeyPath(), content);
        CChallengeKey key;
        EXPECT_EQ(key.Load(Folder(), &log), CChallengeKey::LR_Replaced);
        EXPECT_EQ(fs::file_size(KeyPath()), CChallengeKey::kKeySize);
        EXPECT_EQ(TempHome::ReadFile(KeyPath() + ".damaged"), content);
        EXPECT_NE(logText().find("is damaged: " + std::to_string(content.size()) + " bytes"),
                  std::string::npos);
    }

    // Readable by others: made private, kept.
    ASSERT_EQ(chmod(KeyPath().c_str(), 0644), 0);
    std::string before = TempHome::ReadFile(KeyPath());
    CChallengeKey widened;
    EXPECT_EQ(widened.Load(Folder(), &log), CChallengeKey::LR_Loaded);
    EXPECT_EQ(Mode(KeyPath()), 0600u);
    EXPECT_EQ(TempHome::ReadFile(KeyPath()), before);

    // A link or a folder in its place is left alone; the run gets a key of
    // its own, consistent while it lasts.
    fs::remove(KeyPath());
    TempHome::WriteFile(home.File("elsewhere"), std::string(32, 'k'));
    fs::create_symlink(home.File("elsewhere"), KeyPath());
    CChallengeKey linked;
    EXPECT_EQ(linked.Load(Folder(), &log), CChallengeKey::LR_Temporary);
    EXPECT_TRUE(linked.IsLoaded());
    EXPECT_EQ(linked.TagFor("a@b.example"), linked.TagFor("A@B.example"));
    EXPECT_TRUE(fs::is_symlink(KeyPath()));
    EXPECT_NE(logText().find("is not a plain file"), std::string::npos);
    fs::remove(KeyPath());
    fs::create_directory(KeyPath());
    CChallengeKey folder;
    EXPECT_EQ(folder.Load(Folder(), &log), CChallengeKey::LR_Temporary);
    EXPECT_TRUE(fs::is_directory(KeyPath()));

    // A data folder that does not exist.
    CChallengeKey missing;
    EXPECT_EQ(missing.Load(home.Path() + "no/such/folder", &log), CChallengeKey::LR_Temporary);
    EXPECT_NE(logText().find("No usable challenge key in"), std::string::npos);
}

TEST_F(ChallengeKeyTest, ProgramsStartingTogetherShareOneKey) {
    // The window and the command-line scanner may start at the same moment.
    constexpr int kThreads = 6;
    std::vector<std::unique_ptr<CChallengeKey>> keys;
    std::vector<CChallengeKey::LoadResult> results(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        keys.push_back(std::make_unique<CChallengeKey>());
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = keys[i]->Load(Folder(), nullptr); });
    }
    for (auto& t : threads) {
        t.join();
    }
    int created = 0;
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(results[i], CChallengeKey::LR_Temporary);
        EXPECT_NE(results[i], CChallengeKey::LR_Replaced);
        created += results[i] == CChallengeKey::LR_Created;
        EXPECT_EQ(keys[i]->TagFor("x@y.example"), keys[0]->TagFor("x@y.example"));
    }
    EXPECT_EQ(created, 1);
}

TEST(ChallengeKeyForm, WellFormedTags) {
    const struct {
        const char* text;
        bool tag;
    } kCases[] = {
        {"RE: hi [InboxWardenChallenge:1]", true},
        {"[InboxWardenChallenge:deadbeef] after", true},
        {"[InboxWardenChallenge:DEADBEEF]", true},
        {"[InboxWardenChallenge:] [InboxWardenChallenge:ab]", true},
        {"[InboxWardenChallenge:]", false},
        {"[InboxWardenChallenge:123456789]", false},
        {"[InboxWardenChallenge:12g4]", false},
        {"[InboxWardenChallenge:1234", false},
        {"[inboxwardenchallenge:1234]", false},
        {"[InboxWardenChallenge: 1234]", false},
        {"", false},
        {"[InboxWardenChallenge:", false},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(CChallengeKey::HasWellFormedTag(c.text), c.tag) << c.text;
    }
}
