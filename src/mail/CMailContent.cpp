#include "mail/CMailContent.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "support/StringUtils.h"

namespace {

// The value after the first tag of the list that occurs; found is false when
// none does. Without a "\r\n" after it the value is empty or, with
// restWhenOpen, the rest of the text.
std::string FieldValue(const std::string& header, std::initializer_list<const char*> tags,
                       bool restWhenOpen, bool& found) {
    found = false;
    for (const char* tag : tags) {
        size_t pos = header.find(tag);
        if (pos == std::string::npos) {
            continue;
        }
        found = true;
        size_t start = pos + std::char_traits<char>::length(tag);
        size_t end = header.find("\r\n", start);
        if (end == std::string::npos) {
            return restWhenOpen ? header.substr(start) : std::string();
        }
        return header.substr(start, end - start);
    }
    return {};
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "%a, %d %b %Y %H:%M:%S %z" in local time (RFC 5322 3.3: a four-digit
// year and a numeric zone); the names are always English, whatever locale
// the interface has set.
std::string FormatMailDate(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    offset = offset < 0 ? -offset : offset;
    char text[128];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
             kDays[(local.tm_wday % 7 + 7) % 7], local.tm_mday,
             kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
             local.tm_min, local.tm_sec, sign, offset / 60 % 100, offset % 60);
    return text;
}

// A value no blank can fold still fits a line of 998 characters.
constexpr size_t kMaxFieldValue = 900;

// "Name: value" folded as RFC 5322 (2.2.3) asks: a line break goes before
// a blank of the value, or, in an address list, after a comma (with a
// blank of its own). Only a line that would pass the 998 characters RFC 5322
// allows is folded: this program reads a field's first line alone (the
// identities of stored records rest on that reading), so a restored message
// whose tag or sender went to a second line would not be recognised when it
// comes back. A value of at most kMaxFieldValue never needs it.
std::string FoldField(const std::string& name, const std::string& value, bool addressList) {
    constexpr size_t kLine = 998;
    std::string out = name + ": ";
    size_t lineStart = 0;
    size_t lastBreak = std::string::npos;
    bool addBlank = false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == ' ' || c == '\t') {
            lastBreak = out.size();
            addBlank = false;
        } else if (addressList && i > 0 && value[i - 1] == ',') {
            lastBreak = out.size();
            addBlank = true;
        }
        out += c;
        if (out.size() - lineStart > kLine && lastBreak != std::string::npos &&
            lastBreak > lineStart + name.size() + 2) {
            out.insert(lastBreak, addBlank ? "\r\n " : "\r\n");
            lineStart = lastBreak + 2;
            lastBreak = std::string::npos;
        }
    }
    return out + "\r\n";
}

// Header lines taken over from another message keep their own CRLF line
// ends; any other CR or LF in them becomes a blank.
std::string CleanHeaderLines(const std::string& lines) {
    std::string out = lines;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        bool lineEnd = c == '\r' && i + 1 < out.size() && out[i + 1] == '\n';
        if (lineEnd) {
            ++i;
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            out[i] = ' ';
        }
    }
    return out;
}

}  // namespace

bool CMailContent::AddRecipient(const std::string& address, const std::string& name) {
    m_recipients.emplace_back(address, name);
    return true;
}

bool CMailContent::GetRecipient(int index, std::string& address, std::string& name) const {
    if (index < 0 || index >= GetRecipientCount()) {
        return false;
    }
    address = m_recipients[index].first;
    name = m_recipients[index].second;
    return true;
}

int CMailContent::GetRecipientCount() const {
    return static_cast<int>(m_recipients.size());
}

