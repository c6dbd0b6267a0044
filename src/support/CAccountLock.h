#pragma once

#include <string>
#include <vector>

// Claims mailboxes for this copy of the program: an advisory lock (flock)
// per account key on "<appName>-account-<digest>.lock" in the runtime
// folder, held until Release or destruction, or until the process ends,
// however it ends. Of any number of copies that start together on one
// mailbox, the kernel gives the lock to exactly one; nothing to time out.
class CAccountLock {
public:
    CAccountLock() = default;
    ~CAccountLock();
    CAccountLock(const CAccountLock&) = delete;
    CAccountLock& operator=(const CAccountLock&) = delete;

    // Takes the lock of every key, in a fixed order, or none of them. False
    // when another copy holds one (its key in `conflictKey`) or a lock file
    // cannot be made (the reason in `error`).
    bool Acquire(const std::string& appName, const std::vector<std::string>& keys,
                 std::string* conflictKey, std::string* error);
    void Release();

    // The lock file of a key in `folder` (which ends with "/").
    static std::string LockPath(const std::string& folder, const std::string& appName,
                                const std::string& key);

private:
    std::vector<int> m_fds;
};
