#include "lists/AddressBookImport.h"

#include <cstdio>
#include <memory>
#include <string_view>

#include "lists/ContactImport.h"

namespace {

std::string Lowered(std::string_view text) {
    std::string lower(text);
    ToLower(lower);
    return lower;
}

bool EndsWithNoCase(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && Lowered(text.substr(text.size() - tail.size())) == tail;
}

void TrimBlanks(std::string& text) {
    size_t start = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    text = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

bool Fail(AddressBookResult& result, size_t line, const char* message) {
    result.error = message;
    result.errorLine = line;
    return false;
}

// Adds the address of one value; a "mailto:" link and a "Name <address>"
// form are both met in the wild. False when nothing is left of it.
bool TakeAddress(std::string value, AddressBookResult& result) {
    TrimBlanks(value);
    if (Lowered(value.substr(0, 7)) == "mailto:") {
        value.erase(0, 7);
    }
    std::string address;
    if (!ContactAddressFromText(value, address)) {
        return false;
    }
    TrimBlanks(address);
    if (address.empty()) {
        return false;
    }
    result.addresses.push_back(address);
    return true;
}

// The text split at line ends (CRLF, LF or a lone CR), with a leading
// byte-order mark dropped.
std::vector<std::string_view> PhysicalLines(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        int high = text[i] == '=' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string RemoveVCardEscapes(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            out += next == 'n' || next == 'N' ? '\n' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The colon that ends a property's name and parameters: the first one outside
// a quoted parameter value.
size_t ValueColon(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ':' && !quoted) {
            return i;
        }
    }
    return std::string::npos;
}

}  // namespace

bool ParseVCardText(const std::string& text, AddressBookResult& result) {
    std::vector<std::string_view> lines = PhysicalLines(text);
    bool inCard = false;
    bool cardHasAddress = false;
    size_t cardLine = 0;
    for (size_t i = 0; i < lines.size();) {
        size_t lineNumber = i + 1;
        std::string line(lines[i++]);
        // Folded lines go on with a blank; quoted-printable values of the
        // older exports go on after a "=" at the end instead.
        for (;;) {
            if (i < lines.size() && !lines[i].empty() &&
                (lines[i][0] == ' ' || lines[i][0] == '\t')) {
                line.append(lines[i].substr(1));
                ++i;
                continue;
            }
            size_t colon = ValueColon(line);
            bool quotedPrintable =
                colon != std::string::npos &&
                Lowered(line.substr(0, colon)).find("quoted-printable") != std::string::npos;
            if (quotedPrintable && !line.empty() && line.back() == '=' && i < lines.size()) {
                line.pop_back();
                line.append(lines[i++]);
                continue;
            }
            break;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        size_t colon = ValueColon(line);
        if (colon == std::string::npos) {
            return Fail(result, lineNumber, "a line that is no vCard property (no \":\")");
        }
        std::string head = Lowered(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        std::string name = head.substr(0, head.find(';'));
        if (size_t dot = name.rfind('.'); dot != std::string::npos) {
            name.erase(0, dot + 1);  // a group prefix: "item1.EMAIL"
        }
        TrimBlanks(name);
        std::string lowerValue = Lowered(value);
        TrimBlanks(lowerValue);
        if (name == "begin" && lowerValue == "vcard") {
            if (inCard) {
                return Fail(result, lineNumber, "a card begins inside another card");
            }
            inCard = true;
            cardHasAddress = false;
            cardLine = lineNumber;
            continue;
        }
        if (!inCard) {
            return Fail(result, lineNumber, "text outside a card (BEGIN:VCARD missing)");
        }
        if (name == "end" && lowerValue == "vcard") {
            inCard = false;
            ++result.contacts;
            result.skipped += cardHasAddress ? 0 : 1;
        } else if (name == "email") {
            if (head.find("quoted-printable") != std::string::npos) {
                value = DecodeQuotedPrintable(value);
            }
            cardHasAddress |= TakeAddress(RemoveVCardEscapes(value), result);
        }
    }
    if (inCard) {
        return Fail(result, cardLine, "a card that never ends (END:VCARD missing)");
    }
    return true;
}

namespace {

// RFC 4180 records: quoted fields may hold separators, doubled quotes and
// line ends.
class CCsvReader {
public:
    CCsvReader(std::string_view text, char separator) : m_text(text), m_separator(separator) {}

    bool AtEnd() const { return m_pos >= m_text.size(); }
    size_t Line() const { return m_line; }

    // False for a quote that never closes; openLine is then where it opened.
    bool Next(StringList& fields, size_t& openLine) {
        fields.assign(1, std::string());
        bool quoted = false;
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos++];
            if (quoted) {
                if (c == '"' && m_pos < m_text.size() && m_text[m_pos] == '"') {
                    fields.back() += '"';
                    ++m_pos;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    m_line += c == '\n' ? 1 : 0;
                    fields.back() += c;
                }
            } else if (c == '"') {
                quoted = true;
                openLine = m_line;
            } else if (c == m_separator) {
                fields.emplace_back();
            } else if (c == '\r' || c == '\n') {
                if (c == '\r' && m_pos < m_text.size() && m_text[m_pos] == '\n') {
                    ++m_pos;
                }
                ++m_line;
                return true;
            } else {
                fields.back() += c;
            }
        }
        return !quoted;
    }

private:
    std::string_view m_text;
    char m_separator;
    size_t m_pos = 0;
    size_t m_line = 1;
};

char GuessSeparator(std::string_view text) {
    std::string_view header = text.substr(0, text.find_first_of("\r\n"));
    size_t counts[3] = {0, 0, 0};
    const char separators[3] = {',', ';', '\t'};
    bool quoted = false;
    for (char c : header) {
        quoted = c == '"' ? !quoted : quoted;
        for (int s = 0; s < 3 && !quoted; ++s) {
            counts[s] += c == separators[s];
        }
    }
    int best = 0;
    for (int s = 1; s < 3; ++s) {
        best = counts[s] > counts[best] ? s : best;
    }
    return separators[best];
}

bool IsEmailColumn(std::string name) {
    ToLower(name);
    bool email = name.find("email") != std::string::npos ||
                 name.find("e-mail") != std::string::npos ||
                 name.find("e mail") != std::string::npos;
    return email && name.find("type") == std::string::npos &&
           name.find("label") == std::string::npos && name.find("display") == std::string::npos;
}

}  // namespace

bool ParseContactsCsvText(const std::string& text, AddressBookResult& result) {
    std::string_view body(text);
    if (body.substr(0, 3) == "\xEF\xBB\xBF") {
        body.remove_prefix(3);
    }
    CCsvReader reader(body, GuessSeparator(body));
    StringList fields;
    size_t openLine = 0;
    if (!reader.Next(fields, openLine)) {
        return Fail(result, openLine, "a quoted field that never closes");
    }
    std::vector<size_t> columns;
    for (size_t c = 0; c < fields.size(); ++c) {
        if (IsEmailColumn(fields[c])) {
            columns.push_back(c);
        }
    }
    if (columns.empty()) {
        return Fail(result, 1, "no e-mail column in the header line");
    }
    while (!reader.AtEnd()) {
        if (!reader.Next(fields, openLine)) {
            return Fail(result, openLine, "a quoted field that never closes");
        }
        if (fields.size() == 1 && fields[0].find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        ++result.contacts;
        bool found = false;
        for (size_t c : columns) {
            if (c >= fields.size()) {
                continue;
            }
            // One cell may hold several addresses: "a@x.org ::: b@y.org".
            const std::string& cell = fields[c];
            size_t start = 0;
            for (;;) {
                size_t end = cell.find(":::", start);
                found |= TakeAddress(cell.substr(start, end - start), result);
                if (end == std::string::npos) {
                    break;
                }
                start = end + 3;
            }
        }
        result.skipped += found ? 0 : 1;
    }
    return true;
}

bool IsAddressBookFile(const std::string& path) {
    return EndsWithNoCase(path, ".vcf") || EndsWithNoCase(path, ".csv");
}

bool ReadAddressBook(const std::string& path, AddressBookResult& result) {
    if (!IsAddressBookFile(path)) {
        return Fail(result, 0, "not an address book (.vcf or .csv)");
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "rb"), fclose);
    if (!file) {
        return Fail(result, 0, "the file cannot be opened");
    }
    std::string text;
    char buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        if (text.size() + got > kMaxAddressBookBytes) {
            return Fail(result, 0, "the file is larger than 64 MB");
        }
        text.append(buffer, got);
    }
    if (ferror(file.get())) {
        return Fail(result, 0, "the file cannot be read");
    }
    return EndsWithNoCase(path, ".vcf") ? ParseVCardText(text, result)
                                        : ParseContactsCsvText(text, result);
}
