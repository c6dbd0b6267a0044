#include "support/CSettings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/CAppEnvironment.h"
#include "support/FileWrite.h"
#include "support/Scramble.h"

namespace {

std::mutex& StoreLock() {
    static std::mutex lock;
    return lock;
}

// Serialises the read-modify-write of the settings file between processes
// (the window and the scanner): an advisory lock on "<ini>.lock", a file of
// its own because each write replaces the settings file by another inode.
// A copy that holds it longer than the wait is stuck; the write then fails
// rather than undo that copy's change.
class ProcessLock {
public:
    explicit ProcessLock(const std::string& iniPath) {
        m_fd = open((iniPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            // A folder we cannot create in cannot take the settings file either.
            m_held = true;
            return;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(m_held = flock(m_fd, LOCK_EX | LOCK_NB) == 0)) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~ProcessLock() {
        if (m_fd >= 0) {
            close(m_fd);  // releases the lock
        }
    }
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;
    bool Held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = false;
};

// A settings file larger than this is not a settings file; reading stops there.
constexpr size_t kMaxFileSize = 64u << 20;

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

void RemoveLineBreaks(std::string& text) {
    text.erase(
        std::remove_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }),
        text.end());
}

// One line of the file as it stands, without its "\n".
struct Line {
    std::string text;
};

// Reads the file's lines. A missing file has none. False when the file exists
// but cannot be read whole: a write must then leave it alone.
bool ReadLines(const std::string& path, std::vector<Line>& lines) {
    lines.clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        return errno == ENOENT;
    }
    std::string content;
    char buffer[65536];
    size_t n;
    bool complete = true;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        if (content.size() + n > kMaxFileSize) {
            complete = false;
            break;
        }
        content.append(buffer, n);
    }
    if (ferror(f)) {
        complete = false;
    }
    fclose(f);
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            lines.push_back({content.substr(pos)});
            break;
        }
        lines.push_back({content.substr(pos, end - pos)});
        pos = end + 1;
    }
    return complete;
}

// The section name of a "[name]" line; false for any other line.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') {
        return false;
    }
    size_t close = t.find(']');
    if (close == std::string::npos) {
        return false;
    }
    name = Trim(t.substr(1, close - 1));
    return true;
}

// The key and value of a "key=value" line; false for comments and other lines.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') {
        return false;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return !key.empty();
}

// Index range [begin, end) of the first section so named; begin is the line
// after its header. False when there is none. Names in the file are read
// without blanks at their ends, so the name asked for is taken so too (an
// account typed as "Home, Work" is " Work").
bool FindSection(const std::vector<Line>& lines, const std::string& section, size_t& begin,
                 size_t& end) {
    std::string name;
    const std::string wanted = Trim(section);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (SectionName(lines[i].text, name) && EqualNoCase(name, wanted)) {
            begin = i + 1;
            end = begin;
            while (end < lines.size() && !SectionName(lines[end].text, name)) {
                ++end;
            }
            return true;
        }
    }
    return false;
}

bool ReadValue(const std::string& path, const std::string& key, const std::string& section,
               std::string& value) {
    std::vector<Line> lines;
    ReadLines(path, lines);
    size_t begin, end;
    if (!FindSection(lines, section, begin, end)) {
        return false;
    }
    std::string k, v;
    const std::string wanted = Trim(key);
    for (size_t i = begin; i < end; ++i) {
        if (KeyValue(lines[i].text, k, v) && EqualNoCase(k, wanted)) {
            value = v;
            return true;
        }
    }
    return false;
}

bool WriteFileAtomically(const std::string& path, const std::string& content, bool secret) {
    std::string temp = path + ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    // Keep the permissions the user gave the file, but never let others read
    // one that holds a scrambled secret; a new one holds passwords.
    mode_t mode = stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0600;
    fchmod(fd, secret ? (mode & 07700) : mode);
    if (!WriteAll(fd, content.data(), content.size())) {
        close(fd);
        unlink(name.data());
        return false;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        unlink(name.data());
        return false;
    }
    if (rename(name.data(), path.c_str()) != 0) {
        unlink(name.data());
        return false;
    }
    return true;
}

