// The generated trace's cost to the bridge: a record made in order (what a
// dump pays), a record asked for out of order (a seek from the nearest saved
// state), and the memory the saved states hold, for traces of 1 and 10
// million records walked to their end; and a record made in order while each
// failure scenario acts, which should cost what a healthy one does.
//
//   build/default/bin/bench_generator
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "trace_source.h"

namespace {

using qeltbridge::GeneratedTrace;
using qeltbridge::WorkloadSettings;

void BM_RecordsInOrder(benchmark::State& state) {
    const auto records = static_cast<uint64_t>(state.range(0));
    std::size_t saved = 0;
    for (auto _ : state) {
        const GeneratedTrace trace(records, WorkloadSettings{});
        std::string line;
        for (uint64_t i = 0; i < records; ++i) {
            line.clear();
            trace.appendRecord(i, line);
        }
        benchmark::DoNotOptimize(line);
        saved = trace.savedBytes();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["saved_kB"] = static_cast<double>(saved) / 1024;
}
BENCHMARK(BM_RecordsInOrder)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// 1,000,000 records with one scenario acting on all of them (0 to 2:
// hang, resets, storm).
void BM_ScenarioRecordsInOrder(benchmark::State& state) {
    constexpr uint64_t kRecords = 1000000;
    const auto scenario = static_cast<std::size_t>(state.range(0));
    WorkloadSettings settings;
    settings.scenarios.window[scenario] = {0, kRecords};
    for (auto _ : state) {
        const GeneratedTrace trace(kRecords, settings);
        std::string line;
        for (uint64_t i = 0; i < kRecords; ++i) {
            line.clear();
            trace.appendRecord(i, line);
        }
        benchmark::DoNotOptimize(line);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kRecords));
    state.SetLabel(scenario == qeltbridge::kHang     ? "hang"
                   : scenario == qeltbridge::kResets ? "resets"
                                                     : "storm");
}
BENCHMARK(BM_ScenarioRecordsInOrder)
    ->DenseRange(0, qeltbridge::kScenarioCount - 1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Records at random once the trace has been walked, as a client asking for
// pages out of order makes the bridge do.
void BM_RecordOutOfOrder(benchmark::State& state) {
    const auto records = static_cast<uint64_t>(state.range(0));
    const GeneratedTrace trace(records, WorkloadSettings{});
    std::string line;
    trace.appendRecord(records - 1, line);
    std::mt19937_64 random(1);
    for (auto _ : state) {
        line.clear();
        trace.appendRecord(random() % records, line);
        benchmark::DoNotOptimize(line);
    }
    state.counters["saved_kB"] = static_cast<double>(trace.savedBytes()) / 1024;
}
BENCHMARK(BM_RecordOutOfOrder)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
