// The comparison of a run with its baseline: the finished statistics of both
// dumps in, plain rows out, each with a verdict that names a real change and
// calls noise the same, sorted as the outputs show them (what matters first),
// so that every output is a loop over the rows.
//
//   Verdict        what became of a row's figure, by importance
//   ksTest         two latency histograms' Kolmogorov-Smirnov test
//   *Verdict       the rules, as pure functions of the figures
//   compare*       one row from its two sides; the whole model from two
//                  Statistics
//
// The rules:
//   latency (per pair rule and kind, and per outcome where the rule reads one)
//     new / gone   transactions in only one of the two
//     too few      fewer than kLatencyMin on a side that has some
//     slower       the test rejects equal distributions at p < kPValueMax,
//                  and the run's p50 or p99 is at least kShiftPercent higher,
//                  neither of them kShiftPercent lower
//     faster       the same, lower
//     same         otherwise
//   counts (events; errors by status and event)
//     new / gone   counted in only one of the two
//     more / fewer the rate per second of the span (the count, when a span
//                  is 0) at least kRateRatio times the other's, with at least
//                  kCountMin on the larger side
//     same         otherwise
//
// The test. D is the largest difference of the two empirical distribution
// functions, taken at the upper edge of every bucket of the histograms
// (LogHistogram: exact below 128 ns, then 128 buckets per power of two).
// Binned data can only understate the D of the values themselves, so the
// test is conservative. With the effective size Ne = n*m/(n+m) and
// Stephens' small-sample correction, lambda = (sqrt(Ne) + 0.12 +
// 0.11/sqrt(Ne)) * D, and p = Q_KS(lambda), the asymptotic Kolmogorov
// distribution's tail:
//   Q_KS(lambda) = 2 sum_{k>=1} (-1)^(k-1) exp(-2 k^2 lambda^2)          (lambda >= 1.18)
//                = 1 - sqrt(2 pi)/lambda sum_{k>=1} exp(-(2k-1)^2 pi^2 / (8 lambda^2))
//                                                                        (lambda < 1.18)
// each series where it converges in a few terms. Below lambda 0.15 p is 1
// to a double's precision; terms whose exponent is below -700 (1e-304) are
// dropped, so that nothing underflows and p is 0 above lambda 18.7. n or m
// zero, or D zero, give p = 1. Against the exact two-sample distribution of
// D (lattice paths) the approximation is within 30% from 40 values a side
// up, for p down to 1e-12. On two samples of one distribution the test
// rejects at about its level, a little less on binned values; a verdict
// needs the shift of p50 or p99 as well.
//
// Cost: a row costs the buckets between its two histograms' extremes (at
// most LogHistogram::kBuckets), never the records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/histogram.h"
#include "analysis/pairs.h"

