#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Pop3Mailbox.h"
#include "ProgramRunner.h"
#include "ScriptedServer.h"
#include "SmtpSink.h"
#include "TempHome.h"
#include "lists/CFilterLists.h"
#include "scan/CConsoleOwner.h"
#include "secrets/CPasswordAccess.h"
#include "secrets/CSecretServiceStore.h"
#include "support/CAppEnvironment.h"
#include "support/CSettings.h"

namespace {

using ScanRun = ProgramRunner::Result;

// Runs the scanner with INBOXWARDEN_HOME set, reading its output; killed
// after limitMs. With signalAfterMs >= 0 it gets SIGTERM at that time.
ScanRun RunScanner(const std::vector<std::string>& args, int limitMs = 20000,
                   int signalAfterMs = -1) {
    return ProgramRunner::Run(IW_SCAN_BINARY, args, limitMs, signalAfterMs);
}

class ScannerTest : public ::testing::Test {
protected:
    void Account(unsigned port) {
        settings.WriteString("AccountsList", "Home", "General");
        settings.WriteString("SmtpName", "127.0.0.1", "General");
        settings.WriteBool("Filter", true, "Home");
        settings.WriteString("PopName", "127.0.0.1", "Home");
        settings.WriteInt("PopPort", static_cast<int>(port), "Home");
        settings.WriteString("PopLogin", "bob", "Home");
        settings.WriteString("!PopPassword", "secret", "Home");
    }
    TempHome home;
    CSettings settings{home.File("InboxWarden.ini")};
};

}  // namespace

TEST_F(ScannerTest, HelpAndBadArguments) {
    ScanRun help = RunScanner({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: inboxwarden-scan"), std::string::npos);
    ScanRun bad = RunScanner({"--bogus"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("unknown argument --bogus"), std::string::npos);
}

TEST_F(ScannerTest, OneScanOfAMailboxQuarantinesWithoutDeletingInReadOnlyMode) {
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(
        "Return-Path: <x@y>\r\nFrom: Stranger <s@far.example>\r\nSubject: offer\r\n\r\n"
        "buy\r\n");
    ScriptedServer server;
    server.ServeEach(box.Handler(), 3);
    server.Start();
    Account(server.Port());
    settings.WriteBool("EnableLogging", true, "General");
    mode_t oldMask = umask(022);
    ScanRun run = RunScanner({});
    umask(oldMask);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("The Friends list is empty: running in read-only mode."),
              std::string::npos);
    // Started under umask 022, the scan still keeps what it makes (the
    // database, the log, the quarantine folders and message) to its user.
    int checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.Path())) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) == 0 && !S_ISSOCK(info.st_mode) &&
            entry.path().filename() != "InboxWarden.ini") {
            EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << entry.path();
            ++checked;
        }
    }
    EXPECT_GE(checked, 5);
    EXPECT_NE(run.output.find("0 new Friendly emails, 1 new emails"), std::string::npos)
        << run.output;
    EXPECT_EQ(box.Messages().size(), 1u) << "read-only: nothing deleted";
    EXPECT_TRUE(std::filesystem::exists(home.File("InboxWarden.mdb")));
    EXPECT_TRUE(std::filesystem::is_directory(home.File("Quarantine/Home")));
    server.Stop();
}

TEST_F(ScannerTest, FullFetchesEveryMessageOnceAndPlainRunsTrustTheIds) {
    Pop3Mailbox box("bob", "secret");
    for (int i = 1; i <= 3; ++i) {
        box.AddMessage("From: Stranger <s@far.example>\r\nSubject: offer " + std::to_string(i) +
                       "\r\n\r\nbuy\r\n");
    }
    ScriptedServer server;
    server.ServeEach(box.Handler(), 6);
    server.Start();
    Account(server.Port());
    struct Step {
        std::vector<std::string> args;
        int tops;
        bool uidl;
    } steps[] = {{{}, 3, true}, {{}, 0, true}, {{"--full"}, 3, false}, {{}, 0, true}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args.empty() ? "plain" : step.args[0]);
        size_t before = box.Commands().size();
        ScanRun run = RunScanner(step.args);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(box.CountCommands("TOP ", before), step.tops);
        EXPECT_EQ(box.CountCommands("UIDL\r\n", before), step.uidl ? 1 : 0);
        EXPECT_NE(run.output.find(step.tops == 3 && step.uidl ? "3 new emails" : "0 new emails"),
                  std::string::npos)
            << run.output;
    }
    server.Stop();
}

