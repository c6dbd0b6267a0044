// CPOP3 against the loopback Dovecot, next to the least a client can do on
// the same connection: a plain socket loop. bench/pop3_vs_plain.sh starts the
// servers, fills the mailboxes and runs this together with a Python poplib
// client, then prints the ratios. It also times a whole scan of the 2,000
// messages when none of them is new against the plain client issuing the
// commands that scan sends.
//
// Mailboxes (from the env file named by IW_MAIL_ENV):
//   IW_BENCH_LARGE_USER  one message of about 20 MB
//   IW_BENCH_MANY_USER   2,000 messages
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "BenchCommon.h"
#include "mail/CMailContent.h"
#include "mail/CPOP3.h"
#include "support/CSettings.h"

namespace {

using bench::ScanSetup;

struct Server {
    std::string host;
    unsigned port = 0;
    std::string largeUser, largePassword;
    std::string manyUser, manyPassword;
    int manyCount = 0;
    unsigned tlsPort = 0;
    std::string caFile;
};

const Server& GetServer() {
    static const Server server = [] {
        Server s;
        std::map<std::string, std::string> values = bench::ReadServerEnv();
        auto user = [&](const char* key, std::string& address, std::string& password) {
            std::string name = getenv(key) ? getenv(key) : "";
            address = name + "@" + values["IW_MAIL_DOMAIN"];
            password = values["IW_MAIL_PASSWORD_" + name];
        };
        s.host = values["IW_MAIL_HOST"];
        s.port = static_cast<unsigned>(atoi(values["IW_MAIL_POP3_PORT"].c_str()));
        s.tlsPort = static_cast<unsigned>(atoi(values["IW_MAIL_POP3S_PORT"].c_str()));
        s.caFile = values["IW_MAIL_CA_FILE"];
        user("IW_BENCH_LARGE_USER", s.largeUser, s.largePassword);
        user("IW_BENCH_MANY_USER", s.manyUser, s.manyPassword);
        s.manyCount = getenv("IW_BENCH_MANY_COUNT") ? atoi(getenv("IW_BENCH_MANY_COUNT")) : 0;
        return s;
    }();
    return server;
}

// The plain client: blocking reads into a large buffer, the terminator looked
// for only at the end of what has arrived, no parsing at all.
class PlainClient {
public:
    PlainClient(const std::string& user, const std::string& password) {
        const Server& s = GetServer();
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(s.port));
        inet_pton(AF_INET, s.host.c_str(), &addr.sin_addr);
        timeval tv{10, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("connect failed");
        }
        Line();
        Command("USER " + user + "\r\n");
        Command("PASS " + password + "\r\n");
    }
    ~PlainClient() {
        static const char quit[] = "QUIT\r\n";
        if (send(m_fd, quit, sizeof quit - 1, MSG_NOSIGNAL) > 0) {
            recv(m_fd, m_buffer, sizeof m_buffer, 0);
        }
        close(m_fd);
    }

    // One status line.
    std::string Command(const std::string& command) {
        Send(command);
        return Line();
    }
    // A multi-line reply: its status line and everything up to the terminator.
    size_t Multi(const std::string& command, std::string& text) {
        Send(command);
        text.clear();
        while (true) {
            ssize_t n = recv(m_fd, m_buffer, sizeof m_buffer, 0);
            if (n <= 0) {
                throw std::runtime_error("recv failed");
            }
            text.append(m_buffer, static_cast<size_t>(n));
            if (text.size() >= 5 && text.compare(text.size() - 5, 5, "\r\n.\r\n") == 0) {
                return text.size();
            }
        }
    }

private:
    void Send(const std::string& command) {
        if (send(m_fd, command.data(), command.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(command.size())) {
            throw std::runtime_error("send failed");
        }
    }
    std::string Line() {
        std::string line;
        while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            ssize_t n = recv(m_fd, m_buffer, sizeof m_buffer, 0);
            if (n <= 0) {
                throw std::runtime_error("recv failed");
            }
            line.append(m_buffer, static_cast<size_t>(n));
        }
        return line;
    }

    int m_fd = -1;
    char m_buffer[65536];
};

std::unique_ptr<CPOP3> Login(const std::string& user, const std::string& password) {
    const Server& s = GetServer();
    auto pop = std::make_unique<CPOP3>(s.host, s.port, user.c_str(), password.c_str());
    if (!pop->Connect()) {
        throw std::runtime_error("login failed: " + pop->GetErrorText());
    }
    return pop;
}

