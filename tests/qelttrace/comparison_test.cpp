// The comparison of a run with its baseline: the Kolmogorov tail at known
// values and at its extremes, the two-sample p-value against an exact count
// of lattice paths (itself checked by brute force), D on binned data, each
// verdict at its boundaries, planted shifts and noise on generated samples,
// and the whole model from two dumps fed through the statistics.
#include "analysis/comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/statistics.h"
#include "support/planted_dump.h"
#include "support/record_feed.h"

namespace {

using namespace qelttrace;
using Feed = qelttest::RecordFeed;
using qelttest::Draw;

LogHistogram sample(std::uint64_t seed, int count, double medianNs, double factor = 1.0) {
    Draw draw(seed);
    LogHistogram h;
    for (int i = 0; i < count; ++i) {
        h.add(static_cast<std::int64_t>(static_cast<double>(draw.latency(medianNs)) * factor));
    }
    return h;
}

TEST(KolmogorovQ, KnownValuesAndExtremes) {
    // The classic critical values of the Kolmogorov distribution, and two
    // points of the tail summed by hand to many terms.
    const struct {
        double lambda, q, tolerance;
    } known[] = {
        {1.224, 0.10, 0.001},
        {1.358, 0.05, 0.0005},
        {1.628, 0.01, 0.0001},
        {1.949, 0.001, 0.00001},
        {0.5, 0.9639452436648751, 1e-12},
        {1.0, 0.2699996716773546, 1e-12},
        {3.0, 3.045995948942e-08, 1e-18},
    };
    for (const auto& k : known) {
        EXPECT_NEAR(kolmogorovQ(k.lambda), k.q, k.tolerance) << "lambda " << k.lambda;
    }
    // Nothing underflows, overflows or divides by zero at the extremes.
    std::feclearexcept(FE_ALL_EXCEPT);
    const double inf = std::numeric_limits<double>::infinity();
    for (const double one : {-inf, -1.0, 0.0, 1e-300, 1e-3, 0.1, 0.15}) {
        EXPECT_EQ(kolmogorovQ(one), 1.0) << one;
    }
    for (const double zero : {18.8, 40.0, 1e10, 1e300, inf}) {
        EXPECT_EQ(kolmogorovQ(zero), 0.0) << zero;
    }
    EXPECT_GT(kolmogorovQ(18.6), 0.0);
    EXPECT_LT(kolmogorovQ(18.6), 1e-290);
    EXPECT_EQ(ksPValue(0.5, 0, 100), 1.0);
    EXPECT_EQ(ksPValue(0.5, 100, 0), 1.0);
    EXPECT_EQ(ksPValue(0.0, 100, 100), 1.0);
    EXPECT_EQ(ksPValue(1.0, 1000000, 1000000), 0.0);
    // Falling all the way, and the two series agree where they meet.
    double previous = 1.0;
    for (double lambda = 0.1; lambda < 20; lambda *= 1.01) {
        const double q = kolmogorovQ(lambda);
        EXPECT_LE(q, previous) << lambda;
        EXPECT_GE(q, 0.0);
        previous = q;
    }
    EXPECT_NEAR(kolmogorovQ(1.18 - 1e-12), kolmogorovQ(1.18 + 1e-12), 1e-11);
    EXPECT_EQ(std::fetestexcept(FE_UNDERFLOW | FE_OVERFLOW | FE_DIVBYZERO | FE_INVALID), 0);
}

// P(D >= d) for n and m distinct values by brute force: every way of
// choosing which n of the n + m ranks are the first sample's.
double bruteForceTail(int n, int m, double d) {
    const int total = n + m;
    std::uint64_t hits = 0, all = 0;
    for (std::uint32_t mask = 0; mask < (1u << total); ++mask) {
        if (__builtin_popcount(mask) != n) continue;
        ++all;
        int a = 0, b = 0;
        double widest = 0;
        for (int i = 0; i < total; ++i) {
            (mask >> i & 1 ? a : b) += 1;
            widest = std::max(widest, std::abs(double(a) / n - double(b) / m));
        }
        if (widest >= d - 1e-12) ++hits;
    }
    return double(hits) / double(all);
}

// The same exactly, from the lattice paths from (0,0) to (n,m), each one
// ordering of the ranks and all equally likely: the chance of staying
// strictly inside |i/n - j/m| < d, step by step (a step along i from (i,j)
// has the chance (n-i)/(n+m-i-j)), so that nothing overflows.
double latticeTail(int n, int m, double d) {
    std::vector<double> row(static_cast<std::size_t>(m) + 1, 0);
    const double total = n + m;
    for (int i = 0; i <= n; ++i) {
        for (int j = 0; j <= m; ++j) {
            double& here = row[static_cast<std::size_t>(j)];
            if (std::abs(double(i) / n - double(j) / m) >= d - 1e-12) {
                here = 0;
            } else if (i == 0 && j == 0) {
                here = 1;
            } else {
                const double fromI = i > 0 ? here * (n - i + 1) / (total - i + 1 - j) : 0;
                const double fromJ =
                    j > 0 ? row[static_cast<std::size_t>(j) - 1] * (m - j + 1) / (total - i - j + 1)
                          : 0;
                here = fromI + fromJ;
            }
        }
    }
    return 1 - row[static_cast<std::size_t>(m)];
}

TEST(KsTest, PValueAgainstTheExactDistribution) {
    // The exact count first checked by brute force on small samples.
    for (const auto& [n, m] : {std::pair{6, 6}, {5, 8}, {7, 9}}) {
        for (const double d : {0.2, 0.35, 0.5, 0.7, 1.0}) {
            EXPECT_NEAR(latticeTail(n, m, d), bruteForceTail(n, m, d), 1e-9)
                << n << "," << m << " d=" << d;
        }
    }
    // The asymptotic p with Stephens' correction is within 30% of the exact
    // one from 40 values a side up, over p from about 0.9 to 1e-12.
    for (const auto& [n, m] :
         {std::pair{40, 60}, {200, 200}, {150, 250}, {1000, 1000}, {300, 1200}}) {
        for (const double d : {0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4}) {
            const double exact = latticeTail(n, m, d);
            if (exact < 1e-12) continue;
            const double p =
                ksPValue(d, static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(m));
            EXPECT_GT(p / exact, 0.7) << n << "," << m << " d=" << d << " exact " << exact;
            EXPECT_LT(p / exact, 1.3) << n << "," << m << " d=" << d << " exact " << exact;
        }
    }
}

// D of two samples straight from their sorted values, ties included.
double exactD(std::vector<std::int64_t> a, std::vector<std::int64_t> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::vector<std::int64_t> all = a;
    all.insert(all.end(), b.begin(), b.end());
    double widest = 0;
    for (const std::int64_t v : all) {
        const auto below = [v](const std::vector<std::int64_t>& s) {
            return double(std::upper_bound(s.begin(), s.end(), v) - s.begin()) / double(s.size());
        };
        widest = std::max(widest, std::abs(below(a) - below(b)));
    }
    return widest;
}

TEST(KsTest, DOnTheBucketsOfTwoHistograms) {
    const struct {
        std::vector<std::int64_t> a, b;
        double d;
    } cases[] = {
        {{1, 2, 3, 4}, {1, 2, 3, 4}, 0.0},
        {{1, 2, 3}, {10, 11, 12, 13}, 1.0},
        {{1, 3, 5, 7}, {2, 4, 6, 8}, 0.25},
        {{5, 5, 5, 6}, {5, 6, 6, 6}, 0.5},  // ties
        {{100, 110, 120}, {100, 100, 100, 100, 100, 100}, 2.0 / 3},
        {{200}, {100, 300}, 0.5},           // one value a side
        {{1000, 1003}, {1001, 1002}, 0.0},  // one bucket above 1024: no difference seen
        {{-5, 0}, {0, 0}, 0.0},             // below 0 is bucket 0
    };
    for (const auto& c : cases) {
        LogHistogram a, b;
        for (const auto v : c.a) a.add(v);
        for (const auto v : c.b) b.add(v);
        const KsResult r = ksTest(a, b);
        EXPECT_NEAR(r.d, c.d, 1e-12) << ::testing::PrintToString(c.a);
        EXPECT_EQ(r.d, ksTest(b, a).d);
    }
    // On any values: D of the values as their buckets hold them exactly, and
    // never more than the D of the values themselves.
    Draw draw(3);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::int64_t> a, b, aBuckets, bBuckets;
        LogHistogram ha, hb;
        for (int i = 0; i < 300; ++i) {
            const std::int64_t x = draw.latency(2000, 1.0), y = draw.latency(2100, 1.0) + 7;
            a.push_back(x);
            b.push_back(y);
            aBuckets.push_back(LogHistogram::indexOf(x));
            bBuckets.push_back(LogHistogram::indexOf(y));
            ha.add(x);
            hb.add(y);
        }
        const double d = ksTest(ha, hb).d;
        EXPECT_NEAR(d, exactD(aBuckets, bBuckets), 1e-12);
        EXPECT_LE(d, exactD(a, b) + 1e-12);
    }
    // Identical large samples: p 1; disjoint ones: p 0.
    const LogHistogram one = sample(1, 5000, 50000);
    EXPECT_EQ(ksTest(one, one).pValue, 1.0);
    EXPECT_EQ(ksTest(one, sample(1, 5000, 50000, 100)).pValue, 0.0);
    EXPECT_EQ(ksTest(one, LogHistogram()).pValue, 1.0);
}