TEST_F(ScannerTest, UnreachableAccountGivesExitStatusOne) {
    unsigned port;
    {
        ScriptedServer closed;
        port = closed.Port();
    }
    Account(port);
    ScanRun run = RunScanner({"--readonly"});
    EXPECT_EQ(run.status, 1) << run.output;
}

TEST_F(ScannerTest, EngineThatCannotStartGivesExitStatusTwo) {
    std::filesystem::create_directories(home.File("InboxWarden.mdb"));
    ScanRun run = RunScanner({});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("There was an error initializing the InboxWarden engine."),
              std::string::npos);
}

TEST_F(ScannerTest, LoopEndsCleanlyOnSigterm) {
    auto start = std::chrono::steady_clock::now();
    ScanRun run = RunScanner({"--loop"}, 15000, 1500);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Stopping..."), std::string::npos);
    EXPECT_NE(run.output.find("0 new Friendly emails, 0 new emails"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

namespace {

std::string Stranger(const std::string& subject) {
    return "From: Stranger <s@far.example>\r\nSubject: " + subject +
           "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\nbody\r\n";
}

}  // namespace

// A settings file that was damaged by hand and a database file that is no
// database: the scan goes on with a fresh database and keeps the old file.
TEST_F(ScannerTest, DamagedSettingsAndDatabaseFilesAreSurvived) {
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(Stranger("offer"));
    ScriptedServer server;
    server.ServeEach(box.Handler(), 3);
    server.Start();
    Account(server.Port());
    // Binary garbage, a very long line, then the account's section again with
    // other values: the first of duplicated sections and keys counts.
    static const char kGarbage[] = "\0\x01\xfe\xff garbage\n";
    std::string ini = TempHome::ReadFile(home.File("InboxWarden.ini"));
    ini += std::string(kGarbage, sizeof kGarbage - 1) + std::string(300000, 'z') + "\n" +
           "[Home]\nPopLogin=mallory\nPopPort=1\n[General]\nAccountsList=Nowhere\n";
    TempHome::WriteFile(home.File("InboxWarden.ini"), ini);
    const std::string notADatabase = "these are the user's notes, not a database\n";
    TempHome::WriteFile(home.File("InboxWarden.mdb"), notADatabase);

    ScanRun run = RunScanner({});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("0 new Friendly emails, 1 new emails"), std::string::npos)
        << run.output;
    EXPECT_EQ(TempHome::ReadFile(home.File("InboxWarden.ini")), ini) << "a scan writes nothing";
    std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
    EXPECT_NE(log.find("is not an SQLite database"), std::string::npos);
    EXPECT_NE(log.find("Moved the unusable database"), std::string::npos);
    int asideFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home.Path())) {
        if (entry.path().filename().string().rfind("InboxWarden.mdb.bad-", 0) == 0) {
            ++asideFiles;
            EXPECT_EQ(TempHome::ReadFile(entry.path().string()), notADatabase);
        }
    }
    EXPECT_EQ(asideFiles, 1);
    EXPECT_NE(TempHome::ReadFile(home.File("InboxWarden.mdb")).rfind("SQLite format 3", 0),
              std::string::npos);
    server.Stop();
}

// A truncated database is moved aside as well.
TEST_F(ScannerTest, TruncatedDatabaseIsMovedAsideAndAFreshOneUsed) {
    Account(1);
    ScanRun first = RunScanner({});  // creates the database (the account is unreachable)
    ASSERT_TRUE(std::filesystem::exists(home.File("InboxWarden.mdb"))) << first.output;
    std::string whole = TempHome::ReadFile(home.File("InboxWarden.mdb"));
    ASSERT_GT(whole.size(), 1500u);
    std::string cut = whole.substr(0, 1500);
    TempHome::WriteFile(home.File("InboxWarden.mdb"), cut);
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(Stranger("after the damage"));
    ScriptedServer server;
    server.ServeEach(box.Handler(), 3);
    server.Start();
    Account(server.Port());
    ScanRun run = RunScanner({});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("1 new emails"), std::string::npos) << run.output;
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(home.Path())) {
        if (entry.path().filename().string().rfind("InboxWarden.mdb.bad-", 0) == 0) {
            kept = TempHome::ReadFile(entry.path().string()) == cut;
        }
    }
    EXPECT_TRUE(kept) << "the damaged file is kept as it was";
    server.Stop();
}

