#include "reports.h"

#include <cstdio>

#include "html.h"
#include "perfetto.h"

namespace qelttrace {

class Reports::Observers : public StatsObserver {
  public:
    std::vector<StatsObserver*> list;
    void matched(std::size_t pair, const PairPoint& start, const PairPoint& end,
                 std::string_view key) override {
        for (StatsObserver* o : list) o->matched(pair, start, end, key);
    }
    void unmatched(std::size_t pair, const PairPoint& point, bool isStart) override {
        for (StatsObserver* o : list) o->unmatched(pair, point, isStart);
    }
    void state(std::string_view name, const PairPoint& start, std::int64_t endNs) override {
        for (StatsObserver* o : list) o->state(name, start, endNs);
    }
};

Reports::Reports(ReportOptions options) : options_(std::move(options)) {}
Reports::~Reports() = default;

bool Reports::wanted() const {
    return options_.stats != StatsFormat::kNone || !options_.perfetto.empty() ||
           !options_.html.empty();
}

bool Reports::open(std::string& error) {
    if (!wanted()) return true;
    std::vector<PairRule> pairs = defaultPairs();
    pairs.insert(pairs.end(), options_.pairs.begin(), options_.pairs.end());
    stats_ = std::make_unique<Statistics>(std::move(pairs), options_.top);
    observers_ = std::make_unique<Observers>();
    if (!options_.perfetto.empty()) {
        if (!perfettoFile_.open(options_.perfetto, error)) return false;
        perfetto_ = std::make_unique<PerfettoWriter>(perfettoFile_.stream(), *stats_);
        observers_->list.push_back(perfetto_.get());
    }
    if (!options_.html.empty()) {
        if (!htmlFile_.open(options_.html, error)) return false;
        html_ = std::make_unique<HtmlReport>(htmlFile_.stream(), *stats_, options_.title);
        observers_->list.push_back(html_.get());
    }
    stats_->setObserver(observers_.get());
    return true;
}

void Reports::attach(Tee& outputs) {
    if (stats_) outputs.add(*stats_);
    if (perfetto_) outputs.add(*perfetto_);
    if (html_) outputs.add(*html_);
}

bool Reports::commit(std::string& error) {
    if (stats_ && options_.stats != StatsFormat::kNone) {
        std::string report;
        if (options_.stats == StatsFormat::kJson) {
            stats_->writeJson(report);
        } else {
            stats_->writeText(report);
        }
        std::fwrite(report.data(), 1, report.size(), stdout);
    }
    bool ok = true;
    if (perfetto_) {
        perfetto_.reset();  // flushes its buffer into the file
        ok = perfettoFile_.commit(error);
    }
    if (html_) {
        std::string htmlError;
        html_.reset();
        if (!htmlFile_.commit(htmlError) && ok) {
            error = htmlError;
            ok = false;
        }
    }
    return ok;
}

}  // namespace qelttrace
