#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "TempHome.h"
#include "support/CAccountLock.h"
#include "support/CInstanceLink.h"
#include "support/CLogFile.h"
#include "support/CSettings.h"

namespace {

using Clock = std::chrono::steady_clock;

struct InstanceLinkTest : ::testing::Test {
    TempHome home;
    CSettings settings{home.File("InboxWarden.ini")};
    CLogFile log{home.Path(), "LinkTest"};

    void SetAccounts(const std::vector<std::pair<std::string, std::string>>& accounts) {
        std::string list;
        int n = 0;
        for (const auto& [host, user] : accounts) {
            std::string name = "Acc" + std::to_string(++n);
            list += (list.empty() ? "" : ",") + name;
            settings.WriteString("PopName", host, name);
            settings.WriteString("PopLogin", user, name);
        }
        settings.WriteString("AccountsList", list, "General");
    }

    // A socket file with nothing listening, named after `pid`.
    std::string DeadSocket(pid_t pid) {
        std::string path = home.Path() + "InboxWarden-" + std::to_string(pid);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
        return path;
    }

    // Sends raw bytes and returns whatever comes back before the peer closes.
    static std::string Raw(const std::string& path, const std::string& bytes) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return "connect failed";
        }
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        // A listener may close before reading (one of another user does).
        if (!bytes.empty() && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
            close(fd);
            return "";
        }
        std::string reply;
        char buffer[64];
        for (int i = 0; i < 16; ++i) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        return reply;
    }
};

pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

}  // namespace

TEST_F(InstanceLinkTest, AccountKeysJoinHostAndUser) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> ours;
        std::string asked;
        bool handles;
    } cases[] = {
        {"a stray letter", {{"pop.example", "joe"}}, "pop.exampleljoe", false},
        {"same host and user", {{"pop.example", "joe"}}, "pop.examplejoe", true},
        {"the second account", {{"a", "b"}, {"pop.x", "me"}}, "pop.xme", true},
        {"same host, other user", {{"pop.example", "joe"}}, "pop.exampleann", false},
        {"ab/xy against abx/y", {{"ab", "xy"}}, "abxy", true},
        {"letter case differs", {{"Pop.Example", "joe"}}, "pop.examplejoe", false},
        {"no accounts", {}, "", false},
        {"no accounts, a key", {}, "pop.examplejoe", false},
        {"one empty account matches only the empty key", {{"", ""}}, "", true},
    };
    log.Open("", CLogFile::LF_Enabled, 10);
    for (const Case& c : cases) {
        SetAccounts(c.ours);
        EXPECT_EQ(CInstanceLink::HandlesAccount(settings, c.asked, &log), c.handles) << c.name;
    }
    SetAccounts({{"ab", "xy"}, {"abx", "y"}});
    EXPECT_EQ(CInstanceLink::AccountKeys(settings), (std::vector<std::string>{"abxy", "abxy"}));
    std::string text = TempHome::ReadFile(home.File("LinkTest.log"));
    EXPECT_NE(text.find("Another InboxWarden is asking if I handle abxy..."), std::string::npos);
    EXPECT_NE(text.find("And I do!"), std::string::npos);
}

TEST_F(InstanceLinkTest, OverlongKeysNeverMatch) {
    std::string host(CInstanceLink::kMaxKeyLength, 'h');
    SetAccounts({{host, "u"}});
    std::string key = host + "u";
    EXPECT_FALSE(CInstanceLink::HandlesAccount(settings, key, nullptr));
    SetAccounts({{host.substr(1), "u"}});
    EXPECT_TRUE(CInstanceLink::HandlesAccount(settings, host.substr(1) + "u", nullptr))
        << "exactly 1,000 characters still match";

    CInstanceLink link;
    ASSERT_TRUE(link.Listen(CInstanceLink::OwnSocketPath("InboxWarden"),
                            [](const std::string&) { return true; }));
    EXPECT_EQ(CInstanceLink::Ask(link.Path(), key), CInstanceLink::AR_No);
    EXPECT_EQ(Raw(link.Path(), std::string(1500, 'x') + "\n"), "0\n");
    EXPECT_EQ(Raw(link.Path(), std::string(1001, 'x')), "0\n") << "no line end, too long";
    EXPECT_EQ(Raw(link.Path(), "pop\n"), "1\n");
}

