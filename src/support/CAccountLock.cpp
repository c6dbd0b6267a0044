#include "support/CAccountLock.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/CInstanceLink.h"

CAccountLock::~CAccountLock() {
    Release();
}

std::string CAccountLock::LockPath(const std::string& folder, const std::string& appName,
                                   const std::string& key) {
    // The key holds a host and a login: a digest keeps both out of the
    // folder's listing and any key within a file name's length.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(key.data(), key.size(), digest, &size, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string name = folder + appName + "-account-";
    for (unsigned int i = 0; i < size && i < 16; ++i) {
        name += kHex[digest[i] >> 4];
        name += kHex[digest[i] & 15];
    }
    return name + ".lock";
}

bool CAccountLock::Acquire(const std::string& appName, const std::vector<std::string>& keys,
                           std::string* conflictKey, std::string* error) {
    Release();
    std::string folder = CInstanceLink::RuntimeFolder(error);
    if (folder.empty()) {
        return false;
    }
    // One order for every copy: two copies of the same accounts then meet
    // at the first key, and one of them gets all.
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    for (const std::string& key : sorted) {
        std::string path = LockPath(folder, appName, key);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (error) {
                *error = path + ": " + strerror(errno);
            }
            Release();
            return false;
        }
        int rc;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            int why = errno;
            close(fd);
            Release();
            if (why == EWOULDBLOCK) {
                if (conflictKey) {
                    *conflictKey = key;
                }
            } else if (error) {
                *error = path + ": " + strerror(why);
            }
            return false;
        }
        m_fds.push_back(fd);
    }
    return true;
}

void CAccountLock::Release() {
    for (int fd : m_fds) {
        close(fd);
    }
    m_fds.clear();
}
