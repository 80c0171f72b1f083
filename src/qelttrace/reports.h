// The reports of one run: the statistics (--stats, as text or JSON on
// standard output), the Perfetto trace (--perfetto FILE) and the HTML page
// (--html FILE), all fed from the one pass over the input. Files are written
// beside their targets and renamed once complete.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "filter.h"
#include "output_file.h"
#include "stats.h"

namespace qelttrace {

enum class StatsFormat { kNone, kText, kJson };

struct ReportOptions {
    StatsFormat stats = StatsFormat::kNone;
    std::size_t top = 10;
    std::vector<PairRule> pairs;  // added to the default pairs
    std::string perfetto;
    std::string html;
    std::string title;  // the inputs, for the page
};

class PerfettoWriter;
class HtmlReport;

class Reports {
  public:
    explicit Reports(ReportOptions options);
    ~Reports();
    Reports(const Reports&) = delete;
    Reports& operator=(const Reports&) = delete;

    // Opens the output files; false with `error` set.
    bool open(std::string& error);
    // Adds what is wanted to the stream's outputs (the statistics first: the
    // others read them).
    void attach(Tee& outputs);
    // Once the stream has ended: prints the statistics and renames the files
    // onto their targets. False with `error` set.
    bool commit(std::string& error);

  private:
    bool wanted() const;

    ReportOptions options_;
    std::unique_ptr<Statistics> stats_;
    OutputFile perfettoFile_, htmlFile_;
    std::unique_ptr<PerfettoWriter> perfetto_;
    std::unique_ptr<HtmlReport> html_;
    // Hands the statistics' observations to both writers.
    class Observers;
    std::unique_ptr<Observers> observers_;
};

}  // namespace qelttrace
