#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "FtpServer.h"
#include "TempHome.h"
#include "support/CLogFile.h"
#include "update/CUpdateCheck.h"

namespace {

constexpr const char* kLogin = "iwupdate";
constexpr const char* kPassword = "s3cret";

// Answers the questions from a script (OK when it runs out), runs the slow
// work inline and records what the user would have seen.
class ScriptedUi : public IUpdateUi {
public:
    struct Question {
        std::string text;
        bool ok;
        bool cancel;
    };

    int Ask(const std::string& text, bool ok, bool cancel) override {
        questions.push_back({text, ok, cancel});
        if (answers.empty()) {
            return 1;
        }
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowBusy(const std::string&, bool) override {}
    void RunSlow(const std::function<void()>& work) override { work(); }
    void OnProgress(int tenths) override {
        progress.push_back(tenths);
        if (cancelAt >= 0 && tenths >= cancelAt) {
            cancelled = true;
        }
    }
    bool IsCancelled() const override { return cancelled; }
    void Close() override { ++closed; }
    void OnInstallerWritten(const std::string& path) override { written = path; }

    std::string Last() const { return questions.empty() ? "" : questions.back().text; }

    std::deque<int> answers;
    std::vector<Question> questions;
    std::vector<int> progress;
    int cancelAt = -1;
    bool cancelled = false;
    int closed = 0;
    std::string written;

    void Reset() {
        answers.clear();
        questions.clear();
        progress.clear();
        cancelAt = -1;
        cancelled = false;
        closed = 0;
        written.clear();
    }
};

std::string Sha256(const std::string& data) {
    unsigned char digest[32];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
    char hex[65];
    for (unsigned int i = 0; i < 32; ++i) {
        snprintf(hex + 2 * i, 3, "%02X", digest[i]);
    }
    return hex;
}

std::string AllBytes(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return data;
}

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_ftp.Started()) {
            GTEST_SKIP() << m_ftp.Error();
        }
        m_log.Open("", CLogFile::LF_Enabled, 10);
        m_folder = m_home.Path() + "downloads/";
        std::filesystem::create_directory(m_folder);
    }

    CUpdateCheck Check(const std::string& version = "1.0",
                       const std::string& password = kPassword) {
        return CUpdateCheck(m_ui, m_log, {m_ftp.Address(), kLogin, password, m_allowPlain}, version,
                            "InboxWarden", m_folder);
    }

    std::vector<std::string> Downloads() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TempHome m_home;
    FtpServer m_ftp{kLogin, kPassword};
    CLogFile m_log{m_home.Path(), "UpdateTest"};
    ScriptedUi m_ui;
    std::string m_folder;
    // The test server has no TLS.
    bool m_allowPlain = true;
};

}  // namespace

TEST(UpgradePath, EntriesAreReadFromTheirOwnLine) {
    struct Case {
        const char* name;
        std::string text;
        const char* version;
        CUpdateCheck::PathResult result;
        const char* next;
        const char* file;
    } cases[] = {
        {"found", "0.9:1.0=a.deb\n1.0:1.1=iw-1.1.deb\n", "1.0", CUpdateCheck::UP_Found, "1.1",
         "iw-1.1.deb"},
        {"crlf", "1.0:1.1=iw.deb\r\n", "1.0", CUpdateCheck::UP_Found, "1.1", "iw.deb"},
        {"at the end without a line end", "x\n1.0:2.0=iw2.deb", "1.0", CUpdateCheck::UP_Found,
         "2.0", "iw2.deb"},
        {"blanks around the names", "1.0: 1.1 = iw.deb \n", "1.0", CUpdateCheck::UP_Found, "1.1",
         "iw.deb"},
        {"the key includes the colon", "1.85:1.9=x.deb\n", "1.8", CUpdateCheck::UP_NotFound, "",
         ""},
        {"an entry starts a line", "11.0:12.0=x.deb\n", "1.0", CUpdateCheck::UP_NotFound, "", ""},
        {"no entry at all", "", "1.0", CUpdateCheck::UP_NotFound, "", ""},
        {"dead end", "1.0:\n1.1:1.2=x.deb\n", "1.0", CUpdateCheck::UP_DeadEnd, "", ""},
        {"dead end at the end of the text", "1.1:1.2=x.deb\n1.0:", "1.0", CUpdateCheck::UP_DeadEnd,
         "", ""},
        {"dead end with blanks", "1.0:  \r\n2.0:3.0=y\n", "1.0", CUpdateCheck::UP_DeadEnd, "", ""},
        {"no equal on the line, one later", "1.0:1.1\n2.0:3.0=y.deb\n", "1.0",
         CUpdateCheck::UP_NoEqual, "", ""},
        {"no equal anywhere", "1.0:1.1 x.deb", "1.0", CUpdateCheck::UP_NoEqual, "", ""},
        {"a folder in the name", "1.0:1.1=../../etc/x\n", "1.0", CUpdateCheck::UP_BadFileName,
         "1.1", ""},
        {"an absolute name", "1.0:1.1=/tmp/x\n", "1.0", CUpdateCheck::UP_BadFileName, "1.1", ""},
        {"an empty name", "1.0:1.1=\n", "1.0", CUpdateCheck::UP_BadFileName, "1.1", ""},
        {"a hidden name", "1.0:1.1=.bashrc\n", "1.0", CUpdateCheck::UP_BadFileName, "1.1", ""},
        {"a digest",
         "1.0:1.1=my setup.deb  "
         "sha256=00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff\n",
         "1.0", CUpdateCheck::UP_Found, "1.1", "my setup.deb"},
        {"a short digest", "1.0:1.1=x.deb sha256=0011\n", "1.0", CUpdateCheck::UP_BadFileName,
         "1.1", ""},
        {"a digest that is no hex", "1.0:1.1=x.deb sha256=" + std::string(64, 'g') + "\n", "1.0",
         CUpdateCheck::UP_BadFileName, "1.1", ""},
    };
    for (const Case& c : cases) {
        std::string next;
        std::string file;
        CUpdateCheck::PathResult result =
            CUpdateCheck::ParseUpgradePath(c.text, c.version, next, file);
        EXPECT_EQ(result, c.result) << c.name;
        if (c.result == CUpdateCheck::UP_Found) {
            EXPECT_EQ(next, c.next) << c.name;
            EXPECT_EQ(file, c.file) << c.name;
        }
    }
}