TEST_F(InstanceLinkTest, AskAndAnswerOverTheSocket) {
    SetAccounts({{"pop.example", "joe"}});
    CInstanceLink link;
    std::string error;
    ASSERT_TRUE(link.Listen(
        home.Path() + "InboxWarden-1",
        [this](const std::string& key) {
            return CInstanceLink::HandlesAccount(settings, key, &log);
        },
        &error))
        << error;
    struct stat info {};
    ASSERT_EQ(stat(link.Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(CInstanceLink::Ask(link.Path(), "pop.examplejoe"), CInstanceLink::AR_Yes);
    EXPECT_EQ(CInstanceLink::Ask(link.Path(), "pop.exampleann"), CInstanceLink::AR_No);

    // Through the folder: the other copy is found by its name.
    std::string who;
    std::string key;
    EXPECT_TRUE(
        CInstanceLink::AnotherCopyHandles("InboxWarden", {"x", "pop.examplejoe"}, &who, &key));
    EXPECT_EQ(who, link.Path());
    EXPECT_EQ(key, "pop.examplejoe");
    EXPECT_FALSE(CInstanceLink::AnotherCopyHandles("InboxWarden", {"pop.exampleann"}));
    EXPECT_FALSE(CInstanceLink::AnotherCopyHandles("OtherApp", {"pop.examplejoe"}))
        << "the application name is the prefix";

    // A listener by our own pid is this copy: never asked.
    CInstanceLink own;
    ASSERT_TRUE(
        own.Listen(CInstanceLink::OwnSocketPath("Mine"), [](const std::string&) { return true; }));
    EXPECT_FALSE(CInstanceLink::AnotherCopyHandles("Mine", {"anything"}));

    link.Stop();
    EXPECT_FALSE(std::filesystem::exists(home.Path() + "InboxWarden-1"))
        << "the socket goes with the listener";
}

TEST_F(InstanceLinkTest, DeadAndSilentCopiesDoNotBlock) {
    std::string stale = DeadSocket(DeadPid());
    // A copy that is alive but never answers: a socket that is listened on
    // and never accepted, named after a live process (our parent).
    std::string silentPath = home.Path() + "InboxWarden-" + std::to_string(getppid());
    int silent = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, silentPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    // Not a socket at all, and a name without a pid: passed over.
    TempHome::WriteFile(home.Path() + "InboxWarden-77", "not a socket");
    TempHome::WriteFile(home.Path() + "InboxWarden-x1", "");

    auto start = Clock::now();
    EXPECT_FALSE(
        CInstanceLink::AnotherCopyHandles("InboxWarden", {"a", "b", "c"}, nullptr, nullptr, 300));
    auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2)) << "one wait for the silent copy, not one per key";
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_FALSE(std::filesystem::exists(stale)) << "a dead copy's socket is removed";
    EXPECT_TRUE(std::filesystem::exists(silentPath)) << "a live copy's socket stays";
    EXPECT_TRUE(std::filesystem::exists(home.Path() + "InboxWarden-77"));
    EXPECT_EQ(CInstanceLink::Ask(silentPath, "a", 200), CInstanceLink::AR_NoAnswer);
    close(silent);

    // The default limit is two seconds.
    int mute = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(silentPath.c_str());
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(mute, 4), 0);
    start = Clock::now();
    EXPECT_EQ(CInstanceLink::Ask(silentPath, "a"), CInstanceLink::AR_NoAnswer);
    took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    close(mute);
}

TEST_F(InstanceLinkTest, ListenerOutlivesBadClientsAndServesManyThreads) {
    std::atomic<int> asked{0};
    CInstanceLink link;
    ASSERT_TRUE(link.Listen(home.Path() + "InboxWarden-2", [&](const std::string& key) {
        ++asked;
        return key.size() % 2 == 0;
    }));
    // A client that connects and says nothing costs at most the answer limit.
    EXPECT_EQ(Raw(link.Path(), ""), "0\n");
    EXPECT_EQ(Raw(link.Path(), "ab\nextra bytes after the line\n"), "1\n");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                std::string key(static_cast<size_t>(t + i + 1), 'k');
                auto expect = key.size() % 2 == 0 ? CInstanceLink::AR_Yes : CInstanceLink::AR_No;
                if (CInstanceLink::Ask(link.Path(), key, 5000) != expect) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(asked.load(), 121);
    std::string tooLong(200, 'x');
    CInstanceLink failing;
    std::string error;
    EXPECT_FALSE(failing.Listen(
        home.Path() + tooLong, [](const std::string&) { return true; }, &error));
    EXPECT_NE(error.find("too long"), std::string::npos);
}

