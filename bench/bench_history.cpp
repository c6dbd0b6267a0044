// Speed of the history store and the filter lists on real database files:
// LoadAll of 100,000 records, SaveAll of 10,000 dirty records, FindWord over
// 10,000 entries, and the heap taken by 100,000 loaded records.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "history/CDBOpenScope.h"
#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "lists/CFilterLists.h"
#include "support/CAppEnvironment.h"

namespace {

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
    }
    ~BenchHome() {
        CAppEnvironment::SetInstance(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    void Reset() {
        std::error_code ec;
        std::filesystem::remove(m_path + "InboxWarden.mdb", ec);
    }

private:
    std::string m_path;
    std::unique_ptr<CAppEnvironment> m_env;
};

BenchHome& Home() {
    static BenchHome home;
    return home;
}

CEmailData* TypicalRecord(int n) {
    std::string num = std::to_string(n);
    auto* record =
        new CEmailData("Work", 1765000000u + static_cast<uint32_t>(n),
                       "Firstname Lastname <first.last" + num + "@example-mail.com>",
                       "Re: quarterly figures and the meeting on Thursday #" + num,
                       static_cast<uint32_t>(n) * 7919u, std::string(),
                       "Tue, 08 Dec 2026 01:04:18 +0000", 4096, ES_Quarantined, 3, "Unknown sender",
                       "/home/user/.inboxwarden/Quarantine/Work/" + num + ".eml", 0);
    return record;
}

void FillHistory(CInboxWardenDb& db, int count) {
    Home().Reset();
    CEmailHistory history(db);
    history.LoadAll();
    for (int n = 0; n < count; ++n) {
        history.Add(TypicalRecord(n));
    }
    history.SaveAll();
}

void BM_LoadAll100k(benchmark::State& state) {
    CInboxWardenDb db;
    FillHistory(db, 100000);
    for (auto _ : state) {
        auto history = std::make_unique<CEmailHistory>(db);
        int loaded = history->LoadAll();
        state.PauseTiming();
        if (loaded != 100000) {
            state.SkipWithError("LoadAll did not load every record");
        }
        history.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadAll100k)->Unit(benchmark::kMillisecond)->Iterations(5);

// The first open of a run also checks the whole file.
void BM_LoadAll100kFirstOpen(benchmark::State& state) {
    {
        CInboxWardenDb db;
        FillHistory(db, 100000);
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto db = std::make_unique<CInboxWardenDb>();
        auto history = std::make_unique<CEmailHistory>(*db);
        state.ResumeTiming();
        int loaded = history->LoadAll();
        state.PauseTiming();
        if (loaded != 100000) {
            state.SkipWithError("LoadAll did not load every record");
        }
        history.reset();
        db.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LoadAll100kFirstOpen)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SaveAll10kNew(benchmark::State& state) {
    CInboxWardenDb db;
    Home().Reset();
    for (auto _ : state) {
        state.PauseTiming();
        auto history = std::make_unique<CEmailHistory>(db);
        for (int n = 0; n < 10000; ++n) {
            history->Add(TypicalRecord(n));
        }
        state.ResumeTiming();
        history->SaveAll();
        state.PauseTiming();
        if (history->GetAt(9999)->m_dirty) {
            state.SkipWithError("SaveAll left records dirty");
        }
        history.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SaveAll10kNew)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SaveAll10kChanged(benchmark::State& state) {
    CInboxWardenDb db;
    FillHistory(db, 10000);
    CEmailHistory history(db);
    history.LoadAll();
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < history.GetCount(); ++i) {
            CEmailData* record = history.GetAt(i);
            record->m_todo ^= 4;
            record->m_reasonDetails = "Friend (matched \"example-mail.com\")";
            record->MarkDirty();
        }
        state.ResumeTiming();
        history.SaveAll();
    }
}
BENCHMARK(BM_SaveAll10kChanged)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FindWord10k(benchmark::State& state) {
    CInboxWardenDb db;
    Home().Reset();
    {
        // Rows written directly: 10,000 single AddWord commits would only
        // measure the disk.
        CDBOpenScope scope(db);
        sqlite3_exec(scope.Handle(), "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(scope.Handle(), "INSERT INTO Undesirables (words, flags) VALUES (?, 1)",
                           -1, &insert, nullptr);
        for (int n = 0; n < 10000; ++n) {
            std::string word = n % 2 ? "spam" + std::to_string(n) + ".example"
                                     : "offers" + std::to_string(n) + "@junk-mail.biz";
            sqlite3_bind_text(insert, 1, word.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(scope.Handle(), "COMMIT", nullptr, nullptr, nullptr);
    }
    CFilterLists lists(db);
    if (lists.GetCount(FL_Undesirables) != 10000) {
        state.SkipWithError("list not loaded");
    }
    const std::string sender = "\"Firstname Lastname\" <first.last@example-mail.com>";
    std::string matched;
    for (auto _ : state) {
        // No entry fits: every call walks the whole list.
        bool found = lists.FindWord(FL_Undesirables, sender, matched, true);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_FindWord10k)->Unit(benchmark::kMicrosecond);

void BM_Memory100k(benchmark::State& state) {
    CInboxWardenDb db;
    FillHistory(db, 100000);
    double megabytes = 0;
    for (auto _ : state) {
        malloc_trim(0);
        size_t before = mallinfo2().uordblks;
        auto history = std::make_unique<CEmailHistory>(db);
        history->LoadAll();
        size_t after = mallinfo2().uordblks;
        megabytes = static_cast<double>(after - before) / (1024.0 * 1024.0);
        state.PauseTiming();
        history.reset();
        state.ResumeTiming();
    }
    state.counters["heap_MB"] = megabytes;
}
BENCHMARK(BM_Memory100k)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
