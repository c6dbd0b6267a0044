// A scan of a large mailbox with nothing new in it, recognised by the
// server's unique ids, against the same scan fetching every message and
// matching by content. bench/uidl_scan.sh starts the loopback servers, fills
// the mailbox and runs this in rounds beside bench/pop3_uidl_client.py (the
// least a client can do: Python's poplib sending UIDL and LIST), then prints
// the ratios.
//
// From the environment: IW_MAIL_ENV (the servers' env file), IW_BENCH_USER
// (the mailbox), IW_BENCH_COUNT (its message count), INBOXWARDEN_HOME.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>

#include "BenchCommon.h"

namespace {

using bench::ScanSetup;

// The benchmarked mailbox; the engine finds the servers in the env file itself.
struct Server {
    std::string user, password;
    int count = 0;
};

const Server& GetServer() {
    static const Server server = [] {
        Server s;
        std::map<std::string, std::string> values = bench::ReadServerEnv();
        std::string name = getenv("IW_BENCH_USER") ? getenv("IW_BENCH_USER") : "";
        s.user = name + "@" + values["IW_MAIL_DOMAIN"];
        s.password = values["IW_MAIL_PASSWORD_" + name];
        s.count = getenv("IW_BENCH_COUNT") ? atoi(getenv("IW_BENCH_COUNT")) : 0;
        return s;
    }();
    return server;
}

// One account on the mailbox; the first scan (not timed) learns every
// message, from friends and in read-only mode, so all stay on the server.
ScanSetup& Setup() {
    const Server& s = GetServer();
    static ScanSetup setup(s.user, s.password, s.count);
    return setup;
}

void RunScans(benchmark::State& state, bool full) {
    ScanSetup& setup = Setup();
    if (!setup.ready) {
        state.SkipWithError("the first scan of the mailbox failed");
        return;
    }
    for (auto _ : state) {
        if (full) {
            setup.engine->RequestFullScan();
        }
        if (!bench::ScanFoundNothingNew(setup)) {
            state.SkipWithError("the scan failed or found new mail");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * GetServer().count);
}

// Login, UIDL, LIST, matching, QUIT.
void BM_ScanNothingNew_Uidl(benchmark::State& state) {
    RunScans(state, false);
}

// Login, STAT, TOP and LIST of every message, matching, QUIT.
void BM_ScanNothingNew_Content(benchmark::State& state) {
    RunScans(state, true);
}

BENCHMARK(BM_ScanNothingNew_Uidl)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScanNothingNew_Content)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
