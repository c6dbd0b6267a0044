#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>

#include <chrono>
#include <thread>
#include <vector>

#include "MailTestSteps.h"
#include "mail/CLineSocket.h"
#include "support/CLogFile.h"
#include "testlib/ScopedSocketTimeouts.h"
#include "testlib/ScriptedServer.h"
#include "testlib/TempHome.h"

namespace {

using Clock = std::chrono::steady_clock;

// A listening socket that never accepts.
struct Listener {
    explicit Listener(int family, int backlog = 8) {
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t len;
        if (family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            len = sizeof *in6;
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *in;
        }
        ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), len) == 0 &&
             listen(fd, backlog) == 0 &&
             getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) == 0;
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ~Listener() {
        if (fd >= 0) {
            close(fd);
        }
    }
    int fd;
    bool ok = false;
    unsigned port = 0;
};

class LineSocketTest : public ::testing::Test {
protected:
    TempHome m_home;
    ScopedSocketTimeouts m_timeouts{300, 5000, 1000};
};

}  // namespace

// Run in a process of its own, so that its first socket is the process's first.
void CheckTrafficLogOpenedOnce() {
    TempHome home;
    std::string path = home.File("InboxWardenSocketTraffic.log");
    TempHome::WriteFile(path, "old run\n");
    CLogFile* first = &CLineSocket::TrafficLog();
    {
        CLineSocket a;
        CLineSocket b;
    }
    std::string text = TempHome::ReadFile(path);
    size_t headers = 0;
    for (size_t at = text.find("\n-------- "); at != std::string::npos;
         at = text.find("\n-------- ", at + 1)) {
        ++headers;
    }
    bool truncated = text.find("old run") == std::string::npos;
    _exit(first == &CLineSocket::TrafficLog() && headers == 1 && truncated ? 0 : 1);
}

TEST(LineSocketLog, TrafficLogOpenedOncePerProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(CheckTrafficLogOpenedOnce(), ::testing::ExitedWithCode(0), "");
}

TEST_F(LineSocketTest, ReceivesPiecesThenZeroWhenThePeerCloses) {
    ScriptedServer server;
    server.Send(std::string(3000, 'x')).Pause(50).Send("tail").Close();
    server.Start();
    CLineSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_Connected);
    std::string got;
    char buffer[1024];
    int n;
    for (int reads = 0; reads < 100 && (n = socket.Receive(buffer, sizeof buffer)) > 0; ++reads) {
        EXPECT_LE(n, 1024);
        got.append(buffer, n);
    }
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(socket.IsTimedOut());
    EXPECT_EQ(got, std::string(3000, 'x') + "tail");
    socket.Close();
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_FALSE(socket.Send("x"));
}

TEST_F(LineSocketTest, SilenceTimesOutAndTheDeadlineCutsShorter) {
    ScriptedServer server;
    server.Silence(3000);
    server.Start();
    CLineSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_Connected);
    char buffer[64];
    auto start = Clock::now();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_TRUE(socket.IsTimedOut());
    EXPECT_GE(MsSince(start), 250);
    EXPECT_LT(MsSince(start), 2000);

    socket.SetTimedOut(false);
    CLineSocket::Timeouts timeouts = socket.GetTimeouts();
    timeouts.receiveMs = 5000;
    timeouts.deadlineMs = 100;
    socket.SetTimeouts(timeouts);
    socket.StampDeadline();
    start = Clock::now();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_TRUE(socket.IsTimedOut());
    EXPECT_LT(MsSince(start), 1500);
    socket.ClearDeadline();
    EXPECT_FALSE(socket.HasDeadline());
    server.Stop();
}

