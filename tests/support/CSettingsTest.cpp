#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "TempHome.h"
#include "support/CSettings.h"
#include "support/Scramble.h"

namespace {
struct SettingsTest : ::testing::Test {
    TempHome home;
    std::string path = home.File("InboxWarden.ini");
    CSettings settings{path};
};
}  // namespace

TEST_F(SettingsTest, MissingFileReadsAsEmptyAndFirstWriteCreatesIt) {
    EXPECT_EQ(settings.GetString("SmtpName", "General", "dflt"), "dflt");
    EXPECT_EQ(settings.GetInt("Interval", "General", 15), 15);
    EXPECT_TRUE(settings.GetBool("SendChallenges", "General", true));
    EXPECT_TRUE(settings.GetSectionKeys("General").empty());
    EXPECT_TRUE(settings.WriteString("SmtpName", "mail.example.com", "General"));
    EXPECT_EQ(TempHome::ReadFile(path), "[General]\nSmtpName=mail.example.com\n");
}

TEST_F(SettingsTest, WriteKeepsForeignLinesCommentsAndOrder) {
    const std::string original =
        "; my settings\r\n"
        "[General]\r\n"
        "Zeta=1\r\n"
        "unknown line without equals\r\n"
        "SmtpName=old\r\n"
        "Alpha=2\r\n"
        "\r\n"
        "[Other]\r\n"
        "SmtpName=other section\r\n";
    TempHome::WriteFile(path, original);
    ASSERT_TRUE(settings.WriteString("smtpname", "new", "general"));
    ASSERT_TRUE(settings.WriteString("Added", "x", "General"));
    ASSERT_TRUE(settings.WriteString("Key", "v", "Fresh"));
    EXPECT_EQ(TempHome::ReadFile(path),
              "; my settings\r\n"
              "[General]\r\n"
              "Zeta=1\r\n"
              "unknown line without equals\r\n"
              "SmtpName=new\r\n"
              "Alpha=2\r\n"
              "Added=x\r\n"
              "\r\n"
              "[Other]\r\n"
              "SmtpName=other section\r\n"
              "\n"
              "[Fresh]\n"
              "Key=v\n");
    EXPECT_EQ(settings.GetString("SMTPNAME", "other", ""), "other section");
}

TEST_F(SettingsTest, NamesMatchWithoutCaseAndFirstDuplicateWins) {
    TempHome::WriteFile(path,
                        "[general]\nsmtpName = spaced value \nInterval=5\nInterval=7\n"
                        "[GENERAL]\nInterval=9\n");
    EXPECT_EQ(settings.GetString("SmtpName", "General", ""), "spaced value");
    EXPECT_EQ(settings.GetInt("INTERVAL", "General", 0), 5);
    settings.WriteInt("interval", 6, "General");
    EXPECT_EQ(settings.GetInt("Interval", "General", 0), 6);
    EXPECT_EQ(settings.GetSectionKeys("General"),
              (std::vector<std::string>{"smtpName", "Interval", "Interval"}));
}

TEST_F(SettingsTest, NamesWithBlanksAtTheirEndsFindTheirLines) {
    // "Home, Work" in AccountsList gives the account " Work".
    ASSERT_TRUE(settings.WriteString("emailAddress", "w@x.org", " Work"));
    ASSERT_TRUE(settings.WriteString("emailAddress", "w2@x.org", " Work "));
    ASSERT_TRUE(settings.WriteString(" Port ", "110", "Work"));
    ASSERT_TRUE(settings.WriteString("Port", "995", " Work"));
    EXPECT_EQ(settings.GetString("emailAddress", " Work", ""), "w2@x.org");
    EXPECT_EQ(settings.GetString("emailAddress", "Work", ""), "w2@x.org");
    EXPECT_EQ(settings.GetInt(" Port", "Work", 0), 995);
    EXPECT_EQ(TempHome::ReadFile(path), "[Work]\nemailAddress=w2@x.org\nPort=995\n");
    EXPECT_EQ(settings.GetSectionKeys(" Work"), (std::vector<std::string>{"emailAddress", "Port"}));
    EXPECT_FALSE(settings.WriteString("  ", "x", "Work"));
}

