#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "TempHome.h"
#include "support/CLogFile.h"

namespace {
struct LogTest : ::testing::Test {
    TempHome home;
    std::string LogPath(const std::string& name) {
        return home.File("InboxWarden" + name + ".log");
    }
};
}  // namespace

TEST_F(LogTest, HeaderContinuationAndTimeInsertion) {
    CLogFile log(home.Path(), "InboxWarden");
    ASSERT_TRUE(log.Open("Inet", CLogFile::LF_Enabled, 10));
    log.Write("\n|: ScanServers starts.");
    log.Write(".\nConnecting to %s...", "pop.example.com");
    log.Write(". done");
    log.Write("a|b|c %d", 5);
    log.Write(".");
    log.Write("100%% sure");
    std::string text = TempHome::ReadFile(LogPath("Inet"));
    std::regex expected(
        "\n-------- InboxWarden 1\\.0 Build [0-9]+ -------- "
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"
        "\n [0-9]{1,2}:[0-9]{2}:[0-9]{2}: ScanServers starts\\.\n"
        "\nConnecting to pop\\.example\\.com\\.\\.\\. done"
        "a [0-9]{1,2}:[0-9]{2}:[0-9]{2}b\\|c 5\n"
        "100% sure\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogTest, WriteAtPrefixesBaseNameAndLine) {
    CLogFile log(home.Path(), "InboxWarden");
    log.Open("", CLogFile::LF_Enabled, 10);
    log.WriteAt("/some/dir/Engine.cpp", 42, "|: m_busy timed out.");
    log.WriteAt("C:\\src\\100%.cpp", 7, "x %d", 1);
    std::string text = TempHome::ReadFile(LogPath(""));
    EXPECT_NE(text.find("\nEngine.cpp.42:  "), std::string::npos) << text;
    EXPECT_NE(text.find(": m_busy timed out.\n"), std::string::npos);
    EXPECT_NE(text.find("100%.cpp.7: x 1\n"), std::string::npos) << text;
    log.SetEnabled(false);
    log.WriteAt("a.cpp", 1, "hidden");
    EXPECT_EQ(TempHome::ReadFile(LogPath("")).find("hidden"), std::string::npos);
}

TEST_F(LogTest, DisabledLogCreatesNoFile) {
    CLogFile log(home.Path(), "InboxWarden");
    EXPECT_TRUE(log.Open("Inet", 0, 10));
    log.Write("nothing");
    EXPECT_FALSE(std::filesystem::exists(LogPath("Inet")));
    // Not yet opened: enabling alone gives it no path to write to.
    log.SetEnabled(true);
    log.Write("still nothing");
    EXPECT_FALSE(std::filesystem::exists(LogPath("Inet")));
}

TEST_F(LogTest, OpenTwiceHeadsOnceAndTruncateStartsAfresh) {
    {
        CLogFile log(home.Path(), "InboxWarden");
        log.Open("Inet", CLogFile::LF_Enabled, 10);
        log.Open("Inet", CLogFile::LF_Enabled, 10);
        log.Write("line");
    }
    std::string text = TempHome::ReadFile(LogPath("Inet"));
    EXPECT_EQ(text.find("--------", text.find("--------", 0) + 40), std::string::npos) << text;
    {
        CLogFile log(home.Path(), "InboxWarden");
        log.Open("Inet", CLogFile::LF_Enabled, 10);
        log.Write("appended");
    }
    EXPECT_NE(TempHome::ReadFile(LogPath("Inet")).find("line\n"), std::string::npos);
    {
        CLogFile log(home.Path(), "InboxWarden");
        log.Open("SocketTraffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
        log.Write("first run");
    }
    {
        CLogFile log(home.Path(), "InboxWarden");
        log.Open("SocketTraffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
        log.Write("second run");
    }
    std::string traffic = TempHome::ReadFile(LogPath("SocketTraffic"));
    EXPECT_EQ(traffic.find("first run"), std::string::npos);
    EXPECT_NE(traffic.find("second run"), std::string::npos);
}

TEST_F(LogTest, RotatesAtFirstWritePastLimitReplacingOldFile) {
    std::string path = LogPath("");
    std::string old = home.File("InboxWarden.old");
    TempHome::WriteFile(old, "ancient");
    CLogFile log(home.Path(), "InboxWarden");
    log.Open("", CLogFile::LF_Enabled, 10);
    log.Close();
    // Exactly at the limit: no rotation yet.
    ASSERT_EQ(truncate(path.c_str(), 10485760), 0);
    log.Write("at limit");
    EXPECT_EQ(TempHome::ReadFile(old), "ancient");
    EXPECT_GT(std::filesystem::file_size(path), 10485760u);
    log.Write("past limit");
    EXPECT_GT(std::filesystem::file_size(old), 10485760u);
    EXPECT_EQ(TempHome::ReadFile(path), "past limit\n") << "fresh file, no header";
}

TEST_F(LogTest, VeryLongMessageIsWrittenWithoutOverflow) {
    CLogFile log(home.Path(), "InboxWarden");
    log.Open("", CLogFile::LF_Enabled, 10);
    std::string big(3 << 20, 'z');
    log.Write("|%s|%s", big.c_str(), big.c_str());
    auto size = std::filesystem::file_size(LogPath(""));
    EXPECT_GT(size, 1u << 20);
    EXPECT_LT(size, 3u << 20) << "cut at the message limit";
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveWithinAMessage) {
    CLogFile a(home.Path(), "InboxWarden");
    CLogFile b(home.Path(), "InboxWarden");
    a.Open("", CLogFile::LF_Enabled, 10);
    b.Open("", CLogFile::LF_Enabled, 10);
    auto writer = [](CLogFile& log, char c) {
        std::string line(200, c);
        for (int i = 0; i < 300; ++i) {
            log.Write("%s", line.c_str());
        }
    };
    std::thread t1(writer, std::ref(a), 'a');
    std::thread t2(writer, std::ref(b), 'b');
    t1.join();
    t2.join();
    std::string text = TempHome::ReadFile(LogPath(""));
    int lines = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << "every message ends its line";
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.rfind("--------", 0) == 0) {
            continue;  // the two headers
        }
        ASSERT_TRUE(line == std::string(200, 'a') || line == std::string(200, 'b')) << line;
        ++lines;
    }
    EXPECT_EQ(lines, 600);
}
