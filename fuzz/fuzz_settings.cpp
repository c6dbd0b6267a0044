// The settings file: an arbitrary file is read, one key written (or removed)
// and read back. The written key has its value (a removed one is absent);
// every other key keeps its own.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "support/CSettings.h"

namespace {

const char* kAbsent = "\x01(absent)";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

// Every section name that a line of the file opens, as the store reads them.
std::vector<std::string> SectionNames(const std::string& content) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos <= content.size()) {
        size_t end = content.find('\n', pos);
        std::string line = Trim(content.substr(pos, end == std::string::npos ? end : end - pos));
        if (line.size() >= 2 && line[0] == '[') {
            size_t close = line.find(']');
            if (close != std::string::npos) {
                names.push_back(Trim(line.substr(1, close - 1)));
            }
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return names;
}

using Snapshot = std::map<std::pair<std::string, std::string>, std::string>;

Snapshot Take(const CSettings& settings, const std::string& content) {
    Snapshot values;
    for (const auto& section : SectionNames(content)) {
        for (const auto& key : settings.GetSectionKeys(section)) {
            auto slot = std::make_pair(Lower(section), Lower(key));
            if (!values.count(slot)) {
                values[slot] = settings.GetString(key, section, kAbsent);
            }
        }
    }
    return values;
}

std::string ReadAll(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    std::string content;
    if (f) {
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
            content.append(buffer, n);
        }
        fclose(f);
    }
    return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FuzzHome::Get().Path() + "InboxWarden.ini";
    static const char* const kSections[] = {"General", "Home", "SMTP"};
    static const char* const kKeys[] = {"AccountsList", "!password", "emailAddress", "LastCleanup",
                                        "interval"};
    FuzzedDataProvider input(data, size);
    std::string file = input.ConsumeRandomLengthString(16384);
    uint8_t choice = input.ConsumeIntegral<uint8_t>();
    std::string section =
        (choice & 3) < 3 ? kSections[choice & 3] : input.ConsumeRandomLengthString(64);
    size_t keyChoice = (choice >> 2) % 6;
    std::string key = keyChoice < 5 ? kKeys[keyChoice] : input.ConsumeRandomLengthString(32);
    std::string value = input.ConsumeRemainingBytesAsString();

    FuzzHome::WriteFile(path, file);
    CSettings settings(path);
    Snapshot before = Take(settings, file);

    const bool remove = (choice & 0x80) != 0;
    bool written = remove ? settings.Apply({{key, section, std::nullopt}})
                          : settings.WriteString(key, value, section);
    // Names are taken without the blanks at their ends, as they read back.
    const std::string trimmedKey = Trim(key);
    bool acceptable = !trimmedKey.empty() &&
                      trimmedKey.find_first_of("\r\n[]=;") == std::string::npos &&
                      Trim(section).find_first_of("\r\n]") == std::string::npos;
    FUZZ_CHECK(written == acceptable, "WriteString gave %d for key [%s] section [%s]", written,
               key.c_str(), section.c_str());
    std::string after = ReadAll(path);
    if (!written) {
        FUZZ_CHECK(after == file, "a refused write changed the file");
        return 0;
    }

    // What a read gives back: no line breaks, no blanks at either end, and a
    // scrambled value no longer than the scrambled limit.
    std::string expected;
    for (char c : value) {
        if (c != '\r' && c != '\n') {
            expected += c;
        }
    }
    if (key[0] == '!' && expected.size() > CSettings::kMaxScrambledLength) {
        expected.resize(CSettings::kMaxScrambledLength);
    }
    expected = Trim(expected);
    if (expected.size() > CSettings::kMaxValueLength) {
        expected.resize(CSettings::kMaxValueLength);
    }
    if (remove) {
        expected = kAbsent;
    }
    std::string got = settings.GetString(key, section, kAbsent);
    FUZZ_CHECK(got == expected, "key [%s] section [%s]: read %zu bytes [%.80s], wrote %zu [%.80s]",
               key.c_str(), section.c_str(), got.size(), got.c_str(), expected.size(),
               expected.c_str());

    Snapshot now = Take(settings, after);
    auto written_slot = std::make_pair(Lower(Trim(section)), Lower(Trim(key)));
    for (const auto& [slot, old] : before) {
        if (slot == written_slot) {
            continue;
        }
        auto found = now.find(slot);
        FUZZ_CHECK(found != now.end(), "key [%s] of section [%s] is gone", slot.second.c_str(),
                   slot.first.c_str());
        FUZZ_CHECK(found->second == old, "key [%s] of section [%s] changed from [%.80s] to [%.80s]",
                   slot.second.c_str(), slot.first.c_str(), old.c_str(), found->second.c_str());
    }
    for (const auto& [slot, val] : now) {
        FUZZ_CHECK((slot == written_slot && !remove) || before.count(slot),
                   "new key [%s] in section [%s]", slot.second.c_str(), slot.first.c_str());
    }
    return 0;
}
