#include <gtest/gtest.h>

#include "MailClientFixture.h"
#include "mail/CMailContent.h"
#include "mail/CSMTP.h"
#include "support/CLogFile.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/ScriptedServer.h"
#include "testlib/SmtpSink.h"
#include "testlib/TempHome.h"

namespace {

class SmtpTest : public MailClientFixture {};

}  // namespace

TEST_F(SmtpTest, MultiLineGreetingInPiecesThenDelivery) {
    SmtpSink sink("220-first line\r\n220-second line\r\n220 ready\r\n");
    ScriptedServer server;
    server.ServeEach(sink.Handler(), 1);
    server.Start();
    CSMTP smtp("127.0.0.1", server.Port());
    Attach(smtp);
    ASSERT_TRUE(smtp.Connect()) << smtp.GetErrorText();
    EXPECT_EQ(smtp.GetResponse(), "250 sink\r\n");  // EHLO's reply, not a greeting line
    CMailContent message = Letter("Hello Ann,\r\n.signature\r\n.\r\n..\r\nbye");
    ASSERT_TRUE(smtp.SendMessage(message)) << smtp.GetErrorText();
    EXPECT_TRUE(smtp.Disconnect());
    server.Wait();

    auto commands = sink.Commands();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(commands[0].substr(0, 5), "EHLO ");
    EXPECT_GT(commands[0].size(), 7u);
    EXPECT_EQ(commands[1], "MAIL From: <me@here.org>\r\n");
    EXPECT_EQ(commands[2], "RCPT TO: <ann@a.org>\r\n");
    EXPECT_EQ(commands[3], "DATA\r\n");
    EXPECT_EQ(commands.back(), "QUIT\r\n");
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    // Header, the blank line sent after it, the body as given plus its CRLF.
    EXPECT_EQ(deliveries[0].data,
              message.m_header + "\r\n" + "Hello Ann,\r\n.signature\r\n.\r\n..\r\nbye\r\n");
    EXPECT_NE(message.m_header.find("To: Ann <ann@a.org>\r\n"), std::string::npos);

    std::string traffic = TrafficText();
    EXPECT_NE(traffic.find("SMTP <- 220-first line\r\n220-second line\r\n220 ready\r\n"),
              std::string::npos);
    EXPECT_NE(traffic.find("SMTP -> \tHello Ann,\r\n\t..signature"), std::string::npos);
}

TEST_F(SmtpTest, DataEndsWithTheBodysOwnLineBreak) {
    ScriptedServer server;
    server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("250 ok\r\n");
    server.Expect("MAIL From: <me@here.org>\r\n").Send("250 ok\r\n");
    server.Expect("RCPT TO: <ann@a.org>\r\n").Send("250 ok\r\n");
    server.Expect("DATA\r\n").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
    server.Start();
    CSMTP smtp("127.0.0.1", server.Port());
    ASSERT_TRUE(smtp.Connect());
    CMailContent message = Letter("line one\r\nline two\r\n");
    ASSERT_TRUE(smtp.SendMessage(message));
    EXPECT_EQ(message.m_body, "line one\r\nline two\r\n");  // no second CRLF
    server.Wait();
    EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
    std::string sent = server.Received();
    std::string tail = "Subject: Greetings\r\n\r\n\r\nline one\r\nline two\r\n.\r\n";
    ASSERT_GE(sent.size(), tail.size());
    EXPECT_EQ(sent.substr(sent.size() - tail.size()), tail);
}

TEST_F(SmtpTest, RefusedRecipientAmongTwo) {
    SmtpSink sink;
    sink.RefuseRecipient("nobody@a.org");
    ScriptedServer server;
    server.ServeEach(sink.Handler(), 1).Start();
    CSMTP smtp("127.0.0.1", server.Port());
    Attach(smtp);
    ASSERT_TRUE(smtp.Connect());
    CMailContent message = Letter("text\r\n");
    message.AddRecipient("nobody@a.org", "");
    message.AddRecipient("carl@c.org", "");
    EXPECT_TRUE(smtp.SendMessage(message));
    EXPECT_EQ(smtp.GetErrorText(), "550:SMTP server error");
    EXPECT_TRUE(smtp.Disconnect());
    server.Wait();
    auto deliveries = sink.Deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].recipients, (std::vector<std::string>{"ann@a.org", "carl@c.org"}));
    EXPECT_NE(ErrorText().find("SMTP ERROR: 550:SMTP server error"), std::string::npos);
}