// Where no quarantine file can be written, nothing may leave the server.
TEST_F(ScannerTest, QuarantineFolderThatIsAFileKeepsEveryMessageOnTheServer) {
    {
        CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(&env);
        CFilterLists::Instance().Reload();
        CFilterLists::Instance().AddWord("friend@near.example", FL_Friends);
        CFilterLists::Instance().AddWord("spam@junk.example", FL_Undesirables);
        CAppEnvironment::SetInstance(nullptr);
    }
    TempHome::WriteFile(home.File("Quarantine"), "a file where the folder belongs\n");
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(Stranger("unknown"));
    box.AddMessage("From: spam@junk.example\r\nSubject: junk\r\n\r\nbuy\r\n");
    ScriptedServer server;
    server.ServeEach(box.Handler(), 6);
    server.Start();
    Account(server.Port());
    settings.WriteInt("SmtpPort", 1, "General");  // no challenge can go out either
    settings.WriteBool("EnableLogging", true, "General");
    for (int scan = 0; scan < 2; ++scan) {
        ScanRun run = RunScanner({});
        EXPECT_NE(run.status, -1) << run.output;
        EXPECT_EQ(box.Messages().size(), 2u) << "scan " << scan << ": " << run.output;
        EXPECT_EQ(run.output.find("read-only mode"), std::string::npos) << run.output;
    }
    std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
    EXPECT_NE(log.find("CreateDirectory failed for "), std::string::npos);
    EXPECT_NE(log.find("no copy of it could be saved"), std::string::npos);
    EXPECT_EQ(TempHome::ReadFile(home.File("Quarantine")), "a file where the folder belongs\n");
    server.Stop();
}

// A data folder that cannot be made: the scanner says so and the settings
// file is left as it was.
TEST_F(ScannerTest, DataFolderThatCannotBeMadeIsReported) {
    Account(1);
    TempHome::WriteFile(home.File("blocker"), "x");
    settings.WriteString("DataFolder", home.File("blocker/data"), "General");
    std::string ini = TempHome::ReadFile(home.File("InboxWarden.ini"));
    ScanRun run = RunScanner({});
    EXPECT_NE(run.status, -1) << run.output;
    std::string log = TempHome::ReadFile(home.File("InboxWarden.log"));
    EXPECT_NE(log.find("could not make sure folder exists!"), std::string::npos) << log;
    EXPECT_EQ(TempHome::ReadFile(home.File("InboxWarden.ini")), ini);
    EXPECT_EQ(TempHome::ReadFile(home.File("blocker")), "x");
}

// An existing data folder without write permission (not testable as root).
TEST_F(ScannerTest, DataFolderWithoutWritePermissionGivesAClearStatus) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes every folder";
    }
    Account(1);
    std::filesystem::create_directory(home.File("data"));
    settings.WriteString("DataFolder", home.File("data"), "General");
    chmod(home.File("data").c_str(), 0555);
    ScanRun run = RunScanner({});
    chmod(home.File("data").c_str(), 0755);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("error initializing the InboxWarden engine"), std::string::npos)
        << run.output;
}

