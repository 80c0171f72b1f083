// One self-contained HTML page about a dump, for a lab without network: the
// headline figures, four zoomable uPlot charts (the delta of every record over
// time, the SATA state over time, the delta histogram, records per interval)
// and tables of events, top gaps, states, pairs and errors. uPlot, its style
// sheet and its licence notice are embedded at build time.
//
// The charts are gathered as the records stream: up to kExactPoints points a
// chart draws every point; beyond, each chart keeps the minimum and maximum of
// each time bucket (buckets merge pairwise when the budget is reached), so no
// spike disappears and memory stays fixed. The page stays under kPageMax.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "stats.h"

namespace qelttrace {

// Points (x, y) drawn exactly up to `budget`, then as the minimum and maximum
// of y per bucket of x (at most budget / 2 buckets).
class MinMaxSeries {
  public:
    explicit MinMaxSeries(std::size_t budget) : budget_(budget) {}
    void add(std::int64_t x, std::int64_t y);
    // Halves the resolution (the page size bound).
    void coarsen();
    bool reduced() const { return reduced_; }
    std::size_t points() const;
    // {"x":[...],"y":[...]} with x as differences from the previous x, or
    // {"x":[...],"min":[...],"max":[...]} once reduced.
    void appendJson(std::string& out) const;

  private:
    struct Bucket {
        std::int64_t min = 0, max = 0;
        bool used = false;
    };
    void toBuckets();
    void put(std::int64_t x, std::int64_t y);
    void mergePairs();

    std::size_t budget_;
    std::vector<std::pair<std::int64_t, std::int64_t>> exact_;
    bool reduced_ = false;
    std::vector<Bucket> buckets_;
    std::int64_t origin_ = 0;
    std::int64_t width_ = 1;
};

// Records counted per interval of time; the interval doubles as needed to keep
// at most `buckets` of them.
class CountSeries {
  public:
    explicit CountSeries(std::size_t buckets) : counts_(buckets, 0) {}
    void add(std::int64_t x);
    void appendJson(std::string& out) const;

  private:
    std::vector<std::uint64_t> counts_;
    bool started_ = false;
    std::int64_t origin_ = 0;
    std::int64_t width_ = 1000;  // 1 us to begin with
    std::size_t used_ = 0;
};

class HtmlReport : public Sink, public StatsObserver {
  public:
    static constexpr std::size_t kExactPoints = 100000;
    static constexpr std::size_t kPageMax = 5 * 1000 * 1000;
    static constexpr std::size_t kErrorsShown = 200;
    static constexpr std::size_t kGapsShown = 100;

    HtmlReport(FILE* out, const Statistics& stats, std::string title);
    void record(const Record& record) override;
    void end(bool dumpRead) override;

    void matched(std::size_t, const PairPoint&, const PairPoint&, std::string_view) override {}
    void unmatched(std::size_t, const PairPoint&, bool) override {}
    void state(std::string_view name, const PairPoint& start, std::int64_t endNs) override;

    // The whole page, for the size check and the tests.
    std::string page() const;

  private:
    struct ErrorRow {
        std::uint64_t record;
        std::int64_t timeNs;
        std::string what;
    };
    std::string body() const;
    std::string chartData() const;
    std::string tables() const;
    int stateIndex(std::string_view name);

    FILE* out_;
    const Statistics& stats_;
    std::string title_;
    MinMaxSeries deltas_{kExactPoints};
    MinMaxSeries states_{kExactPoints};
    CountSeries rate_{1000};
    std::vector<std::string> stateNames_;
    std::vector<ErrorRow> errors_;
    std::uint64_t errorCount_ = 0;
    int lastState_ = -1;
};

}  // namespace qelttrace