TEST_F(InstanceLinkTest, OnlyAPrivateRuntimeFolderOfOursIsUsed) {
    const std::string folder = home.Path() + "run";
    struct Case {
        const char* name;
        std::function<void()> make;
        bool usable;
        bool needsRoot;
    } cases[] = {
        {"private", [&] { mkdir(folder.c_str(), 0700); }, true, false},
        {"open to the group", [&] { mkdir(folder.c_str(), 0750); }, false, false},
        {"open to all", [&] { mkdir(folder.c_str(), 0777); }, false, false},
        {"another user's",
         [&] {
             mkdir(folder.c_str(), 0700);
             EXPECT_EQ(chown(folder.c_str(), 65534, 65534), 0);
         },
         false, true},
        {"a link to a private folder",
         [&] {
             mkdir((folder + "-real").c_str(), 0700);
             EXPECT_EQ(symlink((folder + "-real").c_str(), folder.c_str()), 0);
         },
         false, false},
        {"a file", [&] { TempHome::WriteFile(folder, ""); }, false, false},
        {"missing", [] {}, false, false},
    };
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    for (const Case& c : cases) {
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        std::filesystem::remove_all(folder);
        std::filesystem::remove_all(folder + "-real");
        umask(0);  // the modes as given
        c.make();
        umask(022);
        std::string error;
        EXPECT_EQ(CInstanceLink::RuntimeFolder(&error), c.usable ? folder + "/" : "") << c.name;
        EXPECT_EQ(error.empty(), c.usable) << c.name << ": " << error;
        CAccountLock lock;
        std::string lockError;
        EXPECT_EQ(lock.Acquire("InboxWarden", {"k"}, nullptr, &lockError), c.usable) << c.name;
        EXPECT_EQ(CInstanceLink::OwnSocketPath("InboxWarden").empty(), !c.usable) << c.name;
    }
}

TEST_F(InstanceLinkTest, CopiesOfOtherUsersAreIgnoredBothWays) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // A folder both users can reach, as a careless runtime folder would be.
    chmod(home.Path().c_str(), 0711);
    const std::string shared = home.Path() + "shared/";
    mkdir(shared.c_str(), 0777);
    chmod(shared.c_str(), 0777);
    auto asNobody = [](const std::function<int()>& work) {
        pid_t child = fork();
        if (child == 0) {
            _exit(setgid(65534) == 0 && setuid(65534) == 0 ? work() : 99);
        }
        return child;
    };
    auto exitStatus = [](pid_t child) {
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    // Our listener, its socket opened to all: another user's question gets
    // no answer.
    CInstanceLink link;
    ASSERT_TRUE(link.Listen(shared + "InboxWarden-1", [](const std::string&) { return true; }));
    chmod(link.Path().c_str(), 0666);
    pid_t asker = asNobody([&] { return Raw(link.Path(), "pop.examplejoe\n").empty() ? 0 : 1; });
    EXPECT_EQ(exitStatus(asker), 0) << "another user was answered";
    EXPECT_EQ(CInstanceLink::Ask(link.Path(), "pop.examplejoe"), CInstanceLink::AR_Yes);

    // Another user's listener that says "1" to anything is not believed.
    const std::string fake = shared + "InboxWarden-2";
    pid_t liar = asNobody([&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, fake.c_str(), sizeof address.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 1) != 0) {
            return 2;
        }
        chmod(fake.c_str(), 0666);
        int client = accept(fd, nullptr, nullptr);
        (void)!send(client, "1\n", 2, MSG_NOSIGNAL);
        close(client);
        return 0;
    });
    for (int i = 0; i < 200 && !std::filesystem::exists(fake); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(CInstanceLink::Ask(fake, "pop.examplejoe", 1000), CInstanceLink::AR_NoAnswer);
    EXPECT_EQ(exitStatus(liar), 0);
}
