#include "mail/CAuthResults.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "support/StringUtils.h"

namespace {

// Header bytes and fields looked at for the trusted results: the server's
// own lines are at the top, and a header of spam can be made huge.
constexpr size_t kMaxHeaderScan = 256 * 1024;
constexpr size_t kMaxFieldsScanned = 1000;
constexpr int kMaxCommentDepth = 16;

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Lower(std::string text) {
    ToLower(text);
    return text;
}

// A cursor over one field value, skipping folding whitespace and comments.
class Reader {
public:
    explicit Reader(const std::string& text) : m_text(text) {}

    bool AtEnd() {
        SkipCfws();
        return m_pos >= m_text.size();
    }
    bool Failed() const { return m_failed; }
    // True and past it when the next character (after CFWS) is c.
    bool Take(char c) {
        SkipCfws();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        SkipCfws();
        return m_pos < m_text.size() && m_text[m_pos] == c;
    }
    // A run of characters up to white space, a comment, a quote, ";" or any
    // of `stops`; empty when there is none.
    std::string Token(const char* stops) {
        SkipCfws();
        size_t start = m_pos;
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(' || c == ')' ||
                c == '"' || c == ';' || std::strchr(stops, c) != nullptr) {
                break;
            }
            ++m_pos;
        }
        return m_text.substr(start, m_pos - start);
    }
    // A token or a quoted string (its quoted pairs resolved).
    bool Value(const char* stops, std::string& value) {
        SkipCfws();
        if (m_pos < m_text.size() && m_text[m_pos] == '"') {
            ++m_pos;
            value.clear();
            while (m_pos < m_text.size() && m_text[m_pos] != '"') {
                if (m_text[m_pos] == '\\' && m_pos + 1 < m_text.size()) {
                    ++m_pos;
                }
                value += m_text[m_pos++];
            }
            if (m_pos >= m_text.size()) {
                m_failed = true;
                return false;
            }
            ++m_pos;
            return true;
        }
        value = Token(stops);
        return !value.empty();
    }
    // Past the next ";" outside quotes and comments, or to the end.
    void SkipToSemicolon() {
        while (!AtEnd() && !m_failed) {
            if (Peek(';')) {
                return;
            }
            std::string ignored;
            if (!Value("=./", ignored) && !m_failed) {
                ++m_pos;  // a lone "=", "." or "/"
            }
        }
    }
    size_t Position() const { return m_pos; }
    void Rewind(size_t pos) { m_pos = pos; }

private:
    void SkipCfws() {
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++m_pos;
            } else if (c == '(') {
                SkipComment();
            } else {
                return;
            }
        }
    }
    void SkipComment() {
        int depth = 0;
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos++];
            if (c == '\\') {
                ++m_pos;
            } else if (c == '(') {
                if (++depth > kMaxCommentDepth) {
                    break;
                }
            } else if (c == ')' && --depth == 0) {
                return;
            }
        }
        // Unclosed or nested too deep: nothing after it can be read.
        m_failed = true;
        m_pos = m_text.size();
    }

    const std::string& m_text;
    size_t m_pos = 0;
    bool m_failed = false;
};

bool IsKeyword(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

// One resinfo after its ";": method[/version] = result, reason, properties.
bool ReadResult(Reader& in, CAuthResults::Result& result) {
    std::string method = in.Token("=/");
    if (!IsKeyword(method)) {
        return false;
    }
    if (in.Take('/')) {
        std::string version = in.Token("=");
        if (version.empty()) {
            return false;
        }
    }
    if (!in.Take('=')) {
        return false;
    }
    std::string value = in.Token("=./");
    if (!IsKeyword(value)) {
        return false;
    }
    result.method = Lower(method);
    result.result = Lower(value);
    while (!in.AtEnd() && !in.Peek(';')) {
        std::string name = in.Token("=.");
        if (!IsKeyword(name)) {
            return false;
        }
        CAuthResults::Property property;
        if (in.Take('.')) {
            property.ptype = Lower(name);
            property.property = Lower(in.Token("="));
            if (property.property.empty()) {
                return false;
            }
        } else {
            property.property = Lower(name);
        }
        if (!in.Take('=')) {
            return false;
        }
        // A property value may be an address or a domain, dots and "@" included.
        if (!in.Value("", property.value) && in.Failed()) {
            return false;
        }
        if (property.ptype.empty() && property.property == "reason") {
            result.reason = property.value;
        } else if (result.properties.size() < CAuthResults::kMaxProperties) {
            result.properties.push_back(std::move(property));
        }
    }
    return true;
}

struct Field {
    std::string name;  // lower case
    std::string value;
};

// The header's fields from the top, unfolded only as far as a continuation
// line joins its field; calls visit until it returns false.
template <typename Visit>
void ForEachField(const std::string& header, Visit visit) {
    const size_t limit = std::min(header.size(), kMaxHeaderScan);
    size_t pos = 0;
    size_t count = 0;
    Field field;
    bool open = false;
    while (pos < limit) {
        size_t end = header.find('\n', pos);
        if (end == std::string::npos || end > limit) {
            end = limit;
        }
        std::string line = header.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;  // the end of the header
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (open && field.value.size() < CAuthResults::kMaxFieldLength + 1) {
                field.value += "\r\n" + line;
            }
            continue;
        }
        if (open && !visit(field)) {
            return;
        }
        open = false;
        size_t colon = line.find(':');
        if (colon == std::string::npos || ++count > kMaxFieldsScanned) {
            if (count > kMaxFieldsScanned) {
                return;
            }
            continue;
        }
        field.name = Lower(line.substr(0, colon));
        while (!field.name.empty() && (field.name.back() == ' ' || field.name.back() == '\t')) {
            field.name.pop_back();
        }
        field.value = line.substr(colon + 1);
        open = true;
    }
    if (open) {
        visit(field);
    }
}

