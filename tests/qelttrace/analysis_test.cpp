// The analysis stage's parts fed records directly: the filters (globs, the
// time window's bounds, --errors, --context windows merging), the histogram
// (bucket bounds, percentiles at the edges, exact minimum, maximum and mean,
// small, negative and huge values), the pair matcher (keyed and unkeyed, a
// second start with its key open, ends with no start, kinds, the time at
// each depth, the slowest with ties) and the statistics around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "analysis/filter.h"
#include "analysis/pairs.h"
#include "analysis/statistics.h"
#include "support/record_feed.h"

namespace {

using namespace qelttrace;

using Feed = qelttest::RecordFeed;

TEST(LogHistogram, PercentilesWithinOnePercentOfTheExactValues) {
    std::mt19937_64 random(7);
    std::lognormal_distribution<double> spread(9.0, 2.5);
    std::vector<std::int64_t> values;
    LogHistogram h;
    for (int i = 0; i < 200000; ++i) {
        const auto v = static_cast<std::int64_t>(spread(random));
        values.push_back(v);
        h.add(v);
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(h.min(), values.front());
    EXPECT_EQ(h.max(), values.back());
    EXPECT_EQ(h.count(), values.size());
    for (const double q : {0.001, 0.25, 0.5, 0.9, 0.99, 0.999, 1.0}) {
        const auto rank =
            static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
        const double exact = static_cast<double>(values[rank - 1]);
        const double got = static_cast<double>(h.percentile(q));
        EXPECT_LE(std::abs(got - exact), std::max(1.0, exact * 0.01)) << "q=" << q;
    }
}

// Consecutive buckets meet, so that each value falls in exactly one; below
// 128 each value has its own, above none is wider than 1/128 of where it
// begins (a midpoint within 0.4%); the last ends at the largest value.
TEST(LogHistogram, BucketsCoverEveryValueOnceAndNarrowly) {
    for (int i = 0; i + 1 < LogHistogram::kBuckets; ++i) {
        std::int64_t low = 0, high = 0, nextLow = 0, nextHigh = 0;
        LogHistogram::bounds(i, &low, &high);
        LogHistogram::bounds(i + 1, &nextLow, &nextHigh);
        ASSERT_EQ(high + 1, nextLow) << "bucket " << i;
        ASSERT_LE(high - low, low / 128) << "bucket " << i;
    }
    std::int64_t low = 0, high = 0;
    LogHistogram::bounds(LogHistogram::kBuckets - 1, &low, &high);
    EXPECT_EQ(high, INT64_MAX);
    const std::int64_t values[] = {0,
                                   1,
                                   126,
                                   127,
                                   128,
                                   129,
                                   255,
                                   256,
                                   257,
                                   1000,
                                   65535,
                                   65536,
                                   1000000000,
                                   9007199254740993,
                                   INT64_C(1) << 62,
                                   INT64_MAX - 1,
                                   INT64_MAX};
    for (const std::int64_t v : values) {
        const int index = LogHistogram::indexOf(v);
        ASSERT_LT(index, LogHistogram::kBuckets) << v;
        LogHistogram::bounds(index, &low, &high);
        EXPECT_LE(low, v);
        EXPECT_GE(high, v);
        if (v < LogHistogram::kSub) {
            EXPECT_EQ(low, high) << v;
        }
    }
    // Below zero (decoded input's times may run backwards): the first bucket.
    EXPECT_EQ(LogHistogram::indexOf(-1), 0);
    EXPECT_EQ(LogHistogram::indexOf(INT64_MIN), 0);
}

// Count, minimum, maximum and mean are exact; a percentile is by nearest rank
// (at least the first): up to kExactMax values the value itself, beyond its
// bucket's midpoint, within the minimum and the maximum (each value of a case
// is added `times` times, to pass into buckets).
TEST(LogHistogram, FiguresAtTheEdges) {
    struct Case {
        const char* name;
        std::vector<std::int64_t> values;
        std::size_t times;
        std::vector<std::pair<double, std::int64_t>> percentiles;
        std::int64_t min, max;
        double mean;
    };
    std::vector<std::int64_t> small;
    for (std::int64_t v = 0; v < 100; ++v) small.push_back(v);
    const std::size_t past = LogHistogram::kExactMax / 2 + 1;  // twice over is past it
    const Case cases[] = {
        {"empty", {}, 1, {{0.5, 0}, {1.0, 0}}, 0, 0, 0.0},
        {"a lone value is every percentile",
         {5000000000},
         1,
         {{1e-9, 5000000000}, {0.5, 5000000000}, {1.0, 5000000000}},
         5000000000,
         5000000000,
         5e9},
        {"exact below 128",
         small,
         1,
         {{1e-12, 0}, {0.01, 0}, {0.5, 49}, {0.999, 99}, {1.0, 99}},
         0,
         99,
         49.5},
        {"exact: a value that occurred",
         {1, 1000000},
         1,
         {{0.5, 1}, {0.51, 1000000}},
         1,
         1000000,
         500000.5},
        {"in buckets, a midpoint past the maximum reads the maximum",
         {1, 1000000},
         past,
         {{0.5, 1}, {0.51, 1000000}, {1.0, 1000000}},
         1,
         1000000,
         500000.5},
        {"exact below zero", {-100, -5, 3}, 1, {{0.3, -100}, {0.5, -5}, {1.0, 3}}, -100, 3, -34.0},
        {"in buckets below zero: the first bucket, read as 0",
         {-100, -5, 3},
         LogHistogram::kExactMax / 3 + 1,
         {{0.5, 0}, {1.0, 3}},
         -100,
         3,
         -34.0},
    };
    for (const Case& c : cases) {
        LogHistogram h;
        for (const std::int64_t v : c.values) {
            for (std::size_t i = 0; i < c.times; ++i) h.add(v);
        }
        EXPECT_EQ(h.count(), c.values.size() * c.times) << c.name;
        EXPECT_EQ(h.exact(), h.count() <= LogHistogram::kExactMax) << c.name;
        EXPECT_EQ(h.min(), c.min) << c.name;
        EXPECT_EQ(h.max(), c.max) << c.name;
        EXPECT_DOUBLE_EQ(h.mean(), c.mean) << c.name;
        for (const auto& [q, expected] : c.percentiles) {
            EXPECT_EQ(h.percentile(q), expected) << c.name << ", q=" << q;
        }
    }
    // Values falling a bucket at a time grow the buckets downwards: the same
    // figures as rising ones.
    LogHistogram falling, rising;
    for (std::int64_t v = 100000; v > 0; v -= 7) falling.add(v);
    for (std::int64_t v = 5; v <= 100000; v += 7) rising.add(v);
    for (const double q : {0.001, 0.5, 0.9, 1.0}) {
        EXPECT_EQ(falling.percentile(q), rising.percentile(q)) << q;
    }
    for (int i = falling.firstBucket(); i <= falling.lastBucket(); ++i) {
        ASSERT_EQ(falling.bucket(i), rising.bucket(i)) << i;
    }
    // The largest values: no overflow at the top bucket's end.
    LogHistogram huge;
    huge.add(INT64_MAX);
    huge.add(INT64_MAX - 1);
    EXPECT_EQ(huge.min(), INT64_MAX - 1);
    EXPECT_EQ(huge.max(), INT64_MAX);
    EXPECT_DOUBLE_EQ(huge.mean(), static_cast<double>(INT64_MAX));
    EXPECT_LE(huge.percentile(1.0), INT64_MAX);
    EXPECT_GE(huge.percentile(1.0), INT64_MAX - INT64_MAX / 128);
    EXPECT_EQ(huge.lastBucket(), LogHistogram::kBuckets - 1);
}

// Up to kExactMax values a percentile is the nearest-rank value itself, one
// that occurred; one value more and the buckets answer, within 0.4%. Values
// spread so that no bucket's midpoint is one of them, in an order that is
// not theirs, and asked for again after more arrive.
TEST(LogHistogram, PercentilesExactUpToTheirBound) {
    const double quantiles[] = {1e-9, 0.25, 0.5, 0.9, 0.99, 0.999, 1.0};
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, LogHistogram::kExactMax - 1,
                                LogHistogram::kExactMax, LogHistogram::kExactMax + 1}) {
        std::vector<std::int64_t> values;
        LogHistogram h;
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::int64_t>(1000003 + (i * 7919) % 100003 * 13);
            values.push_back(v);
            h.add(v);
            if (i == n / 2) h.percentile(0.5);  // sorted once, then added to
        }
        std::sort(values.begin(), values.end());
        for (const double q : quantiles) {
            const auto rank = std::max<std::size_t>(
                1, static_cast<std::size_t>(std::ceil(q * static_cast<double>(n))));
            const std::int64_t exact = values[rank - 1];
            const std::int64_t got = h.percentile(q);
            if (n <= LogHistogram::kExactMax) {
                EXPECT_EQ(got, exact) << n << " values, q=" << q;
                continue;
            }
            std::int64_t low = 0, high = 0;
            LogHistogram::bounds(LogHistogram::indexOf(exact), &low, &high);
            EXPECT_EQ(got, std::max(h.min(), std::min(h.max(), low + (high - low) / 2)))
                << n << " values, q=" << q;
            EXPECT_LE(std::abs(static_cast<double>(got - exact)),
                      static_cast<double>(exact) * 0.004);
        }
    }
}

