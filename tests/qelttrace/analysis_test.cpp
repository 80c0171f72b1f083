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
// (at least the first), its bucket's midpoint, within the minimum and the
// maximum.
TEST(LogHistogram, FiguresAtTheEdges) {
    struct Case {
        const char* name;
        std::vector<std::int64_t> values;
        std::vector<std::pair<double, std::int64_t>> percentiles;
        std::int64_t min, max;
        double mean;
    };
    std::vector<std::int64_t> small;
    for (std::int64_t v = 0; v < 100; ++v) small.push_back(v);
    const Case cases[] = {
        {"empty", {}, {{0.5, 0}, {1.0, 0}}, 0, 0, 0.0},
        {"a lone value is every percentile",
         {5000000000},
         {{1e-9, 5000000000}, {0.5, 5000000000}, {1.0, 5000000000}},
         5000000000,
         5000000000,
         5e9},
        {"exact below 128",
         small,
         {{1e-12, 0}, {0.01, 0}, {0.5, 49}, {0.999, 99}, {1.0, 99}},
         0,
         99,
         49.5},
        {"a midpoint past the maximum reads the maximum",
         {1, 1000000},
         {{0.5, 1}, {0.51, 1000000}, {1.0, 1000000}},
         1,
         1000000,
         500000.5},
        {"below zero: the first bucket, read as 0",
         {-100, -5, 3},
         {{0.5, 0}, {1.0, 3}},
         -100,
         3,
         -34.0},
    };
    for (const Case& c : cases) {
        LogHistogram h;
        for (const std::int64_t v : c.values) h.add(v);
        EXPECT_EQ(h.count(), c.values.size()) << c.name;
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

// What passed a filter: the records by number, the banner (B), the spans (S)
// and the end (E).
struct Passed : RecordSink {
    void banner(const char*) override { text += "B "; }
    void span(const DBGTime&) override { text += "S "; }
    void record(const Record& r) override { text += std::to_string(r.number) + " "; }
    void end(const DBGTime*) override { text += "E"; }
    std::string text;
};

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

// Ten records 100 ns apart from 100 ns, those at 400 and 900 of trouble.
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
        {"an event glob", filterOf({"DMA*"}, -1, -1, false, 0), "1 2 5 6 10 E"},
        {"several globs: any of them", filterOf({"DMA E*", "Cancel?ll"}, -1, -1, false, 0),
         "2 3 6 8 E"},
        {"--from and --to, both bounds included", filterOf({}, 300, 700, false, 0), "3 4 5 6 7 E"},
        {"--to before --from", filterOf({}, 700, 300, false, 0), "E"},
        {"--errors", filterOf({}, -1, -1, true, 0), "4 9 E"},
        {"--errors and a glob: both", filterOf({"DMA*"}, -1, -1, true, 0), "E"},
        {"--context 1", filterOf({}, -1, -1, true, 1), "3 4 5 8 9 10 E"},
        {"--context 2: windows that meet merge", filterOf({}, -1, -1, true, 2),
         "2 3 4 5 6 7 8 9 10 E"},
        {"--context 3: windows that overlap, each record once", filterOf({}, -1, -1, true, 3),
         "1 2 3 4 5 6 7 8 9 10 E"},
        {"--context at the edges of the stream", filterOf({"DMA Start"}, -1, -1, false, 1),
         "1 2 4 5 6 9 10 E"},
        {"--context reaches outside the time window", filterOf({}, 500, 600, false, 1),
         "4 5 6 7 E"},
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
// the records and the errors (both ends included) and whether it is among
// the slowest (and the one it pushed out), or where it was left open, or
// where an end found no start.
struct Matched : Writer {
    explicit Matched(const std::vector<PairRule>& r) : rules(r) {}
    void record(const Record&, const Observation&) override {}
    void transaction(const Transaction& t) override {
        std::string row = std::to_string(t.rule) + "." + std::to_string(t.id) + " " +
                          std::string(t.key) + "/" + std::string(t.kind) + " ";
        if (t.matched()) {
            row += std::to_string(t.durationNs()) + " " + std::to_string(t.records) + " " +
                   std::to_string(t.errors) + (t.slowest ? " slow" : "") +
                   (t.slowestLeft ? "-" + std::to_string(t.slowestLeft) : "");
        } else if (t.hasStart) {
            row += "open@" + std::to_string(t.start.record);
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

// The pair matcher by itself, a record at a time: what it hands on, the
// points it marks ("record:rule.id" then + for a start, - for an end, and
// the depth after it), and the rule's figures.
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
    };
    const Case cases[] = {
        {"unkeyed: a second start leaves the first open, an end finds none",
         {{"S", "E"}},
         10,
         {{100, "S", "", "", false},
          {200, "S", "", "", false},
          {250, "E", "", "", false},
          {300, "E", "", "", false},
          {400, "S", "", "", false}},
         {"0.1 / open@1", "0.2 / 50 2 0 slow", "0.0 / no start@4", "0.3 / open@5"},
         "1:0.1+1 2:0.2+1 3:0.2-0 4:0.0-0 5:0.3+1 ",
         1,
         2,
         1,
         {},
         {2}},
        {"keyed by the argument, kinds by the qualifier: ends in another order, a start with "
         "its key open",
         {{"A", "B", PairWord::kArgument, PairWord::kQualifier}},
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
         {1, 4, 2}},
        {"keyed by the qualifier: the time after the last end is not the depth's, time running "
         "back counts nothing, the starts left open in record order",
         {{"A", "B", PairWord::kQualifier, PairWord::kNone}},
         10,
         {{1000, "A", "k1", "", false},
          {900, "A", "k2", "", false},
          {1500, "B", "k1", "", false},
          {1600, "A", "k3", "", false},
          {2000, "A", "k4", "", false}},
         {"0.1 k1/ 500 3 0 slow", "0.2 k2/ open@2", "0.3 k3/ open@4", "0.4 k4/ open@5"},
         "1:0.1+1 2:0.2+2 3:0.1-1 4:0.3+2 5:0.4+3 ",
         1,
         3,
         0,
         {0, 0, 600},
         {1}},
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
         {3, 1}},
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
         {1}},
    };
    for (const Case& c : cases) {
        PairMatcher matcher(c.rules, c.slowest);
        Matched out(c.rules);
        qelttest::RecordFeed feed;
        std::string points;
        std::uint64_t trouble = 0;
        std::int64_t firstNs = 0;
        for (const Step& step : c.steps) {
            const Record r = feed.make(step.timeNs, step.event, step.qualifier, step.argument,
                                       step.trouble, Status::kOk, "the line as received");
            if (r.number == 1) firstNs = r.timeNs;
            const StreamPoint at{r.number, r.timeNs, r.timeNs - firstNs,
                                 r.number, trouble,  r.trouble};
            trouble += r.trouble ? 1 : 0;
            std::vector<TransactionPoint> marked;
            matcher.record(r, at, marked, out);
            for (const TransactionPoint& p : marked) {
                points += std::to_string(r.number) + ":" + std::to_string(p.rule) + "." +
                          std::to_string(p.id) + (p.start ? "+" : "-") + std::to_string(p.depth) +
                          " ";
            }
        }
        matcher.finish(out, 0);
        EXPECT_EQ(out.rows, c.handedOn) << c.name;
        EXPECT_EQ(points, c.points) << c.name;
        const PairMatcher::RuleStats& stats = matcher.stats()[0];
        EXPECT_EQ(stats.count, c.count) << c.name;
        EXPECT_EQ(stats.unmatchedStarts, c.unmatchedStarts) << c.name;
        EXPECT_EQ(stats.unmatchedEnds, c.unmatchedEnds) << c.name;
        EXPECT_EQ(stats.depth.timeNs, c.depthNs) << c.name;
        std::vector<std::uint64_t> slowest;
        for (const KeptTransaction& t : stats.slowest) slowest.push_back(t.id);
        EXPECT_EQ(slowest, c.slowestIds) << c.name;
    }
}

// Kinds beyond the cap share one row more, so that memory does not grow with
// the names a dump makes up.
TEST(PairMatcher, KindsBeyondTheCapShareOneRow) {
    const std::vector<PairRule> rules = {{"A", "B", PairWord::kArgument, PairWord::kQualifier}};
    PairMatcher matcher(rules, 0);
    Matched out(rules);
    qelttest::RecordFeed feed;
    const std::size_t kinds = PairMatcher::kKindsMax + 44;
    for (std::size_t i = 0; i < kinds; ++i) {
        const std::string kind = "q" + std::to_string(i);
        std::vector<TransactionPoint> marked;
        const Record start = feed.make(static_cast<std::int64_t>(10 * i), "A", kind.c_str(), "k");
        matcher.record(start, StreamPoint{start.number, start.timeNs, 0, start.number, 0, false},
                       marked, out);
        const Record end = feed.make(static_cast<std::int64_t>(10 * i + 5), "B", "", "k");
        matcher.record(end, StreamPoint{end.number, end.timeNs, 0, end.number, 0, false}, marked,
                       out);
    }
    matcher.finish(out, 0);
    const auto& named = matcher.stats()[0].kinds;
    ASSERT_EQ(named.size(), PairMatcher::kKindsMax + 1);
    EXPECT_EQ(named.back().kind, PairMatcher::kOtherKinds);
    EXPECT_EQ(named.back().latency.count(), 44u);
    EXPECT_EQ(named.front().latency.count(), 1u);
}

}  // namespace