constexpr Verdict kSlower = Verdict::kSlower, kFaster = Verdict::kFaster, kSame = Verdict::kSame,
                  kNew = Verdict::kNew, kGone = Verdict::kGone, kTooFew = Verdict::kTooFew,
                  kMore = Verdict::kMore, kFewer = Verdict::kFewer;

TEST(Verdicts, LatencyAtItsBoundaries) {
    const struct {
        std::uint64_t n, m;
        double p;
        std::int64_t bP50, bP99, rP50, rP99;
        Verdict verdict;
    } cases[] = {
        {0, 5, 1, 0, 0, 100, 200, kNew},
        {5, 0, 1, 100, 200, 0, 0, kGone},
        {19, 1000, 1e-30, 1000, 2000, 5000, 9000, kTooFew},
        {1000, 19, 1e-30, 1000, 2000, 5000, 9000, kTooFew},
        {1, 1, 1, 1000, 2000, 1000, 2000, kTooFew},
        {20, 20, 1e-30, 1000, 2000, 5000, 9000, kSlower},
        {20, 20, 1e-4, 1000, 2000, 1100, 2000, kSlower},  // p50 exactly 10% higher
        {20, 20, 1e-4, 1000, 2000, 1099, 2000, kSame},    // just under
        {20, 20, 1e-4, 1000, 2000, 1000, 2200, kSlower},  // p99 alone
        {20, 20, 1e-4, 1000, 2000, 1100, 1800, kSame},    // p50 up 10%, p99 down 10%
        {20, 20, 1e-4, 1000, 2000, 1100, 1801, kSlower},  // p99 down a little less
        {20, 20, 1e-4, 1000, 2000, 900, 2000, kFaster},   // exactly 10% lower
        {20, 20, 1e-4, 1000, 2000, 901, 2000, kSame},
        {20, 20, 1e-4, 1000, 2000, 1000, 1800, kFaster},
        {20, 20, 1e-4, 1000, 2000, 900, 2200, kSame},    // down on p50, up on p99
        {20, 20, 0.001, 1000, 2000, 5000, 9000, kSame},  // p not below 0.001
        {20, 20, 0.000999, 1000, 2000, 5000, 9000, kSlower},
        {100000, 100000, 1e-50, 1000, 2000, 1030, 2060, kSame},  // rejected, but only 3%
        {20, 20, 1e-4, 0, 0, 10, 10, kSlower},                   // from nothing
        {20, 20, 1e-4, 0, 0, 0, 0, kSame},
        {20, 20, 1e-4, 10, 10, 0, 0, kFaster},
        {20, 20, 1e-4, -50, -50, -10, -10, kSame},  // times that ran backwards count as 0
        {20, 20, 1e-4, 4000000000000000000, 4000000000000000000, 4400000000000000000,
         4400000000000000000, kSlower},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verdictName(latencyVerdict(c.n, c.m, c.p, c.bP50, c.bP99, c.rP50, c.rP99)),
                  std::string(verdictName(c.verdict)))
            << c.n << " " << c.m << " p=" << c.p << " " << c.bP50 << "/" << c.bP99 << " -> "
            << c.rP50 << "/" << c.rP99;
    }
}