TEST(Statistics, PairsCountUnmatchedStartsAndEnds) {
    std::vector<PairRule> pairs = defaultPairs();
    pairs.push_back({"X", "Y", PairWord::kQualifier});
    Writers none;
    Statistics stats(pairs, 3, none);
    Feed feed(stats);
    feed(100, "DMA End");    // an end before any start
    feed(200, "DMA Start");  // left open by the next start
    feed(300, "DMA Start");
    feed(350, "DMA End");  // 50
    feed(400, "DMA End");  // nothing open
    feed(500, "ActivateTransaction", "07", "k1");
    feed(600, "ActivateTransaction", "07", "k2");
    feed(700, "CompleteTransation", "1", "k2");    // 100
    feed(800, "CompleteTransation", "1", "k3");    // no such key open
    feed(900, "ActivateTransaction", "07", "k1");  // k1 again: the first unmatched
    feed(1000, "X", "q", "a");
    feed(1100, "Y", "q", "b");  // keyed by the qualifier: 100
    feed(1200, "DMA Start");    // open at the end
    stats.end(nullptr);
    const auto& p = stats.pairStats();
    EXPECT_EQ(p[0].count, 1u);
    EXPECT_EQ(p[0].unmatchedStarts, 2u);
    EXPECT_EQ(p[0].unmatchedEnds, 2u);
    EXPECT_EQ(p[0].latency.min(), 50);
    EXPECT_EQ(p[2].count, 1u);
    EXPECT_EQ(p[2].unmatchedStarts, 2u);  // k1 replaced, k1 open at the end
    EXPECT_EQ(p[2].unmatchedEnds, 1u);
    EXPECT_EQ(p[2].latency.max(), 100);
    EXPECT_EQ(p[3].count, 1u);
    EXPECT_EQ(p[3].latency.max(), 100);
    // The largest gaps, largest first, each with the event before it.
    const auto gaps = stats.topGaps();
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_EQ(gaps[0].record, 2u);  // 100 ns, the earliest of the equal ones
    EXPECT_EQ(gaps[0].previousEvent, "DMA End");
    EXPECT_EQ(gaps[2].record, 6u);
    EXPECT_EQ(stats.deltas().count(), 12u);
}

// The transactions a writer is handed, and the points of the records.
struct Collected : Writer {
    void record(const Record& r, const Observation& o) override {
        for (const TransactionPoint& p : o.points) {
            depths += std::to_string(r.number) + ":" + std::to_string(p.depth) + " ";
        }
    }
    void transaction(const Transaction& t) override {
        std::string row = std::string(t.key) + "," + std::string(t.kind) + ",";
        if (t.matched()) {
            row += std::to_string(t.durationNs()) + "," + std::to_string(t.records) + "," +
                   std::to_string(t.errors) + (t.slowest ? ",slow" : "") +
                   (t.slowestLeft ? "-" + std::to_string(t.slowestLeft) : "");
        } else {
            row += t.hasStart ? "open" : "no start";
        }
        rows.push_back(row);
    }
    std::vector<std::string> rows;
    std::string depths;
};

