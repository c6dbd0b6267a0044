#pragma once

#include <string>

#include "support/StringUtils.h"

class CFilterLists;

// Collecting addresses for a filter list from outside sources, and adding
// them. Nothing here shows a window, so an address-book reader of any kind
// can share it.

// The address inside a contact's e-mail text: the text strictly between the
// first "<" and the first ">" when both occur in that order, the whole text
// when neither occurs. False (nothing to take) for an empty text, a text
// whose brackets are unpaired or reversed, or empty brackets.
bool ContactAddressFromText(const std::string& text, std::string& address);

// Appends the addresses of a text file (commas or lines between them, blanks
// kept) to addresses. Only names ending exactly in ".txt" or ".lst" are read;
// any other name, an unreadable file or a path above 1,300 characters adds
// nothing and answers false. A physical line longer than 999 characters is
// taken in pieces of at most 999, and at most kMaxImportLines pieces are read.
bool ReadAddressFile(const std::string& path, StringList& addresses);
inline constexpr size_t kMaxImportPathLength = 1300;
inline constexpr size_t kMaxImportLineLength = 999;
inline constexpr size_t kMaxImportLines = 1000000;

// Removes duplicates (case-sensitive, first stays), adds every address to the
// list and answers how many entries the list gained.
int AddAddressesToList(CFilterLists& lists, int listId, StringList addresses);
