#include <gtest/gtest.h>

#include <regex>

#include "mail/CMailContent.h"

namespace {

CMailContent Parsed(const std::string& header) {
    CMailContent message;
    message.m_header = header;
    EXPECT_TRUE(message.ParseHeader());
    return message;
}

}  // namespace

TEST(MailContentParse, FieldsNeedALineBreakBeforeThemAndTakeTheFirstOccurrence) {
    CMailContent m = Parsed(
        "Return-Path: <x@y>\r\nFrom: Ann <ann@a.org>\r\nTo: bob@b.org\r\n"
        "Subject: first\r\nSubject: second\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
        "Cc: Carl <carl@c.org>\r\nX-Last: 1");
    EXPECT_EQ(m.m_from, "Ann <ann@a.org>");
    EXPECT_EQ(m.m_subject, "first");
    EXPECT_EQ(m.m_dateText, "Mon, 1 Jan 2024 10:00:00 +0000");
    ASSERT_EQ(m.GetRecipientCount(), 2);
    std::string address, name;
    ASSERT_TRUE(m.GetRecipient(0, address, name));
    EXPECT_EQ(address, "bob@b.org");
    EXPECT_EQ(name, "");
    ASSERT_TRUE(m.GetRecipient(1, address, name));
    EXPECT_EQ(address, "carl@c.org");
    EXPECT_EQ(name, "Carl ");

    // Fields on the first line count like the others: a sender there is not lost.
    CMailContent first = Parsed("From: a@b\r\nSubject: s\r\nX: y");
    EXPECT_EQ(first.m_from, "a@b");
    EXPECT_EQ(first.m_subject, "s");

    // Tags are case-sensitive in their listed forms only.
    CMailContent cased = Parsed("X: 1\r\nfrom: low@x\r\nSUBJECT: no\r\nsubject: yes\r\nA: b");
    EXPECT_EQ(cased.m_from, "low@x");
    EXPECT_EQ(cased.m_subject, "yes");
}

TEST(MailContentParse, LastLineRules) {
    // Fields on the last line run to its end, a From or To as much as a Subject.
    EXPECT_EQ(Parsed("X: 1\r\nSubject: the end").m_subject, "the end");
    EXPECT_EQ(Parsed("X: 1\r\nFrom: a@b.c").m_from, "a@b.c");
    EXPECT_EQ(Parsed("X: 1\r\nDate: today").m_dateText, "today");
    CMailContent to = Parsed("X: 1\r\nTo: a@b.c");
    EXPECT_EQ(to.GetRecipientCount(), 1);
    EXPECT_EQ(to.m_recipients[0].first, "a@b.c");
    // Continuation lines are not joined.
    EXPECT_EQ(Parsed("X: 1\r\nSubject: one\r\n two\r\nY: 2").m_subject, "one");
}

TEST(MailContentParse, DateRule) {
    // The first line that starts with "Date: " or "date: "; longer field
    // names ending in "Date: " and indented text are not the Date line.
    const struct {
        const char* header;
        const char* date;
    } kCases[] = {
        {"X: 1\r\nResent-date: r\r\nDate: d\r\nY: 2", "d"},
        {"Delivery-Date: Tue, 2 Jan 2024\r\nResent-Date: r\r\nFrom: a\r\nDate: real\r\n", "real"},
        {"X-Original-Date: o\r\nDate: real", "real"},
        {"X: 1\r\n date: folded\r\nDate: d\r\nY: 2", "d"},
        {"X: 1\r\nDate: d\r\nY: 2", "d"},
        {"X: 1\r\ndate: lower\r\nDate: upper", "lower"},
        {"X: 1\r\nDate: upper\r\ndate: lower", "upper"},
        {"X: 1\r\n\tDate: tab\r\nY: 2", ""},
        {"Resent-Date: only\r\nDelivery-Date: only", ""},
        {"Subject: the Date: in text\r\nY: 2", ""},
        {"DATE: caps\r\n", ""},
        // On the first line, on the last line, and empty.
        {"Date: first\r\nY: 2", "first"},
        {"Y: 2\r\nDate: last", "last"},
        {"Y: 2\r\nDate: \r\nDate: second", ""},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Parsed(c.header).m_dateText, c.date) << c.header;
    }
}

