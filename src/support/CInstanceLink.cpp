#include "support/CInstanceLink.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/CLogFile.h"
#include "support/CSettings.h"
#include "support/StringUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// Waits for `events` on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    while (true) {
        pollfd entry{fd, events, 0};
        int got = poll(&entry, 1, MsLeft(deadline));
        if (got > 0) {
            return true;
        }
        if (got == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool SendAll(int fd, const std::string& text, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < text.size()) {
        if (!WaitFor(fd, POLLOUT, deadline)) {
            return false;
        }
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to and without the first "\n", at most `limit` bytes before it.
// False on time-out, a closed connection or an overlong line.
bool ReadLine(int fd, std::string& line, size_t limit, Clock::time_point deadline) {
    line.clear();
    char buffer[512];
    while (true) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            return false;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        line.append(buffer, static_cast<size_t>(n));
        size_t end = line.find('\n');
        if (end != std::string::npos) {
            line.resize(end);
            return line.size() <= limit;
        }
        if (line.size() > limit) {
            return false;
        }
    }
}

// The pid in a socket name "<appName>-<pid>"; 0 when there is none.
pid_t PidOfName(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.size() - prefix.size() > 9) {
        return 0;
    }
    pid_t pid = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

bool ProcessAlive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Another local user who made the folder first could read the account
// names, answer in our place or remove our sockets: only a real folder of
// ours that nobody else may enter will do.
bool PrivateFolder(const std::string& folder, std::string* error) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        if (error) {
            *error = "The runtime folder " + folder + " cannot be used: " + strerror(errno);
        }
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
        if (error) {
            char mode[8];
            snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
            *error = "The runtime folder " + folder + " is refused: it is not a folder of user " +
                     std::to_string(getuid()) + " closed to others (owner " +
                     std::to_string(info.st_uid) + ", mode " + mode + ").";
        }
        return false;
    }
    return true;
}

}  // namespace

CInstanceLink::~CInstanceLink() {
    Stop();
}

std::string CInstanceLink::RuntimeFolder(std::string* error) {
    std::string folder;
    if (const char* dir = getenv("XDG_RUNTIME_DIR"); dir && *dir) {
        folder = dir;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
    } else {
        folder = "/tmp/runtime-" + std::to_string(getuid());
        mkdir(folder.c_str(), 0700);
    }
    if (!PrivateFolder(folder, error)) {
        return std::string();
    }
    return folder + "/";
}

std::string CInstanceLink::OwnSocketPath(const std::string& appName) {
    std::string folder = RuntimeFolder();
    return folder.empty() ? folder : folder + appName + "-" + std::to_string(getpid());
}

bool CInstanceLink::PeerIsSameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           peer.uid == getuid();
}

std::vector<std::string> CInstanceLink::AccountKeys(CSettings& settings) {
    StringList accounts;
    SplitList(settings.GetString("AccountsList", "General", ""), accounts);
    std::vector<std::string> keys;
    for (const std::string& account : accounts) {
        keys.push_back(settings.GetString("PopName", account, "") +
                       settings.GetString("PopLogin", account, ""));
    }
    return keys;
}

bool CInstanceLink::HandlesAccount(CSettings& settings, const std::string& key, CLogFile* log) {
    if (log) {
        log->Write("Another InboxWarden is asking if I handle %s...", key.c_str());
    }
    if (key.size() > kMaxKeyLength) {
        return false;
    }
    for (const std::string& own : AccountKeys(settings)) {
        if (own == key) {
            if (log) {
                log->Write("And I do!");
            }
            return true;
        }
    }
    return false;
}

