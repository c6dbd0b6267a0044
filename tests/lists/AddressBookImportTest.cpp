#include <gtest/gtest.h>

#include <string>

#include "lists/AddressBookImport.h"
#include "testlib/DbTestEnv.h"

namespace {

struct BookCase {
    const char* name;
    bool vcard;
    std::string text;
    bool ok;
    StringList addresses;
    int skipped;
    size_t errorLine;
};

// Shapes met in real exports, and the ways files break.
TEST(AddressBookImport, ReadsTheShapesOfRealExports) {
    const BookCase cases[] = {
        {"vCard 3.0, two addresses, group prefix, CRLF",
         true,
         "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann\r\nEMAIL;TYPE=INTERNET,HOME:ann@x.org\r\n"
         "item1.EMAIL;type=INTERNET:ann@work.example\r\nEND:VCARD\r\n",
         true,
         {"ann@x.org", "ann@work.example"},
         0,
         0},
        {"vCard 4.0 folded, quoted parameter with a colon, BOM, mailto",
         true,
         "\xEF\xBB\xBF"
         "BEGIN:VCARD\nVERSION:4.0\nFN:Bo\nEMAIL;PREF=1;LABEL=\"a:b\":bo@\n x.org\n"
         "EMAIL:mailto:b2@y.org\nEND:VCARD\n",
         true,
         {"bo@x.org", "b2@y.org"},
         0,
         0},
        {"2.1 quoted-printable with a soft break, UTF-8 name, lower case",
         true,
         "begin:vcard\nversion:2.1\nN;CHARSET=UTF-8:J\xC3\xBCrgen\n"
         "EMAIL;INTERNET;ENCODING=QUOTED-PRINTABLE:j=C3=BCrgen=\n@x.org\nend:vcard\n",
         true,
         {"j\xC3\xBCrgen@x.org"},
         0,
         0},
        {"escaped characters, name form, card without address skipped",
         true,
         "BEGIN:VCARD\nEMAIL:a\\,b@x.org\nEND:VCARD\nBEGIN:VCARD\nFN:No mail\nEND:VCARD\n"
         "\nBEGIN:VCARD\nEMAIL: Cy <cy@x.org> \nEMAIL:\nEND:VCARD",
         true,
         {"a,b@x.org", "cy@x.org"},
         1,
         0},
        {"property before the card",
         true,
         "VERSION:3.0\nBEGIN:VCARD\nEND:VCARD\n",
         false,
         {},
         0,
         1},
        {"line with no colon",
         true,
         "BEGIN:VCARD\nEMAIL:a@x.org\ngarbage\nEND:VCARD\n",
         false,
         {"a@x.org"},
         0,
         3},
        {"card inside a card", true, "BEGIN:VCARD\r\nBEGIN:VCARD\r\n", false, {}, 0, 2},
        {"card never ended",
         true,
         "BEGIN:VCARD\nEMAIL:a@x.org\n\nBEGIN:VCARD\n",
         false,
         {"a@x.org"},
         0,
         4},
        {"Thunderbird export",
         false,
         "First Name,Last Name,Display Name,Nickname,Primary Email,Secondary Email,Work Phone\r\n"
         "Ann,Lee,Ann Lee,,ann@x.org,ann2@y.org,123\r\n"
         "Bob,,Bob,,,,\r\n"
         "\"Smith, Cy\",,\"Cy \"\"C\"\" Smith\",,cy@x.org,,\r\n",
         true,
         {"ann@x.org", "ann2@y.org", "cy@x.org"},
         1,
         0},
        {"Google export: several in one cell, types ignored, quoted line break",
         false,
         "Name,Notes,E-mail 1 - Type,E-mail 1 - Value,E-mail 2 - Type,E-mail 2 - Value\n"
         "Di,\"two\nlines\",* Home,di@x.org ::: di@y.org,Work,di@work.example\n"
         "\n"
         "Ed,,* Other,ed@x.org\n",
         true,
         {"di@x.org", "di@y.org", "di@work.example", "ed@x.org"},
         0,
         0},
        {"semicolon separated, localised header",
         false,
         "Vorname;Prim\xC3\xA4re E-Mail-Adresse\nAl;al@x.org\n",
         true,
         {"al@x.org"},
         0,
         0},
        {"no e-mail column", false, "Name,Phone\nAnn,123\n", false, {}, 0, 1},
        {"quote never closes",
         false,
         "Name,Email\nAnn,ann@x.org\n\"Bob,\nbob@x.org\n",
         false,
         {"ann@x.org"},
         0,
         3},
        {"empty file", false, "", false, {}, 0, 1},
    };
    for (const BookCase& c : cases) {
        AddressBookResult result;
        bool ok = c.vcard ? ParseVCardText(c.text, result) : ParseContactsCsvText(c.text, result);
        EXPECT_EQ(ok, c.ok) << c.name << ": " << result.error;
        EXPECT_EQ(result.addresses, c.addresses) << c.name;
        EXPECT_EQ(result.skipped, c.skipped) << c.name;
        EXPECT_EQ(result.errorLine, c.errorLine) << c.name;
        EXPECT_EQ(result.error.empty(), c.ok) << c.name;
    }
}

TEST(AddressBookImport, FilesAreChosenByTheirEndingAndRefusedWithAReason) {
    TempHome home;
    TempHome::WriteFile(home.File("a.VCF"), "BEGIN:VCARD\nEMAIL:a@x.org\nEND:VCARD\n");
    TempHome::WriteFile(home.File("b.csv"), "Email\nb@x.org\n");
    TempHome::WriteFile(home.File("c.txt"), "c@x.org\n");
    struct Case {
        std::string path;
        bool ok;
        const char* address;
    };
    const Case cases[] = {{home.File("a.VCF"), true, "a@x.org"},
                          {home.File("b.csv"), true, "b@x.org"},
                          {home.File("c.txt"), false, nullptr},
                          {home.File("missing.vcf"), false, nullptr}};
    for (const Case& c : cases) {
        AddressBookResult result;
        EXPECT_EQ(ReadAddressBook(c.path, result), c.ok) << c.path;
        EXPECT_EQ(result.error.empty(), c.ok) << c.path;
        EXPECT_EQ(result.addresses, c.ok ? StringList{c.address} : StringList{}) << c.path;
    }
}

}  // namespace
