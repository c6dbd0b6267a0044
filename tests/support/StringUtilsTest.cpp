#include <gtest/gtest.h>

#include "support/StringUtils.h"

TEST(SplitList, DropsEmptyPiecesKeepsBlanks) {
    StringList list{"old"};
    SplitList(",a,,b c ,d ,", list);
    EXPECT_EQ(list, (StringList{"a", "b c ", "d "}));
    SplitList("", list);
    EXPECT_TRUE(list.empty());
    SplitList(",,,", list);
    EXPECT_TRUE(list.empty());
    list = {"x"};
    SplitList("y,z", list, true);
    EXPECT_EQ(list, (StringList{"x", "y", "z"}));
}

TEST(SplitBySet, AnyDelimiterAndAlwaysEmptiesFirst) {
    StringList list{"stale"};
    SplitBySet("\\/", "C:\\a/b\\\\c/", list);
    EXPECT_EQ(list, (StringList{"C:", "a", "b", "c"}));
}

TEST(JoinList, CommaHandling) {
    std::string out;
    JoinList(out, {"a", "b"}, true);
    EXPECT_EQ(out, "a,b");
    out.clear();
    JoinList(out, {"a", "b"}, false);
    EXPECT_EQ(out, "a,b,");
    out = "keep";
    JoinList(out, {}, true);
    EXPECT_EQ(out, "keep");
}

TEST(RemoveDuplicates, FirstOccurrenceStaysCaseSensitive) {
    StringList list{"b", "a", "B", "b", "a", "c"};
    RemoveDuplicates(list);
    EXPECT_EQ(list, (StringList{"b", "a", "B", "c"}));
}

TEST(ToLower, OnlyAsciiLettersChange) {
    std::string s = "AbC-Z\xC4[]";
    ToLower(s);
    EXPECT_EQ(s, "abc-z\xC4[]");
}

TEST(MakeSafeName, RemovesTheFourteenOrTwelve) {
    std::string s = "Re: hello, world.";
    MakeSafeName(s);
    EXPECT_EQ(s, "Rehelloworld");
    std::string all = "a%\\/:*?\"<>|,;. \tb";
    MakeSafeName(all);
    EXPECT_EQ(all, "ab");
    std::string path = "x/y\\z:w";
    MakeSafeName(path, true);
    EXPECT_EQ(path, "x/y\\zw");
    std::string dots = "../../etc";
    MakeSafeName(dots);
    EXPECT_EQ(dots, "etc");
    // A NUL would end the name early for the file system.
    std::string nul("Bob\0_Hi\0", 9);
    MakeSafeName(nul);
    EXPECT_EQ(nul, "Bob_Hi");
    std::string nulPath("Home/\0x", 7);
    MakeSafeName(nulPath, true);
    EXPECT_EQ(nulPath, "Home/x");
    // A subject's line breaks and other control characters stay out too.
    std::string controls = "hi\nBcc\r\x01\x1f\x7fx";
    MakeSafeName(controls);
    EXPECT_EQ(controls, "hiBccx");
}

TEST(ToCrLf, InsertsOnlyWhereMissing) {
    std::string s = "\na\nb\r\nc\n";
    ToCrLf(s);
    EXPECT_EQ(s, "\na\r\nb\r\nc\r\n");
    std::string twice = s;
    ToCrLf(twice);
    EXPECT_EQ(twice, s);
}

TEST(IndentForLog, TabAtStartAndAfterEveryLineFeed) {
    std::string s = "a\nb\n";
    IndentForLog(s);
    EXPECT_EQ(s, "\ta\n\tb\n\t");
}

TEST(PrependWithSeparator, EmptyTextGivesHead) {
    std::string s;
    PrependWithSeparator(s, "new", "\n");
    EXPECT_EQ(s, "new");
    PrependWithSeparator(s, "newer", "\n");
    EXPECT_EQ(s, "newer\nnew");
}

TEST(FillPlaceholders, NumbersUnknownsAndOtherPercents) {
    EXPECT_EQ(FillPlaceholders("%0 and %1, %2, %x, 100%", {"A", "B"}), "A and B, ???, %x, 100%");
    StringList many;
    for (int i = 0; i < 100; ++i) {
        many.push_back("<" + std::to_string(i) + ">");
    }
    EXPECT_EQ(FillPlaceholders("%9|%10|%99|%123", many), "<9>|<10>|<99>|<12>3");
    EXPECT_EQ(FillPlaceholders("%05", many), "<0>5");
    EXPECT_EQ(FillPlaceholders("%%0", {"A"}), "%%0");
    EXPECT_EQ(FillPlaceholders("end%", {}), "end%");
    // Long values are not cut, and a value holding "%1" is not filled again.
    std::string big(100000, 'n');
    EXPECT_EQ(FillPlaceholders("%0%0%1", {big, "%1"}), big + big + "%1");
}

TEST(ExtractAddress, BracketsAndMalformedText) {
    std::string s = "Bob Smith <bob@example.com>";
    EXPECT_TRUE(ExtractAddress(s));
    EXPECT_EQ(s, "bob@example.com");
    std::string none = "bob@example.com";
    EXPECT_FALSE(ExtractAddress(none));
    EXPECT_EQ(none, "bob@example.com");
    std::string reversed = "a> b <c";
    EXPECT_FALSE(ExtractAddress(reversed));
    EXPECT_EQ(reversed, "a> b <c");
    std::string empty = "<>";
    EXPECT_TRUE(ExtractAddress(empty));
    EXPECT_EQ(empty, "");
}

TEST(IsEmailAddress, DotAfterAtWithSomethingAfterIt) {
    EXPECT_TRUE(IsEmailAddress("name@example.com"));
    EXPECT_TRUE(IsEmailAddress("a@b.c"));
    EXPECT_FALSE(IsEmailAddress("name@example"));
    EXPECT_FALSE(IsEmailAddress("name@example."));
    EXPECT_FALSE(IsEmailAddress("first.last"));
    EXPECT_TRUE(IsEmailAddress("x@y..")) << "a later dot with a character after it counts";
    EXPECT_FALSE(IsEmailAddress(""));
}

TEST(StringUtils, LowerBareAddress) {
    const struct {
        const char* sender;
        const char* address;
    } kCases[] = {
        {"Sender Name <Sender@Example.org>", "sender@example.org"},
        {"sender@example.org", "sender@example.org"},
        {"  SENDER@example.ORG \t", "sender@example.org"},
        {"\"Doe, J.\" <j@x.org> (work)", "j@x.org"},
        {"<>", ""},
        {"", ""},
        {"   ", ""},
        {"Name >j@x.org<", "name >j@x.org<"},
        {"Name <J@X.org", "name <j@x.org"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(LowerBareAddress(c.sender), c.address) << c.sender;
    }
}

TEST(StringUtils, LineBreaksInValuesAndAtReplyEnds) {
    const struct {
        const char* text;
        bool hasBreak;
        const char* trimmed;
    } kCases[] = {
        {"+OK ready\r\n", true, "+OK ready"},
        {"535 no\n\r\n\r", true, "535 no"},
        {"user\rPASS x", true, "user\rPASS x"},
        {"plain", false, "plain"},
        {"\r\n", true, ""},
        {"", false, ""},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(HasLineBreak(c.text), c.hasBreak) << c.text;
        EXPECT_EQ(WithoutTrailingLineBreaks(c.text), c.trimmed) << c.text;
    }
}