TEST_F(SettingsTest, OnlyExactYesReadsTrue) {
    TempHome::WriteFile(path, "[General]\na=Yes\nb=yes\nc=1\nd=YES\ne=Yes \nf=\n");
    EXPECT_TRUE(settings.GetBool("a", "General", false));
    EXPECT_FALSE(settings.GetBool("b", "General", true));
    EXPECT_FALSE(settings.GetBool("c", "General", true));
    EXPECT_FALSE(settings.GetBool("d", "General", true));
    EXPECT_TRUE(settings.GetBool("e", "General", false)) << "trailing blanks are trimmed";
    EXPECT_FALSE(settings.GetBool("f", "General", true)) << "present but empty is not absent";
    EXPECT_TRUE(settings.GetBool("absent", "General", true));
    settings.WriteBool("g", true, "General");
    settings.WriteBool("h", false, "General");
    EXPECT_TRUE(settings.GetBool("g", "General", false));
    EXPECT_FALSE(settings.GetBool("h", "General", true));
}

TEST_F(SettingsTest, IntegersParseLikeTheProfileFunctions) {
    TempHome::WriteFile(
        path, "[General]\nneg=-1\nminus=-25\ntail=42abc\nword=abc\nempty=\nhuge=99999999999\n");
    EXPECT_EQ(settings.GetInt("neg", "General", 15), 15) << "-1 reads as the default";
    EXPECT_EQ(settings.GetInt("minus", "General", 15), -25);
    EXPECT_EQ(settings.GetInt("tail", "General", 15), 42);
    EXPECT_EQ(settings.GetInt("word", "General", 15), 0);
    EXPECT_EQ(settings.GetInt("empty", "General", 15), 15) << "an empty value is an absent one";
    EXPECT_EQ(settings.GetInt("huge", "General", 15), 2147483647);
    settings.WriteInt("w", -7, "General");
    EXPECT_EQ(settings.GetInt("w", "General", 0), -7);
}

TEST_F(SettingsTest, ScrambledKeysRoundTripAndAreNotPlainInFile) {
    ASSERT_TRUE(settings.WriteString("!PopPassword", "Sesame 0pen!", "acct"));
    EXPECT_EQ(settings.GetString("!PopPassword", "acct", ""), "Sesame 0pen!");
    std::string file = TempHome::ReadFile(path);
    EXPECT_EQ(file.find("Sesame"), std::string::npos);
    EXPECT_EQ(file, "[acct]\n!PopPassword=" + Scramble("Sesame 0pen!", true) + "\n");
    // An absent scrambled key gives its default as it stands.
    EXPECT_EQ(settings.GetString("!RemoteCommandsPassword", "General", "QX7315"), "QX7315");
    // Longer than 999 characters: cut, not refused.
    ASSERT_TRUE(settings.WriteString("!Long", std::string(1500, 'k'), "General"));
    EXPECT_EQ(settings.GetString("!Long", "General", ""), std::string(999, 'k'));
    // Line breaks and end blanks go as from a plain value, and the rest
    // still unscrambles to itself (the scrambling depends on the length).
    ASSERT_TRUE(settings.WriteString("!Pass2", " 12ab\r\n34cd\t", "acct"));
    EXPECT_EQ(settings.GetString("!Pass2", "acct", ""), "12ab34cd");
    ASSERT_TRUE(settings.WriteString("!Long", std::string(998, 'k') + "\n  xy", "General"));
    EXPECT_EQ(settings.GetString("!Long", "General", ""), std::string(998, 'k'));
}

TEST_F(SettingsTest, ValuesCannotInjectLinesAndBadNamesAreRefused) {
    ASSERT_TRUE(settings.WriteString("Name", "Bob\r\n[General]\r\nAutoScan=Yes", "General"));
    EXPECT_FALSE(settings.GetBool("AutoScan", "General", false));
    EXPECT_FALSE(settings.WriteString("bad=key", "x", "General"));
    EXPECT_FALSE(settings.WriteString("", "x", "General"));
    EXPECT_FALSE(settings.WriteString("k", "x", "Sec]tion"));
    EXPECT_EQ(settings.GetSectionKeys("General"), std::vector<std::string>{"Name"});
}

TEST_F(SettingsTest, UnreadableFileIsNeverReplaced) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    TempHome::WriteFile(path, "[General]\nKeep=1\n");
    chmod(path.c_str(), 0);
    EXPECT_FALSE(settings.WriteString("New", "x", "General"));
    chmod(path.c_str(), 0600);
    EXPECT_EQ(TempHome::ReadFile(path), "[General]\nKeep=1\n");
}

