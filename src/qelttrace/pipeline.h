// One run of qelttrace, built in the one order the records go: the inputs,
// the filter, the statistics (only when an output wants them), the writers.
// The filter hands the statistics the records it passes over too, for the
// pair rules alone: transactions are matched over the whole input, and
// those of the time window reported. The caller supplies where each output
// goes and feeds the inputs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "analysis/filter.h"
#include "analysis/pairs.h"
#include "input/input_reader.h"
#include "output/output.h"
#include "output/record_writers.h"
#include "output/stats_report.h"
#include "stages.h"

namespace qelttrace {

struct Settings {
    std::vector<std::string> inputs;  // "-" alone when none is named
    std::size_t inputsNamed = 0;      // how many the command line named
    Format format = Format::kText;
    bool printRecords = true;
    FilterOptions filter;
    StatsFormat stats = StatsFormat::kNone;
    std::size_t top = 10;
    std::vector<PairRule> pairs;  // added to the default pairs (pairRules names them)
    std::string perfetto, html;   // the targets named, "" for none
    std::string transactions;     // likewise; JSON lines when it ends in ".jsonl"
    std::string title;            // the inputs ("standard input" for -), for the pages
    std::string compare;          // --compare: the baseline, "" for none

    // The report targets with the options that name them, in this order.
    struct Target {
        const char* option;
        const std::string& file;
    };
    std::array<Target, 3> targets() const {
        return {{{"--perfetto", perfetto}, {"--html", html}, {"--transactions", transactions}}};
    }
};

// Where the outputs go: null for an output not wanted. The records may go out
// in several forms at once (the fuzz target has them all in one pass).
struct Outputs {
    Output* text = nullptr;
    Output* csv = nullptr;
    Output* jsonl = nullptr;
    Output* stats = nullptr;
    Output* perfetto = nullptr;
    Output* html = nullptr;
    Output* transactions = nullptr;
};

class Pipeline {
  public:
    Pipeline(const Settings& settings, const Outputs& outputs, FILE* diagnostics);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    InputReader& input() { return *reader_; }
    // The end of the inputs: every output written into its Output.
    void finish() { reader_->finish(); }

  private:
    Writers writers_;
    std::vector<std::unique_ptr<Writer>> owned_;
    std::unique_ptr<RecordSink> analysis_;
    std::unique_ptr<Filter> filter_;
    std::unique_ptr<InputReader> reader_;
};

}  // namespace qelttrace