namespace qelttrace {

class Statistics;

// In the order of importance: what the outputs show first.
enum class Verdict : std::uint8_t {
    kSlower,
    kMore,
    kNew,
    kFaster,
    kFewer,
    kGone,
    kTooFew,
    kSame,
};
constexpr std::size_t kVerdictCount = 8;
// "slower", "more", "new", "faster", "fewer", "gone", "too few", "same".
const char* verdictName(Verdict verdict);

constexpr double kPValueMax = 0.001;
constexpr std::uint64_t kLatencyMin = 20;
constexpr int kShiftPercent = 10;
constexpr double kRateRatio = 1.5;
constexpr std::uint64_t kCountMin = 10;

struct KsResult {
    double d = 0;       // the largest difference of the distribution functions
    double pValue = 1;  // of D this large or larger if both were one distribution
};
// The tail of the Kolmogorov distribution, P(K > lambda); 1 for lambda <= 0.
double kolmogorovQ(double lambda);
// The p-value of a two-sample D from n and m values.
double ksPValue(double d, std::uint64_t n, std::uint64_t m);
KsResult ksTest(const LogHistogram& a, const LogHistogram& b);

// Whether `run` is at least kShiftPercent above (below) `baseline`; values
// below 0 count as 0, and equal values are neither.
bool shiftedUp(std::int64_t baseline, std::int64_t run);
bool shiftedDown(std::int64_t baseline, std::int64_t run);
// The latency rule for n baseline and m run transactions.
Verdict latencyVerdict(std::uint64_t n, std::uint64_t m, double pValue, std::int64_t baselineP50,
                       std::int64_t baselineP99, std::int64_t runP50, std::int64_t runP99);
// The count rule for counts over spans (nanoseconds).
Verdict countVerdict(std::uint64_t baseline, std::int64_t baselineSpanNs, std::uint64_t run,
                     std::int64_t runSpanNs);

// Per second of a span; 0 when the span is not above 0.
double perSecond(std::uint64_t count, std::int64_t spanNs);

struct LatencySide {
    std::uint64_t count = 0;
    double perSecond = 0;                             // of the dump's span
    std::int64_t p50 = 0, p90 = 0, p99 = 0, max = 0;  // 0 when count is 0
};

// One kind (and outcome) of a pair rule, in both dumps.
struct LatencyRow {
    std::string kind;     // empty for a rule without kinds
    std::string outcome;  // the end's word; empty for a rule without outcomes
    LatencySide baseline, run;
    // run / baseline, where both have some and the baseline's is above 0.
    std::optional<double> p50Ratio, p99Ratio;
    KsResult test;  // d 0 and p 1 unless both have some
    Verdict verdict = Verdict::kSame;
    // The two sides' latencies, for drawing them (null for a side without
    // any): the histograms of the statistics compared, valid while they are.
    const LogHistogram* baselineLatency = nullptr;
    const LogHistogram* runLatency = nullptr;
};

struct RuleSide {
    LatencySide latency;  // all kinds together
    // The starts left unmatched (those open at the end among them), the ends
    // with no start; the transactions still open when the dump ended (a hung
    // device's), and those that ended aborted (outcomeMeaning).
    std::uint64_t unmatchedStarts = 0, unmatchedEnds = 0, openAtEnd = 0, aborted = 0;
};

struct RuleComparison {
    PairRule rule;
    std::string name;  // ruleName(rule)
    RuleSide baseline, run;
    std::vector<LatencyRow> rows;  // by verdict, the largest change first
};

struct CountSide {
    std::uint64_t count = 0;
    double perSecond = 0;
};

// An event, or the errors of one status and event.
struct CountRow {
    std::string status;  // errors only: as Statistics::ErrorGroup names it
    std::string event;
    CountSide baseline, run;
    std::optional<double> rateRatio;  // run / baseline, where both have some
    Verdict verdict = Verdict::kSame;
};

struct StateSide {
    std::uint64_t entries = 0;
    std::int64_t timeNs = 0;
    double share = 0;  // of the time spent in any state, 0 to 1
};

struct StateRow {
    std::string state;
    StateSide baseline, run;
    double changePoints = 0;  // (run share - baseline share) in percentage points
};

// What each dump is: its span (first to last decoded record) gives the rates.
struct DumpSide {
    std::uint64_t records = 0, decoded = 0, errors = 0;
    std::int64_t spanNs = 0;
};

using VerdictTally = std::array<std::uint64_t, kVerdictCount>;

struct Comparison {
    DumpSide baseline, run;
    std::vector<RuleComparison> rules;  // the baseline's order, then the run's others
    std::vector<CountRow> events;       // by verdict, the largest change first
    std::vector<CountRow> errors;       // likewise
    std::vector<StateRow> states;       // the largest change first
    // How many rows have each verdict (latency: all rules' rows).
    VerdictTally latencyVerdicts{}, eventVerdicts{}, errorVerdicts{};
};

// A row from its two sides; null for a side without any.
LatencyRow compareLatency(std::string kind, std::string outcome, const LogHistogram* baseline,
                          std::int64_t baselineSpanNs, const LogHistogram* run,
                          std::int64_t runSpanNs);
CountRow compareCounts(std::string status, std::string event, std::uint64_t baseline,
                       std::int64_t baselineSpanNs, std::uint64_t run, std::int64_t runSpanNs);
// The orders of the rows in the model.
void sortLatencyRows(std::vector<LatencyRow>& rows);
void sortCountRows(std::vector<CountRow>& rows);

// Both dumps read with the same pair rules and filters, their inputs over.
Comparison compare(const Statistics& baseline, const Statistics& run);

}  // namespace qelttrace