// Sets (value given) or removes (nullopt) one key in lines. False for names
// that would not read back.
bool EditLines(std::vector<Line>& lines, const std::string& givenKey,
               const std::optional<std::string>& value, const std::string& givenSection) {
    // Names with line breaks or brackets would write lines that read back as
    // other keys or sections; blanks at their ends would not read back.
    const std::string key = Trim(givenKey);
    const std::string section = Trim(givenSection);
    if (key.empty() || key.find_first_of("\r\n[]=;") != std::string::npos ||
        section.find_first_of("\r\n]") != std::string::npos) {
        return false;
    }
    size_t begin, end;
    const bool found = FindSection(lines, section, begin, end);
    if (!value) {
        // Every copy: a duplicate line would otherwise be read in its place.
        std::string k, v;
        for (size_t i = end; found && i > begin; --i) {
            if (KeyValue(lines[i - 1].text, k, v) && EqualNoCase(k, key)) {
                lines.erase(lines.begin() + static_cast<long>(i - 1));
            }
        }
        return true;
    }
    // A value cannot span lines in this format: line breaks would become keys.
    std::string clean = *value;
    RemoveLineBreaks(clean);
    std::string newLine = key + "=" + clean;
    if (!found) {
        if (!lines.empty() && !Trim(lines.back().text).empty()) {
            lines.push_back({""});
        }
        lines.push_back({"[" + section + "]"});
        lines.push_back({newLine});
    } else {
        std::string k, v;
        bool replaced = false;
        size_t lastKey = begin;
        for (size_t i = begin; i < end; ++i) {
            if (KeyValue(lines[i].text, k, v)) {
                lastKey = i + 1;
                if (EqualNoCase(k, key)) {
                    bool cr = !lines[i].text.empty() && lines[i].text.back() == '\r';
                    lines[i].text = k + "=" + clean + (cr ? "\r" : "");
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            bool cr =
                begin > 0 && !lines[begin - 1].text.empty() && lines[begin - 1].text.back() == '\r';
            lines.insert(lines.begin() + static_cast<long>(lastKey), {newLine + (cr ? "\r" : "")});
        }
    }
    return true;
}

bool WriteLines(const std::string& path, const std::vector<Line>& lines) {
    std::string content;
    bool secret = false;
    std::string k, v;
    for (const auto& line : lines) {
        content += line.text;
        content += '\n';
        secret = secret || (KeyValue(line.text, k, v) && k[0] == '!');
    }
    return WriteFileAtomically(path, content, secret);
}

bool WriteValue(const std::string& path, const std::string& key, const std::string& value,
                const std::string& section) {
    std::vector<Line> lines;
    return ReadLines(path, lines) && EditLines(lines, key, value, section) &&
           WriteLines(path, lines);
}

void LogToMain(const char* format, const std::string& arg) {
    if (CAppEnvironment* env = CAppEnvironment::Instance()) {
        env->GetMainLog().Write(format, arg.c_str());
    }
}

// Whether the lock is held; when not, the main log says why the change is lost.
bool HeldOrSaid(const ProcessLock& lock, const std::string& path) {
    if (!lock.Held()) {
        LogToMain("Settings: another program held %s for too long; the change was not saved.",
                  path);
    }
    return lock.Held();
}

// The file's form of a value: "!" keys scrambled, and cut to what they hold.
std::string StoredForm(const std::string& key, const std::string& value) {
    std::string stored = value;
    if (!key.empty() && key[0] == '!') {
        // The file keeps a value on one line without blanks at its ends; the
        // scrambled text must be stored whole, or it unscrambles into
        // something else, so those go before scrambling.
        RemoveLineBreaks(stored);
        if (stored.size() > CSettings::kMaxScrambledLength) {
            // Refusing would lose the whole secret; a cut one is still usable
            // and the log says what happened.
            LogToMain("Settings: the value of %s was longer than 999 characters and was cut.", key);
            stored.resize(CSettings::kMaxScrambledLength);
        }
        stored = Scramble(Trim(stored), true);
    }
    return stored;
}

}  // namespace

CSettings::CSettings(std::string iniPath) : m_path(std::move(iniPath)) {}

std::string CSettings::GetString(const std::string& key, const std::string& section,
                                 const std::string& defaultValue) const {
    std::string value;
    {
        std::lock_guard<std::mutex> guard(StoreLock());
        if (!ReadValue(m_path, key, section, value)) {
            return defaultValue;
        }
    }
    if (value.size() > kMaxValueLength) {
        value.resize(kMaxValueLength);
    }
    if (!key.empty() && key[0] == '!') {
        value = Scramble(value, false);
    }
    return value;
}

int CSettings::GetInt(const std::string& key, const std::string& section, int defaultValue) const {
    std::string value;
    {
        std::lock_guard<std::mutex> guard(StoreLock());
        if (!ReadValue(m_path, key, section, value)) {
            return defaultValue;
        }
    }
    // An empty value is an absent one: "Days=" must not read as 0 days.
    if (value.empty()) {
        return defaultValue;
    }
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
        negative = value[i] == '-';
        ++i;
    }
    long long number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = number * 10 + (value[i] - '0');
        if (number > static_cast<long long>(INT_MAX) + 1) {
            number = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) {
        number = -number;
    }
    if (number > INT_MAX) {
        number = INT_MAX;
    }
    int result = static_cast<int>(number);
    return result == -1 ? defaultValue : result;
}

