// One self-contained HTML page about a dump, for a lab without network: the
// headline figures, four zoomable uPlot charts (the delta of every record over
// time, the SATA state over time, the delta histogram, records per interval)
// and tables of events, top gaps, states, pairs and errors. uPlot, its style
// sheet and its licence notice, and the page's own script and style, are
// embedded at build time.
//
// The charts are gathered as the records stream (chart_series.h), from the
// records and states the statistics hand on; the tables come from the
// finished statistics. The page stays under kPageMax: the charts lose
// resolution until it does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chart_series.h"
#include "output.h"
#include "stats.h"

namespace qelttrace {

class HtmlReport : public Writer {
  public:
    static constexpr std::size_t kExactPoints = 100000;
    static constexpr std::size_t kPageMax = 5 * 1000 * 1000;
    static constexpr std::size_t kErrorsShown = 200;
    static constexpr std::size_t kGapsShown = 100;

    HtmlReport(Output& out, std::string title);
    void record(const Record& record, const Observation& observation) override;
    void state(const StateSpan& span) override;
    void end(const Ending& ending) override;

    // The whole page from the finished statistics, for the size check and the tests.
    std::string page(const Statistics& stats) const;

  private:
    struct ErrorRow {
        std::uint64_t record;
        std::int64_t timeNs;
        std::string what;
    };
    std::string body(const Statistics& stats) const;
    std::string chartData(const Statistics& stats) const;
    std::string tables(const Statistics& stats) const;
    int stateIndex(std::string_view name);

    Output& out_;
    std::string title_;
    MinMaxSeries deltas_{kExactPoints};
    MinMaxSeries states_{kExactPoints};
    CountSeries rate_{1000};
    std::vector<std::string> stateNames_;
    std::vector<ErrorRow> errors_;
    std::uint64_t errorCount_ = 0;
    int lastState_ = -1;
    std::int64_t lastStateEnd_ = 0;
};

}  // namespace qelttrace