// A keyed rule with kinds: each transaction's records and errors (both ends
// included), the slowest with a tie broken by the earlier start, the depth
// over the span from the first start to the last end (what follows it not
// counted, however deep), the kinds by count.
TEST(Statistics, TransactionsKindsSlowestAndDepth) {
    Collected seen;
    Statistics stats({{"A", "B", PairWord::kArgument, PairWord::kQualifier}}, 2, seen);
    Feed feed(stats);
    feed(100, "A", "q1", "k1");
    feed(150, "C", "", "", true);
    feed(200, "A", "q2", "k2");
    feed(300, "B", "", "k1");
    feed(300, "A", "q1", "k3");
    feed(500, "B", "", "k3");
    feed(600, "B", "", "k2", true);  // an end that tells of trouble is among the errors
    feed(700, "A", "q1", "k4");
    feed(710, "A", "q3", "k5");
    feed(720, "A", "q1", "k6");
    feed(800, "A", "q1", "k4");  // k4 again: the first one unmatched
    feed(900, "B", "", "k9", true);
    stats.end(nullptr);
    EXPECT_EQ(seen.rows,
              (std::vector<std::string>{"k1,q1,200,4,1,slow", "k3,q1,200,2,0,slow",
                                        "k2,q2,400,5,1,slow-3", "k4,q1,open", "k9,,no start",
                                        "k5,q3,open", "k6,q1,open", "k4,q1,open"}));
    EXPECT_EQ(seen.depths, "1:1 3:2 4:1 5:2 6:1 7:0 8:1 9:2 10:3 11:3 12:3 ");
    const PairMatcher::RuleStats& p = stats.pairStats()[0];
    EXPECT_EQ(p.count, 3u);
    EXPECT_EQ(p.unmatchedStarts, 4u);
    EXPECT_EQ(p.unmatchedEnds, 1u);
    EXPECT_EQ(p.depth.max, 2u);
    EXPECT_EQ(p.depth.timeNs, (std::vector<std::int64_t>{0, 200, 300}));
    EXPECT_DOUBLE_EQ(p.depth.mean(), 1.6);
    ASSERT_EQ(p.slowest.size(), 2u);
    EXPECT_EQ(p.slowest[0].key, "k2");
    EXPECT_EQ(p.slowest[1].key, "k1");
    EXPECT_EQ(p.slowest[1].startRecord, 1u);
    const auto kinds = p.kindsByCount();
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[0].kind, "q1");
    EXPECT_EQ(kinds[0].latency.count(), 2u);
    EXPECT_EQ(kinds[1].kind, "q2");
    EXPECT_EQ(kinds[1].latency.max(), 400);
}

FilterOptions filterOf(std::vector<std::string> events, std::int64_t fromNs, std::int64_t toNs,
                       bool errors, std::uint64_t context) {
    FilterOptions o;
    o.events = std::move(events);
    o.hasFrom = fromNs >= 0;
    o.fromNs = fromNs;
    o.hasTo = toNs >= 0;
    o.toNs = toNs;
    o.errors = errors;
    o.context = context;
    return o;
}

// Behind the filters, the pair rules see every record of the input, the
// rest of the statistics and the writers the selection: a transaction is
// matched whole whatever is selected; with --from and --to those that end
// inside the window are its, those open at --to open then. The writers get
// what the window holds, each transaction's start in time since the stream's
// first record (the first selected or inside the time window): before it,
// below zero.
TEST(Statistics, PairsSeeEveryRecordTheRestTheSelection) {
    struct Seen : Writer {
        void record(const Record& r, const Observation& o) override {
            text += std::to_string(r.number) + "@" + std::to_string(o.sinceFirstNs) + " ";
        }
        void transaction(const Transaction& t) override {
            text += "[" + std::string(t.key.empty() ? "-" : t.key) + " " +
                    std::to_string(t.start.sinceFirstNs) +
                    (t.matched()
                         ? " " + std::to_string(t.records) + "r" + std::to_string(t.errors) + "e"
                         : " open " + std::to_string(t.ageNs)) +
                    "] ";
        }
        std::string text;
    };
    const struct {
        const char* name;
        FilterOptions options;
        std::uint64_t records, dma, commands, open;
        std::int64_t firstNs;
        const char* seen;
    } cases[] = {
        {"no filter", filterOf({}, -1, -1, false, 0), 7, 1, 2, 0, 100,
         "1@0 2@100 3@200 [k1 0 4r1e] 4@300 [- 100 4r1e] 5@400 6@500 [k2 500 2r0e] 7@600 "},
        {"--from 250 --to 650: k1 began before, k2 is open at --to, 50 ns old",
         filterOf({}, 250, 650, false, 0), 4, 1, 1, 1, 300,
         "3@0 [k1 -200 4r1e] 4@100 [- -100 4r1e] 5@200 6@300 [k2 300 open 50] "},
        {"--errors: the transactions all the same, the stream from the first record",
         filterOf({}, -1, -1, true, 0), 1, 1, 2, 0, 100,
         "3@200 [k1 0 4r1e] [- 100 4r1e] [k2 500 2r0e] "},
        {"--event: likewise", filterOf({"DMA*"}, -1, -1, false, 0), 2, 1, 2, 0, 100,
         "2@100 [k1 0 4r1e] [- 100 4r1e] 5@400 [k2 500 2r0e] "},
        {"--context: the records around reach outside the window, its transactions do not",
         filterOf({}, 450, 550, false, 1), 3, 1, 0, 0, 400, "4@0 [- -200 4r1e] 5@100 6@200 "},
    };
    for (const auto& c : cases) {
        Seen seen;
        Statistics stats(defaultPairs(), 10, seen, c.options.window());
        Filter filter(c.options, stats);
        Feed feed(filter);
        feed(100, "ActivateTransaction", "07", "k1");
        feed(200, "DMA Start");
        feed(300, "FatalError", "", "", true);
        feed(400, "CompleteTransation", "1", "k1");
        feed(500, "DMA End");
        feed(600, "ActivateTransaction", "08", "k2");
        feed(700, "CompleteTransation", "0", "k2");
        filter.end(nullptr);
        EXPECT_EQ(stats.records(), c.records) << c.name;
        EXPECT_EQ(stats.pairStats()[0].count, c.dma) << c.name;
        EXPECT_EQ(stats.pairStats()[2].count, c.commands) << c.name;
        EXPECT_EQ(stats.pairStats()[2].openAtEnd.count, c.open) << c.name;
        EXPECT_EQ(stats.firstNs(), c.firstNs) << c.name;
        EXPECT_EQ(nanoseconds(stats.firstTime()), c.firstNs) << c.name;
        EXPECT_EQ(seen.text, c.seen) << c.name;
    }
}