// Each iteration is one session, as a scan has: the login and the logout are
// not timed, the fetches are (Dovecot's first pass over a mailbox in a session
// costs more than a repeated one, so both clients get fresh sessions).
void BM_Retr20MB_CPOP3(benchmark::State& state) {
    const Server& s = GetServer();
    std::string text;
    for (auto _ : state) {
        state.PauseTiming();
        auto pop = Login(s.largeUser, s.largePassword);
        state.ResumeTiming();
        if (!pop->GetMessage(1, text)) {
            state.SkipWithError(pop->GetErrorText().c_str());
            break;
        }
        benchmark::DoNotOptimize(text.data());
        state.PauseTiming();
        pop->Disconnect();
        pop.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Retr20MB_Plain(benchmark::State& state) {
    const Server& s = GetServer();
    std::string text;
    for (auto _ : state) {
        state.PauseTiming();
        auto plain = std::make_unique<PlainClient>(s.largeUser, s.largePassword);
        state.ResumeTiming();
        benchmark::DoNotOptimize(plain->Multi("RETR 1\r\n", text));
        state.PauseTiming();
        plain.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// What a scan does per message: TOP n 500, then LIST n.
void BM_TopList2000_CPOP3(benchmark::State& state) {
    const Server& s = GetServer();
    for (auto _ : state) {
        state.PauseTiming();
        auto pop = Login(s.manyUser, s.manyPassword);
        state.ResumeTiming();
        for (int i = 1; i <= s.manyCount; ++i) {
            CMailContent message;
            if (!pop->GetMessage(i, message, 500)) {
                state.SkipWithError(pop->GetErrorText().c_str());
                break;
            }
            benchmark::DoNotOptimize(message.m_size);
        }
        state.PauseTiming();
        pop->Disconnect();
        pop.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * s.manyCount);
}

void BM_TopList2000_Plain(benchmark::State& state) {
    const Server& s = GetServer();
    std::string text;
    for (auto _ : state) {
        state.PauseTiming();
        auto plain = std::make_unique<PlainClient>(s.manyUser, s.manyPassword);
        state.ResumeTiming();
        for (int i = 1; i <= s.manyCount; ++i) {
            plain->Multi("TOP " + std::to_string(i) + " 500\r\n", text);
            benchmark::DoNotOptimize(plain->Command("LIST " + std::to_string(i) + "\r\n"));
        }
        state.PauseTiming();
        plain.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * s.manyCount);
}

// One engine and database for both scan benchmarks, on the mailbox of 2,000
// messages.
ScanSetup& TheScanSetup() {
    const Server& s = GetServer();
    static ScanSetup setup(s.manyUser, s.manyPassword, s.manyCount);
    return setup;
}

// One scan of the mailbox with nothing new in it: login, STAT, TOP and LIST
// of every message, the matching, the save and QUIT.
void BM_ScanNothingNew2000_Engine(benchmark::State& state) {
    ScanSetup& setup = TheScanSetup();
    if (!setup.ready) {
        state.SkipWithError("the first scan of the mailbox failed");
        return;
    }
    for (auto _ : state) {
        if (!bench::ScanFoundNothingNew(setup)) {
            state.SkipWithError("the scan failed or found new mail");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * GetServer().manyCount);
}

// The same scan over POP3S (implicit TLS, the certificate checked against
// the servers' own), set through the settings the engine reads at each scan.
void BM_ScanNothingNew2000_EngineTls(benchmark::State& state) {
    ScanSetup& setup = TheScanSetup();
    const Server& s = GetServer();
    if (!setup.ready || s.tlsPort == 0) {
        state.SkipWithError("the first scan failed, or the servers offer no POP3S");
        return;
    }
    CSettings& settings = setup.env.GetSettings();
    settings.WriteInt("PopSecurity", 2, "Bench");
    settings.WriteInt("PopPort", static_cast<int>(s.tlsPort), "Bench");
    settings.WriteString("TlsCaFile", s.caFile, "General");
    // Whichever way this ends, the benchmarks after it share the engine and
    // must scan over plain POP3 again.
    struct BackToPlainPop {
        CSettings& settings;
        unsigned port;
        ~BackToPlainPop() {
            settings.WriteInt("PopSecurity", 0, "Bench");
            settings.WriteInt("PopPort", static_cast<int>(port), "Bench");
        }
    } backToPlainPop{settings, s.port};
    // The first secure scan of a process also reads the trusted certificates
    // (tens of milliseconds, once); the program scans on a timer, so the
    // timed scans are the later ones, as the plain scans are. The first is
    // reported beside them.
    auto start = std::chrono::steady_clock::now();
    bool firstClean = bench::ScanFoundNothingNew(setup);
    std::chrono::duration<double> first = std::chrono::steady_clock::now() - start;
    if (!firstClean) {
        state.SkipWithError("the first scan over POP3S failed or found new mail");
        return;
    }
    for (auto _ : state) {
        if (!bench::ScanFoundNothingNew(setup)) {
            state.SkipWithError("the scan failed or found new mail");
            break;
        }
    }
    state.counters["first_scan_s"] = first.count();
    state.SetItemsProcessed(state.iterations() * s.manyCount);
}

// The same session with the plain client: login, STAT, TOP and LIST of every
// message, QUIT; all of it timed, as it is in the scan.
void BM_ScanNothingNew2000_Plain(benchmark::State& state) {
    const Server& s = GetServer();
    std::string text;
    for (auto _ : state) {
        auto plain = std::make_unique<PlainClient>(s.manyUser, s.manyPassword);
        benchmark::DoNotOptimize(plain->Command("STAT\r\n"));
        for (int i = 1; i <= s.manyCount; ++i) {
            plain->Multi("TOP " + std::to_string(i) + " 500\r\n", text);
            benchmark::DoNotOptimize(plain->Command("LIST " + std::to_string(i) + "\r\n"));
        }
        plain.reset();
    }
    state.SetItemsProcessed(state.iterations() * s.manyCount);
}

BENCHMARK(BM_Retr20MB_CPOP3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Retr20MB_Plain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TopList2000_CPOP3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TopList2000_Plain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNothingNew2000_Engine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNothingNew2000_EngineTls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNothingNew2000_Plain)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
