// CPOP3 against the loopback Dovecot.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "mail/CLineSocket.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "support/CLogFile.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

// A message as delivered (a trace field first, so that every field the scan
// reads has a line break before it), with dot lines of every kind: a line
// that is only a dot, one that starts with a dot, one with two.
std::string DotMessage(const std::string& subject) {
    return "Return-Path: <friend@iw.test>\r\n"
           "From: Friend <friend@iw.test>\r\n"
           "To: me@iw.test\r\n"
           "Subject: " +
           subject +
           "\r\n"
           "Date: Tue, 08 Dec 26 01:00:00 GMT\r\n"
           "\r\n"
           "first line\r\n"
           ".signature follows\r\n"
           "..two dots\r\n"
           ".\r\n"
           "after the lone dot\r\n";
}

std::string BodyOf(const std::string& message) {
    return message.substr(message.find("\r\n\r\n") + 4);
}

std::string Stuffed(std::string text) {
    CMailContent::StuffDots(text);
    return text;
}

class Pop3Dovecot : public ::testing::Test {
protected:
    void SetUp() override {
        IW_REQUIRE_MAIL_SERVERS();
        Servers().Clear("me");
        m_errors.Open("Errors", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
        m_traffic.Open("Traffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
    }
    void TearDown() override {
        if (Servers().Available()) {
            Servers().Clear("me");
        }
    }

    // A client for "me" with both logs set.
    std::unique_ptr<CPOP3> Client(const std::string& password) {
        auto pop = std::make_unique<CPOP3>(Servers().Host(), Servers().Pop3Port());
        std::string user = Servers().Address("me");
        pop->SetLogin(user.c_str(), password.c_str());
        pop->SetErrorLog(&m_errors);
        pop->SetTrafficLog(&m_traffic);
        return pop;
    }
    std::unique_ptr<CPOP3> Client() { return Client(Servers().Password("me")); }

    void Drop(const std::string& message) { ASSERT_FALSE(Servers().Drop("me", message).empty()); }

    // A broken exchange fails within seconds instead of stalling the suite.
    ScopedSocketTimeouts m_timeouts{5000, 8000, 5000, 5000};
    TempHome m_home;
    CLogFile m_errors{m_home.Path(), "Test"};
    CLogFile m_traffic{m_home.Path(), "Test"};
};

TEST_F(Pop3Dovecot, LogsInCountsAndQuits) {
    for (int i = 0; i < 3; ++i) {
        Drop(DotMessage("count " + std::to_string(i)));
    }
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    EXPECT_TRUE(pop->IsConnected());
    EXPECT_EQ(pop->GetNumMessages(), 3);
    EXPECT_TRUE(pop->Disconnect()) << pop->GetErrorText();
    EXPECT_FALSE(pop->IsConnected());
    // QUIT without deletions leaves every message on the server.
    EXPECT_EQ(Servers().Count("me"), 3u);

    std::string traffic = TempHome::ReadFile(m_traffic.GetPath());
    EXPECT_NE(traffic.find("POP3 <- USER me@iw.test"), std::string::npos) << traffic;
    EXPECT_NE(traffic.find("POP3 <-  PASSWORD (not shown)"), std::string::npos) << traffic;
    EXPECT_EQ(traffic.find(Servers().Password("me")), std::string::npos) << traffic;
}

TEST_F(Pop3Dovecot, EmptyMailboxCountsZero) {
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    EXPECT_EQ(pop->GetNumMessages(), 0);
    CMailContent message;
    EXPECT_FALSE(pop->GetMessage(1, message, 500));
    EXPECT_EQ(pop->GetErrorText(), "Unknown Error in GetMessage()!");
    EXPECT_TRUE(pop->Disconnect());
}

TEST_F(Pop3Dovecot, TopGivesHeaderFirstLinesAndListSize) {
    std::string message = DotMessage("top");
    for (int i = 0; i < 20; ++i) {
        message += "body line " + std::to_string(i) + "\r\n";
    }
    Drop(message);
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    CMailContent content;
    ASSERT_TRUE(pop->GetMessage(1, content, 3)) << pop->GetErrorText();
    EXPECT_EQ(content.m_header, message.substr(0, message.find("\r\n\r\n")));
    EXPECT_EQ(content.m_from, "Friend <friend@iw.test>");
    EXPECT_EQ(content.m_subject, "top");
    // Three lines as stored: the server's stuffing is undone, no more.
    EXPECT_EQ(content.m_body, "first line\r\n.signature follows\r\n..two dots\r\n");
    // Dovecot's LIST size counts the message as served, CRLF line ends.
    EXPECT_EQ(content.m_size, static_cast<int>(message.size()));
    EXPECT_TRUE(pop->Disconnect());
}

TEST_F(Pop3Dovecot, RetrKeepsEveryDotLine) {
    std::string message = DotMessage("dots");
    Drop(message);
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();

    // Raw: the lines as the server sent them, still stuffed, then the terminator.
    std::string raw;
    ASSERT_TRUE(pop->GetMessage(1, raw)) << pop->GetErrorText();
    EXPECT_EQ(raw, Stuffed(message) + ".\r\n");

    // Parsed: the body exactly as stored, every dot line intact.
    CMailContent content;
    ASSERT_TRUE(pop->GetMessage(1, content, 0)) << pop->GetErrorText();
    EXPECT_EQ(content.m_body, BodyOf(message));
    EXPECT_EQ(content.m_subject, "dots");
    EXPECT_TRUE(pop->Disconnect());
}

TEST_F(Pop3Dovecot, LargeMessageArrivesWholeInBothFetches) {
    // About 2 MB: many TCP segments, and dot lines across their borders.
    std::string message = DotMessage("large");
    std::string line(70, 'x');
    for (int i = 0; message.size() < (2u << 20); ++i) {
        message += (i % 7 == 0 ? "." : "") + line + std::to_string(i) + "\r\n";
    }
    Drop(message);
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    std::string raw;
    ASSERT_TRUE(pop->GetMessage(1, raw)) << pop->GetErrorText();
    EXPECT_EQ(raw.size(), Stuffed(message).size() + 3);
    EXPECT_TRUE(raw == Stuffed(message) + ".\r\n");
    CMailContent content;
    ASSERT_TRUE(pop->GetMessage(1, content, 0)) << pop->GetErrorText();
    EXPECT_TRUE(content.m_body == BodyOf(message));
    EXPECT_EQ(content.m_size, static_cast<int>(message.size()));
    // The 500-line TOP of the same message stops early and keeps the
    // dialogue in step for the next command.
    ASSERT_TRUE(pop->GetMessage(1, content, 500)) << pop->GetErrorText();
    EXPECT_EQ(std::count(content.m_body.begin(), content.m_body.end(), '\n'), 500);
    EXPECT_EQ(pop->GetNumMessages(), 1);
    EXPECT_TRUE(pop->Disconnect());
}

TEST_F(Pop3Dovecot, DeleteTakesEffectAtQuitOnly) {
    for (int i = 1; i <= 3; ++i) {
        Drop(DotMessage("delete " + std::to_string(i)));
    }
    {
        // DELE, then the connection is lost before QUIT: nothing is removed.
        auto pop = Client();
        ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
        ASSERT_TRUE(pop->DeleteMessage(2)) << pop->GetErrorText();
        pop->GetSocket().Close();
    }
    ASSERT_EQ(Servers().Count("me"), 3u);

    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    ASSERT_EQ(pop->GetNumMessages(), 3);
    ASSERT_TRUE(pop->DeleteMessage(2)) << pop->GetErrorText();
    // Marked, not gone: the mailbox still holds it until QUIT.
    EXPECT_EQ(Servers().Count("me"), 3u);
    EXPECT_TRUE(pop->Disconnect()) << pop->GetErrorText();

    std::vector<std::string> left = Servers().ReadAll("me");
    ASSERT_EQ(left.size(), 2u);
    EXPECT_NE(left[0].find("Subject: delete 1\r\n"), std::string::npos);
    EXPECT_NE(left[1].find("Subject: delete 3\r\n"), std::string::npos);

    // A new session numbers the rest from 1.
    auto again = Client();
    ASSERT_TRUE(again->Connect()) << again->GetErrorText();
    EXPECT_EQ(again->GetNumMessages(), 2);
    CMailContent content;
    ASSERT_TRUE(again->GetMessage(2, content, 0)) << again->GetErrorText();
    EXPECT_EQ(content.m_subject, "delete 3");
    EXPECT_TRUE(again->Disconnect());
}

TEST_F(Pop3Dovecot, RefusedCommandsKeepTheSessionUsable) {
    Drop(DotMessage("only"));
    auto pop = Client();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    std::string raw;
    EXPECT_FALSE(pop->GetMessage(7, raw));
    EXPECT_EQ(pop->GetErrorText(), "Unknown Error in GetMessage()!");
    EXPECT_FALSE(pop->DeleteMessage(7));
    EXPECT_EQ(pop->GetErrorText(), "Could not DELEte message");
    // The next exchanges are answered in step.
    EXPECT_EQ(pop->GetNumMessages(), 1);
    CMailContent content;
    ASSERT_TRUE(pop->GetMessage(1, content, 0)) << pop->GetErrorText();
    EXPECT_EQ(content.m_subject, "only");
    EXPECT_TRUE(pop->Disconnect());
    EXPECT_EQ(Servers().Count("me"), 1u);
}

TEST_F(Pop3Dovecot, WrongPasswordFailsAndLaterLoginsStayFast) {
    Drop(DotMessage("guarded"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto bad = Client("not-the-password");
        EXPECT_FALSE(bad->Connect());
        EXPECT_EQ(bad->GetErrorText(), "Invalid username/password combination");
        EXPECT_FALSE(bad->IsConnected());
        // The failed session sent no QUIT and changed nothing.
        EXPECT_TRUE(bad->Disconnect());
    }
    // The same object logs in once the password is right.
    auto pop = Client("not-the-password");
    EXPECT_FALSE(pop->Connect());
    std::string user = Servers().Address("me");
    std::string password = Servers().Password("me");
    pop->SetLogin(user.c_str(), password.c_str());
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(pop->Connect()) << pop->GetErrorText();
    // No penalty for the failures before.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(pop->GetNumMessages(), 1);
    EXPECT_TRUE(pop->Disconnect());

    std::string errors = TempHome::ReadFile(m_errors.GetPath());
    EXPECT_NE(errors.find("POP3 ERROR: Invalid username/password combination"), std::string::npos)
        << errors;
    EXPECT_EQ(TempHome::ReadFile(m_traffic.GetPath()).find("not-the-password"), std::string::npos);
}

TEST_F(Pop3Dovecot, UnknownUserIsRefused) {
    CPOP3 pop(Servers().Host(), Servers().Pop3Port(), "nobody@iw.test", "whatever");
    EXPECT_FALSE(pop.Connect());
    EXPECT_EQ(pop.GetErrorText(), "Invalid username/password combination");
}

}  // namespace
