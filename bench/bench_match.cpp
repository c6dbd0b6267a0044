// Recognising fetched messages: MatchWithHistory of 5,000 fetched records
// against a history of 100,000, all of them known, and with 50 of them new
// (the new ones pass through the filter decision, which reaches no server:
// there is no POP3 client and the engine is read-only). Target: under 100 ms.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/CInboxWardenEngine.h"
#include "history/CEmailHistory.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"

namespace {

constexpr int kHistory = 100000;
constexpr int kFetched = 5000;
constexpr int kNew = 50;

// One program folder for the whole run; the main log stays disabled.
class BenchHome {
public:
    BenchHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "iwbench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            abort();
        }
        m_path = pattern + "/";
        setenv("INBOXWARDEN_HOME", m_path.c_str(), 1);
        m_env = std::make_unique<CAppEnvironment>("InboxWarden",
                                                  CAppEnvironment::AE_IniInProgramFolder);
        CAppEnvironment::SetInstance(m_env.get());
        CFilterLists::Instance().Reload();
    }
    ~BenchHome() {
        CAppEnvironment::SetInstance(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }

private:
    std::string m_path;
    std::unique_ptr<CAppEnvironment> m_env;
};

// Two accounts share the history; "Work" is the one scanned.
CEmailData* Record(int n, const std::string& tag = "") {
    std::string num = std::to_string(n);
    return new CEmailData(
        n % 2 ? "Work" : "Home", 1765000000u + static_cast<uint32_t>(n),
        "Firstname Lastname <first.last" + std::to_string(n % 3000) + "@example-mail.com>",
        "Re: quarterly figures and the meeting on Thursday #" + num + tag,
        static_cast<uint32_t>(n) * 7919u, "Hello,\r\nsee below.\r\n",
        "Tue, 08 Dec 2026 01:04:18 +0000", 4096, ES_Quarantined, ER_UnknownSender, "Unknown Sender",
        "", 0);
}

struct MatchSetup {
    BenchHome home;
    std::unique_ptr<CInboxWardenEngine> engine;
    MatchSetup() {
        engine = std::make_unique<CInboxWardenEngine>();
        engine->SetReadOnly(true);
        for (int n = 0; n < kHistory; ++n) {
            engine->GetHistory().Add(Record(n));
        }
    }
};

MatchSetup& Setup() {
    static MatchSetup setup;
    return setup;
}

// kFetched records of "Work" from the history, the last newCount of them
// made new by a subject never seen before.
std::vector<std::unique_ptr<CEmailData>> Fetched(int newCount, int round) {
    std::vector<std::unique_ptr<CEmailData>> out;
    out.reserve(kFetched);
    for (int i = 0; i < kFetched; ++i) {
        int n = 2 * i * (kHistory / 2 / kFetched) + 1;
        bool fresh = i >= kFetched - newCount;
        out.emplace_back(Record(n, fresh ? " new " + std::to_string(round) : ""));
        out.back()->m_status = ES_Unknown;
        out.back()->m_reason = 0;
        out.back()->m_reasonDetails.clear();
        out.back()->m_serverId = i + 1;
    }
    return out;
}

void Run(benchmark::State& state, int newCount) {
    MatchSetup& setup = Setup();
    // New subjects stay new across repetitions of the benchmark.
    static int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto fetched = Fetched(newCount, ++round);
        int newOnServer = 0;
        int newEmails = 0;
        state.ResumeTiming();
        setup.engine->MatchWithHistory(fetched, "Work", newOnServer, newEmails);
        state.PauseTiming();
        fetched.clear();
        state.ResumeTiming();
        if (newEmails != newCount) {
            state.SkipWithError("unexpected number of new records");
            break;
        }
    }
}

void BM_MatchWithHistory_AllKnown(benchmark::State& state) {
    Run(state, 0);
}

void BM_MatchWithHistory_SomeNew(benchmark::State& state) {
    Run(state, kNew);
}

BENCHMARK(BM_MatchWithHistory_AllKnown)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatchWithHistory_SomeNew)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
