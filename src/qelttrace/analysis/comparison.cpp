#include "analysis/comparison.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

#include "analysis/statistics.h"

namespace qelttrace {

namespace {

constexpr const char* kVerdictNames[] = {"slower", "more", "new",     "faster",
                                         "fewer",  "gone", "too few", "same"};
static_assert(sizeof kVerdictNames / sizeof kVerdictNames[0] == kVerdictCount,
              "a name for every verdict, in the enum's order");

constexpr double kPi = 3.14159265358979323846;
// exp() of less is below 1e-304: dropped rather than taken into the
// subnormal range.
constexpr double kExpMin = -700;
// Where each series of Q_KS converges in a few terms, and below which Q_KS
// is 1 to a double's precision.
constexpr double kSeriesSwitch = 1.18;
constexpr double kLambdaOne = 0.15;
// Above which the first term's exponent is below kExpMin: 0, without
// squaring a huge lambda.
constexpr double kLambdaZero = 19;

LatencySide latencySide(const LogHistogram* h, std::int64_t spanNs) {
    LatencySide side;
    if (h == nullptr || h->count() == 0) return side;
    side.count = h->count();
    side.perSecond = perSecond(side.count, spanNs);
    side.p50 = h->percentile(0.5);
    side.p90 = h->percentile(0.9);
    side.p99 = h->percentile(0.99);
    side.max = h->max();
    return side;
}

std::optional<double> ratio(std::int64_t baseline, std::int64_t run) {
    if (baseline <= 0) return std::nullopt;
    return static_cast<double>(run) / static_cast<double>(baseline);
}

// The larger of a row's changes as a factor either way (1 for none).
double changeSize(const std::optional<double>& a, const std::optional<double>& b) {
    double size = 0;
    for (const auto& r : {a, b}) {
        if (r && *r > 0) size = std::max(size, std::abs(std::log(*r)));
    }
    return size;
}

bool isShift(Verdict v) {
    return v == Verdict::kSlower || v == Verdict::kFaster || v == Verdict::kMore ||
           v == Verdict::kFewer;
}

// The rates' ratio the count rule judges: run / baseline per second, or of
// the counts when a span is 0; long double so that the products of counts
// and spans stay exact in any real dump.
std::pair<long double, long double> rateTerms(std::uint64_t baseline, std::int64_t baselineSpanNs,
                                              std::uint64_t run, std::int64_t runSpanNs) {
    auto b = static_cast<long double>(baseline);
    auto r = static_cast<long double>(run);
    if (baselineSpanNs > 0 && runSpanNs > 0) {
        b *= static_cast<long double>(runSpanNs);
        r *= static_cast<long double>(baselineSpanNs);
    }
    return {b, r};
}

template <typename Row>
void tally(const std::vector<Row>& rows, VerdictTally& into) {
    for (const Row& row : rows) ++into[static_cast<std::size_t>(row.verdict)];
}

bool sameRule(const PairRule& a, const PairRule& b) {
    return a.start == b.start && a.end == b.end && a.key == b.key && a.kind == b.kind &&
           a.outcome == b.outcome;
}

// A rule's latency histograms by kind and outcome: per kind, or where the
// rule reads an outcome per kind and outcome.
using SeriesKey = std::pair<std::string, std::string>;

void addSeries(const PairRule& rule, const PairMatcher::RuleStats* stats, bool baseline,
               std::map<SeriesKey, std::pair<const LogHistogram*, const LogHistogram*>>& into) {
    if (stats == nullptr) return;
    const auto add = [&](const std::string& kind, const std::string& outcome,
                         const LogHistogram& h) {
        auto& sides = into[SeriesKey(kind, outcome)];
        (baseline ? sides.first : sides.second) = &h;
    };
    if (rule.outcome == PairWord::kNone) {
        for (const PairMatcher::KindStats& k : stats->kinds) add(k.kind, std::string(), k.latency);
    } else {
        for (const PairMatcher::OutcomeStats& o : stats->outcomes) {
            add(o.kind, o.outcome, o.latency);
        }
    }
}

RuleSide ruleSide(const PairRule& rule, const PairMatcher::RuleStats* stats, std::int64_t spanNs) {
    RuleSide side;
    if (stats == nullptr) return side;
    side.latency = latencySide(&stats->latency, spanNs);
    side.unmatchedStarts = stats->unmatchedStarts;
    side.unmatchedEnds = stats->unmatchedEnds;
    side.openAtEnd = stats->openAtEnd.count;
    for (const PairMatcher::OutcomeStats& o : stats->outcomes) {
        if (outcomeMeaning(rule, o.outcome) == kAborted) side.aborted += o.latency.count();
    }
    return side;
}

RuleComparison compareRule(const PairRule& rule, const PairMatcher::RuleStats* baseline,
                           std::int64_t baselineSpanNs, const PairMatcher::RuleStats* run,
                           std::int64_t runSpanNs) {
    RuleComparison c;
    c.rule = rule;
    c.name = ruleName(rule);
    c.baseline = ruleSide(rule, baseline, baselineSpanNs);
    c.run = ruleSide(rule, run, runSpanNs);
    std::map<SeriesKey, std::pair<const LogHistogram*, const LogHistogram*>> series;
    addSeries(rule, baseline, true, series);
    addSeries(rule, run, false, series);
    for (const auto& [key, sides] : series) {
        c.rows.push_back(compareLatency(key.first, key.second, sides.first, baselineSpanNs,
                                        sides.second, runSpanNs));
    }
    sortLatencyRows(c.rows);
    return c;
}

StateSide stateSide(const Statistics::StateTime* s, std::int64_t totalNs) {
    StateSide side;
    if (s == nullptr) return side;
    side.entries = s->entries;
    side.timeNs = s->timeNs;
    if (totalNs > 0 && s->timeNs > 0) {
        side.share = static_cast<double>(s->timeNs) / static_cast<double>(totalNs);
    }
    return side;
}

std::int64_t stateTotal(const std::vector<Statistics::StateTime>& states) {
    std::int64_t total = 0;
    for (const auto& s : states) total += std::max<std::int64_t>(0, s.timeNs);
    return total;
}

}  // namespace

const char* verdictName(Verdict verdict) {
    const auto at = static_cast<std::size_t>(verdict);
    return at < kVerdictCount ? kVerdictNames[at] : "?";
}

double kolmogorovQ(double lambda) {
    if (!(lambda > kLambdaOne)) return 1.0;
    if (lambda > kLambdaZero) return 0.0;
    if (lambda < kSeriesSwitch) {
        // 1 - sqrt(2 pi)/lambda sum exp(-(2k-1)^2 pi^2 / (8 lambda^2))
        const double scale = -kPi * kPi / (8 * lambda * lambda);
        double sum = 0;
        for (int k = 1; k < 64; ++k) {
            const double odd = 2.0 * k - 1;
            const double x = odd * odd * scale;
            if (x < kExpMin) break;
            sum += std::exp(x);
        }
        return std::min(1.0, std::max(0.0, 1 - std::sqrt(2 * kPi) / lambda * sum));
    }
    // 2 sum (-1)^(k-1) exp(-2 k^2 lambda^2)
    const double scale = -2 * lambda * lambda;
    double sum = 0;
    for (int k = 1; k < 64; ++k) {
        const double x = static_cast<double>(k) * k * scale;
        if (x < kExpMin) break;
        sum += (k % 2 ? 1 : -1) * std::exp(x);
    }
    return std::min(1.0, std::max(0.0, 2 * sum));
}

double ksPValue(double d, std::uint64_t n, std::uint64_t m) {
    if (n == 0 || m == 0 || !(d > 0)) return 1.0;
    const double nd = static_cast<double>(n), md = static_cast<double>(m);
    const double root = std::sqrt(nd * md / (nd + md));
    return kolmogorovQ((root + 0.12 + 0.11 / root) * d);
}

KsResult ksTest(const LogHistogram& a, const LogHistogram& b) {
    KsResult result;
    const std::uint64_t n = a.count(), m = b.count();
    if (n == 0 || m == 0) return result;
    // |Fa - Fb| = |ca m - cb n| / (n m): the counts compared, exact.
    const auto nl = static_cast<long double>(n), ml = static_cast<long double>(m);
    long double widest = 0;
    std::uint64_t ca = 0, cb = 0;
    const int last = std::max(a.lastBucket(), b.lastBucket());
    for (int i = std::min(a.firstBucket(), b.firstBucket()); i <= last; ++i) {
        ca += a.bucket(i);
        cb += b.bucket(i);
        widest = std::max(widest, std::abs(static_cast<long double>(ca) * ml -
                                           static_cast<long double>(cb) * nl));
    }
    result.d = static_cast<double>(widest / (nl * ml));
    result.pValue = ksPValue(result.d, n, m);
    return result;
}

bool shiftedUp(std::int64_t baseline, std::int64_t run) {
    const auto b = static_cast<long double>(std::max<std::int64_t>(0, baseline));
    const auto r = static_cast<long double>(std::max<std::int64_t>(0, run));
    return r > b && 100 * r >= (100 + kShiftPercent) * b;
}

bool shiftedDown(std::int64_t baseline, std::int64_t run) {
    const auto b = static_cast<long double>(std::max<std::int64_t>(0, baseline));
    const auto r = static_cast<long double>(std::max<std::int64_t>(0, run));
    return r < b && 100 * r <= (100 - kShiftPercent) * b;
}

Verdict latencyVerdict(std::uint64_t n, std::uint64_t m, double pValue, std::int64_t baselineP50,
                       std::int64_t baselineP99, std::int64_t runP50, std::int64_t runP99) {
    if (n == 0 && m == 0) return Verdict::kSame;
    if (n == 0) return Verdict::kNew;
    if (m == 0) return Verdict::kGone;
    if (n < kLatencyMin || m < kLatencyMin) return Verdict::kTooFew;
    if (!(pValue < kPValueMax)) return Verdict::kSame;
    const bool up = shiftedUp(baselineP50, runP50) || shiftedUp(baselineP99, runP99);
    const bool down = shiftedDown(baselineP50, runP50) || shiftedDown(baselineP99, runP99);
    if (up && !down) return Verdict::kSlower;
    if (down && !up) return Verdict::kFaster;
    return Verdict::kSame;
}

Verdict countVerdict(std::uint64_t baseline, std::int64_t baselineSpanNs, std::uint64_t run,
                     std::int64_t runSpanNs) {
    if (baseline == 0 && run == 0) return Verdict::kSame;
    if (baseline == 0) return Verdict::kNew;
    if (run == 0) return Verdict::kGone;
    const auto [b, r] = rateTerms(baseline, baselineSpanNs, run, runSpanNs);
    const auto factor = static_cast<long double>(kRateRatio);
    if (r >= factor * b && run >= kCountMin) return Verdict::kMore;
    if (b >= factor * r && baseline >= kCountMin) return Verdict::kFewer;
    return Verdict::kSame;
}

double perSecond(std::uint64_t count, std::int64_t spanNs) {
    if (spanNs <= 0) return 0;
    return static_cast<double>(count) * 1e9 / static_cast<double>(spanNs);
}

LatencyRow compareLatency(std::string kind, std::string outcome, const LogHistogram* baseline,
                          std::int64_t baselineSpanNs, const LogHistogram* run,
                          std::int64_t runSpanNs) {
    LatencyRow row;
    row.kind = std::move(kind);
    row.outcome = std::move(outcome);
    row.baseline = latencySide(baseline, baselineSpanNs);
    row.run = latencySide(run, runSpanNs);
    if (row.baseline.count > 0) row.baselineLatency = baseline;
    if (row.run.count > 0) row.runLatency = run;
    if (row.baseline.count > 0 && row.run.count > 0) {
        row.p50Ratio = ratio(row.baseline.p50, row.run.p50);
        row.p99Ratio = ratio(row.baseline.p99, row.run.p99);
        row.test = ksTest(*baseline, *run);
    }
    row.verdict = latencyVerdict(row.baseline.count, row.run.count, row.test.pValue,
                                 row.baseline.p50, row.baseline.p99, row.run.p50, row.run.p99);
    return row;
}

CountRow compareCounts(std::string status, std::string event, std::uint64_t baseline,
                       std::int64_t baselineSpanNs, std::uint64_t run, std::int64_t runSpanNs) {
    CountRow row;
    row.status = std::move(status);
    row.event = std::move(event);
    row.baseline = CountSide{baseline, perSecond(baseline, baselineSpanNs)};
    row.run = CountSide{run, perSecond(run, runSpanNs)};
    if (baseline > 0 && run > 0) {
        const auto [b, r] = rateTerms(baseline, baselineSpanNs, run, runSpanNs);
        row.rateRatio = static_cast<double>(r / b);
    }
    row.verdict = countVerdict(baseline, baselineSpanNs, run, runSpanNs);
    return row;
}

void sortLatencyRows(std::vector<LatencyRow>& rows) {
    std::sort(rows.begin(), rows.end(), [](const LatencyRow& a, const LatencyRow& b) {
        if (a.verdict != b.verdict) return a.verdict < b.verdict;
        if (isShift(a.verdict)) {
            const double sa = changeSize(a.p50Ratio, a.p99Ratio);
            const double sb = changeSize(b.p50Ratio, b.p99Ratio);
            if (sa != sb) return sa > sb;
        }
        const std::uint64_t ca = a.baseline.count + a.run.count;
        const std::uint64_t cb = b.baseline.count + b.run.count;
        if (ca != cb) return ca > cb;
        return std::tie(a.kind, a.outcome) < std::tie(b.kind, b.outcome);
    });
}

void sortCountRows(std::vector<CountRow>& rows) {
    std::sort(rows.begin(), rows.end(), [](const CountRow& a, const CountRow& b) {
        if (a.verdict != b.verdict) return a.verdict < b.verdict;
        if (isShift(a.verdict)) {
            const double sa = changeSize(a.rateRatio, std::nullopt);
            const double sb = changeSize(b.rateRatio, std::nullopt);
            if (sa != sb) return sa > sb;
        }
        const std::uint64_t ca = a.baseline.count + a.run.count;
        const std::uint64_t cb = b.baseline.count + b.run.count;
        if (ca != cb) return ca > cb;
        return std::tie(a.status, a.event) < std::tie(b.status, b.event);
    });
}

Comparison compare(const Statistics& baseline, const Statistics& run) {
    Comparison c;
    c.baseline =
        DumpSide{baseline.records(), baseline.decoded(), baseline.errors(), baseline.spanNs()};
    c.run = DumpSide{run.records(), run.decoded(), run.errors(), run.spanNs()};
    const std::int64_t bSpan = c.baseline.spanNs, rSpan = c.run.spanNs;

    // Pair rules: the same ones on both sides as a rule, matched by what they are.
    const auto& bRules = baseline.pairs();
    const auto& rRules = run.pairs();
    std::vector<bool> runMatched(rRules.size(), false);
    for (std::size_t i = 0; i < bRules.size(); ++i) {
        const PairMatcher::RuleStats* other = nullptr;
        for (std::size_t j = 0; j < rRules.size() && other == nullptr; ++j) {
            if (!runMatched[j] && sameRule(bRules[i], rRules[j])) {
                runMatched[j] = true;
                other = &run.pairStats()[j];
            }
        }
        c.rules.push_back(compareRule(bRules[i], &baseline.pairStats()[i], bSpan, other, rSpan));
    }
    for (std::size_t j = 0; j < rRules.size(); ++j) {
        if (!runMatched[j]) {
            c.rules.push_back(compareRule(rRules[j], nullptr, bSpan, &run.pairStats()[j], rSpan));
        }
    }
    for (const RuleComparison& rule : c.rules) tally(rule.rows, c.latencyVerdicts);

    // Events and errors: counts on either side, joined by name.
    std::map<SeriesKey, std::pair<std::uint64_t, std::uint64_t>> counts;
    for (const auto& e : baseline.eventsByCount()) counts[{std::string(), e.event}].first = e.count;
    for (const auto& e : run.eventsByCount()) counts[{std::string(), e.event}].second = e.count;
    for (const auto& [key, n] : counts) {
        c.events.push_back(compareCounts(key.first, key.second, n.first, bSpan, n.second, rSpan));
    }
    counts.clear();
    for (const auto& g : baseline.errorGroups()) counts[{g.status, g.event}].first = g.count;
    for (const auto& g : run.errorGroups()) counts[{g.status, g.event}].second = g.count;
    for (const auto& [key, n] : counts) {
        c.errors.push_back(compareCounts(key.first, key.second, n.first, bSpan, n.second, rSpan));
    }
    sortCountRows(c.events);
    sortCountRows(c.errors);
    tally(c.events, c.eventVerdicts);
    tally(c.errors, c.errorVerdicts);

    // States: the baseline's in its order, then the run's others; the largest
    // change first.
    const auto bStates = baseline.states();
    const auto rStates = run.states();
    const std::int64_t bTotal = stateTotal(bStates), rTotal = stateTotal(rStates);
    auto find = [](const std::vector<Statistics::StateTime>& list, const std::string& name) {
        const auto at = std::find_if(list.begin(), list.end(), [&](const Statistics::StateTime& s) {
            return s.state == name;
        });
        return at == list.end() ? nullptr : &*at;
    };
    for (const auto& s : bStates) {
        c.states.push_back(
            StateRow{s.state, stateSide(&s, bTotal), stateSide(find(rStates, s.state), rTotal), 0});
    }
    for (const auto& s : rStates) {
        if (find(bStates, s.state) == nullptr) {
            c.states.push_back(StateRow{s.state, StateSide{}, stateSide(&s, rTotal), 0});
        }
    }
    for (StateRow& s : c.states) s.changePoints = (s.run.share - s.baseline.share) * 100;
    std::stable_sort(c.states.begin(), c.states.end(), [](const StateRow& a, const StateRow& b) {
        return std::abs(a.changePoints) > std::abs(b.changePoints);
    });
    return c;
}

}  // namespace qelttrace
