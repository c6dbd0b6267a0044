#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "Pop3Mailbox.h"
#include "ProgramRunner.h"
#include "ScriptedServer.h"
#include "TempHome.h"
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
    ScanRun run = RunScanner({});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("The Friends list is empty: running in read-only mode."),
              std::string::npos);
    EXPECT_NE(run.output.find("0 new Friendly emails, 1 new emails"), std::string::npos)
        << run.output;
    EXPECT_EQ(box.Messages().size(), 1u) << "read-only: nothing deleted";
    EXPECT_TRUE(std::filesystem::exists(home.File("InboxWarden.mdb")));
    EXPECT_TRUE(std::filesystem::is_directory(home.File("Quarantine/Home")));
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