TEST(Verdicts, CountsAtTheirBoundaries) {
    constexpr std::int64_t s = 1000000000;
    const struct {
        std::uint64_t baseline;
        std::int64_t baselineSpan;
        std::uint64_t run;
        std::int64_t runSpan;
        Verdict verdict;
    } cases[] = {
        {0, s, 1, s, kNew},
        {1, s, 0, s, kGone},
        {0, s, 0, s, kSame},
        {10, 10 * s, 15, 10 * s, kMore},  // ratio 1.5, 15 on the larger side
        {10, 10 * s, 14, 10 * s, kSame},
        {6, 10 * s, 9, 10 * s, kSame},  // ratio 1.5, only 9
        {4, 6 * s, 10, 10 * s, kMore},  // rates 1.5 apart (counts 2.5), 10 on the larger side
        {4, 6 * s, 9, 9 * s, kSame},    // rates 1.5 apart, 9 on the larger side
        {15, 10 * s, 10, 10 * s, kFewer},
        {9, 10 * s, 6, 10 * s, kSame},
        {10, 10 * s, 7, 10 * s, kSame},
        {20, 20 * s, 20, 10 * s, kMore},  // one count, twice the rate
        {20, 10 * s, 20, 20 * s, kFewer},
        {10, 10 * s, 20, 20 * s, kSame},  // twice the count, one rate
        {10, 0, 20, 5 * s, kMore},        // a span of 0: the counts
        {1000000, 100 * s, 1400000, 100 * s, kSame},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verdictName(countVerdict(c.baseline, c.baselineSpan, c.run, c.runSpan)),
                  std::string(verdictName(c.verdict)))
            << c.baseline << " in " << c.baselineSpan << " -> " << c.run << " in " << c.runSpan;
    }
    EXPECT_EQ(compareCounts("", "X", 4, 6 * s, 10, 10 * s).rateRatio, 1.5);
    EXPECT_EQ(compareCounts("", "X", 0, 6 * s, 10, 10 * s).rateRatio, std::nullopt);
}

