// CSMTP through the loopback Postfix, read back with CPOP3 from Dovecot.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/CLineSocket.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "mail/CSMTP.h"
#include "support/CLogFile.h"
#include "testlib/MailServers.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/TempHome.h"

namespace {

const MailServers& Servers() {
    return MailServers::Get();
}

// The body of every test message: dot lines of each kind, a line that a
// careless server would take for the end of the data, and "From " at a
// line start.
const char* const kBody =
    "Hello,\r\n"
    ".\r\n"
    ".signature\r\n"
    "..two dots\r\n"
    "From the start of a line\r\n"
    "\r\n"
    "last line\r\n";

// Header fields the MTA and the delivery agent prepend on their way.
bool IsTraceHeader(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            return false;
        }
        std::string line = text.substr(pos, end - pos);
        bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!continuation && line.rfind("Return-Path:", 0) != 0 &&
            line.rfind("Delivered-To:", 0) != 0 && line.rfind("Received:", 0) != 0) {
            return false;
        }
        pos = end + 2;
    }
    return true;
}

class SmtpPostfix : public ::testing::Test {
protected:
    void SetUp() override {
        IW_REQUIRE_MAIL_SERVERS();
        for (const char* user : {"me", "friend", "spare"}) {
            Servers().Clear(user);
        }
        m_errors.Open("Errors", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
        m_traffic.Open("Traffic", CLogFile::LF_Enabled | CLogFile::LF_Truncate, 1);
    }
    void TearDown() override {
        if (Servers().Available()) {
            for (const char* user : {"me", "friend", "spare"}) {
                Servers().Clear(user);
            }
        }
    }

    std::unique_ptr<CSMTP> Client() {
        auto smtp = std::make_unique<CSMTP>(Servers().Host(), Servers().SmtpPort());
        smtp->SetErrorLog(&m_errors);
        smtp->SetTrafficLog(&m_traffic);
        return smtp;
    }

    static CMailContent Message(const std::string& subject) {
        CMailContent message;
        message.m_from = Servers().Address("friend");
        message.m_subject = subject;
        message.m_body = kBody;
        message.AddRecipient(Servers().Address("me"), "Me Myself");
        return message;
    }

    // The user's POP3 mailbox: message index, as served and unstuffed.
    std::string Fetch(const std::string& user, int index) {
        CPOP3 pop(Servers().Host(), Servers().Pop3Port());
        std::string address = Servers().Address(user);
        std::string password = Servers().Password(user);
        pop.SetLogin(address.c_str(), password.c_str());
        std::string raw;
        if (!pop.Connect() || !pop.GetMessage(index, raw)) {
            ADD_FAILURE() << "POP3 fetch failed: " << pop.GetErrorText();
            return {};
        }
        pop.Disconnect();
        // Without the final ".\r\n", then the dots the server stuffed.
        raw.resize(raw.size() - 3);
        CMailContent::UnstuffDots(raw);
        return raw;
    }

    // A broken exchange fails within seconds instead of stalling the suite.
    ScopedSocketTimeouts m_timeouts{5000, 8000, 5000, 5000};
    TempHome m_home;
    CLogFile m_errors{m_home.Path(), "Test"};
    CLogFile m_traffic{m_home.Path(), "Test"};
};

TEST_F(SmtpPostfix, SentMessageArrivesByteExact) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    CMailContent message = Message("Byte for byte");
    ASSERT_TRUE(smtp->SendMessage(message)) << smtp->GetErrorText();
    EXPECT_TRUE(smtp->Disconnect()) << smtp->GetErrorText();
    ASSERT_TRUE(Servers().WaitForCount("me", 1));

    // What was sent: the header built for sending, the blank line after it,
    // the body. The message is this, after the trace fields of the servers.
    std::string sent = message.m_header + "\r\n" + kBody;
    std::string got = Fetch("me", 1);
    ASSERT_GE(got.size(), sent.size()) << got;
    EXPECT_EQ(got.substr(got.size() - sent.size()), sent);
    EXPECT_TRUE(IsTraceHeader(got.substr(0, got.size() - sent.size()))) << got;

    // The header fields as the scan reads them.
    EXPECT_NE(message.m_header.find("From: friend@iw.test\r\n"), std::string::npos)
        << message.m_header;
    EXPECT_NE(message.m_header.find("To: Me Myself<me@iw.test>\r\n"), std::string::npos)
        << message.m_header;
    CPOP3 pop(Servers().Host(), Servers().Pop3Port());
    std::string password = Servers().Password("me");
    pop.SetLogin("me@iw.test", password.c_str());
    ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
    CMailContent parsed;
    ASSERT_TRUE(pop.GetMessage(1, parsed, 0)) << pop.GetErrorText();
    EXPECT_EQ(parsed.m_from, "friend@iw.test");
    EXPECT_EQ(parsed.m_subject, "Byte for byte");
    EXPECT_EQ(parsed.m_dateText, message.m_header.substr(6, message.m_header.find("\r\n") - 6));
    // The empty line sent after the header starts the body.
    EXPECT_EQ(parsed.m_body, std::string("\r\n") + kBody);
    EXPECT_TRUE(pop.Disconnect());
}