TEST_F(SmtpTest, RefusalsAtEachStep) {
    struct Case {
        const char* greeting;
        const char* helo;
        const char* mail;
        const char* data;
        const char* end;
        const char* text;
    } cases[] = {
        {"421 busy\r\n", nullptr, nullptr, nullptr, nullptr, "Server didn't respond."},
        {"220 hi\r\n", "501 bad name\r\n", nullptr, nullptr, nullptr, "501:SMTP server error"},
        {"220 hi\r\n", "250 ok\r\n", "553 no\r\n", nullptr, nullptr, "553:SMTP server error"},
        {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "554 no\r\n", nullptr,
         "554:SMTP server not ready for data"},
        {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "452 full\r\n",
         "452:SMTP server error"},
        {"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "xyz\r\n", "0:SMTP server error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptedServer server;
        server.Send(c.greeting);
        if (c.helo) {
            server.ExpectPrefix("EHLO ").Send(c.helo);
            // A refused EHLO is tried once more as HELO, with the same answer.
            if (c.helo[0] == '5') {
                server.ExpectPrefix("HELO ").Send(c.helo);
            }
        }
        if (c.mail) {
            server.Expect("MAIL From: <me@here.org>\r\n").Send(c.mail);
        }
        if (c.data) {
            server.Expect("RCPT TO: <ann@a.org>\r\n").Send("250 ok\r\n");
            server.Expect("DATA\r\n").Send(c.data);
        }
        if (c.end) {
            server.ExpectData().Send(c.end);
        }
        server.Expect("QUIT\r\n").Send("221 bye\r\n");
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        Attach(smtp);
        bool connected = smtp.Connect();
        EXPECT_EQ(connected, c.mail != nullptr);
        if (connected) {
            CMailContent message = Letter("x");
            EXPECT_FALSE(smtp.SendMessage(message));
            EXPECT_EQ(smtp.GetErrorText(), c.text);
            EXPECT_TRUE(smtp.Disconnect());  // a failed send leaves the session open
        } else {
            EXPECT_EQ(smtp.GetErrorText(), c.text);
            server.Stop();
        }
    }
    EXPECT_NE(ErrorText().find("Got FALSE from get_response( DATA_SUCCESS )"), std::string::npos);
    EXPECT_NE(ErrorText().find("transmit_message returned FALSE"), std::string::npos);
}

TEST_F(SmtpTest, NothingSentWithoutRecipientsOrConnection) {
    CSMTP idle("127.0.0.1", 1);
    CMailContent message = Letter("x");
    EXPECT_FALSE(idle.SendMessage(message));
    EXPECT_EQ(idle.GetErrorText(), "Must be connected");
    EXPECT_TRUE(idle.Disconnect());

    SmtpSink sink;
    ScriptedServer server;
    server.ServeEach(sink.Handler(), 1).Start();
    CSMTP smtp("127.0.0.1", server.Port());
    ASSERT_TRUE(smtp.Connect());
    CMailContent lonely;
    lonely.m_from = "me@here.org";
    EXPECT_FALSE(smtp.SendMessage(lonely));
    // A line break in an address would smuggle commands in.
    CMailContent sly = Letter("x");
    sly.m_from = "me@here.org>\r\nRCPT TO: <victim@x.org";
    EXPECT_FALSE(smtp.SendMessage(sly));
    CMailContent slyRecipient = Letter("y");
    slyRecipient.m_recipients[0].first = "a@b>\r\nDATA";
    slyRecipient.AddRecipient("ok@b.org", "");
    EXPECT_TRUE(smtp.SendMessage(slyRecipient));
    EXPECT_TRUE(smtp.Disconnect());
    server.Wait();
    auto commands = sink.Commands();
    ASSERT_EQ(commands.size(), 5u);  // EHLO, MAIL, RCPT ok@b.org, DATA, QUIT
    EXPECT_EQ(commands[2], "RCPT TO: <ok@b.org>\r\n");
    for (const auto& command : commands) {
        EXPECT_EQ(command.find("victim"), std::string::npos);
    }
}

TEST_F(SmtpTest, SilenceAndCloseMidReply) {
    {
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("250 ok\r\n");
        server.Expect("MAIL From: <me@here.org>\r\n").Silence(3000);
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        Attach(smtp);
        ASSERT_TRUE(smtp.Connect());
        CMailContent message = Letter("x");
        EXPECT_FALSE(smtp.SendMessage(message));
        EXPECT_EQ(smtp.GetErrorText(), "Server timed out!");
        EXPECT_FALSE(smtp.Disconnect());
    }
    {
        ScriptedServer server;
        server.Send("220 hi\r\n").ExpectPrefix("EHLO ").Send("250-first\r\n250 ").Close();
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        Attach(smtp);
        EXPECT_FALSE(smtp.Connect());
        EXPECT_EQ(smtp.GetErrorText(), "Connection closed by server");
    }
    {
        // A silent greeting.
        ScriptedServer server;
        server.Silence(3000);
        server.Start();
        CSMTP smtp("127.0.0.1", server.Port());
        EXPECT_FALSE(smtp.Connect());
        EXPECT_EQ(smtp.GetErrorText(), "Server didn't respond.");
    }
}

TEST_F(SmtpTest, RepliesGluedTogetherStayInStep) {
    ScriptedServer server;
    // The greeting and the EHLO reply arrive in one piece; the DATA reply is
    // torn in the middle of its code.
    server.Send("220 hi\r\n250-sink\r\n250 more\r\n").ExpectPrefix("EHLO ");
    server.Expect("MAIL From: <me@here.org>\r\n").Send("25").Pause(30).Send("0 ok\r\n");
    server.Expect("RCPT TO: <ann@a.org>\r\n").Send("250 ok\r\n");
    server.Expect("DATA\r\n").SendInPieces("354 go ahead\r\n", 1, 2);
    server.ExpectData().Send("250 queued\r\n");
    server.Expect("QUIT\r\n").Send("221 bye\r\n");
    server.Start();
    CSMTP smtp("127.0.0.1", server.Port());
    ASSERT_TRUE(smtp.Connect());
    EXPECT_EQ(smtp.GetResponse(), "250-sink\r\n250 more\r\n");
    CMailContent message = Letter("x\r\n");
    EXPECT_TRUE(smtp.SendMessage(message)) << smtp.GetErrorText();
    EXPECT_TRUE(smtp.Disconnect());
    server.Wait();
    EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
}

TEST_F(SmtpTest, EndlessMultiLineReplyEndsTheSession) {
    std::string lines;
    while (lines.size() < 70000) {
        lines += "220-more to come\r\n";
    }
    ScriptedServer server;
    server.Send(lines).Silence(3000);
    server.Start();
    CSMTP smtp("127.0.0.1", server.Port());
    Attach(smtp);
    EXPECT_FALSE(smtp.Connect());
    EXPECT_EQ(smtp.GetErrorText(), "Server didn't respond.");
    EXPECT_NE(ErrorText().find("SMTP ERROR: Server reply too long"), std::string::npos);
}
