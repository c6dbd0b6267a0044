#pragma once

#include <cstdarg>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

// Splits a comma list; empty pieces are dropped, blanks stay in the entries.
void SplitList(const std::string& text, StringList& list, bool keepExisting = false);
// Splits at any character of the delimiter set; the list is emptied first.
void SplitBySet(const std::string& delimiters, const std::string& text, StringList& list);
// Appends each entry and a ","; with dropLastComma the final comma goes.
void JoinList(std::string& output, const StringList& list, bool dropLastComma);
// Keeps the first of equal entries (case-sensitive) in its place.
void RemoveDuplicates(StringList& list);
// Only A to Z change.
void ToLower(std::string& text);
// Removes the characters that cannot stand in a file or folder name (dots too).
void MakeSafeName(std::string& text, bool keepPathSeparators = false);
void RemoveChars(std::string& text, const std::string& set);
// A line feed without a carriage return before it gets one (not at position 0).
void ToCrLf(std::string& text);
// RFC 4648 base64 with padding, on one line.
std::string EncodeBase64(const std::string& bytes);
void IndentForLog(std::string& text);
void PrependWithSeparator(std::string& text, const std::string& head, const std::string& separator);
// Replaces %0, %1, ... (two digits above 9) with the arguments, "???" past them.
std::string FillPlaceholders(const std::string& templ, const StringList& args);
// True when text holds a CR or LF: such a value would end a protocol line early.
bool HasLineBreak(const std::string& text);
// text without the CRs and LFs at its end (a server reply, for a message).
std::string WithoutTrailingLineBreaks(const std::string& text);
// Keeps only the text between the first "<" and the first ">". False, and the
// text unchanged, when either is missing or ">" comes first.
bool ExtractAddress(std::string& text);
bool IsEmailAddress(const std::string& text);
// The address of a sender text in lower case: the part in angle brackets, or
// the whole text without its end blanks when it has none.
std::string LowerBareAddress(const std::string& sender);

// printf into a string of whatever length the text needs.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);
// One text argument for one "%s" of the format.
inline std::string FormatWith(const char* format, const std::string& argument) {
    return StringPrintf(format, argument.c_str());
}