TEST_F(SmtpPostfix, BodyWithoutFinalLineEndStillEndsTheData) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    CMailContent message = Message("no final CRLF");
    message.m_body = "one\r\n.";
    ASSERT_TRUE(smtp->SendMessage(message)) << smtp->GetErrorText();
    EXPECT_TRUE(smtp->Disconnect());
    ASSERT_TRUE(Servers().WaitForCount("me", 1));
    std::string got = Fetch("me", 1);
    std::string tail = "\r\n\r\none\r\n.\r\n";
    ASSERT_GE(got.size(), tail.size());
    EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
}

TEST_F(SmtpPostfix, SeveralMessagesInOneSessionArriveInOrder) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    for (int i = 1; i <= 3; ++i) {
        CMailContent message = Message("number " + std::to_string(i));
        ASSERT_TRUE(smtp->SendMessage(message)) << i << ": " << smtp->GetErrorText();
    }
    EXPECT_TRUE(smtp->Disconnect()) << smtp->GetErrorText();
    ASSERT_TRUE(Servers().WaitForCount("me", 3));
    std::vector<std::string> stored = Servers().ReadAll("me");
    ASSERT_EQ(stored.size(), 3u);
    for (const auto& text : stored) {
        EXPECT_NE(text.find("\n.signature\n..two dots\n"), std::string::npos) << text;
    }
}

TEST_F(SmtpPostfix, RefusedRecipientDoesNotStopTheOthers) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    CMailContent message = Message("two recipients");
    // Postfix relays nowhere: the outside address is refused at RCPT.
    message.AddRecipient("someone@outside.example", "Outside");
    message.AddRecipient(Servers().Address("spare"), "Spare");
    EXPECT_TRUE(smtp->SendMessage(message)) << smtp->GetErrorText();
    EXPECT_TRUE(smtp->Disconnect());
    ASSERT_TRUE(Servers().WaitForCount("me", 1));
    ASSERT_TRUE(Servers().WaitForCount("spare", 1));
    std::string errors = TempHome::ReadFile(m_errors.GetPath());
    EXPECT_NE(errors.find("SMTP ERROR: 554:SMTP server error"), std::string::npos) << errors;
}

TEST_F(SmtpPostfix, NoAcceptedRecipientFailsAtData) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    CMailContent message;
    message.m_from = Servers().Address("friend");
    message.m_subject = "nowhere";
    message.m_body = kBody;
    message.AddRecipient("someone@outside.example", "Outside");
    EXPECT_FALSE(smtp->SendMessage(message));
    EXPECT_EQ(smtp->GetErrorText().substr(3), ":SMTP server not ready for data");
    // The dialogue is still in step: QUIT is answered with 221.
    EXPECT_TRUE(smtp->Disconnect()) << smtp->GetErrorText();
    EXPECT_EQ(Servers().Count("me"), 0u);
}

TEST_F(SmtpPostfix, AnyAddressOfTheDomainIsDelivered) {
    auto smtp = Client();
    ASSERT_TRUE(smtp->Connect()) << smtp->GetErrorText();
    CMailContent message;
    message.m_from = Servers().Address("me");
    message.m_subject = "to a stranger";
    message.m_body = "hello\r\n";
    std::string address = "someone.new@" + Servers().Domain();
    message.AddRecipient(address, "");
    ASSERT_TRUE(smtp->SendMessage(message)) << smtp->GetErrorText();
    EXPECT_TRUE(smtp->Disconnect());
    ASSERT_TRUE(Servers().WaitForCount(address, 1));
    std::vector<std::string> stored = Servers().ReadAll(address);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_NE(stored[0].find("Subject: to a stranger\n"), std::string::npos) << stored[0];
    Servers().Clear(address);
}

// The suites' own submission path (the end-to-end tests send replies with it).
TEST_F(SmtpPostfix, HelperSendDeliversToEveryRecipientIntact) {
    std::string message = std::string(
                              "Date: Tue, 08 Dec 26 01:00:00 GMT\r\n"
                              "From: stranger@iw.test\r\n"
                              "To: me@iw.test\r\n"
                              "Subject: Re: a reply\r\n"
                              "\r\n") +
                          kBody;
    std::string error;
    ASSERT_TRUE(Servers().Send(Servers().Address("stranger"),
                               {Servers().Address("me"), Servers().Address("spare")}, message,
                               &error))
        << error;
    ASSERT_TRUE(Servers().WaitForCount("me", 1));
    ASSERT_TRUE(Servers().WaitForCount("spare", 1));
    std::string got = Fetch("me", 1);
    ASSERT_GE(got.size(), message.size()) << got;
    EXPECT_EQ(got.substr(got.size() - message.size()), message);
    EXPECT_TRUE(IsTraceHeader(got.substr(0, got.size() - message.size()))) << got;

    // A refused recipient fails the helper's send, with the server's reply.
    EXPECT_FALSE(
        Servers().Send(Servers().Address("stranger"), {"x@outside.example"}, message, &error));
    EXPECT_NE(error.find("554"), std::string::npos) << error;
}

}  // namespace
