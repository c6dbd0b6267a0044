#include <gtest/gtest.h>

#include <chrono>

#include "MailClientFixture.h"
#include "MailTestSteps.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "support/CLogFile.h"
#include "testlib/Pop3Mailbox.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/ScriptedServer.h"
#include "testlib/TempHome.h"

namespace {

const char* const kGreeting = "+OK ready\r\n";

class Pop3Test : public MailClientFixture {};

std::string Message(int n, const std::string& body = "") {
    return "Return-Path: <s@x>\r\nFrom: Sender " + std::to_string(n) +
           " <s@x>\r\nTo: bob@y\r\nSubject: message " + std::to_string(n) +
           "\r\nDate: Mon, 1 Jan 2024 10:00:0" + std::to_string(n % 10) + " +0000\r\n\r\n" +
           (body.empty() ? "Body of " + std::to_string(n) + "\r\n" : body);
}

}  // namespace

TEST_F(Pop3Test, LoginFromSplitRepliesAndPasswordNeverLogged) {
    ScriptedServer server;
    server.SendInPieces("+OK ready for you\r\n", 3).Expect("USER bob\r\n");
    server.SendInPieces("+OK\r\n", 1).Expect("PASS secret\r\n").SendInPieces("+OK in\r\n", 4);
    server.Expect("QUIT\r\n").Send("+OK bye\r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
    EXPECT_TRUE(pop.IsConnected());
    EXPECT_TRUE(pop.Connect());  // already connected: nothing sent
    EXPECT_TRUE(pop.Disconnect());
    EXPECT_FALSE(pop.IsConnected());
    EXPECT_TRUE(server.Wait());
    EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];

    std::string traffic = TrafficText();
    EXPECT_NE(traffic.find("POP3 -> +OK ready for you\r\n"), std::string::npos);
    EXPECT_NE(traffic.find("POP3 <- USER bob\r\n"), std::string::npos);
    EXPECT_NE(traffic.find("POP3 <-  PASSWORD (not shown)\n"), std::string::npos);
    EXPECT_EQ(traffic.find("secret"), std::string::npos);
    EXPECT_EQ(ErrorText().find("secret"), std::string::npos);
    EXPECT_EQ(pop.GetErrorText(), "OK");
}