TEST_F(SettingsTest, WriteInReadOnlyFolderFailsAndKeepsFile) {
    TempHome::WriteFile(path, "[General]\nKeep=1\n");
    std::string folderFile = home.File("notafolder");
    TempHome::WriteFile(folderFile, "");
    CSettings inFile(folderFile + "/InboxWarden.ini");
    EXPECT_FALSE(inFile.WriteString("k", "v", "General"));
    EXPECT_EQ(inFile.GetString("k", "General", "d"), "d");
}

TEST_F(SettingsTest, BinaryGarbageAndLongLinesAreSurvived) {
    std::string garbage("\0\x01\xff[\n=\n[General\n", 16);
    garbage += std::string(200000, 'x') + "\n[General]\nKey=" + std::string(150000, 'v') + "\n";
    TempHome::WriteFile(path, garbage);
    EXPECT_EQ(settings.GetString("Key", "General", "").size(), CSettings::kMaxValueLength);
    ASSERT_TRUE(settings.WriteString("Other", "1", "General"));
    std::string after = TempHome::ReadFile(path);
    EXPECT_EQ(after.substr(0, garbage.size() - 1), garbage.substr(0, garbage.size() - 1));
    EXPECT_EQ(settings.GetString("Other", "General", ""), "1");
}

TEST_F(SettingsTest, ConcurrentWritersLoseNoKey) {
    constexpr int kThreads = 4, kKeys = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int k = 0; k < kKeys; ++k) {
                settings.WriteInt("k" + std::to_string(t) + "_" + std::to_string(k), k, "General");
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(settings.GetSectionKeys("General").size(), size_t{kThreads * kKeys});
    EXPECT_EQ(settings.GetInt("k3_24", "General", -5), 24);
}

TEST_F(SettingsTest, TwoProcessesWritingTogetherLoseNoKey) {
    constexpr int kKeys = 1000;
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            CSettings own(path);
            int failed = 0;
            for (int k = 0; k < kKeys; ++k) {
                failed += !own.WriteInt("p" + std::to_string(p) + "_" + std::to_string(k), k,
                                        p == 0 ? "General" : "Home");
            }
            _exit(failed == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(settings.GetSectionKeys("General").size(), size_t{kKeys});
    EXPECT_EQ(settings.GetSectionKeys("Home").size(), size_t{kKeys});
}

TEST_F(SettingsTest, AFileHoldingASecretIsKeptFromOthers) {
    TempHome::WriteFile(path, "[General]\nKeep=1\n");
    chmod(path.c_str(), 0644);
    struct Step {
        const char* key;
        mode_t mode;
    } steps[] = {{"Plain", 0644}, {"!PopPassword", 0600}, {"Later", 0600}};
    for (const Step& step : steps) {
        ASSERT_TRUE(settings.WriteString(step.key, "x", "General"));
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, step.mode) << step.key;
    }
}

// Several changes land in one rewrite or not at all; a removal takes every
// copy of the key, so no duplicate line is read in its place.
TEST_F(SettingsTest, ApplyChangesAllOrNothingAndRemovesEveryCopy) {
    const std::string original =
        "[Home]\r\n!PopPassword=a\r\nPopName=x\r\n!poppassword=b\r\n[General]\r\nAccountsList="
        "Home\r\n";
    TempHome::WriteFile(path, original);
    EXPECT_FALSE(settings.Apply(
        {{"!PopPassword", "Home", std::nullopt}, {"Bad=Name", "General", std::string("x")}}));
    EXPECT_EQ(TempHome::ReadFile(path), original);
    EXPECT_TRUE(settings.Apply({{"!PopPassword", "Home", std::nullopt},
                                {"!SmtpPassword", "General", std::string("s")},
                                {"PasswordStore", "General", std::string("keyring")}}));
    EXPECT_EQ(settings.GetString("!PopPassword", "Home", "absent"), "absent");
    EXPECT_EQ(settings.GetString("PopName", "Home", ""), "x");
    EXPECT_EQ(settings.GetString("!SmtpPassword", "General", ""), "s");
    EXPECT_EQ(settings.GetString("PasswordStore", "General", ""), "keyring");
}
