// The history list with 100,000 records: a refill (snapshot, filter, sort,
// view reset) and a sort must each stay under 300 ms, and scrolling must not
// wait for the history or the database while the worker holds them.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QPainter>
#include <QScrollBar>
#include <QTableView>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "history/CEmailHistory.h"
#include "history/CInboxWardenDb.h"
#include "ui/CHistoryModel.h"

namespace {

constexpr int kRecords = 100000;

CEmailHistory& History() {
    static CEmailHistory* history = [] {
        auto* h = new CEmailHistory();
        const uint32_t statuses[] = {ES_OnServer, ES_Quarantined, ES_Deleted, ES_Delivered};
        for (int i = 0; i < kRecords; ++i) {
            // Senders and subjects of realistic length and spread.
            std::string sender = "Sender" + std::to_string((i * 7919) % 5003) + " <user" +
                                 std::to_string(i % 997) + "@example" + std::to_string(i % 13) +
                                 ".org>";
            std::string subject = (i % 3 ? "Re: " : "") + std::string("Quarterly report number ") +
                                  std::to_string((i * 31) % 10007) + " for the team";
            auto* record = new CEmailData("Account" + std::to_string(i % 3),
                                          1600000000u + static_cast<uint32_t>(i * 37 % 99991),
                                          sender, subject, static_cast<uint32_t>(i), "",
                                          i % 2 ? "Mon, 1 Jan 2024 10:00:00" : "", 1000,
                                          statuses[i % 4], 0x100, "Unknown Sender", "", 0);
            record->m_todo = i % 5 == 0 ? 8 : 0;
            h->Add(record);
        }
        return h;
    }();
    return *history;
}

struct ListUnderTest {
    ListUnderTest() {
        view.setModel(&model);
        view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view.verticalHeader()->setDefaultSectionSize(20);
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
        view.resize(900, 600);
        view.show();
    }
    CHistoryModel model;
    QTableView view;
};

void BM_Refill(benchmark::State& state) {
    CEmailHistory& history = History();
    ListUnderTest list;
    int view = static_cast<int>(state.range(0));
    for (auto _ : state) {
        list.model.Fill(history.Snapshot(), view);
        QCoreApplication::processEvents();
    }
    state.counters["rows"] = list.model.rowCount();
}
BENCHMARK(BM_Refill)->Arg(3)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Sort(benchmark::State& state) {
    CEmailHistory& history = History();
    ListUnderTest list;
    list.model.Fill(history.Snapshot(), 3);
    // A selection of 1,000 rows follows its records through every sort.
    list.view.selectionModel()->select(
        QItemSelection(list.model.index(1000, 0), list.model.index(1999, 5)),
        QItemSelectionModel::Select);
    int column = static_cast<int>(state.range(0));
    for (auto _ : state) {
        CHistoryModel::ChooseSortColumn(column);  // flips the direction each time
        list.model.Sort();
        QCoreApplication::processEvents();
    }
    state.counters["selected"] =
        static_cast<double>(list.view.selectionModel()->selectedRows().size());
}
BENCHMARK(BM_Sort)
    ->Arg(CHistoryModel::C_From)
    ->Arg(CHistoryModel::C_Subject)
    ->Arg(CHistoryModel::C_Received)
    ->Arg(CHistoryModel::C_Status)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// Another thread holds the history's lock and the database lock for the
// whole run; every page of the list is drawn meanwhile. Should drawing wait
// for either, the holder lets go after 20 s and the run is reported failed.
void BM_ScrollWhileWorkerHoldsLocks(benchmark::State& state) {
    CEmailHistory& history = History();
    ListUnderTest list;
    list.model.Fill(history.Snapshot(), 3);
    std::mutex gate;
    std::condition_variable changed;
    bool holding = false;
    bool release = false;
    std::thread worker([&] {
        auto historyLock = history.Lock();
        std::lock_guard<std::recursive_mutex> dbLock(CInboxWardenDb::Instance().Lock());
        std::unique_lock<std::mutex> lock(gate);
        holding = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(gate);
        changed.wait(lock, [&] { return holding; });
    }
    QImage canvas(list.view.size(), QImage::Format_ARGB32);
    QScrollBar* bar = list.view.verticalScrollBar();
    int pages = 0;
    auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        // A jump to a new page and one drawing of it.
        bar->setValue((bar->value() + bar->pageStep() * 97) % (bar->maximum() + 1));
        QPainter painter(&canvas);
        list.view.render(&painter);
        ++pages;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    {
        std::lock_guard<std::mutex> lock(gate);
        release = true;
    }
    changed.notify_all();
    worker.join();
    if (seconds > 15) {
        state.SkipWithError("drawing waited for a lock the worker held");
    }
    state.counters["pages"] = pages;
}
BENCHMARK(BM_ScrollWhileWorkerHoldsLocks)->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    History();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
