#include "engine/CChallengeKey.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/CLogFile.h"
#include "support/FileWrite.h"
#include "support/StringUtils.h"

namespace {

void LogLine(CLogFile* log, const std::string& text) {
    if (log) {
        log->Write("%s", text.c_str());
    }
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

CChallengeKey::CChallengeKey() = default;

CChallengeKey::~CChallengeKey() {
    OPENSSL_cleanse(m_key.data(), m_key.size());
}

CChallengeKey::LoadResult CChallengeKey::Load(const std::string& folder, CLogFile* log) {
    const std::string path = folder + "/" + kFileName;
    bool damaged = false;
    if (ReadKey(path, log, damaged)) {
        return LR_Loaded;
    }
    if (damaged) {
        // A damaged file opens nothing; it is kept aside for a look, never
        // overwritten in place.
        std::string aside = path + ".damaged";
        if (rename(path.c_str(), aside.c_str()) != 0) {
            LogLine(log, StringPrintf("Could not move the damaged challenge key %s aside (%s)",
                                      path.c_str(), strerror(errno)));
        } else if (CreateKey(folder, path, log)) {
            LogLine(log, StringPrintf("The challenge key %s was damaged and was moved to %s; a "
                                      "new key was made: earlier challenges are not recognised",
                                      path.c_str(), aside.c_str()));
            return LR_Replaced;
        }
    } else {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
            if (CreateKey(folder, path, log)) {
                LogLine(log, StringPrintf("Made a new challenge key %s", path.c_str()));
                return LR_Created;
            }
            // Another process may have made it at the same moment.
            if (ReadKey(path, log, damaged)) {
                return LR_Loaded;
            }
        }
    }
    if (RAND_bytes(m_key.data(), static_cast<int>(m_key.size())) != 1) {
        // No source of randomness: the tags are still per address, but only
        // as good as the time and process they come from.
        uint64_t seed = static_cast<uint64_t>(time(nullptr)) ^
                        (static_cast<uint64_t>(getpid()) << 32) ^ reinterpret_cast<uintptr_t>(this);
        for (size_t i = 0; i < m_key.size(); ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            m_key[i] = static_cast<unsigned char>(seed >> 56);
        }
    }
    m_loaded = true;
    LogLine(log, StringPrintf("======> No usable challenge key in %s: challenges of this run are "
                              "recognised only until the program ends",
                              path.c_str()));
    return LR_Temporary;
}

bool CChallengeKey::ReadKey(const std::string& path, CLogFile* log, bool& damaged) {
    damaged = false;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            LogLine(log, StringPrintf("Cannot look at the challenge key %s: %s", path.c_str(),
                                      strerror(errno)));
        }
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        // A link or anything but a plain file is not ours to read or replace.
        LogLine(log, StringPrintf("The challenge key %s is not a plain file; it is left alone",
                                  path.c_str()));
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        LogLine(log, StringPrintf("Cannot open the challenge key %s: %s", path.c_str(),
                                  strerror(errno)));
        return false;
    }
    unsigned char buffer[kKeySize + 1];
    size_t total = 0;
    while (total < sizeof buffer) {
        ssize_t n = read(fd, buffer + total, sizeof buffer - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    if ((info.st_mode & 077) != 0 && fchmod(fd, 0600) == 0) {
        LogLine(log, StringPrintf("The challenge key %s was readable by others; it is now "
                                  "readable by the user only",
                                  path.c_str()));
    }
    close(fd);
    if (total != kKeySize || info.st_size != static_cast<off_t>(kKeySize)) {
        LogLine(log, StringPrintf("The challenge key %s is damaged: %d bytes instead of %d",
                                  path.c_str(), static_cast<int>(info.st_size),
                                  static_cast<int>(kKeySize)));
        damaged = true;
        OPENSSL_cleanse(buffer, sizeof buffer);
        return false;
    }
    std::memcpy(m_key.data(), buffer, kKeySize);
    OPENSSL_cleanse(buffer, sizeof buffer);
    m_loaded = true;
    return true;
}

bool CChallengeKey::CreateKey(const std::string& folder, const std::string& path, CLogFile* log) {
    std::array<unsigned char, kKeySize> key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        LogLine(log, "Cannot make a challenge key: no random bytes");
        return false;
    }
    // Written whole under a name of its own, then linked to the real name:
    // the key file appears complete or not at all, and a second process
    // starting at the same moment cannot replace it.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        temp = folder + "/" + kFileName + "." + std::to_string(getpid()) + "." +
               std::to_string(counter++) + ".new";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        LogLine(log, StringPrintf("Cannot write the challenge key %s: %s", temp.c_str(),
                                  strerror(errno)));
        OPENSSL_cleanse(key.data(), key.size());
        return false;
    }
    bool ok = WriteAll(fd, key.data(), key.size()) && fsync(fd) == 0;
    if (close(fd) != 0) {
        ok = false;
    }
    if (ok && link(temp.c_str(), path.c_str()) != 0) {
        // EEXIST: another process made it first; the caller reads that one.
        if (errno != EEXIST)
            LogLine(log, StringPrintf("Cannot put the challenge key in place as %s: %s",
                                      path.c_str(), strerror(errno)));
        ok = false;
    }
    unlink(temp.c_str());
    if (ok) {
        int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        m_key = key;
        m_loaded = true;
    }
    OPENSSL_cleanse(key.data(), key.size());
    return ok;
}

std::string CChallengeKey::TagFor(const std::string& sender) const {
    std::string address = LowerBareAddress(sender);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), m_key.data(), static_cast<int>(m_key.size()),
              reinterpret_cast<const unsigned char*>(address.data()), address.size(), digest,
              &length) ||
        length < 4) {
        return std::string();
    }
    uint32_t value = (static_cast<uint32_t>(digest[0]) << 24) |
                     (static_cast<uint32_t>(digest[1]) << 16) |
                     (static_cast<uint32_t>(digest[2]) << 8) | static_cast<uint32_t>(digest[3]);
    char tag[64];
    snprintf(tag, sizeof tag, "[InboxWardenChallenge:%x]", value);
    return tag;
}

bool CChallengeKey::HasWellFormedTag(const std::string& text) {
    const size_t prefixLength = std::strlen(kTagPrefix);
    for (size_t at = text.find(kTagPrefix); at != std::string::npos;
         at = text.find(kTagPrefix, at + 1)) {
        size_t i = at + prefixLength;
        size_t digits = 0;
        while (i < text.size() && digits <= 8 && IsHex(text[i])) {
            ++i;
            ++digits;
        }
        if (digits >= 1 && digits <= 8 && i < text.size() && text[i] == ']') {
            return true;
        }
    }
    return false;
}