bool CSettings::GetBool(const std::string& key, const std::string& section,
                        bool defaultValue) const {
    std::string value = GetString(key, section, defaultValue ? "Yes" : "No");
    if (value.size() > 9) {
        value.resize(9);
    }
    return value == "Yes";
}

bool CSettings::WriteString(const std::string& key, const std::string& value,
                            const std::string& section) {
    std::string stored = StoredForm(key, value);
    std::lock_guard<std::mutex> guard(StoreLock());
    ProcessLock fileLock(m_path);
    if (!HeldOrSaid(fileLock, m_path)) {
        return false;
    }
    return WriteValue(m_path, key, stored, section);
}

bool CSettings::Apply(const std::vector<Change>& changes) {
    std::vector<Line> lines;
    std::lock_guard<std::mutex> guard(StoreLock());
    ProcessLock fileLock(m_path);
    if (!HeldOrSaid(fileLock, m_path)) {
        return false;
    }
    if (!ReadLines(m_path, lines)) {
        return false;
    }
    for (const Change& change : changes) {
        std::optional<std::string> stored;
        if (change.value) {
            stored = StoredForm(change.key, *change.value);
        }
        if (!EditLines(lines, change.key, stored, change.section)) {
            return false;
        }
    }
    return WriteLines(m_path, lines);
}

bool CSettings::WriteInt(const std::string& key, int value, const std::string& section) {
    return WriteString(key, std::to_string(value), section);
}

bool CSettings::WriteBool(const std::string& key, bool value, const std::string& section) {
    return WriteString(key, value ? "Yes" : "No", section);
}

std::vector<std::string> CSettings::GetSectionKeys(const std::string& section) const {
    std::lock_guard<std::mutex> guard(StoreLock());
    std::vector<std::string> keys;
    std::vector<Line> lines;
    ReadLines(m_path, lines);
    size_t begin, end;
    if (!FindSection(lines, section, begin, end)) {
        return keys;
    }
    std::string k, v;
    for (size_t i = begin; i < end; ++i) {
        if (KeyValue(lines[i].text, k, v)) {
            keys.push_back(k);
        }
    }
    return keys;
}
