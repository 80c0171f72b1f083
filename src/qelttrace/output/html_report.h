// One self-contained HTML page about a dump, for a lab without network: the
// headline figures; per pair rule first its transactions open at the end
// (the oldest first), its latencies drawn as a density by kind (and
// outcome), for a keyed rule the queue depth and the oldest open's age over
// time, its kinds, outcomes and slowest transactions; zoomable uPlot charts
// of the delta of every record over time (the records that tell of trouble
// marked at their times), the SATA state over time, the delta density and
// the records per interval, each saying so when it has nothing to draw;
// tables of events, top gaps, states and errors (summed up by status and
// event, and the first ones listed). A click on a listed open or slow
// transaction, gap or error shows the records around it. uPlot, its style
// sheet and its licence notice, and the page's own script and style, are
// embedded at build time.
//
// The charts and the records around the listed items are gathered as the
// records stream (chart_series.h, record_windows.h), from the records, transactions
// and states the statistics hand on; the tables come from the finished
// statistics. Memory is bounded whatever the input's health: the charts have
// budgets of points, the records around the items a fixed number of windows
// (kFirstStartWindows and kNewestStartWindows for the starts of transactions
// open, as many as each list shows for the others); nothing else is kept per
// transaction open. The page stays under kPageMax: the charts lose resolution until
// it does, and as a last resort the records around the items are left out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/pairs.h"
#include "analysis/statistics.h"
#include "output/chart_series.h"
#include "output/output.h"
#include "output/record_windows.h"

namespace qelttrace {

class HtmlReport : public Writer {
  public:
    static constexpr std::size_t kExactPoints = 100000;
    static constexpr std::size_t kDepthIntervals = 600;
    static constexpr std::size_t kPageMax = 5 * 1000 * 1000;
    static constexpr std::size_t kErrorsShown = 200;
    static constexpr std::size_t kErrorMarks = 5000;
    static constexpr std::size_t kErrorGroupsMax = 1000;
    static constexpr std::size_t kGapsShown = 100;
    static constexpr std::size_t kSlowShown = 100;
    static constexpr std::size_t kOpenShown = 100;
    static constexpr std::size_t kKindsDrawn = 10;
    // The windows of transactions' starts held at once: the first ones while
    // they stay open (under a hang, the oldest, which the page lists first),
    // and the newest beyond them, the oldest of these giving way. Healthy
    // traffic (a queue of 32 at most) never has this many open.
    static constexpr std::size_t kFirstStartWindows = 64;
    static constexpr std::size_t kNewestStartWindows = 64;

    // `rules` are the statistics' pair rules.
    HtmlReport(Output& out, std::string title, std::vector<PairRule> rules);
    void record(const Record& record, const Observation& observation) override;
    void transaction(const Transaction& transaction) override;
    void state(const StateSpan& span) override;
    void end(const Ending& ending) override;

    // The whole page from the finished statistics, for the size check and the tests.
    std::string page(const Statistics& stats) const;
    // The records around the listed items, for the tests of its bounds.
    const RecordWindows& windows() const { return windows_; }

  private:
    using Handle = RecordWindows::Handle;
    static constexpr Handle kNone = static_cast<Handle>(-1);
    struct ErrorRow {
        std::uint64_t record;
        std::int64_t timeNs;
        std::string what;
        Handle window;
    };
    // A start's window: among the first held, or the newest (its place in
    // newestStarts_).
    struct StartWindow {
        Handle window = kNone;
        std::uint64_t newest = 0;  // 0: among the first
    };
    std::string body(const Statistics& stats) const;
    std::string figures(const Statistics& stats) const;
    std::string ruleSection(const Statistics& stats, std::size_t rule) const;
    std::string ruleCharts(const Statistics& stats, std::size_t rule) const;
    std::string openTable(const Statistics& stats, std::size_t rule) const;
    std::string slowestTable(const Statistics& stats, std::size_t rule) const;
    std::string chartData(const Statistics& stats) const;
    void ruleData(JsonWriter& json, const Statistics& stats, std::size_t rule) const;
    void latencyData(JsonWriter& json, const Statistics& stats, std::size_t rule) const;
    void contextData(JsonWriter& json, const Statistics& stats) const;
    std::string tables(const Statistics& stats) const;
    int stateIndex(std::string_view name);
    void troubleRecord(const Record& r, const Observation& o);
    void release(Handle& window);
    void openStart(std::size_t rule, std::uint64_t id);
    // The window of transaction `id`'s start, no longer held as a start's.
    Handle takeStart(std::size_t rule, std::uint64_t id);

    Output& out_;
    std::string title_;
    std::vector<PairRule> rules_;
    MinMaxSeries deltas_{kExactPoints};
    MinMaxSeries states_{kExactPoints};
    CountSeries rate_{1000};
    std::vector<LevelSeries> depths_;  // per rule, drawn for keyed ones
    std::vector<AgeSeries> ages_;      // likewise: the oldest open's age
    std::int64_t lastSinceFirst_ = 0;  // the last record's time, where the ages end
    std::vector<std::string> stateNames_;
    std::vector<ErrorRow> errors_;
    PointSeries errorMarks_{kErrorMarks};  // time, delta; counts them all
    std::map<std::pair<std::string, std::string>, std::uint64_t> errorGroups_;
    int lastState_ = -1;
    std::int64_t lastStateEnd_ = 0;

    // The records around the candidates for listing: a bounded number of
    // windows, whatever the input holds.
    RecordWindows windows_;
    bool withContext_ = true;               // false once the page has no room for them
    RankedWindows gapWindows_{kGapsShown};  // by record
    // Per rule, by id: the starts of open transactions that have a window.
    std::vector<std::unordered_map<std::uint64_t, StartWindow>> startWindows_;
    std::size_t firstStarts_ = 0;  // held among the first
    std::map<std::uint64_t, std::pair<std::size_t, std::uint64_t>> newestStarts_;  // rule, id
    std::uint64_t startsSeen_ = 0;
    std::vector<RankedWindows> slowWindows_;  // per rule, by id: start and end
    std::vector<RankedWindows> openWindows_;  // per rule, by start record: open at the end
    std::vector<std::pair<std::size_t, std::uint64_t>> pendingEnds_;  // rule, id
};

}  // namespace qelttrace
