#pragma once

#include <array>
#include <cstdint>
#include <string>

class CLogFile;

// The installation's secret for challenge tags. A challenge carries a tag
// made from the secret and the address it goes to, so a tag seen in one
// challenge opens the door for that address only, and nobody can make one
// without the secret. The secret is 256 random bits in the file
// "InboxWarden.key" in the data folder, readable by the user only.
class CChallengeKey {
public:
    static constexpr const char* kFileName = "InboxWarden.key";
    static constexpr size_t kKeySize = 32;
    static constexpr const char* kTagPrefix = "[InboxWardenChallenge:";

    enum LoadResult {
        LR_Loaded,     // read from the file
        LR_Created,    // there was none: a new one was made and kept
        LR_Replaced,   // the file was damaged: it was moved aside and a new one kept
        LR_Temporary,  // the file could not be read or written: a key for this run only
    };

    CChallengeKey();
    ~CChallengeKey();
    CChallengeKey(const CChallengeKey&) = delete;
    CChallengeKey& operator=(const CChallengeKey&) = delete;

    // Reads the secret from the folder, making it when it is missing. Never
    // leaves the object without a key; the result says where it came from,
    // and every case but LR_Loaded writes a log line.
    LoadResult Load(const std::string& folder, CLogFile* log);
    bool IsLoaded() const { return m_loaded; }

    // "[InboxWardenChallenge:%x]" with the first 32 bits of HMAC-SHA256 over
    // the sender's bare address in lower case.
    std::string TagFor(const std::string& sender) const;
    // True when the text holds a tag of the challenge form, for any address
    // (1 to 8 hexadecimal digits between the prefix and "]").
    static bool HasWellFormedTag(const std::string& text);

private:
    bool ReadKey(const std::string& path, CLogFile* log, bool& damaged);
    bool CreateKey(const std::string& folder, const std::string& path, CLogFile* log);

    std::array<unsigned char, kKeySize> m_key{};
    bool m_loaded = false;
};
