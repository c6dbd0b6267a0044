#pragma once

#include <optional>
#include <string>
#include <vector>

// The settings file: an INI file read and written the way the Windows profile
// functions do it. Section and key names match without regard to case; a write
// keeps every other line of the file. Nothing is cached: every call goes to the
// file, under one lock shared by every CSettings in the process; each write
// also takes an advisory lock on "<ini>.lock" so that another process's
// read-modify-write never undoes it. A key whose name begins with "!" holds
// its value scrambled, and a file holding one is kept unreadable to others.
class CSettings {
public:
    explicit CSettings(std::string iniPath);

    const std::string& GetPath() const { return m_path; }

    // At most 99,999 characters. A default returned for an absent key is
    // returned as given, never unscrambled.
    std::string GetString(const std::string& key, const std::string& section,
                          const std::string& defaultValue) const;
    // Leading decimal digits (with an optional "-"); a non-numeric value is 0.
    // The default when the key is absent, empty or holds -1.
    int GetInt(const std::string& key, const std::string& section, int defaultValue) const;
    // True exactly when the value is "Yes".
    bool GetBool(const std::string& key, const std::string& section, bool defaultValue) const;

    // Each write replaces the file atomically. False when it could not be written.
    bool WriteString(const std::string& key, const std::string& value, const std::string& section);
    bool WriteInt(const std::string& key, int value, const std::string& section);
    bool WriteBool(const std::string& key, bool value, const std::string& section);

    // One edit of Apply: the key set to value ("!" keys scrambled), or removed
    // when value is nullopt.
    struct Change {
        std::string key;
        std::string section;
        std::optional<std::string> value;
    };
    // Every change in one atomic replacement of the file: all of them are
    // written, or (false) the file stays as it was.
    bool Apply(const std::vector<Change>& changes);

    std::vector<std::string> GetSectionKeys(const std::string& section) const;

    // Longest value a "!" key takes; a longer one is cut to this length.
    static constexpr size_t kMaxScrambledLength = 999;
    static constexpr size_t kMaxValueLength = 99999;

private:
    std::string m_path;
};
