#include "pipeline.h"

#include "analysis/statistics.h"
#include "output/html_report.h"
#include "output/perfetto.h"
#include "output/transaction_listing.h"

namespace qelttrace {

Pipeline::Pipeline(const Settings& s, const Outputs& o, FILE* diagnostics) {
    std::vector<PairRule> rules = pairRules(s.pairs);
    const std::pair<Format, Output*> records[] = {
        {Format::kText, o.text}, {Format::kCsv, o.csv}, {Format::kJsonl, o.jsonl}};
    for (const auto& [format, output] : records) {
        if (output) {
            owned_.push_back(
                makeRecordWriter(format, *output, s.filter.active(), s.filter.context > 0));
        }
    }
    if (o.stats) owned_.push_back(std::make_unique<StatsWriter>(s.stats, *o.stats));
    if (o.perfetto) {
        owned_.push_back(
            std::make_unique<PerfettoWriter>(*o.perfetto, rules, diagnostics, s.perfetto));
    }
    if (o.html) owned_.push_back(std::make_unique<HtmlReport>(*o.html, s.title, rules));
    if (o.transactions) {
        owned_.push_back(
            makeTransactionListing(*o.transactions, rules, transactionsAsJsonl(s.transactions)));
    }
    for (const auto& writer : owned_) writers_.add(*writer);
    // The statistics are gathered only for the outputs that report them.
    const bool gathering = o.stats || o.perfetto || o.html || o.transactions;
    if (gathering) {
        // Every record reaches them, the filters' selection marked: the pairs
        // match over the whole input, the rest counts the selection.
        analysis_ =
            std::make_unique<Statistics>(std::move(rules), s.top, writers_, s.filter.window());
    } else {
        analysis_ = std::make_unique<Unobserved>(writers_);
    }
    filter_ = std::make_unique<Filter>(s.filter, *analysis_);
    reader_ = std::make_unique<InputReader>(*filter_, diagnostics, gathering || s.filter.errors);
}

Pipeline::~Pipeline() = default;

}  // namespace qelttrace
