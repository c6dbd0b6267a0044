#include <gtest/gtest.h>

#include "history/CEmailData.h"

namespace {
CEmailData Make(const std::string& date = "Mon, 1 Jan 2024 10:00:00 +0000", uint32_t sum = 99) {
    return CEmailData("acct", 1700000000, "Bob <bob@example.com>", "Hi", sum, "body", date, 1234,
                      ES_Unknown, 0, "", "", 7);
}
}  // namespace

TEST(EmailData, ConstructionDefaults) {
    CEmailData d = Make();
    EXPECT_EQ(d.m_id, -1);
    EXPECT_EQ(d.m_todo, 0u);
    EXPECT_TRUE(d.m_dirty);
    EXPECT_FALSE(d.m_duplicate);
    EXPECT_EQ(d.m_restoreFailures, 0);
    EXPECT_EQ(d.m_serverId, 7);
    EXPECT_EQ(d.m_myTimestamp, 1700000000u);
}

TEST(EmailData, StatusTextsIncludingUnknownValues) {
    CEmailData d = Make();
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "Unknown"},   {1, "On Server"}, {2, "Quarantined"}, {4, "Deleted"},
        {8, "Delivered"}, {3, "???"},       {65535, "???"},     {16, "???"}};
    for (auto [status, text] : cases) {
        d.m_status = status;
        EXPECT_EQ(d.GetStatusText(), text) << status;
    }
    d.m_status = 3;
    EXPECT_NE(d.Dump().find("Status: ???\n"), std::string::npos);
}

TEST(EmailData, ViewsSelectByMask) {
    EXPECT_STREQ(kEmailViews[0].text, "On Server");
    EXPECT_EQ(kEmailViews[3].mask, 65535u);
    EXPECT_FALSE(ES_Delivered & kEmailViews[0].mask);
    EXPECT_TRUE(ES_Delivered & kEmailViews[3].mask);
}

TEST(EmailData, DisplayTimeFallsBackToReceivedTime) {
    EXPECT_EQ(Make().GetDisplayTime(), "Mon, 1 Jan 2024 10:00:00 +0000");
    std::string shown = Make("").GetDisplayTime();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0], '*');
    EXPECT_EQ(shown.substr(1), CTimeText(1700000000));
    EXPECT_EQ(shown.find('\n'), std::string::npos);
}

TEST(EmailData, SameEmailNeedsAllFiveFields) {
    CEmailData a = Make();
    EXPECT_TRUE(a.IsSameEmail(Make()));
    EXPECT_FALSE(a.IsSameEmail(Make("Mon, 1 Jan 2024 10:00:00 +0000", 100)));
    EXPECT_FALSE(a.IsSameEmail(Make("Tue, 2 Jan 2024 10:00:00 +0000")));
    CEmailData other = Make();
    other.m_account = "ACCT";
    EXPECT_FALSE(a.IsSameEmail(other));
    other = Make();
    other.m_subject = "hi";
    EXPECT_FALSE(a.IsSameEmail(other));
    other = Make();
    other.m_status = ES_Deleted;  // not part of the identity
    other.m_text = "other body";
    EXPECT_TRUE(a.IsSameEmail(other));
}

TEST(EmailData, LabelSelectsFieldsWithoutTrailingSeparator) {
    CEmailData d = Make();
    EXPECT_EQ(d.GetLabel(), "acct/Bob <bob@example.com>/Hi");
    EXPECT_EQ(d.GetLabel(EL_Sender, "/"), "Bob <bob@example.com>");
    EXPECT_EQ(d.GetLabel(EL_Account | EL_Subject, " - "), "acct - Hi");
    EXPECT_EQ(d.GetLabel(0, "/"), "");
}

TEST(EmailData, DumpTextExactly) {
    CEmailData d = Make();
    d.m_status = ES_Quarantined;
    d.m_reasonDetails = "100% unknown";
    d.m_emailFilename = "/q/acct/BobHi.eml";
    d.m_id = 12;
    d.m_todo = 0x4A;
    std::string expected =
        "----------- Error creating new record for email: -------------\n"
        "Account: acct\nSender: Bob <bob@example.com>\nSubject: Hi\n"
        "Header Time: Mon, 1 Jan 2024 10:00:00 +0000\nTime Received: " +
        CTimeText(1700000000) +
        "\nSize: 1234\nStatus: Quarantined\nStatus Reason: ?\n"
        "ReasonStr: 100% unknown\nFilename: /q/acct/BobHi.eml\n"
        "ID on Server: 7\nID in Database: 12\nTo do: 4a\n";
    EXPECT_EQ(d.Dump("Error creating new record for email:"), expected);
    EXPECT_EQ(d.Dump().substr(0, 14), "Account: acct\n");
}

TEST(CEmailDataStoredForm, RecordsCompareAsTheDatabaseKeepsThem) {
    auto make = [](const std::string& account, const std::string& sender,
                   const std::string& subject, const std::string& date, uint32_t sum) {
        return CEmailData(account, 1, sender, subject, sum, "", date, 1, 0, 0, "", "", 0);
    };
    const std::string s100(100, 's');
    const std::string a50(50, 'a');
    const std::string d50(50, 'd');
    const CEmailData base = make(a50 + "x", s100 + "tail", s100 + "more", d50 + "zone", 7);
    const struct {
        CEmailData other;
        bool same;
    } kCases[] = {
        {make(a50, s100, s100, d50, 7), true},
        {make(a50 + "y", s100 + "other", s100, d50 + "z", 7), true},
        {make(a50, s100, s100, d50, 8), false},
        {make(a50, s100.substr(1), s100, d50, 7), false},
        {make(a50, s100, s100.substr(0, 99), d50, 7), false},
        {make(a50, s100, s100, d50.substr(1), 7), false},
        {make(a50.substr(1), s100, s100, d50, 7), false},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(base.IsSameEmail(c.other), c.same)
            << c.other.m_sender << "/" << c.other.m_subject;
        EXPECT_EQ(c.other.IsSameEmail(base), c.same);
    }
    // Short fields compare whole.
    EXPECT_TRUE(make("A", "x", "y", "d", 1).IsSameEmail(make("A", "x", "y", "d", 1)));
    EXPECT_FALSE(make("A", "x", "y", "d", 1).IsSameEmail(make("A", "x ", "y", "d", 1)));
}
