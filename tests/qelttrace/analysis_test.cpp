// The statistics, the Perfetto times and the page bound, fed records directly:
// percentiles against exact values, pairs with unmatched starts and ends, SATA
// states, the microsecond round trip for large values, and a page for
// 1,000,000 records that stays under its bound with every spike kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "analysis/statistics.h"
#include "output/html_report.h"
#include "output/output.h"
#include "output/perfetto.h"

namespace {

using namespace qelttrace;

struct Feed {
    explicit Feed(RecordSink& s) : sink(s) {}
    void operator()(std::int64_t timeNs, const char* event, const char* qualifier = "",
                    const char* argument = "", bool trouble = false) {
        Record r;
        r.trouble = trouble;
        r.number = ++number;
        r.timeNs = timeNs;
        r.deltaNs = number == 1 ? 0 : timeNs - last;
        r.time = DBGTime{static_cast<int32_t>(timeNs / 1000000000),
                         static_cast<int32_t>(timeNs % 1000000000)};
        r.setWords(event, qualifier, argument, "");
        last = timeNs;
        sink.record(r);
    }
    RecordSink& sink;
    std::uint64_t number = 0;
    std::int64_t last = 0;
};

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
    // Exact below 128, and a lone value is every percentile.
    LogHistogram one;
    one.add(5000000000);
    EXPECT_EQ(one.percentile(0.5), 5000000000);
    LogHistogram small;
    for (int v = 0; v < 100; ++v) small.add(v);
    EXPECT_EQ(small.percentile(0.5), 49);
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

TEST(Perfetto, MicrosecondsReadBackAsTheExactNanosecond) {
    std::mt19937_64 random(11);
    std::vector<std::int64_t> values = {
        0, 1, 999, 1000, 1001, 123456789, 4503599627370, 86400000000000, 1125899906842623};
    for (int i = 0; i < 100000; ++i) {
        values.push_back(static_cast<std::int64_t>(random() % (std::uint64_t{1} << 50)));
    }
    for (const std::int64_t ns : values) {
        char digits[kMicrosecondsMax + 1] = {};
        const std::string text(digits, formatMicroseconds(digits, ns));
        const double read = std::strtod(text.c_str(), nullptr);
        EXPECT_EQ(static_cast<std::int64_t>(read * 1000), ns) << text;
    }
    char negative[kMicrosecondsMax];
    EXPECT_EQ(std::string(negative, formatMicroseconds(negative, -1500)), "-1.500");
}

// A trace that grows past the bound gets one warning, however much more it
// grows, naming the output and the options that cut it.
TEST(Perfetto, OneWarningOnceTheTracePassesItsBound) {
    for (const std::int64_t records : {10, 5000}) {
        std::string written;
        Output out(&written);
        // A file of its own in the working directory (tmpfile() is not
        // everywhere writable under Wine).
        const char* const name = "perfetto-warning.tmp";
        FILE* said = std::fopen(name, "w+b");
        ASSERT_NE(said, nullptr);
        PerfettoWriter trace(out, defaultPairs(), said, "big.json", 100000);
        Writers writers;
        writers.add(trace);
        Statistics stats(defaultPairs(), 10, writers);
        Feed feed(stats);
        for (std::int64_t i = 0; i < records; ++i) feed(1000 * i, "CancelAll", "00", "0001");
        stats.end(nullptr);
        out.flush();
        std::rewind(said);
        char text[512] = {};
        const std::size_t n = std::fread(text, 1, sizeof text - 1, said);
        std::fclose(said);
        std::remove(name);
        const std::string warning(text, n);
        if (records == 10) {
            EXPECT_EQ(warning, "");
            continue;
        }
        EXPECT_GT(written.size(), 500000u);
        EXPECT_EQ(
            warning.rfind("qelttrace: --perfetto big.json: the trace passes 100000 bytes,", 0), 0u)
            << warning;
        EXPECT_NE(warning.find("--from and --to"), std::string::npos);
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1);
    }
}

// A million records, commands open eight at once among them, errors with
// long texts, and as many gaps and slowest listed as the page shows: the
// page stays within its bound, the spike drawn, and the records around the
// listed items kept.
TEST(HtmlReport, AMillionRecordsStayUnderTheBoundAndKeepTheirSpike) {
    std::string written;
    Output out(&written);
    HtmlReport page(out, "a million records", defaultPairs());
    Writers writers;
    writers.add(page);
    Statistics stats(defaultPairs(), HtmlReport::kSlowShown, writers);
    Feed feed(stats);
    const std::string longText(300, 'x');
    std::int64_t t = 1523000000000;
    for (std::int64_t i = 0; i < 1000000; ++i) {
        t += 1000 + (i * 7919) % 997000;
        if (i == 654321) t += 987654321;  // the one spike
        const std::string key = std::to_string(i / 16 % 8), kind = std::to_string(i % 5);
        if (i % 997 == 0) {
            feed(t, "FatalError", "0", longText.c_str(), true);
        } else if (i % 16 == 3) {
            feed(t, "ActivateTransaction", kind.c_str(), key.c_str());
        } else if (i % 16 == 11 && i > 70) {
            const std::string earlier = std::to_string((i / 16 + 4) % 8);
            feed(t, "CompleteTransation", "1", earlier.c_str());
        } else if (i % 16 == 5 || i % 16 == 7) {
            feed(t, i % 16 == 5 ? "DMA Start" : "DMA End", "0", "1000");
        } else {
            feed(t, i % 9 == 0 ? "SATAWakeup" : "CancelAll", "",
                 i % 18 == 0 ? " state=IDLE" : " state=RCV");
        }
    }
    stats.end(nullptr);
    out.flush();
    EXPECT_GT(written.size(), 1000000u);
    EXPECT_LE(written.size(), HtmlReport::kPageMax);
    const std::string html = page.page(stats);
    const std::int64_t spike = 1000 + (654321 * std::int64_t{7919}) % 997000 + 987654321;
    EXPECT_NE(html.find("," + std::to_string(spike) + ","), std::string::npos)
        << "the spike is drawn";
    EXPECT_NE(html.find("Reduced to the minimum and maximum"), std::string::npos);
    EXPECT_NE(html.find("data-ctx=\"s2-99\""), std::string::npos) << "the records around kept";
    EXPECT_NE(html.find("id=chart-depth-2"), std::string::npos);
    EXPECT_EQ(html.find("</script", html.find("id=qelt-data")),
              html.find("</script><script>", html.find("id=qelt-data")));
}

// Decoded output may hold any times: jumping back and forth they still give a
// page within the bound, in about the time of any other.
TEST(HtmlReport, TimesJumpingBackAndForth) {
    std::string written;
    Output out(&written);
    HtmlReport page(out, "backwards", {});
    Writers writers;
    writers.add(page);
    Statistics stats({}, 10, writers);
    Feed feed(stats);
    std::int64_t t = 1523000000000;
    for (std::int64_t i = 0; i < 300000; ++i) {
        t += i % 3 == 0 ? -(i * 7919) % 9970000 : 1000 + (i * 7919) % 997000;
        feed(t, "CancelAll");
    }
    stats.end(nullptr);
    out.flush();
    EXPECT_LE(written.size(), HtmlReport::kPageMax);
}

}  // namespace