// Shifts planted in generated latencies: a small one that the test alone
// would call real is the same, a large one slower (or faster).
TEST(Planted, ShiftsOfEveryLatency) {
    const struct {
        int n, m;
        double factor;
        Verdict verdict;
    } cases[] = {
        {100000, 100000, 1.03, kSame},  {100000, 100000, 0.97, kSame}, {2000, 2000, 1.6, kSlower},
        {2000, 2000, 1 / 1.6, kFaster}, {20, 20, 3.0, kSlower},        {19, 500, 1.6, kTooFew},
        {3000, 500, 1.25, kSlower},     {500, 500, 1.0, kSame},
    };
    std::uint64_t seed = 100;
    for (const auto& c : cases) {
        const LogHistogram baseline = sample(seed++, c.n, 50000);
        const LogHistogram run = sample(seed++, c.m, 50000, c.factor);
        const LatencyRow row = compareLatency("60", "", &baseline, 1, &run, 1);
        EXPECT_EQ(verdictName(row.verdict), std::string(verdictName(c.verdict)))
            << c.n << "/" << c.m << " x" << c.factor << " p=" << row.test.pValue;
        ASSERT_TRUE(row.p50Ratio.has_value());
        if (c.n < 2000) continue;
        EXPECT_NEAR(*row.p50Ratio, c.factor, c.factor * 0.05);
        if (std::abs(c.factor - 1) > 0.02) {
            EXPECT_LT(row.test.pValue, kPValueMax) << "the test alone sees the shift";
        }
    }
}

