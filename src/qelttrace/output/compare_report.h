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

// A rule's counts in each dump, in the order every output shows them: the
// label of the text and the page, the JSON member.
struct RuleCount {
    const char* label;
    const char* key;
    std::uint64_t (*value)(const RuleSide&);
    bool outcomesOnly;  // shown for a rule that reads outcomes only
};
inline constexpr RuleCount kRuleCounts[] = {
    {"transactions", "count", [](const RuleSide& s) { return s.latency.count; }, false},
    {"unmatched starts", "unmatched_starts", [](const RuleSide& s) { return s.unmatchedStarts; },
     false},
    {"unmatched ends", "unmatched_ends", [](const RuleSide& s) { return s.unmatchedEnds; }, false},
    {"open at the end", "open_at_end", [](const RuleSide& s) { return s.openAtEnd; }, false},
    {"aborted", "aborted", [](const RuleSide& s) { return s.aborted; }, true}};

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
// A rule's counts, each "LABEL BASELINE" + arrow + "RUN", joined by ", ".
std::string ruleCounts(const RuleComparison& rule, const char* arrow);
// "2 slower, 1 new, 5 same", in the verdicts' order of importance; "none".
std::string tallyText(const VerdictTally& tally);

}  // namespace qelttrace
