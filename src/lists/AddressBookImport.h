#pragma once

#include <cstddef>
#include <string>

#include "support/StringUtils.h"

// Reading the addresses out of the address books people export from their
// mail programs: vCard files (3.0 and 4.0, and the 2.1 habits that still turn
// up in them) and the CSV files of the common address-book exports.

struct AddressBookResult {
    StringList addresses;  // every address found, in file order, duplicates kept
    int contacts = 0;      // cards or rows read
    int skipped = 0;       // cards or rows without any address
    std::string error;     // empty when the file could be read
    size_t errorLine = 0;  // the physical line the error is about (1-based), 0 for none
};

// The addresses of every EMAIL property of every card. Folded lines are
// joined, quoted-printable values decoded and backslash escapes removed; a
// card without an address counts as skipped. A property outside a card, a
// card never ended, a card inside a card or a line that is no property fails
// the whole text with its line number.
bool ParseVCardText(const std::string& text, AddressBookResult& result);

// The addresses in the e-mail columns of a CSV text whose first row names its
// columns; a column is an e-mail column when its name holds "email" or
// "e-mail" and is not a type, label or display name. The separator (comma,
// semicolon or tab) is the one the header row uses most. Fails on a text
// without such a column or with a quote that never closes.
bool ParseContactsCsvText(const std::string& text, AddressBookResult& result);

// Reads a ".vcf" or ".csv" file (the name's ending in any case) of at most
// kMaxAddressBookBytes. False, with result.error set, for any other name, a
// file that cannot be opened or is too large, and text that does not parse.
bool ReadAddressBook(const std::string& path, AddressBookResult& result);
inline constexpr size_t kMaxAddressBookBytes = 64u * 1024 * 1024;

// True for a name ReadAddressBook takes.
bool IsAddressBookFile(const std::string& path);