// Two samples of one distribution, over many seeds: the test rejects at
// about its level (fewer on binned data), the verdicts almost never.
TEST(Planted, NoiseIsTheSame) {
    int rejected = 0, rejectedAt5 = 0, changed = 0;
    const int rounds = 200;
    for (int seed = 0; seed < rounds; ++seed) {
        const LogHistogram baseline = sample(1000 + 2 * seed, 1000, 50000);
        const LogHistogram run = sample(1001 + 2 * seed, 1500, 50000);
        const LatencyRow row = compareLatency("60", "", &baseline, 1, &run, 1);
        if (row.test.pValue < kPValueMax) ++rejected;
        if (row.test.pValue < 0.05) ++rejectedAt5;
        if (row.verdict != kSame) ++changed;
    }
    EXPECT_LE(rejected, 2);
    EXPECT_GE(rejectedAt5, 2);
    EXPECT_LE(rejectedAt5, 20);
    EXPECT_EQ(changed, 0);
    std::printf(
        "noise, %d rounds of 1000 and 1500: rejected at 0.001 %d, at 0.05 %d; %d not same\n",
        rounds, rejected, rejectedAt5, changed);
}

// Two dumps through the statistics with changes planted in each part.
struct Dump {
    struct Line {
        std::int64_t ns;
        std::string event, qualifier, argument;
        bool trouble;
        Status status;
    };
    void add(std::int64_t ns, std::string event, std::string qualifier = "",
             std::string argument = "", bool trouble = false, Status status = Status::kOk) {
        lines.push_back(
            Line{ns, std::move(event), std::move(qualifier), std::move(argument), trouble, status});
    }
    // `count` commands of kind `kind` spread over `spanNs`, of latencies
    // around `medianNs`.
    void commands(Draw& draw, const char* kind, int count, double medianNs, std::int64_t spanNs) {
        for (int i = 0; i < count; ++i) {
            const auto start =
                static_cast<std::int64_t>(draw.uniform() * double(spanNs - 10000000));
            const std::string key = std::to_string(++keys);
            add(start, "ActivateTransaction", kind, key);
            add(start + draw.latency(medianNs), "CompleteTransation", "1", key);
        }
    }
    void spread(Draw& draw, const char* event, int count, std::int64_t spanNs, bool trouble = false,
                Status status = Status::kOk) {
        for (int i = 0; i < count; ++i) {
            add(static_cast<std::int64_t>(draw.uniform() * double(spanNs)), event, "", "", trouble,
                status);
        }
    }
    // SATA states in turn, each `shares[i]` of every 100 ms.
    void states(std::int64_t spanNs, const std::vector<std::pair<const char*, int>>& shares) {
        for (std::int64_t t = 0; t < spanNs; t += 100000000) {
            std::int64_t at = t;
            for (const auto& [state, percent] : shares) {
                add(at, "SATAWakeup", "istatus=IDLE", std::string(" state=") + state);
                at += 1000000LL * percent;
            }
        }
    }
    void feed(Statistics& stats) {
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line& a, const Line& b) { return a.ns < b.ns; });
        Feed f(stats);
        for (const Line& l : lines) {
            f(l.ns, l.status == Status::kOk ? l.event.c_str() : "", l.qualifier.c_str(),
              l.argument.c_str(), l.trouble, l.status);
        }
        stats.end(nullptr);
    }
    std::vector<Line> lines;
    int keys = 0;
};

template <typename Row>
std::vector<std::string> verdicts(const std::vector<Row>& rows) {
    std::vector<std::string> names;
    for (const Row& r : rows) names.push_back(verdictName(r.verdict));
    return names;
}