TEST(Statistics, StatesLastUntilTheNextWakeupAndTheLastRecord) {
    Writers none;
    Statistics stats({}, 10, none);
    Feed feed(stats);
    feed(1000, "SATAWakeup", "istatus=IDLE", "ACT_NONE/ACT_NONE state=IDLE");
    feed(1500, "CancelAll");
    feed(3000, "SATAWakeup", "istatus=IDLE", " state=IDLE");  // no change: no entry
    feed(4000, "SATAWakeup", "istatus=BUSY", " state=RCV");
    feed(4200, "SATAWakeup", "istatus=IDLE", " state=IDLE");
    feed(5000, "CancelAll");
    stats.end(nullptr);
    const auto states = stats.states();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].state, "IDLE");
    EXPECT_EQ(states[0].entries, 2u);
    EXPECT_EQ(states[0].timeNs, 3000 + 800);
    EXPECT_EQ(states[1].state, "RCV");
    EXPECT_EQ(states[1].entries, 1u);
    EXPECT_EQ(states[1].timeNs, 200);
}

// The records that tell of trouble by status and event: a held record apart,
// the groups bounded, what has no room in "(other)", every record counted.
TEST(Statistics, ErrorsByStatusAndEventStayBounded) {
    Writers none;
    Statistics stats({}, 0, none);
    Feed feed(stats);
    std::int64_t t = 0;
    for (int i = 0; i < 3; ++i) feed(t += 10, "", "", "", true, Status::kParseError);
    feed(t += 10, "FatalError", "", "", true, Status::kOk, true);
    feed(t += 10, "FatalError", "", "", true);
    feed(t += 10, "FatalError", "", "", true);
    feed(t += 10, "CancelAll");  // no trouble
    const std::size_t named = Statistics::kErrorGroupsMax - 3;
    for (std::size_t i = 0; i < named + 500; ++i) {
        feed(t += 10, ("E" + std::to_string(i)).c_str(), "", "", true);
    }
    stats.end(nullptr);
    const auto groups = stats.errorGroups();
    ASSERT_EQ(groups.size(), Statistics::kErrorGroupsMax + 1);
    EXPECT_EQ(groups[0].status, "(other)");
    EXPECT_EQ(groups[0].event, "");
    EXPECT_EQ(groups[0].count, 500u);
    EXPECT_EQ(groups[1].status, "parse_error");
    EXPECT_EQ(groups[1].count, 3u);
    EXPECT_EQ(groups[2].status, "ok");
    EXPECT_EQ(groups[2].event, "FatalError");
    EXPECT_EQ(groups[2].count, 2u);
    EXPECT_EQ(groups[3].status, "ok, held at the time before");
    EXPECT_EQ(groups[3].count, 1u);
    EXPECT_EQ(groups[4].event, "E0");  // the first seen first among equals
    std::uint64_t sum = 0;
    for (const auto& g : groups) sum += g.count;
    EXPECT_EQ(sum, stats.errors());
}

