// Cost of decoding one record (SataCmdParse) and of formatting one trace line
// (ParseSataTrace, output to /dev/null), over the records of the built-in
// sample so that every tag's path is weighed as often as a real capture has it.
//
//   build/default/bin/bench_trace
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "trace/sata_decode.h"
#include "trace/sata_format.h"

namespace {

std::vector<std::string> sampleLines() {
    std::ifstream in(SAMPLE_TRACE);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line + "\r\n");
    return lines;
}

// The record text after the timestamp.
std::vector<std::string> sampleRecords() {
    std::vector<std::string> records;
    for (const std::string& line : sampleLines()) {
        size_t start = line.find_first_not_of(' ');
        size_t blank = line.find(' ', start);
        records.push_back(line.substr(blank + 1));
    }
    return records;
}

void BM_SataCmdParse(benchmark::State& state) {
    std::vector<std::string> records = sampleRecords();
    char out[260];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SataCmdParse(records[i].c_str(), out, sizeof out));
        benchmark::ClobberMemory();
        if (++i == records.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SataCmdParse);

void BM_ParseSataTrace(benchmark::State& state) {
    std::vector<std::string> lines = sampleLines();
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    char text[256];  // sample lines are far shorter
    size_t i = 0;
    for (auto _ : state) {
        const std::string& line = lines[i];
        memcpy(text, line.c_str(), line.size() + 1);
        ParseSataTrace(text);
        if (++i == lines.size()) i = 0;
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseSataTrace);

}  // namespace

BENCHMARK_MAIN();