TEST_F(Pop3Test, ErrAtEachLoginStepStopsBeforeThePassword) {
    struct Case {
        int failAt;  // 0 greeting, 1 USER, 2 PASS
        const char* text;
    } cases[] = {{0, "Server didn't connect"},
                 {1, "Bad user name"},
                 {2, "Invalid username/password combination"}};
    for (const Case& c : cases) {
        ScriptedServer server;
        server.Send(c.failAt == 0 ? "-ERR go away\r\n" : kGreeting);
        if (c.failAt >= 1) {
            server.Expect("USER bob\r\n").Send(c.failAt == 1 ? "-ERR who?\r\n" : "+OK\r\n");
        }
        if (c.failAt >= 2) {
            server.Expect("PASS secret\r\n").Send("-ERR [AUTH] no\r\n");
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        Attach(pop);
        EXPECT_FALSE(pop.Connect());
        EXPECT_FALSE(pop.IsConnected());
        EXPECT_EQ(pop.GetErrorText(), c.text);
        server.Wait();
        EXPECT_TRUE(server.Failures().empty());
        if (c.failAt < 2) {
            EXPECT_EQ(server.Received().find("PASS"), std::string::npos);
        }
        EXPECT_TRUE(pop.Disconnect());  // not connected: nothing to end
    }
    EXPECT_NE(ErrorText().find("POP3 ERROR: Bad user name"), std::string::npos);
}

TEST_F(Pop3Test, ErrAfterLogin) {
    struct Case {
        const char* verb;
        const char* text;
    } cases[] = {{"STAT", "Unknown Error in GetNumMessages()!"},
                 {"TOP", "Unknown Error in GetMessage()!"},
                 {"RETR", "Unknown Error in GetMessage()!"},
                 {"LIST", "Unknown Error in GetNumMessages()!"},
                 {"DELE", "Could not DELEte message"},
                 {"QUIT", "Error while QUITting"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verb);
        Pop3Mailbox box("bob", "secret");
        box.AddMessage(Message(1));
        box.FailWith(c.verb, "-ERR nope\r\n");
        ScriptedServer server;
        server.ServeEach(box.Handler(), 1).Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        Attach(pop);
        ASSERT_TRUE(pop.Connect());
        std::string verb = c.verb;
        CMailContent message;
        std::string raw;
        if (verb == "STAT") {
            EXPECT_EQ(pop.GetNumMessages(), -1);
        } else if (verb == "TOP" || verb == "LIST") {
            EXPECT_FALSE(pop.GetMessage(1, message, 500));
        } else if (verb == "RETR") {
            EXPECT_FALSE(pop.GetMessage(1, raw));
        } else if (verb == "DELE") {
            EXPECT_FALSE(pop.DeleteMessage(1));
        }
        if (verb != "QUIT") {
            EXPECT_EQ(pop.GetErrorText(), c.text);
            // The session is still in step after the refusal.
            EXPECT_EQ(pop.GetNumMessages(), verb == "STAT" ? -1 : 1);
            EXPECT_TRUE(pop.Disconnect());
        } else {
            EXPECT_FALSE(pop.Disconnect());
            EXPECT_EQ(pop.GetErrorText(), c.text);
        }
        EXPECT_FALSE(pop.IsConnected());
        server.Wait();
    }
    EXPECT_NE(
        ErrorText().find("-------> GetResponse with \"TOP 1 500\r\n\" returned FALSE for msg #1"),
        std::string::npos);
    EXPECT_NE(ErrorText().find("-------> GetResponse for LIST returned FALSE for msg #1"),
              std::string::npos);
}

TEST_F(Pop3Test, AnyReplyButErrCountsAsSuccess) {
    ScriptedServer server;
    server.Send("HTTP/1.1 400 Bad Request\r\n").Expect("USER bob\r\n").Send("<html>\r\n");
    server.Expect("PASS secret\r\n").Send("whatever\r\n");
    server.Expect("STAT\r\n").Send("+OK no number here\r\n");
    server.Expect("STAT\r\n").Send("-ER\r\n");
    server.Expect("STAT\r\n").Send("+OK 3 1200\r\n");
    server.Expect("STAT\r\n").Send("+OK 99999999999999999999 1\r\n");
    server.Expect("QUIT\r\n").Send("\r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());
    EXPECT_EQ(pop.GetNumMessages(), -1);
    // A count without digits is a failure, and says so.
    EXPECT_EQ(pop.GetErrorText(), "STATus couldn't be retrieved");
    EXPECT_EQ(pop.GetNumMessages(), -1);  // "-ER" is no refusal, but holds no number
    EXPECT_EQ(pop.GetNumMessages(), 3);
    EXPECT_EQ(pop.GetNumMessages(), 2147483647);
    EXPECT_TRUE(pop.Disconnect());
    server.Wait();
    EXPECT_TRUE(server.Failures().empty());
}

TEST_F(Pop3Test, WholeReplyInOneReadAndListSizes) {
    ScriptedServer server;
    ScriptLogin(server);
    server.Expect("TOP 1 500\r\n").Send("+OK\r\nSubject: one\r\n\r\nbody line\r\n.\r\n");
    server.Expect("LIST 1\r\n").Send("+OK 1 4711\r\n");
    server.Expect("RETR 2\r\n").Send("+OK 12 octets\r\nA: b\r\n\r\nc\r\n.\r\n");
    server.Expect("RETR 3\r\n").Send("+OK\r\nNo: blank line\r\nX: y\r\n.\r\n");
    server.Expect("LIST 3\r\n").Send("+OK\r\n");
    server.Expect("RETR 4\r\n").Send("+OK\r\n.\r\n");
    server.Expect("LIST 4\r\n").Send("+OK 4 12 \r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());

    CMailContent one;
    ASSERT_TRUE(pop.GetMessage(1, one, 500)) << pop.GetErrorText();
    EXPECT_EQ(one.m_header, "Subject: one");
    EXPECT_EQ(one.m_body, "body line\r\n");
    EXPECT_EQ(one.m_size, 4711);
    EXPECT_EQ(one.m_bodyHash, HashText32("body line\r\n"));
    // From and date are empty; the subject on the header's only line is found.
    EXPECT_EQ(one.m_subject, "one");
    EXPECT_EQ(static_cast<uint64_t>(one.m_contentHash),
              static_cast<uint64_t>(HashText64("one")) +
                  static_cast<uint64_t>(HashText64("body line\r\n")));

    std::string raw;
    ASSERT_TRUE(pop.GetMessage(2, raw));
    EXPECT_EQ(raw, "A: b\r\n\r\nc\r\n.\r\n");

    // Without a blank line the header is empty and the body loses three characters.
    CMailContent headerOnly;
    ASSERT_TRUE(pop.GetMessage(3, headerOnly, 0));
    EXPECT_EQ(headerOnly.m_header, "");
    EXPECT_EQ(headerOnly.m_body, " blank line\r\nX: y\r\n");
    EXPECT_EQ(headerOnly.m_size, 0);

    // An empty message; a LIST reply ending in a space gives size 0.
    CMailContent empty;
    ASSERT_TRUE(pop.GetMessage(4, empty, 0));
    EXPECT_EQ(empty.m_body, "");
    EXPECT_EQ(empty.m_size, 0);
    server.Wait();
    EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
}

TEST_F(Pop3Test, MessageArrivingInSmallPiecesWithDotLines) {
    const std::string wire =
        "Return-Path: <a@b>\r\nFrom: A <a@b>\r\nSubject: dots\r\nDate: today\r\n\r\n"
        "..signature\r\n..\r\n...\r\nplain . line\r\n";
    ScriptedServer server;
    ScriptLogin(server);
    server.Expect("RETR 1\r\n").SendInPieces("+OK\r\n" + wire + ".\r\n", 7, 5);
    server.Expect("LIST 1\r\n").SendInPieces("+OK 1 200\r\n", 2, 5);
    server.Expect("RETR 1\r\n").Send("+OK\r").Pause(30).Send("\n" + wire).Pause(30);
    server.Send("\r").Pause(30).Send("\n").Pause(30).Send(".").Pause(30).Send("\r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());
    CMailContent message;
    ASSERT_TRUE(pop.GetMessage(1, message, 0)) << pop.GetErrorText();
    EXPECT_EQ(message.m_from, "A <a@b>");
    EXPECT_EQ(message.m_subject, "dots");
    EXPECT_EQ(message.m_dateText, "today");
    EXPECT_EQ(message.m_body, ".signature\r\n.\r\n..\r\nplain . line\r\n");
    EXPECT_EQ(message.m_size, 200);
    EXPECT_EQ(message.m_contentHash, HashText64("A <a@b>") + HashText64("dots") +
                                         HashText64(message.m_body) + HashText64("today"));

    // Terminator torn apart: the raw fetch still ends at it, as received.
    std::string raw;
    ASSERT_TRUE(pop.GetMessage(1, raw)) << pop.GetErrorText();
    EXPECT_EQ(raw, wire + "\r\n.\r\n");
    server.Wait();
    EXPECT_TRUE(server.Failures().empty()) << server.Failures()[0];
}

TEST_F(Pop3Test, CloseMidReplyIsAFailure) {
    ScriptedServer server;
    server.Send("+OK hel").Close();
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    EXPECT_FALSE(pop.Connect());
    EXPECT_EQ(pop.GetErrorText(), "Connection closed by server");
    server.Wait();
}

TEST_F(Pop3Test, CloseMidMessageFailsEveryLaterExchange) {
    for (bool parsed : {false, true}) {
        SCOPED_TRACE(parsed ? "parsed" : "raw");
        ScriptedServer server;
        ScriptLogin(server);
        server.Expect(parsed ? "TOP 1 500\r\n" : "RETR 1\r\n");
        server.Send("+OK\r\nSubject: cut\r\n\r\nhalf a bo").Close();
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        Attach(pop);
        ASSERT_TRUE(pop.Connect());
        CMailContent message;
        std::string raw = "stale";
        EXPECT_FALSE(parsed ? pop.GetMessage(1, message, 500) : pop.GetMessage(1, raw));
        EXPECT_EQ(pop.GetErrorText(), "Connection closed by server");
        EXPECT_TRUE(raw.empty() || parsed);
        // No deletion, count or logout may pass for done on a dropped connection.
        EXPECT_FALSE(pop.DeleteMessage(1));
        EXPECT_EQ(pop.GetNumMessages(), -1);
        EXPECT_FALSE(pop.Disconnect());
        EXPECT_EQ(pop.GetErrorText(), "Connection closed by server");
        server.Wait();
    }
    EXPECT_NE(ErrorText().find("Error: Got 0 bytes from POP3, aborting receive (1)"),
              std::string::npos);
    EXPECT_NE(ErrorText().find("Error: Got 0 bytes from POP3!, msg# 1"), std::string::npos);
}

TEST_F(Pop3Test, SilentServerTimesOutAndRecovers) {
    Pop3Mailbox box("bob", "secret");
    for (int i = 1; i <= 3; ++i) {
        box.AddMessage(Message(i));
    }
    ScriptedServer server;
    ScriptLogin(server);
    server.Expect("STAT\r\n").Silence(3000);
    server.NextConnection().Serve(box.Handler());
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pop.GetNumMessages(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(pop.GetErrorText(), "Server timed out!");
    EXPECT_EQ(pop.GetRecoveredMessageCount(), 3);
    EXPECT_FALSE(pop.GetSocket().IsTimedOut());  // cleared on the way out
    // The new session works.
    CMailContent message;
    ASSERT_TRUE(pop.GetMessage(2, message, 500));
    EXPECT_EQ(message.m_subject, "message 2");
    EXPECT_TRUE(pop.Disconnect());
    server.Wait();
    std::string errors = ErrorText();
    EXPECT_NE(errors.find("Asked to RecoverFromTimeout!"), std::string::npos);
    EXPECT_NE(errors.find("Connect() returned 1"), std::string::npos);
}

TEST_F(Pop3Test, TimeOutDuringAFetchAfterDeletionsDoesNotReconnect) {
    ScriptedServer server;
    ScriptLogin(server);
    server.Expect("DELE 1\r\n").Send("+OK\r\n");
    server.Expect("RETR 2\r\n").Send("+OK\r\npart of it\r\n").Silence(3000);
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());
    ASSERT_TRUE(pop.DeleteMessage(1));
    std::string raw;
    EXPECT_FALSE(pop.GetMessage(2, raw));
    EXPECT_EQ(pop.GetErrorText(), "Server timed out!");
    EXPECT_EQ(server.ConnectionsAccepted(), 1);
    // The deletion was never carried out: logging out must say so.
    EXPECT_FALSE(pop.Disconnect());
    server.Stop();
    EXPECT_NE(ErrorText().find("timeout!"), std::string::npos);
}

TEST_F(Pop3Test, MailboxSessionCountFetchDeleteQuit) {
    Pop3Mailbox box("bob", "secret");
    std::vector<size_t> sizes;
    for (int i = 1; i <= 5; ++i) {
        box.AddMessage(Message(i, i == 4 ? ".hidden\r\n.\r\n" : ""));
        sizes.push_back(box.Messages().back().size());
    }
    ScriptedServer server;
    server.ServeEach(box.Handler(), 2).Start();
    {
        CPOP3 pop("127.0.0.1", server.Port(), nullptr, nullptr);
        pop.SetLogin("bob", nullptr);  // ignored: both are needed
        EXPECT_EQ(pop.GetUser(), "");
        pop.SetLogin("bob", "secret");
        Attach(pop);
        ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
        ASSERT_EQ(pop.GetNumMessages(), 5);
        for (int i = 1; i <= 5; ++i) {
            CMailContent message;
            ASSERT_TRUE(pop.GetMessage(i, message, 500)) << i << pop.GetErrorText();
            EXPECT_EQ(message.m_subject, "message " + std::to_string(i));
            EXPECT_EQ(message.m_size, static_cast<int32_t>(sizes[i - 1]));
        }
        std::string raw;
        ASSERT_TRUE(pop.GetMessage(4, raw));
        EXPECT_NE(raw.find("\r\n\r\n..hidden\r\n..\r\n.\r\n"), std::string::npos);
        EXPECT_TRUE(pop.DeleteMessage(2));
        EXPECT_TRUE(pop.DeleteMessage(4));
        EXPECT_FALSE(pop.DeleteMessage(4));  // already marked
        EXPECT_EQ(box.Messages().size(), 5u);
        // The destructor logs out.
    }
    ASSERT_EQ(box.Messages().size(), 3u);
    EXPECT_EQ(box.Messages()[1], Message(3));

    CPOP3 wrong("127.0.0.1", server.Port(), "bob", "guess");
    EXPECT_FALSE(wrong.Connect());
    EXPECT_EQ(wrong.GetErrorText(), "Invalid username/password combination");
    server.Wait();
}

TEST_F(Pop3Test, LargeMessageAndSizeLimit) {
    ScopedSocketTimeouts patient(10000,
                                 20000);  // the mailbox prepares 4 MB slowly under sanitizers
    std::string body;
    while (body.size() < 4u << 20) {
        body += "A line of text for a large message, with a dot: .\r\n";
        body += ".leading dot\r\n";
    }
    Pop3Mailbox box("bob", "secret");
    box.AddMessage(Message(1, body));
    box.AddMessage(Message(2));
    ScriptedServer server;
    server.ServeEach(box.Handler(), 1).Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    ASSERT_TRUE(pop.Connect());
    CMailContent message;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pop.GetMessage(1, message, 0)) << pop.GetErrorText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(message.m_body, body);

    // Too large: refused, and the rest of it is read away so that the session stays usable.
    pop.SetMaxMessageSize(100000);
    std::string raw;
    EXPECT_FALSE(pop.GetMessage(1, raw));
    EXPECT_EQ(pop.GetErrorText(), "Message 1 is larger than 100000 bytes");
    ASSERT_TRUE(pop.GetMessage(2, message, 500));
    EXPECT_EQ(message.m_subject, "message 2");
    EXPECT_TRUE(pop.Disconnect());
    server.Wait();
}

TEST_F(Pop3Test, UnreachableServer) {
    int port;
    {
        ScriptedServer closed;  // binds a free port and releases it
        port = closed.Port();
    }
    CPOP3 pop("127.0.0.1", port, "bob", "secret");
    Attach(pop);
    EXPECT_FALSE(pop.Connect());
    EXPECT_EQ(pop.GetErrorText(), "Unable to connect to server");
    EXPECT_EQ(pop.GetNumMessages(), -1);
    EXPECT_EQ(pop.GetErrorText(), "Unknown Error in GetNumMessages()!");
}

TEST_F(Pop3Test, OverlongStatusLineEndsTheSession) {
    ScriptedServer server;
    server.Send(kGreeting).Expect("USER bob\r\n").Send("+OK " + std::string(70000, 'x'));
    server.Silence(3000);
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    EXPECT_FALSE(pop.Connect());
    EXPECT_EQ(pop.GetErrorText(), "Server reply too long");
    EXPECT_EQ(server.Received().find("PASS"), std::string::npos);
}

TEST_F(Pop3Test, MailboxDropsTheConnectionInOneMessage) {
    Pop3Mailbox box("bob", "secret");
    for (int i = 1; i <= 3; ++i) {
        box.AddMessage(Message(i));
    }
    box.FailWith("TOP 2 ", "+OK\r\nSubject: cut sho", Pop3Mailbox::CloseAfter);
    ScriptedServer server;
    server.ServeEach(box.Handler(), 2).Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    ASSERT_TRUE(pop.Connect());
    CMailContent message;
    EXPECT_TRUE(pop.GetMessage(1, message, 500));
    EXPECT_TRUE(pop.DeleteMessage(1));
    EXPECT_FALSE(pop.GetMessage(2, message, 500));
    EXPECT_EQ(pop.GetErrorText(), "Connection closed by server");
    EXPECT_FALSE(pop.Disconnect());
    EXPECT_EQ(box.Messages().size(), 3u);  // the deletion never happened, and was not reported done
    // The caller reconnects; the numbers are the old ones.
    ASSERT_TRUE(pop.Connect());
    EXPECT_EQ(pop.GetNumMessages(), 3);
    EXPECT_TRUE(pop.GetMessage(3, message, 500));
    EXPECT_EQ(message.m_subject, "message 3");
    EXPECT_TRUE(pop.Disconnect());
    server.Wait();
}

// Awkward line ends a real server sends as they are stored: the raw fetch
// must hold exactly the bytes of the reply, however the reply is cut into
// reads, and the parsed fetch must keep every CR of the body.
TEST_F(Pop3Test, RawFetchIsExactAtEverySplitOfAwkwardLineEnds) {
    const std::vector<std::string> bodies = {
        "text\r\r\n",   "a\r\r\r\nb\r\n", "lone\rcr\r\n", "..\r\r\nafter\r\n",
        "x\r\n\r.\r\n", "last\r\r\r\n",   "cr at end\r",  "\r\r\n\r\n..\r\n",
    };
    const std::string head = "From: A <a@b>\r\nSubject: s\r\n\r\n";
    // Every reply split once at each offset, in one session.
    size_t fetches = 0;
    for (const std::string& body : bodies) {
        fetches += ("+OK\r\n" + head + body + "\r\n.\r\n").size() - 1;
    }
    ScriptedServer server(60000);
    ScriptLogin(server);
    server.Serve([&](ScriptedSession& session) {
        for (const std::string& body : bodies) {
            std::string reply = "+OK\r\n" + head + body + "\r\n.\r\n";
            for (size_t cut = 1; cut < reply.size(); ++cut) {
                std::string line;
                if (!session.ReadLine(line) || !session.Send(reply.substr(0, cut))) {
                    return;
                }
                session.Pause(2);
                session.Send(reply.substr(cut));
            }
        }
    });
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    ASSERT_TRUE(pop.Connect());
    size_t done = 0;
    for (const std::string& body : bodies) {
        std::string wire = head + body + "\r\n.\r\n";
        for (size_t cut = 1; cut < wire.size() + 5; ++cut) {
            std::string raw;
            ASSERT_TRUE(pop.GetMessage(1, raw)) << cut << ": " << pop.GetErrorText();
            ASSERT_EQ(raw, wire) << "split at " << cut;
            ++done;
        }
    }
    EXPECT_EQ(done, fetches);
    server.Wait();
}

TEST_F(Pop3Test, DrippingServerIsCutOffAtTheTransferLimit) {
    ScriptedServer server;
    ScriptLogin(server);
    // A byte every 40 ms renews any per-read deadline; 8 s in all.
    server.Expect("RETR 1\r\n").Send("+OK\r\n").SendInPieces(std::string(200, 'x'), 1, 40);
    server.NextConnection();
    ScriptLogin(server);
    server.Expect("STAT\r\n").Send("+OK 1 10\r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    Attach(pop);
    pop.SetTransferLimit(600, 1000);
    ASSERT_TRUE(pop.Connect());
    auto start = std::chrono::steady_clock::now();
    std::string raw;
    EXPECT_FALSE(pop.GetMessage(1, raw));
    // The cut-off, then a QUIT the dripping server never answers in time.
    EXPECT_LT(MsSince(start), 4000);
    EXPECT_EQ(pop.GetErrorText(), "Server timed out!");
    // As after any time-out, the session was made anew.
    EXPECT_EQ(pop.GetRecoveredMessageCount(), 1);
    server.Stop();
}