TEST(MailContentParse, MimeLines) {
    CMailContent m = Parsed(
        "From: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n"
        "\tBOUNDARY=\"b1\"\r\nSubject: s");
    EXPECT_EQ(m.m_mimeLines,
              "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tBOUNDARY=\"b1\"");
    // Without a boundary, or without a line end after it, nothing is taken.
    EXPECT_EQ(Parsed("X: 1\r\nMIME-Version: 1.0\r\nContent-Type: text/plain").m_mimeLines, "");
    EXPECT_EQ(Parsed("X: 1\r\nMime-Version: 1.0\r\nContent-Type: m; boundary=z").m_mimeLines, "");
}

TEST(MailContentRecipients, SplittingRules) {
    CMailContent m;
    EXPECT_TRUE(m.AddRecipients("Ann Smith <ann@a.org>;bob@b.org"));
    ASSERT_EQ(m.GetRecipientCount(), 2);
    EXPECT_EQ(m.m_recipients[0],
              std::make_pair(std::string("ann@a.org"), std::string("Ann Smith ")));
    EXPECT_EQ(m.m_recipients[1], std::make_pair(std::string("bob@b.org"), std::string()));

    CMailContent comma;
    EXPECT_TRUE(comma.AddRecipients("a@b.org, c@d.org"));
    ASSERT_EQ(comma.GetRecipientCount(), 1);
    EXPECT_EQ(comma.m_recipients[0].first, "a@b.org, c@d.org");

    CMailContent open;
    EXPECT_FALSE(open.AddRecipients("Ann <ann@a.org"));
    EXPECT_EQ(open.GetRecipientCount(), 0);
    EXPECT_FALSE(open.AddRecipients("x@y;Ann >ann@a.org<"));
    EXPECT_EQ(open.GetRecipientCount(), 1);  // the pair before the bad one stays

    CMailContent trailing;
    EXPECT_TRUE(trailing.AddRecipients("a@b;"));
    EXPECT_EQ(trailing.GetRecipientCount(), 2);
    EXPECT_EQ(trailing.m_recipients[1].first, "");

    std::string address = "keep", name = "keep";
    EXPECT_FALSE(trailing.GetRecipient(2, address, name));
    EXPECT_FALSE(trailing.GetRecipient(-1, address, name));
    EXPECT_EQ(address, "keep");
}

TEST(MailContentFormat, HeaderLayout) {
    CMailContent m;
    EXPECT_FALSE(m.FormatHeader());
    m.m_from = "me@here.org";
    m.m_subject = "Hello";
    m.AddRecipient("ann@a.org", "Ann");
    m.AddRecipient("bob@b.org", "");
    time_t before = time(nullptr);
    ASSERT_TRUE(m.FormatHeader());
    EXPECT_GE(m.m_composedAt, before);
    std::regex layout(
        "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} [0-9]{2}:[0-9]{2}:[0-9]{2} "
        "[+-][0-9]{4}\r\nFrom: me@here.org\r\nTo: Ann<ann@a.org>,<bob@b.org>\r\nSubject: "
        "Hello\r\n\r\n");
    EXPECT_TRUE(std::regex_match(m.m_header, layout)) << m.m_header;

    m.m_mimeLines = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=q";
    ASSERT_TRUE(m.FormatHeader());
    EXPECT_NE(m.m_header.find("Subject: Hello\r\nMIME-Version: 1.0\r\nContent-Type: "
                              "multipart/mixed; boundary=q\r\n"),
              std::string::npos);
    EXPECT_EQ(m.m_header.substr(m.m_header.size() - 4), "=q\r\n");
}

TEST(MailContentDots, EveryLineBeginningWithADotIsStuffed) {
    CMailContent m;
    m.m_body = ".\r\nline\r\n.signature\r\n..two\r\n.\r\nend.\r\n.";
    m.StuffDots();
    EXPECT_EQ(m.m_body, "..\r\nline\r\n..signature\r\n...two\r\n..\r\nend.\r\n..");
    m.UnstuffDots();
    EXPECT_EQ(m.m_body, ".\r\nline\r\n.signature\r\n..two\r\n.\r\nend.\r\n.");

    // A bare line feed starts a line as well, so no server can see a lone dot.
    std::string bare = "a\n.\nb";
    CMailContent::StuffDots(bare);
    EXPECT_EQ(bare, "a\n..\nb");

    // Round trips over bodies made of dots, line breaks and letters.
    const char pieces[] = {'.', '\r', '\n', 'x'};
    for (int code = 0; code < 4 * 4 * 4 * 4 * 4 * 4; ++code) {
        std::string body;
        for (int c = code, k = 0; k < 6; ++k, c /= 4) {
            body += pieces[c % 4];
        }
        std::string text = body;
        CMailContent::StuffDots(text);
        EXPECT_EQ(text.find("\r\n.\r\n"), std::string::npos) << body;
        CMailContent::UnstuffDots(text);
        EXPECT_EQ(text, body);
    }
}