CInstanceLink::AskResult CInstanceLink::Ask(const std::string& socketPath, const std::string& key,
                                            int limitMs) {
    if (key.size() > kMaxKeyLength || key.find('\n') != std::string::npos) {
        return AR_No;
    }
    sockaddr_un address;
    if (!FillAddress(socketPath, address)) {
        return AR_NoAnswer;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return AR_NoAnswer;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    AskResult result = AR_NoAnswer;
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0 && errno == EAGAIN) {
        // A full backlog: wait for room as for any answer.
        rc = WaitFor(fd, POLLOUT, deadline) ? 0 : -1;
        int error = 0;
        socklen_t size = sizeof error;
        if (rc == 0 && (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error)) {
            rc = -1;
        }
    }
    if (rc != 0) {
        int error = errno;
        close(fd);
        if (error == ECONNREFUSED || error == ENOENT) {
            std::string name = socketPath.substr(socketPath.rfind('/') + 1);
            std::string prefix = name.substr(0, name.rfind('-') + 1);
            if (!ProcessAlive(PidOfName(name, prefix))) {
                return AR_Stale;
            }
        }
        return AR_NoAnswer;
    }
    std::string line;
    // A socket of another user may sit in a folder it could write to: never
    // tell it our accounts nor believe its answer.
    if (!PeerIsSameUser(fd)) {
        close(fd);
        return AR_NoAnswer;
    }
    if (SendAll(fd, key + "\n", deadline) && ReadLine(fd, line, 16, deadline)) {
        result = line == "1" ? AR_Yes : AR_No;
    }
    close(fd);
    return result;
}

bool CInstanceLink::AnotherCopyHandles(const std::string& appName,
                                       const std::vector<std::string>& keys, std::string* who,
                                       std::string* key, int limitMs) {
    std::string folder = RuntimeFolder();
    if (folder.empty()) {
        return false;
    }
    std::string prefix = appName + "-";
    std::string own = OwnSocketPath(appName);
    std::vector<std::string> others;
    if (DIR* dir = opendir(folder.c_str())) {
        // A runtime folder holds a few dozen entries; the bound only guards
        // against a folder that is being filled while we read it.
        for (int count = 0; count < 100000; ++count) {
            dirent* entry = readdir(dir);
            if (!entry) {
                break;
            }
            std::string name = entry->d_name;
            std::string path = folder + name;
            struct stat info {};
            if (PidOfName(name, prefix) == 0 || path == own || lstat(path.c_str(), &info) != 0 ||
                !S_ISSOCK(info.st_mode)) {
                continue;
            }
            others.push_back(path);
        }
        closedir(dir);
    }
    for (const std::string& path : others) {
        for (const std::string& candidate : keys) {
            AskResult answer = Ask(path, candidate, limitMs);
            if (answer == AR_Stale) {
                unlink(path.c_str());
                break;
            }
            if (answer == AR_NoAnswer) {
                break;
            }
            if (answer == AR_Yes) {
                if (who) {
                    *who = path;
                }
                if (key) {
                    *key = candidate;
                }
                return true;
            }
        }
    }
    return false;
}

bool CInstanceLink::Listen(const std::string& socketPath,
                           std::function<bool(const std::string&)> answer, std::string* error) {
    Stop();
    sockaddr_un address;
    if (!FillAddress(socketPath, address)) {
        if (error) {
            *error = "socket path too long: " + socketPath;
        }
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error) {
            *error = strerror(errno);
        }
        return false;
    }
    // A socket by our own name is a left-over of a dead process with our pid.
    unlink(socketPath.c_str());
    // Made closed to others from the start, not closed after the bind.
    mode_t oldMask = umask(077);
    int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(oldMask);
    if (bound != 0 || listen(fd, 16) != 0 || pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) {
            *error = socketPath + ": " + strerror(errno);
        }
        close(fd);
        return false;
    }
    chmod(socketPath.c_str(), 0600);
    m_fd = fd;
    m_path = socketPath;
    m_answer = std::move(answer);
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CInstanceLink::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        char byte = 0;
        ssize_t ignored = write(m_wake[1], &byte, 1);
        (void)ignored;
        m_thread.join();
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
        unlink(m_path.c_str());
    }
    for (int& end : m_wake) {
        if (end >= 0) {
            close(end);
            end = -1;
        }
    }
}

void CInstanceLink::ServeOne(int fd, const std::function<bool(const std::string&)>& answer,
                             int limitMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::string question;
    bool yes = false;
    if (ReadLine(fd, question, kMaxKeyLength, deadline)) {
        yes = answer(question);
    }
    SendAll(fd, yes ? "1\n" : "0\n", deadline);
}

void CInstanceLink::Run() {
    while (!m_stop) {
        pollfd entries[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int got = poll(entries, 2, 500);
        if (got <= 0 || m_stop) {
            continue;
        }
        if (entries[0].revents & POLLIN) {
            int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client >= 0) {
                if (PeerIsSameUser(client)) {
                    ServeOne(client, m_answer);
                }
                close(client);
            }
        }
    }
}