// The host after "by" in a Received field, lower case; empty when none.
std::string ByHost(const std::string& value) {
    Reader in(value);
    for (int i = 0; i < 64 && !in.AtEnd(); ++i) {
        std::string word;
        if (!in.Value("", word)) {
            if (in.Failed() || in.Take(';')) {
                break;
            }
            continue;
        }
        if (Lower(word) == "by") {
            std::string host;
            in.Value("", host);
            return Lower(host);
        }
    }
    return std::string();
}

// Hops inside the receiving system: address literals, names without a dot,
// private name spaces.
bool IsInternalHost(const std::string& host) {
    if (host.empty()) {
        return false;
    }
    if (host[0] == '[' || host.find(':') != std::string::npos ||
        host.find('.') == std::string::npos) {
        return true;
    }
    if (std::all_of(host.begin(), host.end(),
                    [](unsigned char c) { return std::isdigit(c) || c == '.'; })) {
        return true;
    }
    for (const char* suffix : {".internal", ".local", ".localdomain", ".lan"}) {
        if (EndsWith(host, suffix)) {
            return true;
        }
    }
    return false;
}

// The organisation's part of a host name: its last two labels, three under a
// two-letter country code with a short second label ("example.co.uk").
std::string OrgDomain(const std::string& host) {
    size_t last = host.rfind('.');
    if (last == std::string::npos || last == 0) {
        return host;
    }
    size_t second = host.rfind('.', last - 1);
    if (second == std::string::npos) {
        return host;
    }
    if (host.size() - last - 1 == 2 && last - second - 1 <= 3 && second > 0) {
        size_t third = host.rfind('.', second - 1);
        return third == std::string::npos ? host : host.substr(third + 1);
    }
    return host.substr(second + 1);
}

// Walks the top of the header as the receiving server left it. servIds empty:
// learning, the first field of any id counts and the walk stops there.
std::vector<CAuthResults::Result> Walk(const std::string& header,
                                       const std::vector<std::string>& servIds, bool* found,
                                       std::string* topId) {
    std::vector<CAuthResults::Result> results;
    std::vector<std::string> ownDomains;
    for (const std::string& id : servIds) {
        if (!id.empty() && !IsInternalHost(id)) {
            ownDomains.push_back(OrgDomain(id));
        }
    }
    bool firstNamed = true;
    bool started = false;
    if (found) {
        *found = false;
    }
    ForEachField(header, [&](const Field& field) {
        if (field.name == "received") {
            if (started) {
                return false;  // below the server's verdict: the sender's own lines
            }
            std::string host = ByHost(field.value);
            bool own = IsInternalHost(host);
            if (!own && !host.empty()) {
                std::string domain = OrgDomain(host);
                // The topmost named host is the server's own: nothing from
                // outside stands above its incoming hop.
                if (firstNamed) {
                    ownDomains.push_back(domain);
                    firstNamed = false;
                }
                own = std::find(ownDomains.begin(), ownDomains.end(), domain) != ownDomains.end();
            }
            return own;
        }
        if (field.name != "authentication-results") {
            return true;
        }
        CAuthResults parsed;
        if (!parsed.Parse(field.value)) {
            return true;
        }
        if (topId) {
            *topId = parsed.m_servId;
            if (found) {
                *found = true;
            }
            return false;
        }
        if (std::find(servIds.begin(), servIds.end(), parsed.m_servId) == servIds.end()) {
            return true;
        }
        started = true;
        if (found) {
            *found = true;
        }
        for (auto& result : parsed.m_results) {
            if (results.size() < CAuthResults::kMaxResults) {
                results.push_back(std::move(result));
            }
        }
        return true;
    });
    return results;
}