// Passwords kept in a keyring that cannot be used: one line naming the account
// and the reason, exit status 1, and neither the settings nor the history
// touched. Passwords still in the file (no PasswordStore yet) scan as before.
TEST_F(ScannerTest, KeyringThatCannotBeReachedStopsTheScanWithOneLine) {
    Account(1);
    struct ScopedBus {
        ScopedBus() {
            const char* bus = getenv("DBUS_SESSION_BUS_ADDRESS");
            previous = bus ? bus : "";
            setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/iw-bus", 1);
        }
        ~ScopedBus() { setenv("DBUS_SESSION_BUS_ADDRESS", previous.c_str(), 1); }
        std::string previous;
    } noBus;
    for (const char* where : {"keyring", ""}) {
        SCOPED_TRACE(where);
        std::filesystem::remove(home.File("InboxWarden.mdb"));
        if (*where) {
            settings.WriteString("PasswordStore", where, "General");
        }
        const std::string ini = TempHome::ReadFile(settings.GetPath());
        ScanRun run = RunScanner({"--readonly"});
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(TempHome::ReadFile(settings.GetPath()), ini);
        if (*where) {
            EXPECT_NE(run.output.find("the password of Home cannot be read from the keyring: The "
                                      "Secret Service cannot be reached"),
                      std::string::npos)
                << run.output;
            EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
            EXPECT_FALSE(std::filesystem::exists(home.File("InboxWarden.mdb")));
        } else {
            // Port 1 refuses: the scan was tried with the file's password.
            EXPECT_NE(run.output.find("Could not connect"), std::string::npos) << run.output;
        }
        settings.Apply({{"PasswordStore", "General", std::nullopt}});
    }
}

// Under tests/secrets/with_keyring.sh: the first scan moves the passwords to
// the keyring, and the next logs in and challenges with them from there alone.
TEST_F(ScannerTest, KeyringScanAndChallengeWithPasswordsOnlyInTheKeyring) {
    CSecretServiceStore store;
    CSecretStore::Status available = store.Available();
    if (!available.ok) {
        GTEST_SKIP() << "no usable Secret Service: " << available.error;
    }
    {
        CAppEnvironment env("InboxWarden", CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(&env);
        CFilterLists::Instance().Reload();
        CFilterLists::Instance().AddWord("friend@near.example", FL_Friends);
        CAppEnvironment::SetInstance(nullptr);
    }
    Pop3Mailbox box("bob", "secret");
    ScriptedServer pop;
    pop.ServeEach(box.Handler(), 4);
    pop.Start();
    SmtpSink sink;
    ScriptedServer smtp;
    smtp.ServeEach(sink.Handler(), 4);
    smtp.Start();
    Account(pop.Port());
    settings.WriteInt("SmtpPort", static_cast<int>(smtp.Port()), "General");
    settings.WriteString("EmailAddress", "me@near.example", "General");
    settings.WriteString("!RemoteCommandsPassword", "remote-pw", "General");

    ScanRun first = RunScanner({});
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(settings.GetString("PasswordStore", "General", ""), "keyring");
    EXPECT_EQ(TempHome::ReadFile(settings.GetPath()).find('!'), std::string::npos);
    CPasswordAccess access(settings, &store);
    std::string why;
    EXPECT_EQ(access.Read(CPasswordAccess::Pop("Home"), "", &why), "secret") << why;
    EXPECT_EQ(access.Read(CPasswordAccess::Remote(), "", &why), "remote-pw") << why;

    box.AddMessage(Stranger("from the keyring"));
    ScanRun second = RunScanner({});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_NE(second.output.find("1 new emails"), std::string::npos) << second.output;
    ASSERT_EQ(sink.Deliveries().size(), 1u) << second.output;
    EXPECT_EQ(box.Messages().size(), 0u) << "quarantined and deleted with the keyring's password";
    pop.Stop();
    smtp.Stop();
}

namespace {
std::atomic<int> g_wakes{0};
}  // namespace

// The scanner's main thread waits for signals; the end of a scan and a
// remote shutdown must wake it then and there, not at its next look.
TEST(ConsoleOwner, ScanEndAndCloseRequestWakeTheWaitingThread) {
    struct sigaction wake {};
    struct sigaction previous {};
    wake.sa_handler = [](int) { ++g_wakes; };
    ASSERT_EQ(sigaction(SIGUSR2, &wake, &previous), 0);
    FILE* sink = fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    CConsoleOwner owner(sink, sink);
    owner.OnScanDone(0, 0);
    EXPECT_EQ(g_wakes, 0);  // no signal asked for
    owner.SetWakeSignal(SIGUSR2);
    owner.OnScanDone(0, 0);
    owner.OnCloseProgram();
    EXPECT_EQ(g_wakes, 2);
    EXPECT_EQ(owner.ScansDone(), 2u);
    fclose(sink);
    sigaction(SIGUSR2, &previous, nullptr);
}
