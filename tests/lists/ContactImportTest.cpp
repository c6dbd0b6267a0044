#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lists/CFilterLists.h"
#include "lists/ContactImport.h"
#include "testlib/DbTestEnv.h"

namespace {

TEST(ContactImport, AddressFromContactText) {
    struct Case {
        const char* text;
        bool taken;
        const char* address;
    };
    const Case cases[] = {
        {"bob@x.org", true, "bob@x.org"},
        {"Bob Smith <bob@x.org>", true, "bob@x.org"},
        {"\"Smith, Bob\" <bob@x.org> (work)", true, "bob@x.org"},
        {"<a@x.org> <b@y.org>", true, "a@x.org"},
        {"", false, ""},
        {"Bob <bob@x.org", false, ""},
        {"Bob bob@x.org>", false, ""},
        {"> reversed <", false, ""},
        {"Nobody <>", false, ""},
    };
    for (const Case& c : cases) {
        std::string address = "unchanged";
        EXPECT_EQ(ContactAddressFromText(c.text, address), c.taken) << c.text;
        EXPECT_EQ(address, c.taken ? c.address : "unchanged") << c.text;
    }
}

TEST(ContactImport, OnlyLowerCaseTxtAndLstFilesAreRead) {
    TempHome home;
    const char* names[] = {"a.txt", "a.lst", "a.TXT", "a.Lst", "a.txt.bak", "txt", "a.csv"};
    for (const char* name : names) {
        TempHome::WriteFile(home.File(name), "x@y.org\n");
        StringList addresses;
        std::string n(name);
        bool wanted = n == "a.txt" || n == "a.lst";
        EXPECT_EQ(ReadAddressFile(home.File(name), addresses), wanted) << name;
        EXPECT_EQ(addresses.size(), wanted ? 1u : 0u) << name;
    }
    StringList addresses{"kept"};
    EXPECT_FALSE(ReadAddressFile(home.File("missing.txt"), addresses));
    EXPECT_FALSE(ReadAddressFile(std::string(1400, 'a') + ".txt", addresses));
    EXPECT_EQ(addresses, StringList{"kept"});
}

TEST(ContactImport, LinesSplitAtCommasKeepBlanksAndLongLinesComeInPieces) {
    TempHome home;
    std::string longLine = std::string(999, 'a') + "bcd";
    TempHome::WriteFile(home.File("c.txt"),
                        "a@x.org, b@y.org\r\n,,c@z.org,\n\n\r\n" + longLine + "\nlast@x.org");
    StringList addresses{"before"};
    ASSERT_TRUE(ReadAddressFile(home.File("c.txt"), addresses));
    StringList expected{"before", "a@x.org",   " b@y.org", "c@z.org", std::string(999, 'a'),
                        "bcd",    "last@x.org"};
    EXPECT_EQ(addresses, expected);
}

TEST(ContactImport, AddingCountsOnlyNewEntries) {
    DbTestEnv env;
    CInboxWardenDb db;
    CFilterLists lists(db);
    lists.AddWord("old@x.org", FL_Friends);
    EXPECT_EQ(AddAddressesToList(lists, FL_Friends, {"a@x.org", "old@x.org", "a@x.org", "A@x.org"}),
              2);
    EXPECT_EQ(AddAddressesToList(lists, FL_Friends, {"a@x.org", "A@x.org"}), 0);
    EXPECT_EQ(AddAddressesToList(lists, FL_Friends, {""}), 0);
    EXPECT_EQ(lists.GetCount(FL_Friends), 3);
    // Out-of-range lists gain nothing and break nothing.
    EXPECT_EQ(AddAddressesToList(lists, 9, {"z@x.org"}), 0);
}

}  // namespace
