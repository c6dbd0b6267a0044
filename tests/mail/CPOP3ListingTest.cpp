// Whole-mailbox UIDL and LIST answers: malformed, hostile and cut-off replies.
#include <gtest/gtest.h>

#include "MailTestSteps.h"
#include "mail/CPOP3.h"
#include "support/CLogFile.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/ScriptedServer.h"
#include "testlib/TempHome.h"

namespace {

std::string Ids(const std::vector<CPOP3::UidlEntry>& ids) {
    std::string text;
    for (const auto& entry : ids) {
        text += std::to_string(entry.number) + "=" + entry.uid + ";";
    }
    return text;
}

std::string Sizes(const std::vector<CPOP3::SizeEntry>& sizes) {
    std::string text;
    for (const auto& entry : sizes) {
        text += std::to_string(entry.number) + "=" + std::to_string(entry.size) + ";";
    }
    return text;
}

class Pop3ListingTest : public ::testing::Test {
protected:
    TempHome m_home;
    ScopedSocketTimeouts m_timeouts;
};

}  // namespace

TEST_F(Pop3ListingTest, UidlLinesGoodAndMalformed) {
    const std::string longId(71, 'a');
    const std::string maxId(70, 'b');
    struct Case {
        const char* name;
        std::string answer;  // the lines between "+OK" and "."
        std::string expected;
        int malformed;
    } cases[] = {
        {"plain", "1 abc\r\n2 XYZ-09\r\n", "1=abc;2=XYZ-09;", 0},
        {"empty mailbox", "", "", 0},
        {"id of 70 kept, of 71 left out", "1 " + maxId + "\r\n2 " + longId + "\r\n",
         "1=" + maxId + ";", 1},
        {"control and space characters", "1 a\tb\r\n2 a b\r\n3 \x01x\r\n4 ok\r\n", "4=ok;", 3},
        {"byte above 0x7e", "1 caf\xe9\r\n2 ok\r\n", "2=ok;", 1},
        {"no id, no number, zero, sign", "1\r\n1 \r\nabc\r\n0 x\r\n-1 y\r\n+2 z\r\n3 ok\r\n",
         "3=ok;", 6},
        {"number of ten digits", "1234567890 x\r\n2 ok\r\n", "2=ok;", 1},
        {"repeated number keeps the first", "1 a\r\n1 b\r\n2 c\r\n", "1=a;2=c;", 1},
        {"trailing blanks trimmed", "1 abc  \r\n", "1=abc;", 0},
        {"stuffed line", "..1 x\r\n2 ok\r\n", "2=ok;", 1},
        {"bare line feeds are one line", "1 a\n2 b\r\n3 c\r\n", "3=c;", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        ScriptLogin(server);
        server.Expect("UIDL\r\n").Send("+OK\r\n" + c.answer + ".\r\n");
        server.Expect("NOOP\r\n").Send("+OK\r\n");
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
        std::vector<CPOP3::UidlEntry> ids;
        int malformed = -1;
        EXPECT_TRUE(pop.Uidl(ids, &malformed)) << pop.GetErrorText();
        EXPECT_EQ(Ids(ids), c.expected);
        EXPECT_EQ(malformed, c.malformed);
        // The listing was read to its end: the next exchange is in step.
        pop.GetSocket().Send("NOOP\r\n");
        EXPECT_TRUE(server.Wait());
    }
}

TEST_F(Pop3ListingTest, ListSizes) {
    struct Case {
        const char* name;
        std::string answer;
        std::string expected;
        int malformed;
    } cases[] = {
        {"plain", "1 120\r\n2 4711\r\n", "1=120;2=4711;", 0},
        {"extra information after the size", "1 120 flagged\r\n", "1=120;", 0},
        {"size above 32 bits is capped", "1 99999999999\r\n", "1=4294967295;", 0},
        {"no size, letters", "1\r\n2 big\r\n3 7\r\n", "3=7;", 2},
        {"repeated number", "1 5\r\n1 6\r\n", "1=5;", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        ScriptLogin(server);
        server.Expect("LIST\r\n").SendInPieces("+OK 2 messages\r\n" + c.answer + ".\r\n", 3, 1);
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
        std::vector<CPOP3::SizeEntry> sizes;
        int malformed = -1;
        EXPECT_TRUE(pop.ListSizes(sizes, &malformed)) << pop.GetErrorText();
        EXPECT_EQ(Sizes(sizes), c.expected);
        EXPECT_EQ(malformed, c.malformed);
        EXPECT_TRUE(server.Wait());
    }
}

TEST_F(Pop3ListingTest, RefusedBrokenAndOversizedListings) {
    enum Outcome { Usable, Lost };
    struct Case {
        const char* name;
        std::string reply;
        bool closeAfter;
        Outcome after;
    } cases[] = {
        {"server without UIDL", "-ERR unknown command\r\n", false, Usable},
        {"closed in the middle", "+OK\r\n1 a\r\n2 b", true, Lost},
        {"closed before the status line ends", "+OK", true, Lost},
        {"line of 1001 characters", "+OK\r\n1 " + std::string(999, 'x') + "\r\n.\r\n", false,
         Usable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        ScriptLogin(server);
        server.Expect("UIDL\r\n").Send(c.reply);
        if (c.closeAfter) {
            server.Close();
        } else {
            server.Expect("STAT\r\n").Send("+OK 2 20\r\n");
        }
        server.Start();
        CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
        ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
        std::vector<CPOP3::UidlEntry> ids{{9, "stale"}};
        EXPECT_FALSE(pop.Uidl(ids));
        EXPECT_TRUE(ids.empty());
        EXPECT_NE(pop.GetErrorText(), "OK");
        if (c.after == Usable) {
            // The session goes on: a content scan can follow on it.
            EXPECT_EQ(pop.GetNumMessages(), 2) << pop.GetErrorText();
        } else {
            EXPECT_EQ(pop.GetNumMessages(), -1);
        }
        EXPECT_TRUE(server.Wait());
    }
}

TEST_F(Pop3ListingTest, TooManyLinesIsRefusedAndReadAway) {
    std::string answer = "+OK\r\n";
    for (size_t i = 1; i <= CPOP3::kMaxListLines + 1; ++i) {
        answer += "1 x\r\n";
    }
    answer += ".\r\n";
    ScriptedServer server(60000);
    ScriptLogin(server);
    server.Expect("LIST\r\n").Send(answer).Expect("STAT\r\n").Send("+OK 1 3\r\n");
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
    std::vector<CPOP3::SizeEntry> sizes;
    EXPECT_FALSE(pop.ListSizes(sizes));
    EXPECT_TRUE(sizes.empty());
    EXPECT_EQ(pop.GetErrorText(), "LIST answer too long");
    EXPECT_EQ(pop.GetNumMessages(), 1);
    EXPECT_TRUE(server.Wait());
}

TEST_F(Pop3ListingTest, SilentServerTimesOut) {
    ScriptedServer server;
    ScriptLogin(server);
    server.Expect("UIDL\r\n").Send("+OK\r\n1 a\r\n").Silence(3000);
    server.Start();
    CPOP3 pop("127.0.0.1", server.Port(), "bob", "secret");
    ASSERT_TRUE(pop.Connect()) << pop.GetErrorText();
    std::vector<CPOP3::UidlEntry> ids;
    EXPECT_FALSE(pop.Uidl(ids));
    EXPECT_TRUE(ids.empty());
    server.Stop();
}