TEST(Filter, GlobsMatchBytes) {
    const struct {
        const char* pattern;
        const char* text;
        bool match;
    } cases[] = {
        {"", "", true},
        {"", "a", false},
        {"*", "", true},
        {"*", "DMA Start", true},
        {"DMA*", "DMA Start", true},
        {"DMA*", "xDMA", false},
        {"*End", "DMA End", true},
        {"*a*b*c", "xaxbxc", true},
        {"*a*b*c", "xaxbx", false},
        {"?", "", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"[a-c]x", "bx", true},
        {"[a-c]x", "dx", false},
        {"[!a-c]x", "dx", true},
        {"[^a-c]x", "ax", false},
        {"[]]", "]", true},   // a ']' first in a class is one of its members
        {"[a-]", "-", true},  // as is a '-' last
        {"[\\]]", "]", true},
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"[abc", "a", false},  // a class without its end matches nothing
        {"[\x80-\xff]", "\xe9", true},
        {"CompleteTransation", "CompleteTransaction", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(globMatch(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
    }
    EXPECT_EQ(globError("DMA*[!a-z]\\*"), "");
    EXPECT_EQ(globError("DMA\\"), "ends in a lone backslash");
    EXPECT_EQ(globError("DMA[a-z"), "has a '[' without its ']'");
    EXPECT_EQ(globError("[]"), "has a '[' without its ']'");
}

// What passed a filter: the records by number, those passed over in
// brackets, the banner (B), the spans (S) and the end (E).
struct Passed : RecordSink {
    void banner(const char*) override { text += "B "; }
    void span(const DBGTime&) override { text += "S "; }
    void record(const Record& r) override { text += std::to_string(r.number) + " "; }
    void passedOver(const Record& r) override { text += "(" + std::to_string(r.number) + ") "; }
    void end(const DBGTime*) override { text += "E"; }
    std::string text;
};

// Ten records 100 ns apart from 100 ns, those at 400 and 900 of trouble.
// Every record is handed on once, in the input's order: selected, or passed
// over once no later record can want it in its context.
TEST(Filter, SelectsAndMergesTheRecordsAround) {
    const struct {
        const char* name;
        FilterOptions options;
        const char* passed;
    } cases[] = {
        {"none: everything, banner and spans", filterOf({}, -1, -1, false, 0),
         "B S 1 2 3 4 5 6 7 8 9 10 E"},
        {"a context alone selects nothing away", filterOf({}, -1, -1, false, 2),
         "B S 1 2 3 4 5 6 7 8 9 10 E"},
        {"an event glob", filterOf({"DMA*"}, -1, -1, false, 0), "1 2 (3) (4) 5 6 (7) (8) (9) 10 E"},
        {"several globs: any of them", filterOf({"DMA E*", "Cancel?ll"}, -1, -1, false, 0),
         "(1) 2 3 (4) (5) 6 (7) 8 (9) (10) E"},
        {"--from and --to, both bounds included", filterOf({}, 300, 700, false, 0),
         "(1) (2) 3 4 5 6 7 (8) (9) (10) E"},
        {"--to before --from", filterOf({}, 700, 300, false, 0),
         "(1) (2) (3) (4) (5) (6) (7) (8) (9) (10) E"},
        {"--errors", filterOf({}, -1, -1, true, 0), "(1) (2) (3) 4 (5) (6) (7) (8) 9 (10) E"},
        {"--errors and a glob: both", filterOf({"DMA*"}, -1, -1, true, 0),
         "(1) (2) (3) (4) (5) (6) (7) (8) (9) (10) E"},
        {"--context 1", filterOf({}, -1, -1, true, 1), "(1) (2) 3 4 5 (6) (7) 8 9 10 E"},
        {"--context 2: windows that meet merge", filterOf({}, -1, -1, true, 2),
         "(1) 2 3 4 5 6 7 8 9 10 E"},
        {"--context 3: windows that overlap, each record once", filterOf({}, -1, -1, true, 3),
         "1 2 3 4 5 6 7 8 9 10 E"},
        {"--context at the edges of the stream", filterOf({"DMA Start"}, -1, -1, false, 1),
         "1 2 (3) 4 5 6 (7) (8) 9 10 E"},
        {"--context reaches outside the time window", filterOf({}, 500, 600, false, 1),
         "(1) (2) (3) 4 5 6 7 (8) (9) (10) E"},
    };
    const struct {
        std::int64_t timeNs;
        const char* event;
        bool trouble;
    } records[] = {{100, "DMA Start", false},  {200, "DMA End", false},   {300, "CancelAll", false},
                   {400, "FatalError", true},  {500, "DMA Start", false}, {600, "DMA End", false},
                   {700, "SATAWakeup", false}, {800, "CancelAll", false}, {900, "FatalError", true},
                   {1000, "DMA Start", false}};
    for (const auto& c : cases) {
        Passed passed;
        Filter filter(c.options, passed);
        filter.banner("SATA history dump\n");
        filter.span(DBGTime{0, 0});
        qelttest::RecordFeed feed(filter);
        for (const auto& r : records) feed(r.timeNs, r.event, "", "", r.trouble);
        filter.end(nullptr);
        EXPECT_EQ(passed.text, c.passed) << c.name;
    }
}

// What a pair matcher hands on: "rule.id key/kind" and then the duration,
// the records and the errors (both ends included), whether it is among the
// slowest (and the one it pushed out) and its outcome; or where a start was
// left open (and its age when the window closed on it); or where an end found
// no start.
struct Matched : Writer {
    explicit Matched(const std::vector<PairRule>& r) : rules(r) {}
    void record(const Record&, const Observation&) override {}
    void transaction(const Transaction& t) override {
        std::string row = std::to_string(t.rule) + "." + std::to_string(t.id) + " " +
                          std::string(t.key) + "/" + std::string(t.kind) + " ";
        if (t.matched()) {
            row += std::to_string(t.durationNs()) + " " + std::to_string(t.records) + " " +
                   std::to_string(t.errors) + (t.slowest ? " slow" : "") +
                   (t.slowestLeft ? "-" + std::to_string(t.slowestLeft) : "") +
                   (t.outcome.empty() ? "" : " =" + std::string(t.outcome));
        } else if (t.hasStart) {
            row += "open@" + std::to_string(t.start.record);
            if (t.openAtEnd) row += ", " + std::to_string(t.ageNs) + " old";
        } else {
            row += "no start@" + std::to_string(t.end.record);
        }
        // A transaction with a start hands on the record that started it.
        if (t.hasStart) {
            EXPECT_NE(t.startRecord, nullptr) << row;
            if (t.startRecord) {
                EXPECT_EQ(t.startRecord->number, t.start.record) << row;
                EXPECT_EQ(t.startRecord->event(), rules[t.rule].start) << row;
                // Not its line, which may be of any length.
                EXPECT_EQ(t.startRecord->text(), "") << row;
            }
        }
        rows.push_back(row);
    }
    const std::vector<PairRule>& rules;
    std::vector<std::string> rows;
};

// A rule's outcome rows: "kind/outcome count min-max", in their order.
std::string outcomesOf(const PairMatcher::RuleStats& stats) {
    std::string text;
    for (const PairMatcher::OutcomeStats& o : stats.outcomesInOrder()) {
        if (!text.empty()) text += ", ";
        text += o.kind + "/" + o.outcome + " " + std::to_string(o.latency.count()) + " " +
                std::to_string(o.latency.min()) + "-" + std::to_string(o.latency.max());
    }
    return text;
}

// A rule's transactions open when the window closed: "N open" and the
// oldest, each "key@start record/age".
std::string openOf(const PairMatcher::RuleStats& stats) {
    std::string text = std::to_string(stats.openAtEnd.count) + " open";
    for (const PairMatcher::OpenTransaction& t : stats.openAtEnd.oldest) {
        text += " " + t.key + "@" + std::to_string(t.startRecord) + "/" + std::to_string(t.ageNs);
    }
    return text;
}

// The pair matcher by itself, a record at a time: what it hands on, the
// points it marks ("record:rule.id" then + for a start, - for an end, and
// the depth after it) and the start time of the oldest open after each of
// rule 0's ("-" when none is open), and the rule's figures: counts, depth,
// slowest, outcomes, and those open when the window closed. With a window,
// every record is matched, and what the window holds reported.
TEST(PairMatcher, MatchesLeavesOpenAndTimesTheDepth) {
    struct Step {
        std::int64_t timeNs;
        const char* event;
        const char* qualifier;
        const char* argument;
        bool trouble;
    };
    struct Case {
        const char* name;
        std::vector<PairRule> rules;
        std::size_t slowest;
        std::vector<Step> steps;
        std::vector<std::string> handedOn;
        std::string points;
        std::uint64_t count, unmatchedStarts, unmatchedEnds;
        std::vector<std::int64_t> depthNs;  // of rule 0
        std::vector<std::uint64_t> slowestIds;
        std::string open;
        std::string outcomes = "";
        TimeWindow window = {};
        std::string oldest = "";  // checked when given
    };
    const PairWord kArg = PairWord::kArgument, kQual = PairWord::kQualifier;
    const PairWord kNone = PairWord::kNone;
    const Case cases[] = {
        {"unkeyed: a second start leaves the first open, an end finds none",
         {{"S", "E"}},
         10,
         {{100, "S", "", "", false},
          {200, "S", "", "", false},
          {250, "E", "", "", false},
          {300, "E", "", "", false},
          {400, "S", "", "", false}},
         {"0.1 / open@1", "0.2 / 50 2 0 slow", "0.0 / no start@4", "0.3 / open@5, 0 old"},
         "1:0.1+1 2:0.2+1 3:0.2-0 4:0.0-0 5:0.3+1 ",
         1,
         2,
         1,
         {},
         {2},
         "1 open @5/0",
         "",
         {},
         "100 200 - - 400"},
        {"keyed by the argument, kinds by the qualifier: ends in another order, a start with "
         "its key open",
         {{"A", "B", kArg, kQual}},
         10,
         {{100, "A", "q1", "k1", false},
          {200, "A", "q2", "k2", false},
          {300, "B", "x", "k2", true},
          {400, "B", "x", "k1", false},
          {500, "A", "q1", "k3", false},
          {600, "A", "q3", "k3", false},
          {700, "B", "x", "k9", false},
          {800, "B", "x", "k3", false}},
         {"0.2 k2/q2 100 2 1 slow", "0.1 k1/q1 300 4 1 slow", "0.3 k3/q1 open@5",
          "0.0 k9/ no start@7", "0.4 k3/q3 200 3 0 slow"},
         "1:0.1+1 2:0.2+2 3:0.2-1 4:0.1-0 5:0.3+1 6:0.4+1 7:0.0-1 8:0.4-0 ",
         3,
         1,
         1,
         {100, 500, 100},
         {1, 4, 2},
         "0 open",
         "",
         {},
         "100 100 100 - 500 600 600 -"},
        {"keyed by the qualifier: the time after the last end is not the depth's, time running "
         "back counts nothing, the starts left open in record order, their ages to the last "
         "record",
         {{"A", "B", kQual, kNone}},
         10,
         {{1000, "A", "k1", "", false},
          {900, "A", "k2", "", false},
          {1500, "B", "k1", "", false},
          {1600, "A", "k3", "", false},
          {2000, "A", "k4", "", false}},
         {"0.1 k1/ 500 3 0 slow", "0.2 k2/ open@2, 1100 old", "0.3 k3/ open@4, 400 old",
          "0.4 k4/ open@5, 0 old"},
         "1:0.1+1 2:0.2+2 3:0.1-1 4:0.3+2 5:0.4+3 ",
         1,
         3,
         0,
         {0, 0, 600},
         {1},
         "3 open k2@2/1100 k3@4/400 k4@5/0",
         "",
         {},
         "1000 900 900 900 900"},
        {"the slowest with ties: the earlier start first, the one pushed out named",
         {{"S", "E"}},
         2,
         {{100, "S", "", "", false},
          {300, "E", "", "", false},
          {400, "S", "", "", false},
          {600, "E", "", "", false},
          {700, "S", "", "", false},
          {1000, "E", "", "", false},
          {1100, "S", "", "", false},
          {1300, "E", "", "", false}},
         {"0.1 / 200 2 0 slow", "0.2 / 200 2 0 slow", "0.3 / 300 2 0 slow-2", "0.4 / 200 2 0"},
         "1:0.1+1 2:0.1-0 3:0.2+1 4:0.2-0 5:0.3+1 6:0.3-0 7:0.4+1 8:0.4-0 ",
         4,
         0,
         0,
         {},
         {3, 1},
         "0 open"},
        {"one record ends a transaction of one rule and starts one of another",
         {{"A", "B"}, {"B", "C"}},
         10,
         {{100, "A", "", "", false}, {200, "B", "", "", false}, {300, "C", "", "", false}},
         {"0.1 / 100 2 0 slow", "1.1 / 100 2 0 slow"},
         "1:0.1+1 2:0.1-0 2:1.1+1 3:1.1-0 ",
         1,
         0,
         0,
         {},
         {1},
         "0 open"},
        {"outcomes read from the end: one row per kind and outcome, the kinds by count, then "
         "the words",
         {{"A", "B", kArg, kQual, kQual}},
         0,
         {{100, "A", "q1", "k1", false},
          {150, "B", "1", "k1", false},
          {200, "A", "q2", "k2", false},
          {300, "B", "0", "k2", false},
          {400, "A", "q2", "k3", false},
          {450, "B", "1", "k3", false},
          {500, "A", "q2", "k4", false},
          {700, "B", "1", "k4", false},
          {800, "A", "q1", "k5", false},
          {810, "B", "0", "k5", false}},
         {"0.1 k1/q1 50 2 0 =1", "0.2 k2/q2 100 2 0 =0", "0.3 k3/q2 50 2 0 =1",
          "0.4 k4/q2 200 2 0 =1", "0.5 k5/q1 10 2 0 =0"},
         "1:0.1+1 2:0.1-0 3:0.2+1 4:0.2-0 5:0.3+1 6:0.3-0 7:0.4+1 8:0.4-0 9:0.5+1 10:0.5-0 ",
         5,
         0,
         0,
         {300, 410},
         {},
         "0 open",
         "q2/0 1 100-100, q2/1 2 50-200, q1/0 1 10-10, q1/1 1 50-50"},
        {"open at the end: the oldest first by start time, as old the earlier record first, at "
         "most --top; a start a second start left is unmatched but not open",
         {{"A", "B", kArg, kNone}},
         2,
         {{100, "A", "", "k1", false},
          {50, "A", "", "k2", false},
          {50, "A", "", "k3", false},
          {120, "A", "", "k1", false},
          {400, "X", "", "", false}},
         {"0.1 k1/ open@1", "0.2 k2/ open@2, 350 old", "0.3 k3/ open@3, 350 old",
          "0.4 k1/ open@4, 280 old"},
         "1:0.1+1 2:0.2+2 3:0.3+3 4:0.4+3 ",
         0,
         4,
         0,
         {0},  // no end: no span for the depth
         {},
         "3 open k2@2/350 k3@3/350",
         "",
         {},
         "100 50 50 50"},
        {"the window [200, 600]: a start before it that ends inside is its, one that ends before "
         "it is not; one open at --to is open then, its age at --to; a start after --to and an "
         "end outside count nothing; the depth inside it only",
         {{"A", "B", kArg, kNone, kArg}},
         10,
         {{100, "A", "", "k1", false},
          {150, "A", "", "k2", false},
          {180, "B", "", "k2", false},
          {250, "B", "", "k1", false},
          {300, "A", "", "k3", false},
          {400, "A", "", "k4", false},
          {500, "A", "", "k4", false},
          {650, "B", "", "k9", false},
          {700, "B", "", "k3", false},
          {800, "A", "", "k5", false}},
         {"0.1 k1/ 150 4 0 slow =k1", "0.4 k4/ open@6", "0.3 k3/ open@5, 300 old",
          "0.5 k4/ open@7, 100 old"},
         "1:0.1+1 2:0.2+2 3:0.2-1 4:0.1-0 5:0.3+1 6:0.4+2 7:0.5+2 8:0.0-2 9:0.3-1 10:0.6+2 ",
         1,
         3,
         0,
         {50, 150, 200},
         {1},
         "2 open k3@5/300 k4@7/100",
         "/k1 1 150-150",
         {true, true, 200, 600},
         "100 100 100 - 300 300 300 300 500 500"},
        {"--from alone: a start before it still open at the end is open in the window, an end "
         "with no start before it counts nothing",
         {{"A", "B", kArg, kNone}},
         10,
         {{100, "A", "", "k1", false},
          {200, "B", "", "k9", false},
          {400, "A", "", "k2", false},
          {500, "B", "", "k8", false}},
         {"0.0 k8/ no start@4", "0.1 k1/ open@1, 400 old", "0.2 k2/ open@3, 100 old"},
         "1:0.1+1 2:0.0-1 3:0.2+2 4:0.0-2 ",
         0,
         2,
         1,
         {0},
         {},
         "2 open k1@1/400 k2@3/100",
         "",
         {true, false, 300, 0}},
    };
    for (const Case& c : cases) {
        PairMatcher matcher(c.rules, c.slowest, c.window);
        Matched out(c.rules);
        qelttest::RecordFeed feed;
        std::string points, oldest;
        std::uint64_t trouble = 0;
        std::int64_t firstNs = 0, lastNs = 0;
        for (const Step& step : c.steps) {
            const Record r = feed.make(step.timeNs, step.event, step.qualifier, step.argument,
                                       step.trouble, Status::kOk, "the line as received");
            if (r.number == 1) firstNs = r.timeNs;
            lastNs = r.timeNs;
            const StreamPoint at{r.number, r.timeNs, r.timeNs - firstNs,
                                 r.number, trouble,  r.trouble};
            trouble += r.trouble ? 1 : 0;
            std::vector<TransactionPoint> marked;
            matcher.record(r, at, marked, out);
            for (const TransactionPoint& p : marked) {
                points += std::to_string(r.number) + ":" + std::to_string(p.rule) + "." +
                          std::to_string(p.id) + (p.start ? "+" : "-") + std::to_string(p.depth) +
                          " ";
                if (p.rule != 0) continue;
                if (!oldest.empty()) oldest += " ";
                oldest += p.depth > 0 ? std::to_string(p.oldestStartNs) : "-";
            }
        }
        matcher.finish(out, lastNs);
        EXPECT_EQ(out.rows, c.handedOn) << c.name;
        EXPECT_EQ(points, c.points) << c.name;
        if (!c.oldest.empty()) {
            EXPECT_EQ(oldest, c.oldest) << c.name;
        }
        const PairMatcher::RuleStats& stats = matcher.stats()[0];
        EXPECT_EQ(stats.count, c.count) << c.name;
        EXPECT_EQ(stats.unmatchedStarts, c.unmatchedStarts) << c.name;
        EXPECT_EQ(stats.unmatchedEnds, c.unmatchedEnds) << c.name;
        EXPECT_EQ(stats.depth.timeNs, c.depthNs) << c.name;
        std::vector<std::uint64_t> slowest;
        for (const KeptTransaction& t : stats.slowest) slowest.push_back(t.id);
        EXPECT_EQ(slowest, c.slowestIds) << c.name;
        EXPECT_EQ(openOf(stats), c.open) << c.name;
        EXPECT_EQ(outcomesOf(stats), c.outcomes) << c.name;
    }
}

// --pair's text, and the names the rules get: the defaults keep theirs, a
// rule with the events of an earlier one is named by the words in which it
// differs from the first of them, or by a number where none differ.
TEST(PairRules, ParsedAndNamedApart) {
    const struct {
        const char* text;
        const char* reason;
        PairWord key = PairWord::kNone, kind = PairWord::kNone, outcome = PairWord::kNone;
    } parsed[] = {
        {"A,B", "", PairWord::kNone, PairWord::kNone, PairWord::kNone},
        {"A,B,argument,qualifier,argument", "", PairWord::kArgument, PairWord::kQualifier,
         PairWord::kArgument},
        {"A,B,none,none,qualifier", "", PairWord::kNone, PairWord::kNone, PairWord::kQualifier},
        {"A,B,none,none,key", "the outcome is qualifier, argument or none"},
        {"A,B,none,none,none,none", "not START,END[,KEY[,KIND[,OUTCOME]]]"},
        {"A", "not START,END[,KEY[,KIND[,OUTCOME]]]"},
        {"A,A", "START and END are one event"},
    };
    for (const auto& c : parsed) {
        PairRule rule;
        rule.name = "left from before";
        EXPECT_EQ(parsePair(c.text, &rule), c.reason) << c.text;
        if (*c.reason != '\0') continue;
        EXPECT_EQ(rule.key, c.key) << c.text;
        EXPECT_EQ(rule.kind, c.kind) << c.text;
        EXPECT_EQ(rule.outcome, c.outcome) << c.text;
        EXPECT_EQ(ruleName(rule), "A->B") << c.text;
    }
    std::vector<PairRule> added;
    for (const char* text : {"DMA Start,DMA End,argument", "DMA Start,DMA End,none,argument",
                             "DMA Start,DMA End,argument,none,qualifier", "DMA Start,DMA End",
                             "DMA Start,DMA End", "DMA Start,DMA End,argument", "X,Y,argument"}) {
        added.emplace_back();
        EXPECT_EQ(parsePair(text, &added.back()), "") << text;
    }
    std::vector<std::string> names;
    for (const PairRule& rule : pairRules(added)) names.push_back(ruleName(rule));
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  "DMA Start->DMA End", "FPGA_DMARXStart->FPGA_DMARXStop",
                  "ActivateTransaction->CompleteTransation", "DMA Start->DMA End (key argument)",
                  "DMA Start->DMA End (kind argument)",
                  "DMA Start->DMA End (key argument, outcome qualifier)", "DMA Start->DMA End (2)",
                  "DMA Start->DMA End (3)", "DMA Start->DMA End (key argument) (2)", "X->Y"}));
    // The default rule's codes named in the readable report, other words as read.
    const PairRule completion = defaultPairs()[2];
    EXPECT_EQ(outcomeLabel(completion, "1"), "1 (completed)");
    EXPECT_EQ(outcomeLabel(completion, "0"), "0 (aborted)");
    EXPECT_EQ(outcomeLabel(completion, "7"), "7");
    EXPECT_EQ(outcomeLabel(
                  PairRule{"A", "B", PairWord::kNone, PairWord::kNone, PairWord::kQualifier}, "1"),
              "1");
}