TEST(UpgradePath, WinInetTexts) {
    EXPECT_EQ(CUpdateCheck::WinInetErrorText(12007), "The server name could not be resolved.");
    EXPECT_EQ(CUpdateCheck::WinInetErrorText(12002), "The request has timed out.");
    EXPECT_EQ(CUpdateCheck::WinInetErrorText(12014),
              "The request to connect and login to an FTP server could not be completed because "
              "the supplied password is incorrect. ");
    for (int code : {0, 12000, 12037, 12036, -1}) {
        EXPECT_EQ(CUpdateCheck::WinInetErrorText(code), "Unknown Error") << code;
    }
    EXPECT_EQ(CUpdateCheck::WinInetError(6 /* CURLE_COULDNT_RESOLVE_HOST */), 12007);
    EXPECT_EQ(CUpdateCheck::WinInetError(67 /* CURLE_LOGIN_DENIED */), 12014);
    EXPECT_EQ(CUpdateCheck::ShortVersion(),
              std::to_string(IW_VERSION_MAJOR) + "." + std::to_string(IW_VERSION_MINOR));
    EXPECT_EQ(CUpdateCheck::LongVersion(),
              CUpdateCheck::ShortVersion() + " Build " + std::to_string(IW_VERSION_BUILD));
}

TEST_F(UpdateCheckTest, FoundEntryIsDownloadedByteExactNeverOverAFile) {
    std::string installer = AllBytes(300000);
    m_ftp.Put("upgradePath.txt", "0.9:1.0=old.deb\r\n1.0:1.1=inboxwarden_1.1.deb sha256=" +
                                     Sha256(installer) + "\r\n");
    m_ftp.Put("inboxwarden_1.1.deb", installer);
    CUpdateCheck check = Check();
    ASSERT_TRUE(check.CheckForUpdates(true)) << m_ui.Last();
    const std::string saved = m_folder + "InboxWarden-1.1-inboxwarden_1.1.deb";
    EXPECT_EQ(m_ui.written, saved);
    EXPECT_EQ(TempHome::ReadFile(m_ui.written), installer);
    struct stat info {};
    ASSERT_EQ(stat(m_ui.written.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Downloads(), std::vector<std::string>{"InboxWarden-1.1-inboxwarden_1.1.deb"});
    ASSERT_EQ(m_ui.questions.size(), 3u);
    EXPECT_NE(m_ui.questions[1].text.find("your version of InboxWarden (1.0) can be updated to "
                                          "version 1.1. Press OK to continue;"),
              std::string::npos);
    EXPECT_NE(m_ui.questions[2].text.find("will be saved as\n" + saved), std::string::npos);
    ASSERT_FALSE(m_ui.progress.empty());
    EXPECT_EQ(m_ui.progress.back(), 1000);
    std::string log = TempHome::ReadFile(m_home.File("UpdateTest.log"));
    EXPECT_NE(log.find("Our upgrade file: [inboxwarden_1.1.deb]"), std::string::npos);

    // The settings' own name as F, and a second download of the same
    // version: neither replaces a file that is there.
    TempHome::WriteFile(m_folder + "InboxWarden.ini", "[General]\n");
    m_ftp.Put("upgradePath.txt", "1.0:1.1=InboxWarden.ini\n");
    m_ftp.Put("InboxWarden.ini", "installer");
    ASSERT_TRUE(Check().CheckForUpdates(false));
    m_ftp.Put("upgradePath.txt", "1.0:1.1=inboxwarden_1.1.deb\n");
    m_ftp.Put("inboxwarden_1.1.deb", "new");
    ASSERT_TRUE(Check().CheckForUpdates(false));
    EXPECT_EQ(m_ui.written, m_folder + "InboxWarden-1.1-inboxwarden_1.1-2.deb");
    EXPECT_EQ(TempHome::ReadFile(m_ui.written), "new");
    EXPECT_EQ(TempHome::ReadFile(saved), installer);
    EXPECT_EQ(TempHome::ReadFile(m_folder + "InboxWarden.ini"), "[General]\n");
    EXPECT_EQ(TempHome::ReadFile(m_folder + "InboxWarden-1.1-InboxWarden.ini"), "installer");
}

TEST_F(UpdateCheckTest, AServerWithoutTlsGetsNoLogin) {
    m_allowPlain = false;
    m_ftp.Put("upgradePath.txt", "1.0:1.1=x.deb\n");
    EXPECT_FALSE(Check().CheckForUpdates(false));
    EXPECT_NE(m_ui.Last().find("would not set up an encrypted connection"), std::string::npos)
        << m_ui.Last();
    std::string commands = m_ftp.Commands();
    EXPECT_NE(commands.find("AUTH"), std::string::npos) << commands;
    EXPECT_EQ(commands.find("USER"), std::string::npos) << commands;
    EXPECT_EQ(commands.find("PASS"), std::string::npos) << commands;
}

TEST_F(UpdateCheckTest, SmallFileReportsEveryTenthOnce) {
    std::string data = AllBytes(999);
    m_ftp.Put("small.bin", data);
    CUpdateCheck check = Check();
    CUpdateCheck::FetchResult got = check.GetUpgradeFileHandle("small.bin", true);
    ASSERT_EQ(got.code, CUpdateCheck::UF_Ok);
    EXPECT_EQ(got.data, data);
    ASSERT_EQ(m_ui.progress.size(), 1001u);
    for (int i = 0; i <= 1000; ++i) {
        ASSERT_EQ(m_ui.progress[static_cast<size_t>(i)], i);
    }
    // Without progress nothing is reported.
    m_ui.progress.clear();
    EXPECT_EQ(check.GetUpgradeFileHandle("small.bin", false).data, data);
    EXPECT_TRUE(m_ui.progress.empty());
}

TEST_F(UpdateCheckTest, FetchFailuresGiveTheirNumbers) {
    m_ftp.Put("there.txt", "x");
    m_ftp.Put("big.txt", std::string(CUpdateCheck::kMaxPathFileSize + 1, 'x'));
    {
        CUpdateCheck::FetchResult got =
            Check("1.0", "wrong").GetUpgradeFileHandle("there.txt", false);
        EXPECT_EQ(got.code, CUpdateCheck::UF_NoServer);
        EXPECT_EQ(got.error, 12014);
    }
    {
        CUpdateCheck::FetchResult got = Check().GetUpgradeFileHandle("missing.txt", false);
        EXPECT_EQ(got.code, CUpdateCheck::UF_NoFile);
        EXPECT_TRUE(got.data.empty());
    }
    EXPECT_EQ(Check().GetUpgradeFileHandle("big.txt", false).code, CUpdateCheck::UF_NoFile)
        << "a path file larger than we accept";
    {
        // A port where nothing listens: the one of a server that just ended.
        std::string address;
        {
            FtpServer gone(kLogin, kPassword);
            ASSERT_TRUE(gone.Started());
            address = gone.Address();
        }
        CUpdateCheck check(m_ui, m_log, {address, kLogin, kPassword, true}, "1.0", "InboxWarden",
                           m_folder);
        CUpdateCheck::FetchResult got = check.GetUpgradeFileHandle("there.txt", false);
        EXPECT_EQ(got.code, CUpdateCheck::UF_NoServer);
        EXPECT_EQ(got.error, 12029);
    }
}

TEST_F(UpdateCheckTest, EveryFailedCheckTellsTheUserAndWritesNothing) {
    struct Case {
        const char* name;
        const char* pathFile;  // nullptr: not on the server
        const char* password;
        const char* version;
        const char* shown;
        bool okOffered;
    } cases[] = {
        {"wrong password", "1.0:1.1=x.deb\n", "wrong", "1.0",
         "InboxWarden cannot be updated because your computer is not connected to the Internet.",
         true},
        {"no path file", nullptr, kPassword, "1.0",
         "You are currently running the latest version of InboxWarden(1).\r\nPlease check again "
         "later.",
         true},
        {"no entry", "1.85:1.9=x.deb\n", kPassword, "1.8", "latest version of InboxWarden(2)",
         true},
        {"dead end", "1.0:\n1.1:1.2=x.deb\n", kPassword, "1.0",
         "There is no update available for your version of InboxWarden.", true},
        {"no equal", "1.0:1.1 x.deb\n2.0:2.1=y.deb\n", kPassword, "1.0",
         "Error in upgrade path file: No equal!", false},
        {"installer missing", "1.0:1.1=gone.deb\n", kPassword, "1.0",
         "latest version of InboxWarden(12)", true},
        {"wrong digest",
         "1.0:1.1=there.deb sha256="
         "0000000000000000000000000000000000000000000000000000000000000000\n",
         kPassword, "1.0", "Error 1000: Please try again later", true},
    };
    m_ftp.Put("there.deb", "installer");
    for (const Case& c : cases) {
        m_ui.Reset();
        if (c.pathFile) {
            m_ftp.Put("upgradePath.txt", c.pathFile);
        }
        // Without a path file the check looks in a folder that does not exist.
        std::string address = m_ftp.Address() + (c.pathFile ? "" : "/nowhere");
        CUpdateCheck check(m_ui, m_log, {address, kLogin, c.password, true}, c.version,
                           "InboxWarden", m_folder);
        EXPECT_FALSE(check.CheckForUpdates(false)) << c.name;
        ASSERT_FALSE(m_ui.questions.empty()) << c.name;
        EXPECT_NE(m_ui.Last().find(c.shown), std::string::npos) << c.name << ": " << m_ui.Last();
        EXPECT_EQ(m_ui.questions.back().ok, c.okOffered) << c.name;
        EXPECT_TRUE(m_ui.questions.back().cancel || c.okOffered) << c.name;
        EXPECT_TRUE(Downloads().empty()) << c.name;
        EXPECT_GE(m_ui.closed, 1) << c.name;
    }
}

TEST_F(UpdateCheckTest, CancelAnywhereLeavesNoFile) {
    m_ftp.Put("upgradePath.txt", "1.0:1.1=big.deb\n");
    m_ftp.Put("big.deb", AllBytes(8 << 20));
    // Cancel at each of the three questions, then during the download.
    for (int question = 0; question < 3; ++question) {
        m_ui.Reset();
        m_ui.answers.assign(static_cast<size_t>(question), 1);
        m_ui.answers.push_back(2);
        EXPECT_FALSE(Check().CheckForUpdates(true)) << question;
        EXPECT_EQ(m_ui.questions.size(), static_cast<size_t>(question + 1));
    }
    // Closing the window during the first transfer ends the check silently.
    m_ui.Reset();
    m_ui.cancelled = true;
    EXPECT_FALSE(Check().CheckForUpdates(false));
    EXPECT_TRUE(m_ui.questions.empty()) << m_ui.Last();
    EXPECT_EQ(m_ui.closed, 1);
    m_ui.Reset();
    m_ui.cancelAt = 1;
    EXPECT_FALSE(Check().CheckForUpdates(true));
    EXPECT_TRUE(m_ui.cancelled);
    EXPECT_LT(m_ui.progress.back(), 1000);
    EXPECT_TRUE(m_ui.written.empty());
    EXPECT_TRUE(Downloads().empty());
    std::string log = TempHome::ReadFile(m_home.File("UpdateTest.log"));
    EXPECT_NE(log.find("cancelled by the user"), std::string::npos);
}

TEST_F(UpdateCheckTest, UnwritableFolderFailsWithoutPartialFile) {
    if (geteuid() == 0) {
        // root writes anywhere; a folder below a file cannot be made.
        TempHome::WriteFile(m_home.File("plainfile"), "");
        m_folder = m_home.File("plainfile") + "/folder/";
    } else {
        chmod(m_folder.c_str(), 0500);
    }
    m_ftp.Put("upgradePath.txt", "1.0:1.1=x.deb\n");
    m_ftp.Put("x.deb", "installer");
    EXPECT_FALSE(Check().CheckForUpdates(false));
    EXPECT_NE(m_ui.Last().find("could not be saved"), std::string::npos) << m_ui.Last();
    EXPECT_TRUE(m_ui.written.empty());
}