TEST(Compare, TwoDumpsThroughTheStatistics) {
    constexpr std::int64_t s = 1000000000;
    const std::int64_t baselineSpan = 100 * s, runSpan = 50 * s;
    Draw draw(42);
    Dump baseline, run;
    // Commands: 60 slower, 61 the same, 25 new, 35 gone, ca too few, 42 faster.
    baseline.commands(draw, "60", 400, 50000, baselineSpan);
    run.commands(draw, "60", 400, 80000, runSpan);
    baseline.commands(draw, "61", 400, 30000, baselineSpan);
    run.commands(draw, "61", 300, 30000, runSpan);
    run.commands(draw, "25", 30, 30000, runSpan);
    baseline.commands(draw, "35", 30, 30000, baselineSpan);
    baseline.commands(draw, "ca", 100, 30000, baselineSpan);
    run.commands(draw, "ca", 15, 30000, runSpan);
    baseline.commands(draw, "42", 200, 90000, baselineSpan);
    run.commands(draw, "42", 200, 45000, runSpan);
    // Events: CancelAll at twice the rate in the run (its count the same).
    baseline.spread(draw, "CancelAll", 200, baselineSpan);
    run.spread(draw, "CancelAll", 200, runSpan);
    baseline.spread(draw, "ResetDone", 40, baselineSpan);
    // Errors: FatalError new; parse errors at a third of the rate; unknown
    // tags at one rate.
    run.spread(draw, "FatalError", 12, runSpan, true);
    baseline.spread(draw, "", 60, baselineSpan, true, Status::kParseError);
    run.spread(draw, "", 10, runSpan, true, Status::kParseError);
    baseline.spread(draw, "", 50, baselineSpan, true, Status::kUnknownTag);
    run.spread(draw, "", 25, runSpan, true, Status::kUnknownTag);
    // States: IDLE 80 -> 50, RCV 20 -> 30, XMT 0 -> 20 points.
    baseline.states(baselineSpan, {{"IDLE", 80}, {"RCV", 20}});
    run.states(runSpan, {{"IDLE", 50}, {"RCV", 30}, {"XMT", 20}});
    // The spans: the last record at the span's end.
    baseline.add(baselineSpan, "CancelAll");
    run.add(runSpan, "CancelAll");

    Writers none;
    Statistics b(defaultPairs(), 10, none), r(defaultPairs(), 10, none);
    baseline.feed(b);
    run.feed(r);
    const Comparison c = compare(b, r);

    EXPECT_EQ(c.baseline.spanNs, baselineSpan);
    EXPECT_EQ(c.run.spanNs, runSpan);
    EXPECT_EQ(c.baseline.errors, 110u);
    EXPECT_EQ(c.run.errors, 47u);

    ASSERT_EQ(c.rules.size(), 3u);
    EXPECT_EQ(c.rules[0].name, "DMA Start->DMA End");
    EXPECT_TRUE(c.rules[0].rows.empty());
    const RuleComparison& commands = c.rules[2];
    EXPECT_EQ(commands.name, "ActivateTransaction->CompleteTransation");
    EXPECT_EQ(commands.baseline.latency.count, 1130u);
    EXPECT_EQ(commands.run.latency.count, 945u);
    std::vector<std::string> kinds;
    for (const LatencyRow& row : commands.rows) kinds.push_back(row.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"60", "25", "42", "35", "ca", "61"}));
    EXPECT_EQ(verdicts(commands.rows),
              (std::vector<std::string>{"slower", "new", "faster", "gone", "too few", "same"}));
    const LatencyRow& slower = commands.rows[0];
    EXPECT_NEAR(*slower.p50Ratio, 1.6, 0.1);
    EXPECT_LT(slower.test.pValue, 1e-20);
    EXPECT_EQ(slower.baseline.count, 400u);
    EXPECT_DOUBLE_EQ(slower.baseline.perSecond, 4.0);
    EXPECT_DOUBLE_EQ(slower.run.perSecond, 8.0);
    EXPECT_LE(slower.run.p50, slower.run.p90);
    EXPECT_LE(slower.run.p99, slower.run.max);
    EXPECT_FALSE(commands.rows[1].p50Ratio.has_value());  // new: nothing to divide by
    EXPECT_EQ(commands.rows[1].test.pValue, 1.0);
    EXPECT_EQ(c.latencyVerdicts[static_cast<std::size_t>(Verdict::kSame)], 1u);

    // Events: changed first; CancelAll's rate doubled, so it is not the same.
    auto eventRow = [&](const std::string& name) {
        const auto at = std::find_if(c.events.begin(), c.events.end(),
                                     [&](const CountRow& e) { return e.event == name; });
        EXPECT_NE(at, c.events.end()) << name;
        return at == c.events.end() ? CountRow{} : *at;
    };
    EXPECT_EQ(verdictName(eventRow("CancelAll").verdict), std::string("more"));
    EXPECT_NEAR(*eventRow("CancelAll").rateRatio, 2.0, 0.02);
    EXPECT_EQ(verdictName(eventRow("FatalError").verdict), std::string("new"));
    EXPECT_EQ(verdictName(eventRow("ResetDone").verdict), std::string("gone"));
    EXPECT_EQ(verdictName(eventRow("SATAWakeup").verdict), std::string("more"));
    EXPECT_TRUE(
        std::is_sorted(c.events.begin(), c.events.end(),
                       [](const CountRow& x, const CountRow& y) { return x.verdict < y.verdict; }));

    std::vector<std::string> errors;
    for (const CountRow& e : c.errors) errors.push_back(e.status + "/" + e.event);
    EXPECT_EQ(errors, (std::vector<std::string>{"ok/FatalError", "parse_error/", "unknown_tag/"}));
    EXPECT_EQ(verdicts(c.errors), (std::vector<std::string>{"new", "fewer", "same"}));
    EXPECT_EQ(c.errorVerdicts[static_cast<std::size_t>(Verdict::kFewer)], 1u);

    ASSERT_EQ(c.states.size(), 3u);
    EXPECT_EQ(c.states[0].state, "IDLE");
    EXPECT_NEAR(c.states[0].changePoints, -30, 0.5);
    EXPECT_EQ(c.states[1].state, "XMT");
    EXPECT_EQ(c.states[1].baseline.entries, 0u);
    EXPECT_NEAR(c.states[1].run.share, 0.2, 0.005);
    EXPECT_EQ(c.states[2].state, "RCV");
    EXPECT_NEAR(c.states[2].changePoints, 10, 0.5);
}