bool CMailContent::AddRecipients(const std::string& text) {
    size_t start = 0;
    while (true) {
        size_t end = text.find(';', start);
        std::string piece = text.substr(start, end == std::string::npos ? end : end - start);
        size_t lt = piece.find('<');
        if (lt != std::string::npos) {
            size_t gt = piece.find('>');
            if (gt == std::string::npos || gt < lt) {
                return false;
            }
            AddRecipient(piece.substr(lt + 1, gt - lt - 1), piece.substr(0, lt));
        } else {
            AddRecipient(piece, "");
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool CMailContent::ParseHeader() {
    // Every field line is found by the line break before it and ends at the
    // one after it; framing the header with line breaks lets its first and
    // last lines count too, instead of losing a sender that happens to stand
    // there.
    const std::string framed = "\r\n" + m_header + "\r\n";
    bool found = false;
    std::string value = FieldValue(framed, {"\r\nFrom: ", "\r\nfrom: "}, false, found);
    if (found) {
        m_from = value;
    }
    value = FieldValue(framed, {"\r\nTo: ", "\r\nto: "}, false, found);
    if (found) {
        AddRecipients(value);
    }

    // The Date line is the first line that starts with the tag: delivering
    // servers put "Delivery-Date:" or "Resent-Date:" lines above it.
    size_t tagPos = std::min(framed.find("\r\ndate: "), framed.find("\r\nDate: "));
    if (tagPos != std::string::npos) {
        size_t start = tagPos + 8;
        size_t end = framed.find("\r\n", start);
        m_dateText =
            end == std::string::npos ? framed.substr(start) : framed.substr(start, end - start);
    }

    value = FieldValue(framed, {"\r\nSubject: ", "\r\nsubject: "}, true, found);
    if (found) {
        m_subject = value;
    }
    value = FieldValue(framed, {"\r\nMessage-ID: ", "\r\nMessage-Id: ", "\r\nmessage-id: "}, false,
                       found);
    if (found) {
        m_messageId = value;
    }
    value = FieldValue(framed, {"\r\nCc: ", "\r\ncc: ", "\r\nCC: "}, false, found);
    if (found) {
        AddRecipients(value);
    }

    std::string lower = m_header;
    ToLower(lower);
    size_t mime = lower.find("\r\nmime");
    if (mime != std::string::npos) {
        size_t boundary = lower.find("boundary", mime);
        if (boundary != std::string::npos) {
            size_t end = lower.find("\r\n", boundary);
            if (end != std::string::npos) {
                m_mimeLines = m_header.substr(mime + 2, end - mime - 2);
            }
        }
    }
    return true;
}

CMailContent::MailKind CMailContent::GetMailKind() const {
    auto trim = [](std::string text) {
        size_t first = text.find_first_not_of(" \t\r");
        size_t last = text.find_last_not_of(" \t\r");
        text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
        ToLower(text);
        return text;
    };
    bool list = false;
    size_t start = 0;
    while (start < m_header.size()) {
        size_t end = m_header.find('\n', start);
        if (end == std::string::npos) {
            end = m_header.size();
        }
        const std::string line = m_header.substr(start, end - start);
        start = end + 1;
        size_t colon = line.find(':');
        // Continuation lines and lines without a field name carry no field.
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || colon == std::string::npos) {
            continue;
        }
        std::string name = trim(line.substr(0, colon));
        if (name == "list-id" || name == "list-unsubscribe" || name == "list-post") {
            list = true;
        } else if (name == "precedence" || name == "auto-submitted") {
            std::string value = line.substr(colon + 1);
            value = trim(value.substr(0, value.find(';')));
            if (name == "auto-submitted" ? value != "no" : value == "junk") {
                return MK_Automatic;
            }
            if (name == "precedence" && (value == "bulk" || value == "list")) {
                list = true;
            }
        }
    }
    return list ? MK_List : MK_Personal;
}

std::string CMailContent::HeaderValue(const std::string& text, size_t maxLength) {
    std::string value = text;
    for (char& c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            c = ' ';
        }
    }
    if (value.size() <= maxLength) {
        return value;
    }
    size_t cut = maxLength;
    // Never inside a UTF-8 character...
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    // ...nor inside an encoded word ("=?charset?B?text?="), which would no
    // longer decode.
    size_t start = value.rfind("=?", cut);
    if (start != std::string::npos) {
        size_t q1 = value.find('?', start + 2);
        size_t q2 = q1 == std::string::npos ? q1 : value.find('?', q1 + 1);
        size_t end = q2 == std::string::npos ? q2 : value.find("?=", q2 + 1);
        if (end == std::string::npos || end + 2 > cut) {
            cut = start;
        }
    }
    value.resize(cut);
    return value;
}

bool CMailContent::ParseDate(const std::string& text, time_t& when) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text.size() > 200) {
        return false;
    }
    // The day name adds nothing a reader can trust.
    size_t comma = text.find(',', start);
    const char* from = text.c_str() + (comma == std::string::npos ? start : comma + 1);
    for (const char* format : {"%d %b %Y %H:%M:%S", "%d %b %Y %H:%M"}) {
        struct tm parts {};
        const char* rest = strptime(from, format, &parts);
        if (!rest) {
            continue;
        }
        while (*rest == ' ' || *rest == '\t') {
            ++rest;
        }
        long offset = 0;
        if ((rest[0] == '+' || rest[0] == '-') && isdigit(static_cast<unsigned char>(rest[1])) &&
            isdigit(static_cast<unsigned char>(rest[2])) &&
            isdigit(static_cast<unsigned char>(rest[3])) &&
            isdigit(static_cast<unsigned char>(rest[4]))) {
            offset = ((rest[1] - '0') * 10 + (rest[2] - '0')) * 3600 +
                     ((rest[3] - '0') * 10 + (rest[4] - '0')) * 60;
            offset = rest[0] == '-' ? -offset : offset;
        } else if (!(strncmp(rest, "UT", 2) == 0 || strncmp(rest, "GMT", 3) == 0)) {
            return false;
        }
        if (parts.tm_year < 70) {
            return false;
        }
        when = timegm(&parts) - offset;
        return true;
    }
    return false;
}