TEST(MailContentHash, SignedAdditiveSums) {
    EXPECT_EQ(HashText32("abc"), 6513249);
    EXPECT_EQ(HashText64("abc"), 6513249);
    EXPECT_EQ(HashText32(""), 0);
    // Groups of four: "abcdabcd" is twice the group sum, which wraps.
    int32_t group = HashText32("abcd");
    EXPECT_EQ(group, 0x64636261);
    EXPECT_EQ(HashText32("abcdabcd"), static_cast<int32_t>(2u * 0x64636261u));
    EXPECT_EQ(HashText64("abcdefgh"), 0x6867666564636261LL);
    // Bytes from 128 up count negative.
    EXPECT_EQ(HashText32("\xff"), -1);
    EXPECT_EQ(HashText32(std::string("a\xff", 2)), 0x61 - 256);
    EXPECT_EQ(HashText64("\x80"), -128);
}

TEST(MailContentHash, AgreesWithTheGroupDefinitionOnLongTexts) {
    // The plain definition: character i shifted by 8 * (i % width) bits, wrapping sums.
    auto reference32 = [](const std::string& text) {
        uint32_t sum = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            sum += static_cast<uint32_t>(static_cast<signed char>(text[i])) << (8 * (i % 4));
        }
        return static_cast<int32_t>(sum);
    };
    auto reference64 = [](const std::string& text) {
        uint64_t sum = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(text[i])))
                   << (8 * (i % 8));
        }
        return static_cast<int64_t>(sum);
    };
    uint32_t seed = 12345;
    std::string text;
    for (size_t length : {1u, 3u, 7u, 8u, 9u, 17u, 4096u, 40000u, 300001u}) {
        text.clear();
        for (size_t i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += static_cast<char>(seed >> 23);
        }
        EXPECT_EQ(HashText32(text), reference32(text)) << length;
        EXPECT_EQ(HashText64(text), reference64(text)) << length;
    }
    // Long runs of the most negative and most positive characters.
    std::string low(1 << 20, '\x80'), high(1 << 20, '\x7f');
    EXPECT_EQ(HashText64(low), reference64(low));
    EXPECT_EQ(HashText32(high), reference32(high));
}

TEST(MailContentKind, ListsAndMachinesAreToldByTheirHeader) {
    const struct {
        const char* header;
        CMailContent::MailKind kind;
    } kCases[] = {
        {"From: a@b.example\r\nSubject: hi", CMailContent::MK_Personal},
        {"From: a\r\nList-Id: <news.lists.example>", CMailContent::MK_List},
        {"From: a\r\nlist-unsubscribe: <mailto:u@l.example>", CMailContent::MK_List},
        {"LIST-POST: <mailto:p@l.example>\r\nFrom: a", CMailContent::MK_List},
        {"From: a\r\nPrecedence: bulk", CMailContent::MK_List},
        {"From: a\r\nPrecedence:  List ", CMailContent::MK_List},
        {"From: a\r\nPrecedence: junk", CMailContent::MK_Automatic},
        {"From: a\r\nPrecedence: first-class", CMailContent::MK_Personal},
        {"From: a\r\nAuto-Submitted: auto-replied", CMailContent::MK_Automatic},
        {"From: a\r\nAuto-Submitted: auto-generated; owner-email=x@y", CMailContent::MK_Automatic},
        {"From: a\r\nAuto-Submitted: No", CMailContent::MK_Personal},
        {"From: a\r\nAuto-Submitted: no (manual)", CMailContent::MK_Automatic},
        {"From: a\r\nAuto-Submitted:", CMailContent::MK_Automatic},
        {"List-Id: <l>\r\nAuto-Submitted: auto-replied", CMailContent::MK_Automatic},
        // Not a field of its own: in a value, a continuation or another name.
        {"Subject: List-Id: <x>\r\n", CMailContent::MK_Personal},
        {"Subject: hi\r\n List-Id: <x>", CMailContent::MK_Personal},
        {"X-List-Id: <x>\r\nX-Auto-Submitted: yes", CMailContent::MK_Personal},
        {"From: a\nList-Id: <bare line feeds>\n", CMailContent::MK_List},
        {"", CMailContent::MK_Personal},
    };
    for (const auto& c : kCases) {
        CMailContent message;
        message.m_header = c.header;
        EXPECT_EQ(message.GetMailKind(), c.kind) << c.header;
    }
}