// Dumps read with different pair rules still line up rule by rule: a rule
// of one side only has its kinds new or gone.
TEST(Compare, RulesOfOneSideOnly) {
    Writers none;
    Statistics b({{"A", "B"}}, 0, none);
    Statistics r({{"C", "D"}, {"A", "B"}}, 0, none);
    Feed fb(b), fr(r);
    for (int i = 0; i < 30; ++i) {
        fb(1000 * i, "A");
        fb(1000 * i + 100, "B");
        fr(1000 * i, "A");
        fr(1000 * i + 100, "B");
        fr(1000 * i + 200, "C");
        fr(1000 * i + 300, "D");
    }
    b.end(nullptr);
    r.end(nullptr);
    const Comparison c = compare(b, r);
    ASSERT_EQ(c.rules.size(), 2u);
    EXPECT_EQ(c.rules[0].name, "A->B");
    EXPECT_EQ(verdicts(c.rules[0].rows), (std::vector<std::string>{"same"}));
    EXPECT_EQ(c.rules[1].name, "C->D");
    EXPECT_EQ(verdicts(c.rules[1].rows), (std::vector<std::string>{"new"}));
    EXPECT_EQ(c.rules[1].baseline.latency.count, 0u);
}

TEST(Verdicts, NamesAndImportance) {
    const char* names[] = {"slower", "more", "new", "faster", "fewer", "gone", "too few", "same"};
    for (std::size_t i = 0; i < kVerdictCount; ++i) {
        EXPECT_EQ(verdictName(static_cast<Verdict>(i)), std::string(names[i]));
    }
    // Of one verdict, the larger change first, then the more transactions.
    std::vector<LatencyRow> rows(4);
    const char* const names4[] = {"a", "b", "c", "d"};
    const Verdict given[] = {kSlower, kSlower, kSame, kSame};
    const std::uint64_t counts[] = {0, 0, 5, 50};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].kind = names4[i];
        rows[i].verdict = given[i];
        rows[i].run.count = counts[i];
    }
    rows[0].p50Ratio = 1.2;
    rows[1].p99Ratio = 3.0;
    sortLatencyRows(rows);
    std::string order;
    for (const auto& row : rows) order += row.kind;
    EXPECT_EQ(order, "badc");
}

}  // namespace