std::string DomainOf(const std::string& addressOrDomain) {
    size_t at = addressOrDomain.rfind('@');
    std::string domain = at == std::string::npos ? addressOrDomain : addressOrDomain.substr(at + 1);
    while (!domain.empty() && domain.back() == '.') {
        domain.pop_back();
    }
    return Lower(domain);
}

// True when signer is the domain or a parent of it; a bare top-level name
// never is (no one signs for all of "com").
bool IsSameOrParent(const std::string& signer, const std::string& domain) {
    if (signer.empty() || domain.empty()) {
        return false;
    }
    if (signer == domain) {
        return true;
    }
    return signer.find('.') != std::string::npos && domain.size() > signer.size() &&
           EndsWith(domain, "." + signer);
}

}  // namespace

std::string CAuthResults::Result::Get(const std::string& name) const {
    for (const Property& p : properties) {
        if ((p.ptype.empty() ? p.property : p.ptype + "." + p.property) == name) {
            return p.value;
        }
    }
    return std::string();
}

bool CAuthResults::Parse(const std::string& value) {
    m_servId.clear();
    m_version = 1;
    m_results.clear();
    if (value.size() > kMaxFieldLength) {
        return false;
    }
    Reader in(value);
    size_t start = in.Position();
    std::string id;
    if (!in.Value("=", id)) {
        return false;
    }
    if (in.Peek('=') || in.Peek('/')) {
        // No identifier: the field starts with its first result.
        in.Rewind(start);
        id.clear();
    } else {
        m_servId = Lower(id);
        std::string version = in.Token("");
        if (!version.empty()) {
            if (version.size() > 3 ||
                !std::all_of(version.begin(), version.end(),
                             [](unsigned char c) { return std::isdigit(c); })) {
                return false;
            }
            m_version = std::stoi(version);
        }
        if (in.AtEnd()) {
            return !in.Failed();
        }
        if (!in.Take(';')) {
            return false;
        }
        size_t before = in.Position();
        if (Lower(in.Token("")) == "none" && in.AtEnd()) {
            return !in.Failed();
        }
        in.Rewind(before);
    }
    bool first = true;
    while (!in.AtEnd()) {
        Result result;
        if (ReadResult(in, result)) {
            if (m_results.size() < kMaxResults) {
                m_results.push_back(std::move(result));
            }
        } else if (first || in.Failed()) {
            m_results.clear();
            return false;
        } else {
            in.SkipToSemicolon();
        }
        first = false;
        if (!in.AtEnd() && !in.Take(';')) {
            in.SkipToSemicolon();
            in.Take(';');
        }
    }
    return !in.Failed();
}

std::vector<CAuthResults::Result> CAuthResults::Trusted(const std::string& header,
                                                        const std::vector<std::string>& servIds,
                                                        bool* found) {
    if (servIds.empty()) {
        if (found) {
            *found = false;
        }
        return {};
    }
    return Walk(header, servIds, found, nullptr);
}

bool CAuthResults::TopServId(const std::string& header, std::string& servId) {
    bool found = false;
    servId.clear();
    Walk(header, {}, &found, &servId);
    return found;
}

bool CAuthResults::Verifies(const std::vector<Result>& results, const std::string& fromDomain) {
    const std::string domain = DomainOf(fromDomain);
    if (domain.empty()) {
        return false;
    }
    for (const Result& r : results) {
        if (r.result != "pass") {
            continue;
        }
        if (r.method == "dmarc" && DomainOf(r.Get("header.from")) == domain) {
            return true;
        }
        if (r.method == "dkim" && (IsSameOrParent(DomainOf(r.Get("header.d")), domain) ||
                                   IsSameOrParent(DomainOf(r.Get("header.i")), domain))) {
            return true;
        }
        if (r.method == "spf" && IsSameOrParent(DomainOf(r.Get("smtp.mailfrom")), domain)) {
            return true;
        }
    }
    return false;
}

std::string CAuthResults::Summary(const std::vector<Result>& results) {
    std::vector<std::string> parts;
    for (const Result& r : results) {
        if (r.method != "spf" && r.method != "dkim" && r.method != "dmarc") {
            continue;
        }
        std::string part = r.method + "=" + r.result;
        if (std::find(parts.begin(), parts.end(), part) == parts.end()) {
            parts.push_back(part);
        }
    }
    if (parts.empty()) {
        return "no results";
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}
