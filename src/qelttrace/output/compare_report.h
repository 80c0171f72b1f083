// The comparison of a run with its baseline (analysis/comparison.h) as text
// on standard output, the default of --compare, and as one JSON object
// (--stats=json): each a loop over the model's rows, in its order.
//
// Text: a line naming the two inputs and their spans, a line of the
// verdicts, then per pair rule a table of its kinds (the baseline and the run
// side by side, the ratios, the p-value, the verdict), then the events, the
// errors and the SATA states, changed rows first, in the aligned columns of
// --stats.
//
// JSON: {"baseline": S, "run": S, "changes": {"pairs": [...], "events":
// [...], "errors": [...], "states": [...]}}, S being what --stats=json gives
// for that dump alone; null where a figure does not exist.
#pragma once

#include <string>

#include "analysis/comparison.h"
#include "analysis/statistics.h"

namespace qelttrace {

// The latency figures of a side of a row, in the order every output shows
// them: the label of their columns and their JSON member.
struct SideFigure {
    const char* label;
    const char* key;
    std::int64_t LatencySide::*value;
};
inline constexpr SideFigure kSideFigures[] = {{"p50", "p50_ns", &LatencySide::p50},
                                              {"p90", "p90_ns", &LatencySide::p90},
                                              {"p99", "p99_ns", &LatencySide::p99},
                                              {"max", "max_ns", &LatencySide::max}};

// How the reports name the two inputs.
struct ComparedNames {
    std::string baseline, run;
};

void writeComparisonText(const Comparison& comparison, const ComparedNames& names,
                         std::string& out);
void writeComparisonJson(const Comparison& comparison, const Statistics& baseline,
                         const Statistics& run, std::string& out);

// The figures as the text and the page show them: a rate per second and a
// ratio with three decimals, a p-value with two significant digits, a share
// of time in percent with one decimal, its change in points with its sign.
std::string rateText(double perSecond);
std::string ratioText(double ratio);
std::string pValueText(double p);
std::string shareText(double share);
std::string pointsText(double points);
// "2 slower, 1 new, 5 same", in the verdicts' order of importance; "none".
std::string tallyText(const VerdictTally& tally);

}  // namespace qelttrace