bool CMailContent::FormatHeader() {
    if (m_recipients.empty()) {
        return false;
    }
    // Every value may come from a stranger's message: a CR or LF in it would
    // end the field and begin one of the stranger's choosing.
    std::string to;
    for (size_t i = 0; i < m_recipients.size(); ++i) {
        if (i > 0) {
            to += ',';
        }
        to += HeaderValue(m_recipients[i].second, kMaxFieldValue) + "<" +
              HeaderValue(m_recipients[i].first, kMaxFieldValue) + ">";
    }
    m_composedAt = time(nullptr);
    m_header = "Date: " + FormatMailDate(m_composedAt) + "\r\n" +
               FoldField("From", HeaderValue(m_from, kMaxFieldValue), true) +
               FoldField("To", to, true) +
               FoldField("Subject", HeaderValue(m_subject, kMaxFieldValue), false) +
               m_extraHeaderLines + CleanHeaderLines(m_mimeLines) + "\r\n";
    return true;
}

// A line begins at the start of the text and after every line feed: a bare
// line feed counts too, because some servers end lines at it, and a dot
// there left alone could end the data early.
void CMailContent::StuffDots(std::string& text) {
    std::string out;
    size_t copied = 0;
    for (size_t start = 0; start < text.size();) {
        if (text[start] == '.') {
            if (out.empty()) {
                out.reserve(text.size() + text.size() / 64 + 16);
            }
            out.append(text, copied, start - copied);
            out += '.';
            copied = start;
        }
        size_t eol = text.find('\n', start);
        if (eol == std::string::npos) {
            break;
        }
        start = eol + 1;
    }
    if (copied == 0 && out.empty()) {
        return;
    }
    out.append(text, copied, std::string::npos);
    text.swap(out);
}

void CMailContent::UnstuffDots(std::string& text) {
    std::string out;
    size_t copied = 0;
    bool changed = false;
    for (size_t start = 0; start < text.size();) {
        if (text[start] == '.') {
            if (!changed) {
                out.reserve(text.size());
                changed = true;
            }
            // Drop the first dot of the line, keep what follows as it is.
            out.append(text, copied, start - copied);
            copied = start + 1;
        }
        size_t eol = text.find('\n', start);
        if (eol == std::string::npos) {
            break;
        }
        start = eol + 1;
    }
    if (!changed) {
        return;
    }
    out.append(text, copied, std::string::npos);
    text.swap(out);
}

void CMailContent::StuffDots() {
    StuffDots(m_body);
}

void CMailContent::UnstuffDots() {
    UnstuffDots(m_body);
}

namespace {

// The sum of the signed characters at the positions i with i % Width == k.
// Shifting is linear in wrapping arithmetic, so the hash of the groups is
// the sum of these column sums, each shifted by 8k bits.
template <size_t Width>
void ColumnSums(const std::string& text, int64_t (&columns)[Width]) {
    const auto* p = reinterpret_cast<const signed char*>(text.data());
    size_t n = text.size();
    size_t full = n - n % Width;
    int64_t sums[Width] = {};
    // Blocks small enough that 32-bit partial sums cannot overflow.
    constexpr size_t kBlock = Width * 4096;
    for (size_t start = 0; start < full; start += kBlock) {
        size_t end = std::min(full, start + kBlock);
        int32_t partial[Width] = {};
        for (size_t i = start; i < end; i += Width) {
            for (size_t k = 0; k < Width; ++k) {
                partial[k] += p[i + k];
            }
        }
        for (size_t k = 0; k < Width; ++k) {
            sums[k] += partial[k];
        }
    }
    for (size_t k = 0; full + k < n; ++k) {
        sums[k] += p[full + k];
    }
    for (size_t k = 0; k < Width; ++k) {
        columns[k] = sums[k];
    }
}

}  // namespace

int32_t HashText32(const std::string& text) {
    int64_t columns[4];
    ColumnSums(text, columns);
    uint32_t sum = 0;
    for (size_t k = 0; k < 4; ++k) {
        sum += static_cast<uint32_t>(columns[k]) << (8 * k);
    }
    return static_cast<int32_t>(sum);
}

int64_t HashText64(const std::string& text) {
    int64_t columns[8];
    ColumnSums(text, columns);
    uint64_t sum = 0;
    for (size_t k = 0; k < 8; ++k) {
        sum += static_cast<uint64_t>(columns[k]) << (8 * k);
    }
    return static_cast<int64_t>(sum);
}
