// The writers' parts fed directly: the JSON writer (commas across fragments
// and keys, strings of any bytes), the transaction fields where each output
// lists them (a transaction left open), the latency members, the Perfetto
// trace byte for byte for every kind of event, its times and its warning,
// the reports (--stats, --stats=json, the page's tables) byte for byte, the
// charts' series as their intervals merge, and a page for 1,000,000 records
// that stays under its bound with every spike kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "analysis/statistics.h"
#include "output/chart_series.h"
#include "output/html_report.h"
#include "output/json.h"
#include "output/perfetto.h"
#include "output/report_figures.h"
#include "output/stats_report.h"
#include "output/transaction_fields.h"
#include "support/record_feed.h"

namespace {

using namespace qelttrace;
using Feed = qelttest::RecordFeed;

// What `write` writes through a JsonWriter, against `json`.
struct WriteCase {
    const char* name;
    std::function<void(JsonWriter&)> write;
    const char* json;
};

void expectEachWrites(const std::vector<WriteCase>& cases) {
    for (const WriteCase& c : cases) {
        std::string json;
        JsonWriter j(json);
        c.write(j);
        EXPECT_EQ(json, c.json) << c.name;
    }
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
        Statistics stats(defaultPairs(), 10, trace);
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
    Statistics stats(defaultPairs(), HtmlReport::kSlowShown, page);
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

// A hang: 20,000 commands that never complete among others that do, errors,
// and --top far above what the page lists. The records around the items
// stay within a fixed number of windows, whatever is open; the slowest
// listed keep the records around their start and end, the first error its,
// the oldest open at the end theirs.
TEST(HtmlReport, WindowsBoundedWhateverIsOpen) {
    std::string written;
    Output out(&written);
    HtmlReport page(out, "hang", defaultPairs());
    Statistics stats(defaultPairs(), 1000, page);
    Feed feed(stats);
    std::int64_t t = 1000000;
    for (int i = 0; i < 20000; ++i) {
        feed(t += 1000, "ActivateTransaction", "60", ("h" + std::to_string(i)).c_str());
        const std::string key = "k" + std::to_string(i % 4);
        if (i >= 4) feed(t += 1000 + i % 7, "CompleteTransation", "1", key.c_str());
        feed(t += 1000, "ActivateTransaction", "61", key.c_str());
        if (i % 50 == 0) feed(t += 1000 * (i % 9), "FatalError", "0", "1", true);
    }
    stats.end(nullptr);
    out.flush();
    constexpr std::size_t kRules = 3, kAtOnce = 2;  // opened at one record, not yet released
    EXPECT_LE(page.windows().made(), HtmlReport::kFirstStartWindows +
                                         HtmlReport::kNewestStartWindows +
                                         HtmlReport::kErrorsShown + HtmlReport::kGapsShown +
                                         kRules * 2 * HtmlReport::kSlowShown + kAtOnce);
    const auto items = [&written](const std::string& item) {
        const std::size_t at = written.find("\"" + item + "\":[");
        if (at == std::string::npos) return std::size_t{0};
        const std::size_t end = written.find(']', at);
        return static_cast<std::size_t>(std::count(written.begin() + static_cast<long>(at),
                                                   written.begin() + static_cast<long>(end), ',') +
                                        1);
    };
    EXPECT_EQ(items("s2-0"), 4u) << "the slowest: around its start and its end";
    EXPECT_EQ(items("s2-99"), 4u);
    EXPECT_EQ(items("e0"), 2u);
    EXPECT_EQ(items("g0"), 2u);
    // The oldest open at the end, listed first, keep the records around
    // their start (those that started while the first windows were free);
    // the others list none.
    for (int n = 0; n < 50; ++n) EXPECT_EQ(items("o2-" + std::to_string(n)), 2u) << n;
    EXPECT_EQ(items("o2-99"), 0u);
}

// Decoded output may hold any times: jumping back and forth they still give a
// page within the bound, in about the time of any other.
TEST(HtmlReport, TimesJumpingBackAndForth) {
    std::string written;
    Output out(&written);
    HtmlReport page(out, "backwards", {});
    Statistics stats({}, 10, page);
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

// The oldest open's age per interval: the largest of each, at its end or
// just before a change inside it; none where nothing was open; the
// intervals widened to fit; times that run backwards held at the last.
TEST(AgeSeries, TheLargestAgeOfEachInterval) {
    struct Set {
        std::int64_t x;
        bool open;
        std::int64_t since;
    };
    const struct {
        const char* name;
        std::size_t buckets;
        std::vector<Set> sets;
        std::int64_t end;
        const char* json;
    } cases[] = {
        {"a ramp, closed, another",
         100,
         {{0, true, 0}, {5500, false, 0}, {8000, true, 7000}},
         12000,
         "{\"x\":[0,1000,1000,1000,1000,1000,1000,1000,1000,1000,1000,1000,1000],"
         "\"max\":[999,1999,2999,3999,4999,5500,-1,-1,1999,2999,3999,4999,5000],"
         "\"width\":1000}"},
        {"an older one ends: the next oldest's age",
         100,
         {{0, true, 0}, {1500, true, 1200}},
         2500,
         "{\"x\":[0,1000,1000],\"max\":[999,1500,1300],\"width\":1000}"},
        {"widened to fit",
         4,
         {{0, true, 0}},
         10000,
         "{\"x\":[0,4000,4000],\"max\":[3999,7999,10000],\"width\":4000}"},
        {"times backwards held at the last",
         100,
         {{3000, true, 3000}, {2000, false, 0}},
         2500,
         "{\"x\":[3000],\"max\":[0],\"width\":1000}"},
        {"widened after ages were kept: the largest of each pair",
         2,
         {{0, true, 0}, {1500, false, 0}, {2500, true, 2500}, {3000, false, 0}},
         9000,
         "{\"x\":[0,8000],\"max\":[1500,-1],\"width\":8000}"},
    };
    for (const auto& c : cases) {
        AgeSeries series(c.buckets);
        for (const Set& s : c.sets) series.set(s.x, s.open, s.since);
        series.finish(c.end);
        std::string json;
        JsonWriter j(json);
        series.write(j);
        EXPECT_EQ(json, c.json) << c.name;
    }
}

// Each series with fewer intervals than its input needs: the intervals
// double and merge in pairs, keeping the smallest and the largest of the
// pair, summing the counts and the time held at each level (the age's
// merges are among AgeSeries' cases).
TEST(ChartSeries, IntervalsMergeInPairs) {
    expectEachWrites({
        {"minimum and maximum, reduced and then coarsened",
         [](JsonWriter& j) {
             MinMaxSeries s(4);
             for (const auto& p : std::vector<std::pair<int, int>>{
                      {0, 5}, {1, 1}, {2, 9}, {3, 4}, {4, 7}, {5, -2}, {9, 3}})
                 s.add(p.first, p.second);
             s.coarsen();
             s.write(j);
         },
         "{\"x\":[0],\"min\":[-2],\"max\":[9]}"},
        {"counts",
         [](JsonWriter& j) {
             CountSeries s(2);
             for (const std::int64_t x : {0, 500, 1500, 2500, 2600, 5000}) s.add(x);
             s.write(j);
         },
         "{\"x\":[0,4000],\"y\":[5,1],\"width\":4000}"},
        {"level: mean and maximum",
         [](JsonWriter& j) {
             LevelSeries s(2);
             s.add(0, 1);
             s.add(1500, 3);
             s.add(2500, 0);
             s.add(4100, 2);
             s.add(9000, 0);
             s.write(j);
         },
         "{\"x\":[0,8000],\"mean\":[1538,2000],\"max\":[3,2],\"width\":8000}"},
        {"level: the last change on an interval's first nanosecond is drawn",
         [](JsonWriter& j) {
             LevelSeries s(4);
             s.add(0, 1);
             s.add(1000, 5);
             s.write(j);
         },
         "{\"x\":[0,1000],\"mean\":[1000,0],\"max\":[1,5],\"width\":1000}"},
    });
}

TEST(JsonWriter, CommasAcrossFragmentsAndKeys) {
    // An event's head in an array (its line break first), ending after a key.
    const JsonFragment head([](JsonWriter& j) {
        j.breakLine();
        j.beginObject();
        j.member("ph", "i");
        j.key("ts");
    });
    // A member that opens an object.
    const JsonFragment args([](JsonWriter& j) {
        j.key("args");
        j.beginObject();
    });
    // A whole value.
    const JsonFragment pair([](JsonWriter& j) {
        j.beginArray();
        j.integer(1);
        j.integer(2);
        j.endArray();
    });
    // Two containers left open, the inner one holding a value.
    const JsonFragment deep([](JsonWriter& j) {
        j.beginObject();
        j.key("a");
        j.beginArray();
        j.integer(1);
    });
    const JsonKey name("name");
    const JsonKey longName(std::string(40, 'x'));
    expectEachWrites({
        {"an event's head, twice in an array",
         [&](JsonWriter& j) {
             j.beginArray();
             for (const int ts : {5, 6}) {
                 j.fragment(head);
                 j.integer(ts);
                 j.endObject();
             }
             j.endArray();
         },
         "[\n{\"ph\":\"i\",\"ts\":5},\n{\"ph\":\"i\",\"ts\":6}]"},
        {"a member that opens an object, after others and first",
         [&](JsonWriter& j) {
             j.beginObject();
             j.member("x", "y");
             j.fragment(args);
             j.memberInteger("n", 1);
             j.memberInteger("m", 2);
             j.endObject();
             j.key("inner");
             j.beginObject();
             j.fragment(args);
             j.endObject();
             j.endObject();
             j.endObject();
         },
         "{\"x\":\"y\",\"args\":{\"n\":1,\"m\":2},\"inner\":{\"args\":{}}}"},
        {"a value after a key",
         [&](JsonWriter& j) {
             j.beginObject();
             j.key("v");
             j.fragment(pair);
             j.key("w");
             j.fragment(pair);
             j.endObject();
         },
         "{\"v\":[1,2],\"w\":[1,2]}"},
        {"containers it left open, closed by the writer",
         [&](JsonWriter& j) {
             j.beginArray();
             j.fragment(deep);
             j.integer(2);
             j.endArray();
             j.memberInteger("b", 3);
             j.endObject();
             j.fragment(deep);
             j.endArray();
             j.endObject();
             j.endArray();
         },
         "[{\"a\":[1,2],\"b\":3},{\"a\":[1]}]"},
        {"keys rendered once, a long one cut",
         [&](JsonWriter& j) {
             j.beginObject();
             j.key(name);
             j.integer(1);
             j.key(name);
             j.integer(2);
             j.key(longName);
             j.null();
             j.endObject();
         },
         "{\"name\":1,\"name\":2,\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\":null}"},
        {"lines, nulls and arrays of integers",
         [&](JsonWriter& j) {
             j.beginArray();
             j.breakLine();
             j.beginObject();
             j.memberMaybe("a", false, 5);
             j.memberMaybe("b", true, -5);
             j.memberIntegers("c", {});
             j.memberIntegers("d", {1, -2});
             j.key("e");
             j.number("0.500");
             j.key("f");
             j.unsignedInteger(UINT64_MAX);
             j.endObject();
             j.endLine();
             j.endArray();
         },
         "[\n{\"a\":null,\"b\":-5,\"c\":[],\"d\":[1,-2],\"e\":0.500,\"f\":18446744073709551615}"
         "\n]"},
    });
}

TEST(JsonWriter, StringsHoldAnyBytes) {
    const std::string long62(62, 'a');
    const struct {
        std::string text, json;
    } cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {long62, "\"" + long62 + "\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\n\r\t\x01\x1f\x7f", "\"\\n\\r\\t\\u0001\\u001f\\u007f\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
        // A byte of 0x80 or more: the code point of the same number.
        {"\xe9\xff", "\"\xc3\xa9\xc3\xbf\""},
        {long62 + "\"" + long62, "\"" + long62 + "\\\"" + long62 + "\""},
    };
    for (const auto& c : cases) {
        std::string out;
        JsonWriter j(out);
        j.string(c.text);
        EXPECT_EQ(out, c.json);
    }
}

// A start left open has no end fields: empty in CSV, null in JSON; in the
// listing's JSON lines an empty text is null too, as in its CSV (a rule
// without key or kind, an end without outcome). The slices' arguments are
// the fields their table names.
TEST(TransactionFields, ListedWhereTheTableSays) {
    EXPECT_STREQ(kTransactionsHeader,
                 "rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors,"
                 "outcome");
    KeptTransaction kept;
    kept.key = "k,1";
    kept.kind = "07";
    kept.startRecord = 5;
    kept.startNs = -100;
    const TransactionView open(kept, "A->B");
    kept.ended = true;
    kept.endRecord = 9;
    kept.durationNs = 300;
    kept.records = 5;
    kept.errors = 1;
    kept.outcome = "0";
    const TransactionView ended(kept, "A->B");
    KeptTransaction bare = kept;
    bare.key.clear();
    bare.kind.clear();
    bare.outcome.clear();
    const TransactionView unkeyed(bare, "S->E");
    const struct {
        const TransactionView& view;
        unsigned output;
        bool emptyAsNull;
        const char* csv;
        const char* json;
    } cases[] = {
        {open, 0, false, "A->B,\"k,1\",07,5,,-100,,,,",
         "{\"rule\":\"A->B\",\"key\":\"k,1\",\"kind\":\"07\",\"start_record\":5,\"end_record\":"
         "null,\"start_ns\":-100,\"duration_ns\":null,\"records\":null,\"errors\":null,"
         "\"outcome\":null}"},
        {ended, 0, false, "A->B,\"k,1\",07,5,9,-100,300,5,1,0",
         "{\"rule\":\"A->B\",\"key\":\"k,1\",\"kind\":\"07\",\"start_record\":5,\"end_record\":9,"
         "\"start_ns\":-100,\"duration_ns\":300,\"records\":5,\"errors\":1,\"outcome\":\"0\"}"},
        {unkeyed, 0, true, "S->E,,,5,9,-100,300,5,1,",
         "{\"rule\":\"S->E\",\"key\":null,\"kind\":null,\"start_record\":5,\"end_record\":9,"
         "\"start_ns\":-100,\"duration_ns\":300,\"records\":5,\"errors\":1,\"outcome\":null}"},
        {unkeyed, kInSlowest, false, nullptr,
         "{\"key\":\"\",\"kind\":\"\",\"start_record\":5,\"end_record\":9,\"start_ns\":-100,"
         "\"duration_ns\":300}"},
        {ended, kInSlowest, false, nullptr,
         "{\"key\":\"k,1\",\"kind\":\"07\",\"start_record\":5,\"end_record\":9,\"start_ns\":-100,"
         "\"duration_ns\":300}"},
        {ended, kInSliceStart, false, nullptr, "{\"key\":\"k,1\",\"kind\":\"07\"}"},
        {ended, kInSliceEnd, false, nullptr, "{\"end_record\":9,\"records\":5,\"errors\":1}"},
    };
    for (const auto& c : cases) {
        if (c.csv) {
            std::string csv;
            appendTransactionCsvRow(csv, c.view);
            EXPECT_EQ(csv, c.csv);
        }
        std::string json;
        JsonWriter j(json);
        j.beginObject();
        writeTransactionMembers(j, c.view, c.output, c.emptyAsNull);
        j.endObject();
        EXPECT_EQ(json, c.json);
    }
}

TEST(LatencyColumns, MembersInTheirOrderNullWhenEmpty) {
    LogHistogram empty, two;
    two.add(10);
    two.add(20);
    const struct {
        const LogHistogram& h;
        bool meanLast;
        const char* json;
    } cases[] = {
        {empty, false,
         "{\"min_ns\":null,\"mean_ns\":null,\"p50_ns\":null,\"p90_ns\":null,\"p99_ns\":null,"
         "\"p999_ns\":null,\"max_ns\":null}"},
        {two, false,
         "{\"min_ns\":10,\"mean_ns\":15,\"p50_ns\":10,\"p90_ns\":20,\"p99_ns\":20,\"p999_ns\":20,"
         "\"max_ns\":20}"},
        {two, true,
         "{\"min_ns\":10,\"p50_ns\":10,\"p90_ns\":20,\"p99_ns\":20,\"p999_ns\":20,\"max_ns\":20,"
         "\"mean_ns\":15}"},
    };
    for (const auto& c : cases) {
        std::string json;
        JsonWriter j(json);
        j.beginObject();
        writeLatencyMembers(j, c.h, c.meanLast);
        j.endObject();
        EXPECT_EQ(json, c.json);
    }
}

// How the small streams of the byte-for-byte tests begin: a wakeup, a keyed
// command around a transfer, an error and a record that did not decode inside
// both, then an end with no start.
void feedSmallStream(Statistics& stats, Feed& feed) {
    feed(1000, "SATAWakeup", "istatus=IDLE", "ACT_NONE/ACT_NONE state=IDLE");
    feed(1500, "ActivateTransaction", "07", "k1");
    feed(1700, "DMA Start", "0", "1000");
    feed(1800, "FatalError", "0", "x\"y", true);
    stats.record(feed.make(1800, "", "", "", true, Status::kParseError, "ABCD 2 0"));
    feed(2100, "DMA End", "0", "1000");
    feed(2500, "CompleteTransation", "1", "k1");
    feed(2600, "CompleteTransation", "1", "k9");
}

// Every kind of event the trace draws, byte for byte: the tracks' names, an
// instant on a track, errors once on their event's or status's track, a keyed
// transaction as an async slice with the depth counter and its first error, unkeyed ones as
// complete slices (one whose end came before its start, one that would overlap the last on its
// thread), the SATA states, an end with no start, and the starts left open at the end.
TEST(Perfetto, EveryEventByteForByte) {
    std::string written;
    Output out(&written);
    PerfettoWriter trace(out, defaultPairs());
    Statistics stats(defaultPairs(), 10, trace);
    Feed feed(stats);
    feedSmallStream(stats, feed);
    feed(2000, "SATAWakeup", "istatus=BUSY", "ACT_NONE/ACT_NONE state=RCV");
    feed(2200, "DMA Start", "0", "1000");
    feed(2150, "DMA End", "0", "1000");
    feed(2300, "DMA Start", "0", "1000");
    feed(2400, "DMA End", "0", "1000");
    feed(2350, "DMA Start", "0", "1000");
    feed(2450, "DMA End", "0", "1000");
    feed(2500, "ActivateTransaction", "08", "k2");
    feed(2600, "FPGA_DMARXStart", "0", "0");
    stats.end(nullptr);
    out.flush();
    EXPECT_EQ(written, R"json({"traceEvents":[
{"ph":"M","name":"process_name","pid":1,"tid":0,"args":{"name":"SATA trace"}},
{"ph":"M","name":"thread_name","pid":1,"tid":1,"args":{"name":"SATAWakeup"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":1,"args":{"sort_index":1}},
{"ph":"i","name":"SATAWakeup","pid":1,"tid":1,"ts":0.000,"args":{"record":1,"event":"SATAWakeup","qualifier":"istatus=IDLE","argument":"ACT_NONE/ACT_NONE state=IDLE","status":"ok"}},
{"ph":"b","name":"ActivateTransaction 07","cat":"ActivateTransaction->CompleteTransation","pid":1,"tid":0,"id":"0x20000000001","ts":0.500,"args":{"record":2,"event":"ActivateTransaction","qualifier":"07","argument":"k1","status":"ok","key":"k1","kind":"07"}},
{"ph":"C","name":"ActivateTransaction","pid":1,"tid":0,"ts":0.500,"args":{"depth":1}},
{"ph":"M","name":"thread_name","pid":1,"tid":2,"args":{"name":"FatalError"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":2,"args":{"sort_index":2}},
{"ph":"i","name":"FatalError","pid":1,"tid":2,"ts":0.800,"args":{"record":4,"event":"FatalError","qualifier":"0","argument":"x\"y","status":"ok"}},
{"ph":"M","name":"thread_name","pid":1,"tid":3,"args":{"name":"parse_error"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":3,"args":{"sort_index":3}},
{"ph":"i","name":"parse_error","pid":1,"tid":3,"ts":0.800,"args":{"record":5,"event":"","qualifier":"","argument":"","status":"parse_error"}},
{"ph":"M","name":"thread_name","pid":1,"tid":4,"args":{"name":"DMA Start"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":4,"args":{"sort_index":4}},
{"ph":"X","name":"DMA Start","pid":1,"tid":4,"ts":0.700,"dur":0.400,"args":{"record":3,"event":"DMA Start","qualifier":"0","argument":"1000","status":"ok","end_record":6,"records":4,"errors":2,"first_error_record":4}},
{"ph":"e","name":"ActivateTransaction 07","cat":"ActivateTransaction->CompleteTransation","pid":1,"tid":0,"id":"0x20000000001","ts":1.500,"args":{"duration_ns":1000,"end_record":7,"records":6,"errors":2,"first_error_record":4}},
{"ph":"C","name":"ActivateTransaction","pid":1,"tid":0,"ts":1.500,"args":{"depth":0}},
{"ph":"M","name":"thread_name","pid":1,"tid":5,"args":{"name":"CompleteTransation"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":5,"args":{"sort_index":5}},
{"ph":"i","name":"CompleteTransation","pid":1,"tid":5,"ts":1.600,"args":{"record":8,"event":"CompleteTransation","qualifier":"1","argument":"k9","status":"ok"}},
{"ph":"M","name":"thread_name","pid":1,"tid":6,"args":{"name":"SATA state"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":6,"args":{"sort_index":6}},
{"ph":"X","name":"IDLE","pid":1,"tid":6,"ts":0.000,"dur":1.000,"args":{"record":1,"event":"SATAWakeup","qualifier":"istatus=IDLE","argument":"ACT_NONE/ACT_NONE state=IDLE","status":"ok"}},
{"ph":"i","name":"SATAWakeup","pid":1,"tid":1,"ts":1.000,"args":{"record":9,"event":"SATAWakeup","qualifier":"istatus=BUSY","argument":"ACT_NONE/ACT_NONE state=RCV","status":"ok"}},
{"ph":"X","name":"DMA Start","pid":1,"tid":4,"ts":1.200,"dur":0.000,"args":{"duration_ns":-50,"record":10,"event":"DMA Start","qualifier":"0","argument":"1000","status":"ok","end_record":11,"records":2,"errors":0}},
{"ph":"X","name":"DMA Start","pid":1,"tid":4,"ts":1.300,"dur":0.100,"args":{"record":12,"event":"DMA Start","qualifier":"0","argument":"1000","status":"ok","end_record":13,"records":2,"errors":0}},
{"ph":"e","name":"DMA Start","cat":"overlapping","pid":1,"tid":0,"id":"0x30000000001","ts":1.450},
{"ph":"b","name":"DMA Start","cat":"overlapping","pid":1,"tid":0,"id":"0x30000000001","ts":1.350,"args":{"record":14,"event":"DMA Start","qualifier":"0","argument":"1000","status":"ok","end_record":15,"records":2,"errors":0}},
{"ph":"b","name":"ActivateTransaction 08","cat":"ActivateTransaction->CompleteTransation","pid":1,"tid":0,"id":"0x20000000002","ts":1.500,"args":{"record":16,"event":"ActivateTransaction","qualifier":"08","argument":"k2","status":"ok","key":"k2","kind":"08"}},
{"ph":"C","name":"ActivateTransaction","pid":1,"tid":0,"ts":1.500,"args":{"depth":1}},
{"ph":"X","name":"RCV","pid":1,"tid":6,"ts":1.000,"dur":0.600,"args":{"record":9,"event":"SATAWakeup","qualifier":"istatus=BUSY","argument":"ACT_NONE/ACT_NONE state=RCV","status":"ok"}},
{"ph":"M","name":"thread_name","pid":1,"tid":7,"args":{"name":"FPGA_DMARXStart"}},
{"ph":"M","name":"thread_sort_index","pid":1,"tid":7,"args":{"sort_index":7}},
{"ph":"i","name":"FPGA_DMARXStart","pid":1,"tid":7,"ts":1.600,"args":{"record":17,"event":"FPGA_DMARXStart","qualifier":"0","argument":"0","status":"ok"}}
],"displayTimeUnit":"ns","otherData":{"source":"qelttrace","time_unit":"microseconds since the first record","first_record_time":"0.000001000","first_record_time_ns":1000}}
)json");
}

// A sick dump: commands that never complete and a storm of errors. Each
// error is one instant, whatever is open; each transaction that ended counts
// its errors and names the first (the start or the end itself when it is
// one), and one without errors names none, nor one some of whose errors the
// filters passed over; the trace grows with the records.
TEST(Perfetto, ErrorsOnceWhateverIsOpen) {
    std::string written;
    Output out(&written);
    PerfettoWriter trace(out, defaultPairs());
    Statistics stats(defaultPairs(), 10, trace);
    Feed feed(stats);
    std::int64_t t = 1000000;
    std::vector<std::uint64_t> errors;
    const auto next = [&t] { return t += 1000; };
    const auto error = [&](int i) {
        if (i % 2 == 0) {
            feed(next(), "FatalError", "0", "1", true);
        } else {
            stats.record(feed.make(next(), "", "", "", true, Status::kParseError, "ZZ 1 1"));
        }
        errors.push_back(feed.count());
    };
    for (int i = 0; i < 300; ++i)
        feed(next(), "ActivateTransaction", "60", ("h" + std::to_string(i)).c_str());
    struct Expected {
        std::uint64_t end, errors, first;
    };
    std::vector<Expected> expected;
    feed(next(), "ActivateTransaction", "61", "a");  // its errors come in the storm
    feed(next(), "DMA Start", "0", "1000");
    for (int i = 0; i < 400; ++i) error(i);
    feed(next(), "DMA End", "0", "1000");
    expected.push_back({feed.count(), 400, errors[0]});
    feed(next(), "CompleteTransation", "1", "a");
    expected.push_back({feed.count(), 400, errors[0]});
    feed(next(), "ActivateTransaction", "61", "b");  // none
    feed(next(), "CompleteTransation", "1", "b");
    expected.push_back({feed.count(), 0, 0});
    // A start shown at the time before (its own went backwards) is its own first error.
    feed(next(), "ActivateTransaction", "61", "c", true, Status::kOk, true);
    errors.push_back(feed.count());
    const std::uint64_t startC = feed.count();
    feed(next(), "ActivateTransaction", "61", "d");
    for (int i = 0; i < 600; ++i) error(i);
    feed(next(), "CompleteTransation", "1", "c");
    expected.push_back({feed.count(), 601, startC});
    feed(next(), "ActivateTransaction", "61", "e");
    // An end that is itself the first error.
    feed(next(), "CompleteTransation", "1", "e", true, Status::kOk, true);
    errors.push_back(feed.count());
    expected.push_back({feed.count(), 1, feed.count()});
    feed(next(), "CompleteTransation", "1", "d");
    expected.push_back({feed.count(), 601, errors[401]});
    // An error the filters passed over (--event, --from) counts, but this
    // trace never saw it: which came first is not known, so none is named.
    feed(next(), "ActivateTransaction", "61", "f");
    stats.passedOver(feed.make(next(), "FatalError", "0", "2", true));
    error(0);
    feed(next(), "CompleteTransation", "1", "f");
    expected.push_back({feed.count(), 2, 0});
    stats.end(nullptr);
    out.flush();

    std::vector<std::string> lines;
    for (std::size_t at = 0; at < written.size();) {
        const std::size_t end = written.find('\n', at);
        lines.push_back(written.substr(at, end - at));
        at = end == std::string::npos ? written.size() : end + 1;
    }
    const auto withRecord = [&lines](const char* member, std::uint64_t record) {
        const std::string text = "\"" + std::string(member) + "\":" + std::to_string(record) + ",";
        std::vector<std::string> found;
        for (const std::string& l : lines) {
            if (l.find(text) != std::string::npos) found.push_back(l);
        }
        return found;
    };
    // One instant each (a start that is an error also begins its slice).
    for (const std::uint64_t e : errors) {
        const std::vector<std::string> events = withRecord("record", e);
        const auto instants = std::count_if(events.begin(), events.end(), [](const std::string& l) {
            return l.rfind("{\"ph\":\"i\"", 0) == 0;
        });
        EXPECT_EQ(instants, 1) << "error record " << e;
        EXPECT_EQ(events.size(), e == startC ? 2u : 1u) << "error record " << e;
    }
    EXPECT_EQ(written.find("\"ph\":\"n\""), std::string::npos);
    EXPECT_EQ(written.find("\"s\":\"g\""), std::string::npos);
    for (const Expected& x : expected) {
        const std::vector<std::string> ends = withRecord("end_record", x.end);
        ASSERT_EQ(ends.size(), 1u) << "end record " << x.end;
        const std::string counted = "\"errors\":" + std::to_string(x.errors);
        if (x.first == 0) {
            EXPECT_NE(ends[0].find(counted + "}}"), std::string::npos) << ends[0];
        } else {
            EXPECT_NE(
                ends[0].find(counted + ",\"first_error_record\":" + std::to_string(x.first) + "}}"),
                std::string::npos)
                << ends[0];
        }
    }
    // Bounded by the records: a few hundred bytes each, not one event per
    // error and open command.
    EXPECT_LT(written.size(), 400 * feed.count());
}

// The reports of a small stream byte for byte, where the tables of figures,
// latency columns and transaction fields meet: --stats, --stats=json and the
// page's tables (a keyed rule with kinds, a keyed one without, unkeyed ones,
// one with no transaction; the slowest cut by --top).
TEST(Reports, TheTablesByteForByte) {
    std::vector<PairRule> rules = defaultPairs();
    rules.push_back({"DMA Start", "DMA End", PairWord::kArgument, PairWord::kNone});
    std::string written;
    Output out(&written);
    HtmlReport html(out, "t", rules);
    Statistics stats(rules, 2, html);
    Feed feed(stats);
    feedSmallStream(stats, feed);
    feed(3000, "SATAWakeup", "istatus=BUSY", "ACT_NONE/ACT_NONE state=RCV");
    feed(3200, "DMA Start", "0", "1000");
    feed(3350, "DMA End", "0", "1000");
    feed(3500, "ActivateTransaction", "07", "k2");
    feed(3600, "ActivateTransaction", "08", "k3");
    feed(4700, "CompleteTransation", "1", "k3");
    feed(5000, "CompleteTransation", "0", "k2");  // aborted
    feed(5100, "ActivateTransaction", "08", "k4");
    stats.end(nullptr);
    std::string text, json;
    writeStatsText(stats, text);
    writeStatsJson(stats, json);
    EXPECT_EQ(text, R"report(records             16
decoded             15
parse errors        1
invalid parameters  0
no time             0
no text             0
unknown tags        0
backwards           0
errors (--errors)   2
span (s)            0.000004100

delta (s)
  count          min         mean          p50          p90          p99        p99.9          max
     14  0.000000100  0.000000293  0.000000200  0.000000500  0.000001100  0.000001100  0.000001100

events
  event                count    first (s)     last (s)
  ActivateTransaction      4  0.000001500  0.000005100
  CompleteTransation       4  0.000002500  0.000005000
  SATAWakeup               2  0.000001000  0.000003000
  DMA Start                2  0.000001700  0.000003200
  DMA End                  2  0.000002100  0.000003350
  FatalError               1  0.000001800  0.000001800

top gaps
  record     time (s)    delta (s)  event                after
      14  0.000004700  0.000001100  CompleteTransation   ActivateTransaction
       2  0.000001500  0.000000500  ActivateTransaction  SATAWakeup

SATA states
  state  entries     time (s)
  IDLE         1  0.000002000
  RCV          1  0.000002100

pairs
  rule                                     key       kind       outcome    count  unmatched starts  unmatched ends      min (s)     mean (s)      p50 (s)      p90 (s)      p99 (s)    p99.9 (s)      max (s)
  DMA Start->DMA End                       none      none       none           2                 0               0  0.000000150  0.000000275  0.000000150  0.000000400  0.000000400  0.000000400  0.000000400
  FPGA_DMARXStart->FPGA_DMARXStop          none      none       none           0                 0               0
  ActivateTransaction->CompleteTransation  argument  qualifier  qualifier      3                 1               1  0.000001000  0.000001200  0.000001100  0.000001500  0.000001500  0.000001500  0.000001500
  DMA Start->DMA End (key argument)        argument  none       none           2                 0               0  0.000000150  0.000000275  0.000000150  0.000000400  0.000000400  0.000000400  0.000000400

DMA Start->DMA End
  none open at the end
  slowest
  start record  end record    start (s)  duration (s)
             3           6  0.000001700   0.000000400
            10          11  0.000003200   0.000000150

FPGA_DMARXStart->FPGA_DMARXStop
  none open at the end

ActivateTransaction->CompleteTransation, keyed by the argument, kinds by the qualifier, outcomes by the qualifier
  1 open at the end, the oldest ActivateTransaction 08 key k4 from record 16, 0.000000000 s
  kinds
  kind  count      min (s)     mean (s)      p50 (s)      p90 (s)      p99 (s)    p99.9 (s)      max (s)
  07        2  0.000001000  0.000001250  0.000001000  0.000001500  0.000001500  0.000001500  0.000001500
  08        1  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100
  outcomes
  kind  outcome        count      min (s)     mean (s)      p50 (s)      p90 (s)      p99 (s)    p99.9 (s)      max (s)
  07    0 (aborted)        1  0.000001500  0.000001500  0.000001500  0.000001500  0.000001500  0.000001500  0.000001500
  07    1 (completed)      1  0.000001000  0.000001000  0.000001000  0.000001000  0.000001000  0.000001000  0.000001000
  08    1 (completed)      1  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100  0.000001100
  slowest
  key  kind  start record  end record    start (s)  duration (s)
  k2   07              12          15  0.000003500   0.000001500
  k3   08              13          14  0.000003600   0.000001100
  oldest open at the end
  key  kind  start record    start (s)      age (s)
  k4   08              16  0.000005100  0.000000000
  depth: max 2, mean 1.028571
  depth     time (s)
      0  0.000001000
      1  0.000001400
      2  0.000001100

DMA Start->DMA End (key argument), keyed by the argument
  none open at the end
  slowest
  key   start record  end record    start (s)  duration (s)
  1000             3           6  0.000001700   0.000000400
  1000            10          11  0.000003200   0.000000150
  depth: max 1, mean 0.333333
  depth     time (s)
      0  0.000001100
      1  0.000000550
)report");
    EXPECT_EQ(
        json,
        R"report({"records":16,"decoded":15,"parse_errors":1,"invalid_parameters":0,"statuses":{"ok":15,"parse_error":1,"invalid_parameter":0,"no_time":0,"no_text":0,"unknown_tag":0},"span_ns":4100,"backwards":0,"errors":2,"events":[{"event":"ActivateTransaction","count":4,"first_ns":1500,"last_ns":5100},{"event":"CompleteTransation","count":4,"first_ns":2500,"last_ns":5000},{"event":"SATAWakeup","count":2,"first_ns":1000,"last_ns":3000},{"event":"DMA Start","count":2,"first_ns":1700,"last_ns":3200},{"event":"DMA End","count":2,"first_ns":2100,"last_ns":3350},{"event":"FatalError","count":1,"first_ns":1800,"last_ns":1800}],"delta":{"count":14,"min_ns":100,"p50_ns":200,"p90_ns":500,"p99_ns":1100,"p999_ns":1100,"max_ns":1100,"mean_ns":293},"top_gaps":[{"record":14,"time_ns":4700,"delta_ns":1100,"event":"CompleteTransation","previous_event":"ActivateTransaction"},{"record":2,"time_ns":1500,"delta_ns":500,"event":"ActivateTransaction","previous_event":"SATAWakeup"}],"states":[{"state":"IDLE","entries":1,"time_ns":2000},{"state":"RCV","entries":1,"time_ns":2100}],"pairs":[{"rule":"DMA Start->DMA End","start":"DMA Start","end":"DMA End","key":"none","kind":"none","outcome":"none","count":2,"unmatched_starts":0,"unmatched_ends":0,"min_ns":150,"mean_ns":275,"p50_ns":150,"p90_ns":400,"p99_ns":400,"p999_ns":400,"max_ns":400,"kinds":[{"kind":"","count":2,"min_ns":150,"mean_ns":275,"p50_ns":150,"p90_ns":400,"p99_ns":400,"p999_ns":400,"max_ns":400}],"outcomes":[],"slowest":[{"key":"","kind":"","start_record":3,"end_record":6,"start_ns":1700,"duration_ns":400},{"key":"","kind":"","start_record":10,"end_record":11,"start_ns":3200,"duration_ns":150}],"open_at_end":{"count":0,"oldest":[]}},{"rule":"FPGA_DMARXStart->FPGA_DMARXStop","start":"FPGA_DMARXStart","end":"FPGA_DMARXStop","key":"none","kind":"none","outcome":"none","count":0,"unmatched_starts":0,"unmatched_ends":0,"min_ns":null,"mean_ns":null,"p50_ns":null,"p90_ns":null,"p99_ns":null,"p999_ns":null,"max_ns":null,"kinds":[],"outcomes":[],"slowest":[],"open_at_end":{"count":0,"oldest":[]}},{"rule":"ActivateTransaction->CompleteTransation","start":"ActivateTransaction","end":"CompleteTransation","key":"argument","kind":"qualifier","outcome":"qualifier","count":3,"unmatched_starts":1,"unmatched_ends":1,"min_ns":1000,"mean_ns":1200,"p50_ns":1100,"p90_ns":1500,"p99_ns":1500,"p999_ns":1500,"max_ns":1500,"kinds":[{"kind":"07","count":2,"min_ns":1000,"mean_ns":1250,"p50_ns":1000,"p90_ns":1500,"p99_ns":1500,"p999_ns":1500,"max_ns":1500},{"kind":"08","count":1,"min_ns":1100,"mean_ns":1100,"p50_ns":1100,"p90_ns":1100,"p99_ns":1100,"p999_ns":1100,"max_ns":1100}],"outcomes":[{"kind":"07","outcome":"0","count":1,"min_ns":1500,"mean_ns":1500,"p50_ns":1500,"p90_ns":1500,"p99_ns":1500,"p999_ns":1500,"max_ns":1500},{"kind":"07","outcome":"1","count":1,"min_ns":1000,"mean_ns":1000,"p50_ns":1000,"p90_ns":1000,"p99_ns":1000,"p999_ns":1000,"max_ns":1000},{"kind":"08","outcome":"1","count":1,"min_ns":1100,"mean_ns":1100,"p50_ns":1100,"p90_ns":1100,"p99_ns":1100,"p999_ns":1100,"max_ns":1100}],"slowest":[{"key":"k2","kind":"07","start_record":12,"end_record":15,"start_ns":3500,"duration_ns":1500},{"key":"k3","kind":"08","start_record":13,"end_record":14,"start_ns":3600,"duration_ns":1100}],"open_at_end":{"count":1,"oldest":[{"key":"k4","kind":"08","start_record":16,"start_ns":5100,"age_ns":0}]},"depth":{"max":2,"mean":1.028571,"time_ns":[1000,1400,1100]}},{"rule":"DMA Start->DMA End (key argument)","start":"DMA Start","end":"DMA End","key":"argument","kind":"none","outcome":"none","count":2,"unmatched_starts":0,"unmatched_ends":0,"min_ns":150,"mean_ns":275,"p50_ns":150,"p90_ns":400,"p99_ns":400,"p999_ns":400,"max_ns":400,"kinds":[{"kind":"","count":2,"min_ns":150,"mean_ns":275,"p50_ns":150,"p90_ns":400,"p99_ns":400,"p999_ns":400,"max_ns":400}],"outcomes":[],"slowest":[{"key":"1000","kind":"","start_record":3,"end_record":6,"start_ns":1700,"duration_ns":400},{"key":"1000","kind":"","start_record":10,"end_record":11,"start_ns":3200,"duration_ns":150}],"open_at_end":{"count":0,"oldest":[]},"depth":{"max":1,"mean":0.333333,"time_ns":[1100,550]}}]}
)report");
    const std::string page = html.page(stats);
    const auto piece = [&page](const std::string& from, const std::string& to) {
        const std::size_t begin = page.find(from);
        const std::size_t end = page.find(to, begin);
        return begin == std::string::npos || end == std::string::npos
                   ? std::string()
                   : page.substr(begin, end + to.size() - begin);
    };
    EXPECT_EQ(
        piece("<table class=figures>", "</table>"),
        R"report(<table class=figures><tr><td>records</td><td class=n>16</td><td>decoded</td><td class=n>15</td></tr><tr><td>parse errors</td><td class=n>1</td><td>invalid parameters</td><td class=n>0</td></tr><tr><td>no time (no digit in the timestamp)</td><td class=n>0</td><td>no record text</td><td class=n>0</td></tr><tr><td>unknown tags</td><td class=n>0</td><td>records that tell of trouble</td><td class=n>2</td></tr><tr><td>timestamps backwards</td><td class=n>0</td><td>span (s)</td><td class=n>0.000004100</td></tr><tr><td>first record (s)</td><td class=n>0.000001000</td><td>delta p50 / p99 / max (s)</td><td class=n>0.000000200 / 0.000001100 / 0.000001100</td></tr></table>)report");
    EXPECT_EQ(
        piece("<h2>Transactions</h2>", "</table>"),
        R"report(<h2>Transactions</h2><table><tr><th>from</th><th>to</th><th>count</th><th>unmatched starts</th><th>unmatched ends</th><th>open at the end</th><th>min (&micro;s)</th><th>mean (&micro;s)</th><th>p50 (&micro;s)</th><th>p90 (&micro;s)</th><th>p99 (&micro;s)</th><th>p99.9 (&micro;s)</th><th>max (&micro;s)</th></tr><tr><td>DMA Start</td><td>DMA End</td><td class=n>2</td><td class=n>0</td><td class=n>0</td><td class=n>0</td><td class=n>0.150</td><td class=n>0.275</td><td class=n>0.150</td><td class=n>0.400</td><td class=n>0.400</td><td class=n>0.400</td><td class=n>0.400</td></tr><tr><td>FPGA_DMARXStart</td><td>FPGA_DMARXStop</td><td class=n>0</td><td class=n>0</td><td class=n>0</td><td class=n>0</td><td></td><td></td><td></td><td></td><td></td><td></td><td></td></tr><tr><td>ActivateTransaction</td><td>CompleteTransation</td><td class=n>3</td><td class=n>1</td><td class=n>1</td><td class=n>1</td><td class=n>1.000</td><td class=n>1.200</td><td class=n>1.100</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td></tr><tr><td>DMA Start</td><td>DMA End</td><td class=n>2</td><td class=n>0</td><td class=n>0</td><td class=n>0</td><td class=n>0.150</td><td class=n>0.275</td><td class=n>0.150</td><td class=n>0.400</td><td class=n>0.400</td><td class=n>0.400</td><td class=n>0.400</td></tr></table>)report");
    EXPECT_EQ(
        piece("<table><tr><th>kind</th>", "</table>"),
        R"report(<table><tr><th>kind</th><th>count</th><th>min (&micro;s)</th><th>mean (&micro;s)</th><th>p50 (&micro;s)</th><th>p90 (&micro;s)</th><th>p99 (&micro;s)</th><th>p99.9 (&micro;s)</th><th>max (&micro;s)</th></tr><tr><td>07</td><td class=n>2</td><td class=n>1.000</td><td class=n>1.250</td><td class=n>1.000</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td></tr><tr><td>08</td><td class=n>1</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td></tr></table>)report");
    EXPECT_EQ(
        piece("<table class=slowest>", "</table>"),
        R"report(<table class=slowest><caption>Slowest</caption><tr><th>key</th><th>kind</th><th>start record</th><th>end record</th><th>start (s)</th><th>duration (&micro;s)</th></tr><tr class=ctx data-ctx="s2-0" data-mark="12 15"><td>k2</td><td>07</td><td class=n>12</td><td class=n>15</td><td class=n>0.000003500</td><td class=n>1.500</td></tr><tr class=ctx data-ctx="s2-1" data-mark="13 14"><td>k3</td><td>08</td><td class=n>13</td><td class=n>14</td><td class=n>0.000003600</td><td class=n>1.100</td></tr></table>)report");
    // Open at the end, first in its rule's section; by outcome where there are several.
    EXPECT_EQ(
        piece("<table class=open>", "</table>"),
        R"report(<table class=open><caption>Open at the end, the oldest first</caption><tr><th>key</th><th>kind</th><th>start record</th><th>start (s)</th><th>age (s)</th></tr><tr class=ctx data-ctx="o2-0" data-mark="16"><td>k4</td><td>08</td><td class=n>16</td><td class=n>0.000005100</td><td class=n>0.000000000</td></tr></table>)report");
    EXPECT_LT(page.find("<table class=open>"), page.find("id=chart-latency-2"));
    EXPECT_EQ(
        piece("<table class=outcomes>", "</table>"),
        R"report(<table class=outcomes><caption>By outcome</caption><tr><th>kind</th><th>outcome</th><th>count</th><th>min (&micro;s)</th><th>mean (&micro;s)</th><th>p50 (&micro;s)</th><th>p90 (&micro;s)</th><th>p99 (&micro;s)</th><th>p99.9 (&micro;s)</th><th>max (&micro;s)</th></tr><tr><td>07</td><td>0 (aborted)</td><td class=n>1</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td><td class=n>1.500</td></tr><tr><td>07</td><td>1 (completed)</td><td class=n>1</td><td class=n>1.000</td><td class=n>1.000</td><td class=n>1.000</td><td class=n>1.000</td><td class=n>1.000</td><td class=n>1.000</td><td class=n>1.000</td></tr><tr><td>08</td><td>1 (completed)</td><td class=n>1</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td><td class=n>1.100</td></tr></table>)report");
    // The densities by kind and outcome: the usual first.
    EXPECT_NE(page.find("\"usual\":\"1 (completed)\",\"kinds\":[{\"kind\":\"07\",\"n\":["),
              std::string::npos);
    EXPECT_NE(page.find("\"outcomes\":[{\"outcome\":\"1 (completed)\",\"n\":["), std::string::npos);
    EXPECT_NE(page.find("{\"outcome\":\"0 (aborted)\",\"n\":["), std::string::npos);
}

}  // namespace