// Kinds beyond the cap share one row more, and the outcome words beyond
// theirs (the rule's) one row a kind: memory does not grow with the names a
// dump makes up.
TEST(PairMatcher, KindsAndOutcomesBeyondTheCapShareOneRow) {
    const std::vector<PairRule> rules = {
        {"A", "B", PairWord::kArgument, PairWord::kQualifier, PairWord::kQualifier}};
    PairMatcher matcher(rules, 0);
    Matched out(rules);
    qelttest::RecordFeed feed;
    const std::size_t kinds = PairMatcher::kKindsMax + 4;
    const std::size_t words = PairMatcher::kOutcomesMax + 3;
    for (std::size_t i = 0; i < kinds; ++i) {
        const std::string kind = "q" + std::to_string(i);
        // The first kind ends with every word, the others with "1".
        for (std::size_t w = 0; w < (i == 0 ? words : 1); ++w) {
            const std::string word = i == 0 ? "w" + std::to_string(100 + w) : "1";
            std::vector<TransactionPoint> marked;
            const Record start =
                feed.make(static_cast<std::int64_t>(feed.count() * 10), "A", kind.c_str(), "k");
            matcher.record(start,
                           StreamPoint{start.number, start.timeNs, 0, start.number, 0, false},
                           marked, out);
            const Record end = feed.make(start.timeNs + 5, "B", word.c_str(), "k");
            matcher.record(end, StreamPoint{end.number, end.timeNs, 0, end.number, 0, false},
                           marked, out);
        }
    }
    matcher.finish(out, 0);
    const auto& stats = matcher.stats()[0];
    const auto& named = stats.kinds;
    ASSERT_EQ(named.size(), PairMatcher::kKindsMax + 1);
    EXPECT_EQ(named.back().kind, PairMatcher::kOtherKinds);
    EXPECT_EQ(named.back().latency.count(), 4u);
    EXPECT_EQ(named.front().latency.count(), words);
    // q0 (the most): its first kOutcomesMax words, then the rest as one row;
    // then the other kinds (4), then each kind's "1", which found the words
    // taken.
    const auto outcomes = stats.outcomesInOrder();
    ASSERT_EQ(outcomes.size(), PairMatcher::kOutcomesMax + 1 + PairMatcher::kKindsMax);
    EXPECT_EQ(outcomes[0].kind, "q0");
    EXPECT_EQ(outcomes[0].outcome, "w100");
    const auto& rest = outcomes[PairMatcher::kOutcomesMax];
    EXPECT_EQ(rest.kind + " " + rest.outcome, std::string("q0 ") + PairMatcher::kOtherOutcomes);
    EXPECT_EQ(rest.latency.count(), 3u);
    const auto& others = outcomes[PairMatcher::kOutcomesMax + 1];
    EXPECT_EQ(others.kind, PairMatcher::kOtherKinds);
    EXPECT_EQ(others.outcome, PairMatcher::kOtherOutcomes);
    EXPECT_EQ(others.latency.count(), 4u);
    EXPECT_EQ(outcomes.back().kind, "q" + std::to_string(PairMatcher::kKindsMax - 1));
    EXPECT_EQ(outcomes.back().outcome, PairMatcher::kOtherOutcomes);
}

}  // namespace
