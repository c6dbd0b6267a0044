#include "support/StringUtils.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

void SplitBySet(const std::string& delimiters, const std::string& text, StringList& list) {
    list.clear();
    size_t pos = 0;
    while (true) {
        size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::string::npos) {
            return;
        }
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        list.push_back(text.substr(start, end - start));
        pos = end;
    }
}

void SplitList(const std::string& text, StringList& list, bool keepExisting) {
    StringList pieces;
    SplitBySet(",", text, pieces);
    if (!keepExisting) {
        list.clear();
    }
    list.insert(list.end(), pieces.begin(), pieces.end());
}

void JoinList(std::string& output, const StringList& list, bool dropLastComma) {
    for (const auto& entry : list) {
        output += entry;
        output += ',';
    }
    if (dropLastComma && !list.empty()) {
        output.pop_back();
    }
}

void RemoveDuplicates(StringList& list) {
    std::unordered_set<std::string> seen;
    StringList kept;
    kept.reserve(list.size());
    for (auto& entry : list) {
        if (seen.insert(entry).second) {
            kept.push_back(std::move(entry));
        }
    }
    list.swap(kept);
}

void ToLower(std::string& text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

void RemoveChars(std::string& text, const std::string& set) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [&](char c) { return set.find(c) != std::string::npos; }),
               text.end());
}

void MakeSafeName(std::string& text, bool keepPathSeparators) {
    RemoveChars(text, keepPathSeparators ? "%:*?\"<>|,;. \t" : "%\\/:*?\"<>|,;. \t");
    // A NUL (a header may carry one) would cut the name short where the file
    // system sees it: the counter and ".eml" would be lost from the path.
    // Line breaks and the other control characters have no place in a name
    // either.
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) {
                                  unsigned char u = static_cast<unsigned char>(c);
                                  return u < 0x20 || u == 0x7f;
                              }),
               text.end());
}

void ToCrLf(std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && i > 0 && text[i - 1] != '\r') {
            out += '\r';
        }
        out += text[i];
    }
    text.swap(out);
}

void IndentForLog(std::string& text) {
    std::string out = "\t";
    out.reserve(text.size() + 16);
    for (char c : text) {
        out += c;
        if (c == '\n') {
            out += '\t';
        }
    }
    text.swap(out);
}

void PrependWithSeparator(std::string& text, const std::string& head,
                          const std::string& separator) {
    text = text.empty() ? head : head + separator + text;
}

std::string FillPlaceholders(const std::string& templ, const StringList& args) {
    std::string out;
    out.reserve(templ.size());
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (size_t i = 0; i < templ.size(); ++i) {
        char c = templ[i];
        if (c != '%' || i + 1 >= templ.size()) {
            out += c;
            continue;
        }
        char next = templ[i + 1];
        if (!isDigit(next)) {
            out += c;
            out += next;
            ++i;
            continue;
        }
        size_t number = static_cast<size_t>(next - '0');
        size_t used = 2;
        // A second digit joins only when it makes a number above 9 (a leading
        // zero, as in "%05", stays placeholder 0 followed by the text "5").
        if (i + 2 < templ.size() && isDigit(templ[i + 2]) && number > 0) {
            number = number * 10 + static_cast<size_t>(templ[i + 2] - '0');
            used = 3;
        }
        out += number < args.size() ? args[number] : std::string("???");
        i += used - 1;
    }
    return out;
}

bool ExtractAddress(std::string& text) {
    size_t open = text.find('<');
    size_t close = text.find('>');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return false;
    }
    text = text.substr(open + 1, close - open - 1);
    return true;
}

std::string LowerBareAddress(const std::string& sender) {
    std::string address = sender;
    if (!ExtractAddress(address)) {
        size_t first = address.find_first_not_of(" \t\r\n");
        size_t last = address.find_last_not_of(" \t\r\n");
        address =
            first == std::string::npos ? std::string() : address.substr(first, last - first + 1);
    }
    ToLower(address);
    return address;
}

bool IsEmailAddress(const std::string& text) {
    size_t at = text.find('@');
    if (at == std::string::npos) {
        return false;
    }
    size_t dot = text.find('.', at);
    while (dot != std::string::npos) {
        if (dot + 1 < text.size()) {
            return true;
        }
        dot = text.find('.', dot + 1);
    }
    return false;
}

std::string StringPrintfV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = StringPrintfV(format, args);
    va_end(args);
    return out;
}

std::string EncodeBase64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string WithoutTrailingLineBreaks(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}
