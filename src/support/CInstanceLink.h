#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class CSettings;
class CLogFile;

// Coordination between running copies (the window and the scanner) so that
// no two of them work on one mailbox. Each copy listens on a local socket
// "<appName>-<pid>" in the user's runtime folder. A question is one line, the
// account key (PopName immediately followed by PopLogin) and "\n"; the answer
// is "1\n" when the copy handles that account, else "0\n". Plain AF_UNIX
// stream sockets, so a program without Qt takes part as well.
class CInstanceLink {
public:
    // Keys longer than this never match; a question longer than it is answered 0.
    static constexpr size_t kMaxKeyLength = 1000;
    // A copy that has not answered in this time counts as "no".
    static constexpr int kAnswerLimitMs = 2000;

    enum AskResult { AR_No = 0, AR_Yes = 1, AR_NoAnswer = -1, AR_Stale = -2 };

    CInstanceLink() = default;
    ~CInstanceLink();
    CInstanceLink(const CInstanceLink&) = delete;
    CInstanceLink& operator=(const CInstanceLink&) = delete;

    // $XDG_RUNTIME_DIR, else /tmp/runtime-<uid> (made with mode 0700); with
    // "/". Empty, with the reason in `error`, when the folder is not a real
    // folder of this user without group or other permissions.
    static std::string RuntimeFolder(std::string* error = nullptr);
    // This process's socket path for the application name; empty without a
    // usable runtime folder.
    static std::string OwnSocketPath(const std::string& appName);
    // True when the process at the other end of a connected local socket
    // runs as this user (copies of other users are ignored both ways).
    static bool PeerIsSameUser(int fd);

    // The account keys of every account in AccountsList, in order; every
    // listed account counts, scanning enabled or not.
    static std::vector<std::string> AccountKeys(CSettings& settings);
    // The answering side: logs the question and whether this copy handles it.
    static bool HandlesAccount(CSettings& settings, const std::string& key, CLogFile* log);

    // Asks one copy about one key, waiting at most limitMs. AR_Stale when
    // nothing listens there any more and the copy's process is gone.
    static AskResult Ask(const std::string& socketPath, const std::string& key,
                         int limitMs = kAnswerLimitMs);
    // Asks every other live copy of appName about each key; removes the
    // sockets of dead copies. True when one of them handles one of the keys;
    // `who` gets that copy's socket path and `key` the key.
    static bool AnotherCopyHandles(const std::string& appName, const std::vector<std::string>& keys,
                                   std::string* who = nullptr, std::string* key = nullptr,
                                   int limitMs = kAnswerLimitMs);

    // Listens on `socketPath` on a thread of its own, answering with
    // `answer` until Stop or destruction. False (with a reason) when the
    // socket cannot be made.
    bool Listen(const std::string& socketPath, std::function<bool(const std::string&)> answer,
                std::string* error = nullptr);
    void Stop();
    const std::string& Path() const { return m_path; }

private:
    void Run();
    // Reads one question from a connected socket within limitMs and writes
    // the answer. (The window answers from its event loop with the same
    // limits and HandlesAccount, since this would block it.)
    static void ServeOne(int fd, const std::function<bool(const std::string&)>& answer,
                         int limitMs = kAnswerLimitMs);

    std::string m_path;
    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::function<bool(const std::string&)> m_answer;
    std::thread m_thread;
};
