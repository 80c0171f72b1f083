#include "compare_run.h"

#include <memory>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/statistics.h"
#include "output/compare_page.h"
#include "output/compare_report.h"
#include "trace/sata_format.h"

namespace qelttrace {

namespace {

// One dump read through the filter into statistics that hand nothing on.
class DumpAnalysis {
  public:
    DumpAnalysis(const Settings& s, FILE* diagnostics)
        : statistics_(pairRules(s.pairs), s.top, none_, s.filter.window()),
          filter_(s.filter, statistics_),
          // The statistics count the records that tell of trouble.
          reader_(std::make_unique<InputReader>(filter_, diagnostics, true)) {}

    // Reads `names` one after another as one dump, as the plain run does;
    // false if one could not be read to its end. The reader and its buffers
    // go once the input is over.
    bool read(const std::vector<std::string>& names, const std::function<bool()>& stop) {
        // Each dump is timed from its own first record, as a new run of the
        // tool times it: the run does not go on from the baseline's clock.
        SataResetTiming();
        const bool ok = reader_->readAll(names, stop);
        reader_.reset();
        return ok;
    }

    const Statistics& statistics() const { return statistics_; }

  private:
    Writers none_;
    Statistics statistics_;
    Filter filter_;
    std::unique_ptr<InputReader> reader_;
};

}  // namespace

ComparedNames comparedNames(const Settings& s) {
    // The run is named as a page names its inputs (Settings::title).
    return ComparedNames{s.compare == "-" ? "standard input" : s.compare, s.title};
}

bool runComparison(const Settings& s, const Outputs& o, FILE* diagnostics,
                   const std::function<bool()>& stop) {
    DumpAnalysis baseline(s, diagnostics);
    bool ok = baseline.read({s.compare}, stop);
    if (stop()) return ok;
    DumpAnalysis run(s, diagnostics);
    ok = run.read(s.inputs, stop) && ok;
    if (stop()) return ok;

    const Comparison c = compare(baseline.statistics(), run.statistics());
    const ComparedNames names = comparedNames(s);
    if (o.stats) {
        if (s.stats == StatsFormat::kJson) {
            writeComparisonJson(c, baseline.statistics(), run.statistics(), o.stats->buffer());
        } else {
            writeComparisonText(c, names, o.stats->buffer());
        }
        o.stats->flush();
    }
    if (o.html) {
        o.html->buffer() += comparisonPage(c, names);
        o.html->flush();
    }
    return ok;
}

}  // namespace qelttrace