TEST(MailContentFormat, ExtraHeaderLinesFollowTheSubject) {
    CMailContent message;
    message.m_from = "me@x.example";
    message.m_subject = "Hi";
    message.AddRecipient("you@y.example", "");
    message.m_extraHeaderLines = "Auto-Submitted: auto-replied\r\n";
    ASSERT_TRUE(message.FormatHeader());
    EXPECT_NE(message.m_header.find("\r\nSubject: Hi\r\nAuto-Submitted: auto-replied\r\n\r\n"),
              std::string::npos)
        << message.m_header;
}

// Values from a stranger's message in the header we send: whatever they
// hold, the header keeps its four fields, each line ends in CRLF, and long
// lines are folded only where a line would pass 998 characters.
TEST(MailContentFormat, HostileSubjectsCannotAddFieldsOrOverlongLines) {
    const std::string encoded = "=?UTF-8?B?" + std::string(300, 'Q') + "?=";
    std::string eAcute;
    for (int i = 0; i < 150; ++i) {
        eAcute += "\xc3\xa9";
    }
    std::string words;
    while (words.size() < 100000) {
        words += "word ";
    }
    const struct {
        std::string subject;
        std::string sent;  // the Subject value, unfolded
    } kCases[] = {
        {"hi\nBcc: victim@example.org", "hi Bcc: victim@example.org"},
        {"hi\rBcc: victim@example.org", "hi Bcc: victim@example.org"},
        {"hi\r\nBcc: x\r\n", "hi  Bcc: x  "},
        {std::string("a\0b\x7f\x1b", 5), "a b  "},
        {words, words.substr(0, CMailContent::kMaxSubject)},
        {"Re: " + encoded, "Re: "},
        {"=?UTF-8?Q?caf=C3=A9?= ok", "=?UTF-8?Q?caf=C3=A9?= ok"},
        {eAcute, eAcute.substr(0, 200)},
        {"\xc3" + eAcute, "\xc3" + eAcute.substr(0, 198)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sent.substr(0, 40));
        CMailContent m;
        m.m_from = "me@here.org";
        m.m_subject = CMailContent::HeaderValue(c.subject, CMailContent::kMaxSubject);
        m.AddRecipient("ann@a.org", "Ann\nCc: x@y.org");
        ASSERT_TRUE(m.FormatHeader());
        std::vector<std::string> fields;
        std::string subject;
        size_t pos = 0;
        while (pos < m.m_header.size()) {
            size_t eol = m.m_header.find("\r\n", pos);
            ASSERT_NE(eol, std::string::npos);
            std::string line = m.m_header.substr(pos, eol - pos);
            pos = eol + 2;
            EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
            // Never past 998, and a Subject or From stays on one line, as
            // this program reads them back.
            EXPECT_LE(line.size(), 998u);
            if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
                ASSERT_FALSE(fields.empty());
                if (fields.back() == "Subject") {
                    subject += line;
                }
            } else if (!line.empty()) {
                fields.push_back(line.substr(0, line.find(':')));
                if (fields.back() == "Subject") {
                    subject = line.substr(9);
                }
            }
        }
        EXPECT_EQ(fields, (std::vector<std::string>{"Date", "From", "To", "Subject"}));
        EXPECT_EQ(subject, c.sent);
        // Mail we send comes back to us (restored mail): read back whole.
        CMailContent again;
        again.m_header = m.m_header;
        again.ParseHeader();
        EXPECT_EQ(again.m_subject, c.sent);
    }
}