TEST_F(LineSocketTest, NamesAndAddressFamilies) {
    // "localhost" may resolve to ::1 first, where nobody listens: the next address serves.
    ScriptedServer server;
    server.Send("hello");
    server.Start();
    CLineSocket byName;
    ASSERT_EQ(byName.Connect("localhost", server.Port()), CLineSocket::CR_Connected)
        << byName.GetLastFailure();
    char buffer[16];
    EXPECT_EQ(byName.Receive(buffer, sizeof buffer), 5);
    EXPECT_FALSE(byName.GetLocalName().empty());
    EXPECT_EQ(byName.GetLocalName().find_first_of("\r\n "), std::string::npos);
    server.Wait();

    Listener six(AF_INET6);
    if (!six.ok) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    CLineSocket v6;
    EXPECT_EQ(v6.Connect("::1", six.port), CLineSocket::CR_Connected) << v6.GetLastFailure();
    EXPECT_EQ(v6.Connect("[::1]", six.port), CLineSocket::CR_Connected) << v6.GetLastFailure();
    EXPECT_NE(v6.GetLocalName(), "");
}

TEST_F(LineSocketTest, ConnectFailures) {
    CLineSocket socket;
    unsigned port;
    {
        Listener gone(AF_INET);
        port = gone.port;
    }
    EXPECT_EQ(socket.Connect("127.0.0.1", port), CLineSocket::CR_ConnectFailed);
    EXPECT_NE(socket.GetLastFailure().find("refused"), std::string::npos)
        << socket.GetLastFailure();
    EXPECT_EQ(socket.Connect("127.0.0.1", 0), CLineSocket::CR_ConnectFailed);
    EXPECT_EQ(socket.Connect("127.0.0.1", 70000), CLineSocket::CR_ConnectFailed);
    EXPECT_EQ(socket.Connect("", 110), CLineSocket::CR_ConnectFailed);
    EXPECT_FALSE(socket.IsOpen());
}

TEST_F(LineSocketTest, ConnectIsBoundedInTime) {
    // A listener whose queue is full drops further handshakes, so a connect
    // to it waits; the bound must end it.
    Listener full(AF_INET, 0);
    ASSERT_TRUE(full.ok);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(full.port));
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    usleep(100 * 1000);
    CLineSocket socket;
    auto start = Clock::now();
    CLineSocket::ConnectResult result = socket.Connect("127.0.0.1", full.port);
    long long took = MsSince(start);
    for (int fd : fillers) {
        close(fd);
    }
    if (result == CLineSocket::CR_Connected) {
        GTEST_SKIP() << "this kernel completed the handshake despite the full queue";
    }
    EXPECT_EQ(result, CLineSocket::CR_ConnectFailed);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 3000);
}

TEST_F(LineSocketTest, SendToAClosedPeerFailsWithoutSignal) {
    ScriptedServer server;
    server.Close();
    server.Start();
    CLineSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_Connected);
    server.Wait();
    char buffer[8];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
    bool failed = false;
    std::string block(65536, 'y');
    for (int i = 0; i < 50 && !failed; ++i) {
        failed = !socket.Send(block);
    }
    EXPECT_TRUE(failed);
}

namespace {

TEST(LineSocketAbort, AnotherThreadEndsAWaitPromptlyAndNoNewConnectionStarts) {
    ScriptedServer server;
    server.Silence(4000);
    server.Start();
    CLineSocket socket;
    std::atomic<bool> abort{false};
    socket.SetAbortFlag(&abort);
    CLineSocket::Timeouts timeouts = socket.GetTimeouts();
    timeouts.receiveMs = 8000;
    socket.SetTimeouts(timeouts);
    ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_Connected);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        abort = true;
    });
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    long long took = MsSince(start);
    canceller.join();
    EXPECT_LT(took, 2000);
    EXPECT_FALSE(socket.IsTimedOut()) << "an abort is no time-out: nobody reconnects";
    EXPECT_TRUE(socket.IsAborted());
    start = Clock::now();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(socket.Connect("127.0.0.1", server.Port()), CLineSocket::CR_ConnectFailed);
    EXPECT_LT(MsSince(start), 1000);
    server.Stop();
}

}  // namespace
