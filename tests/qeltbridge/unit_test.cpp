// The bridge's pure parts: command line, input line cutting, trace sources,
// the fault plan.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "line_assembler.h"
#include "options.h"
#include "support/e2e_support.h"
#include "support/protocol.h"
#include "trace_source.h"

namespace {

using namespace qeltbridge;

ParseOutcome parse(std::vector<std::string> args, Options& options, std::string& error) {
    std::vector<const char*> argv{"qeltbridge"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return parseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(BridgeOptions, DefaultsFollowTheContract) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({}, o, error), ParseOutcome::Run);
    EXPECT_EQ(o.listen, "127.0.0.1:2323");
    EXPECT_EQ(o.login, qelttest::kUser);
    EXPECT_EQ(o.password, qelttest::kPassword);
    EXPECT_EQ(o.maxSessions, 64);
    EXPECT_EQ(o.loginTimeoutMs, 30000);
    EXPECT_EQ(o.rebootMs, 2000);
    EXPECT_EQ(o.bootMs, 0);
    EXPECT_EQ(o.pageSize, 64);
    EXPECT_FALSE(o.records || o.dropAfter || o.stallAfter);
    EXPECT_FALSE(o.reset || o.noGa || o.negotiate);
}

TEST(BridgeOptions, ValuesBothSeparateAndInline) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--page-size=8", "--records", "100", "--seed=7", "--split", "3", "--reset",
                     "--drop-after=0", "--stall-after", "12", "--no-ga", "--negotiate",
                     "--line-delay-ms", "5", "--listen", "[::1]:0"},
                    o, error),
              ParseOutcome::Run)
        << error;
    EXPECT_EQ(o.pageSize, 8);
    EXPECT_EQ(*o.records, 100u);
    EXPECT_EQ(o.seed, 7u);
    EXPECT_EQ(o.split, 3u);
    EXPECT_EQ(*o.dropAfter, 0u);
    EXPECT_EQ(*o.stallAfter, 12u);
    EXPECT_TRUE(o.reset && o.noGa && o.negotiate);
    EXPECT_EQ(o.lineDelayMs, 5);
    EXPECT_EQ(o.listen, "[::1]:0");
}

TEST(BridgeOptions, RejectsBadInput) {
    const std::vector<std::vector<std::string>> bad = {
        {"--page-size", "0"},
        {"--page-size", "-1"},
        {"--page-size", "12x"},
        // Plain decimal only, whatever the parser's own number reading takes.
        {"--page-size", "0x10"},
        {"--page-size", "+1"},
        {"--page-size", " 1"},
        {"--page-size="},
        {"--login="},
        {"--reset=false"},
        {"--records", "2147483648"},
        {"--split", "0"},
        {"--max-sessions", "0"},
        {"--listen", "nowhere"},
        {"--listen", "::1:23"},
        {"--listen", "1.2.3.4:65536"},
        {"--reset=1"},
        {"--page-size"},
        {"--bogus"},
        {"--trace", "f", "--records", "3"},
        {"--seed", "3"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(args, o, error), ParseOutcome::Error) << args[0];
        EXPECT_FALSE(error.empty());
    }
    Options o;
    std::string error;
    EXPECT_EQ(parse({"--records", "2147483647"}, o, error), ParseOutcome::Run);
    EXPECT_EQ(parse({"--help"}, o, error), ParseOutcome::Help);
    EXPECT_EQ(parse({"--page-size", "8", "--version"}, o, error), ParseOutcome::Version);
    EXPECT_EQ(parse({"-h"}, o, error), ParseOutcome::Help);
    EXPECT_EQ(parse({"--version"}, o, error), ParseOutcome::Version);
}

// Edges of the command line that are accepted: leading zeros are decimal, a
// value may begin with "-", the last of a repeated option counts, "--" ends
// the options, and a flag may say "=true".
TEST(BridgeOptions, AcceptedEdges) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--page-size", "010", "--password", "-x", "--login=-y", "--seed=1", "--seed",
                     "2", "--records", "5", "--reset=true", "--"},
                    o, error),
              ParseOutcome::Run)
        << error;
    EXPECT_EQ(o.pageSize, 10);
    EXPECT_EQ(o.password, "-x");
    EXPECT_EQ(o.login, "-y");
    EXPECT_EQ(o.seed, 2u);
    EXPECT_TRUE(o.reset);
}

TEST(BridgeOptions, HelpNamesEveryOption) {
    const std::string help = usageText();
    for (const char* name :
         {"--listen",      "--login",   "--password",       "--max-sessions",  "--login-timeout-ms",
          "--reboot-ms",   "--boot-ms", "--page-size",      "--trace",         "--records",
          "--seed",        "--split",   "--split-pause-ms", "--drop-after",    "--reset",
          "--stall-after", "--no-ga",   "--negotiate",      "--line-delay-ms", "--help",
          "--version"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
}

TEST(BridgeOptions, SplitsHostAndPort) {
    std::string host;
    uint16_t port = 1;
    ASSERT_TRUE(splitHostPort("[::1]:0", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(splitHostPort("localhost:2323", host, port));
    EXPECT_EQ(host, "localhost");
    EXPECT_EQ(port, 2323);
    EXPECT_FALSE(splitHostPort(":23", host, port));
    EXPECT_FALSE(splitHostPort("[::1]23", host, port));
}

// Each input is fed whole and then one byte at a time: a CR at the end of one
// segment must still swallow the LF or NUL at the start of the next.
TEST(LineAssembler, EveryLineEndAndEverySplit) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"qelt\r\n", {"qelt"}},
        {"qelt\n", {"qelt"}},
        {std::string("qelt\r\0pass\r\0", 12), {"qelt", "pass"}},
        {"qelt\rpass\r", {"qelt", "pass"}},
        {"a\r\n\r\nb\n\n", {"a", "", "b", ""}},
        {"a\n\rb\r\r\n", {"a", "", "b", ""}},
        {"partial", {}},
        {"x\r\n\ny", {"x", ""}},
    };
    for (const auto& c : cases) {
        LineAssembler whole;
        std::vector<std::string> got;
        whole.feed(c.input, got);
        EXPECT_EQ(got, c.lines) << "whole: " << c.input;

        LineAssembler bytewise;
        got.clear();
        for (char ch : c.input) bytewise.feed(std::string_view(&ch, 1), got);
        EXPECT_EQ(got, c.lines) << "bytewise: " << c.input;
    }
}

TEST(LineAssembler, LongLineIsCutNotStored) {
    LineAssembler a;
    std::vector<std::string> got;
    a.feed(std::string(100000, 'x') + "\nok\n", got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), LineAssembler::kMaxLine);
    EXPECT_EQ(got[1], "ok");
}

// Drives a plan as a session does: `lines` queued at once, a socket that takes
// at most `takes` bytes a call (0: all), and a clock that jumps to the end of
// each pause. The segments sent, as "BYTES@MS", then how it ended and when.
std::string drive(const Options& options, const std::vector<std::size_t>& lines,
                  std::size_t takes = 0) {
    using std::chrono::milliseconds;
    FaultPlan plan(options);
    const FaultPlan::TimePoint start{std::chrono::seconds(100)};
    FaultPlan::TimePoint now = start;
    uint64_t queued = 0;
    uint64_t sent = 0;
    for (std::size_t line : lines) {
        queued += line;
        plan.lineQueued(queued);
    }
    std::string trace;
    auto at = [&] {
        return "@" + std::to_string(std::chrono::duration_cast<milliseconds>(now - start).count());
    };
    for (int step = 0; step < 1000; ++step) {
        const FaultPlan::Step next = plan.next(sent, static_cast<std::size_t>(queued - sent), now);
        switch (next.action) {
            case FaultPlan::Action::Send: {
                const std::size_t n = takes > 0 ? std::min(takes, next.bytes) : next.bytes;
                if (n == 0) return trace + "empty segment" + at();
                trace += std::to_string(n) + at() + " ";
                sent += n;
                plan.sentUpTo(sent, now);
                break;
            }
            case FaultPlan::Action::Wait:
                if (next.at <= now) return trace + "wait for the past" + at();
                now = next.at;
                break;
            case FaultPlan::Action::Idle:
                return trace + "idle" + at();
            case FaultPlan::Action::Stall:
                return trace + "stall" + at();
            case FaultPlan::Action::DropWithFin:
                return trace + "fin" + at();
            case FaultPlan::Action::DropWithRst:
                return trace + "rst" + at();
        }
    }
    return trace + "no end";
}

// The faults at their edges: a drop or stall falls on its exact byte and at
// once, even where a pause would follow; segments never cross a line end or
// a threshold; pauses follow segments and line ends, not partial sends.
TEST(FaultPlan, SegmentsPausesAndEndsAtTheirBoundaries) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::size_t> lines;  // queued output, one size a line
        std::size_t takes;               // the socket's limit a call, 0: none
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"no faults", {}, {4, 4}, 0, "8@0 idle@0"},
        {"nothing queued", {}, {}, 0, "idle@0"},
        {"split with pauses", {"--split", "3"}, {8}, 0, "3@0 3@1 2@2 idle@2"},
        {"split without pauses",
         {"--split", "3", "--split-pause-ms", "0"},
         {8},
         0,
         "3@0 3@0 2@0 idle@0"},
        {"split beyond the output",
         {"--split", "100", "--split-pause-ms", "5"},
         {8},
         0,
         "8@0 idle@0"},
        {"line delay at each line end",
         {"--line-delay-ms", "10"},
         {4, 4, 4},
         0,
         "4@0 4@10 4@20 idle@20"},
        {"line delay and split",
         {"--line-delay-ms", "10", "--split", "3"},
         {4, 4},
         0,
         "3@0 1@1 3@11 1@12 idle@12"},
        {"partial sends do not pause",
         {"--line-delay-ms", "10"},
         {4, 4},
         2,
         "2@0 2@0 2@10 2@10 idle@10"},
        {"drop at 0", {"--drop-after", "0"}, {4}, 0, "fin@0"},
        {"drop at 0, nothing queued", {"--drop-after", "0"}, {}, 0, "fin@0"},
        {"drop inside a line", {"--drop-after", "5"}, {4, 4}, 0, "5@0 fin@0"},
        {"drop at the last byte", {"--drop-after", "8"}, {4, 4}, 0, "8@0 fin@0"},
        {"drop beyond the output", {"--drop-after", "9"}, {4, 4}, 0, "8@0 idle@0"},
        {"drop with RST", {"--drop-after", "5", "--reset"}, {4, 4}, 0, "5@0 rst@0"},
        {"drop inside a segment", {"--drop-after", "4", "--split", "3"}, {8}, 0, "3@0 1@1 fin@1"},
        {"drop at a segment end, before its pause",
         {"--drop-after", "6", "--split", "3", "--split-pause-ms", "5"},
         {8},
         0,
         "3@0 3@5 fin@5"},
        {"drop at a line end, before its delay",
         {"--drop-after", "4", "--line-delay-ms", "10"},
         {4, 4},
         0,
         "4@0 fin@0"},
        {"drop across partial sends", {"--drop-after", "5"}, {8}, 2, "2@0 2@0 1@0 fin@0"},
        {"stall at 0", {"--stall-after", "0"}, {4}, 0, "stall@0"},
        {"stall inside a line", {"--stall-after", "5"}, {4, 4}, 0, "5@0 stall@0"},
        {"stall at a line end, before its delay",
         {"--stall-after", "4", "--line-delay-ms", "10"},
         {4, 4},
         0,
         "4@0 stall@0"},
        {"stall inside a segment",
         {"--stall-after", "7", "--split", "3"},
         {8},
         0,
         "3@0 3@1 1@2 stall@2"},
        {"drop and stall on the same byte: the drop",
         {"--drop-after", "5", "--stall-after", "5"},
         {8},
         0,
         "5@0 fin@0"},
        {"the first threshold wins",
         {"--drop-after", "6", "--stall-after", "3"},
         {8},
         0,
         "3@0 stall@0"},
    };
    for (const Case& c : cases) {
        Options options;
        std::string error;
        ASSERT_EQ(parse(c.args, options, error), ParseOutcome::Run) << c.what << ": " << error;
        EXPECT_EQ(drive(options, c.lines, c.takes), c.expected) << c.what;
    }
}

TEST(TraceSource, SplitsRecordLines) {
    EXPECT_EQ(splitRecordLines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(splitRecordLines("a\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(splitRecordLines("\n"), (std::vector<std::string>{""}));
    EXPECT_TRUE(splitRecordLines("").empty());
}

TEST(TraceSource, GeneratedRecordsAreWellFormedRisingAndDeterministic) {
    const auto a = makeGeneratedTrace(5000, 42);
    const auto b = makeGeneratedTrace(5000, 42);
    const auto c = makeGeneratedTrace(5000, 43);
    ASSERT_EQ(a->size(), 5000u);
    // Fields within the decoder's limits: code 3, tag 3, argument 30.
    const std::regex shape(R"( *(\d+)\.(\d{9}) [0-9A-F]{1,3} \d{1,3} [0-9A-F/+]{1,30})");
    long long previous = -1;
    int differing = 0;
    for (uint64_t i = 0; i < a->size(); ++i) {
        const std::string r = a->record(i);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r, m, shape)) << r;
        EXPECT_EQ(r, b->record(i));
        if (r != c->record(i)) ++differing;
        const long long ns = std::stoll(m[1]) * 1000000000LL + std::stoll(m[2]);
        EXPECT_GT(ns, previous) << i;
        previous = ns;
    }
    EXPECT_GT(differing, 4900);
    // The far end of the largest trace still fits "%6d".
    const auto big = makeGeneratedTrace(2147483647u, 1);
    EXPECT_TRUE(std::regex_match(big->record(2147483646u), shape)) << big->record(2147483646u);
}

// The generated records are the benchmarks' and the fault matrix's input: a
// given seed must give the same bytes from one build to the next, whatever
// way they are formatted. Some records in full, and a digest (FNV-1a 64) of
// the first 100,000 records, each with "\n", which every record shape fills.
TEST(TraceSource, GeneratedRecordsArePinnedPerSeed) {
    struct Record {
        uint64_t seed;
        uint64_t index;
        const char* text;
    };
    const std::vector<Record> records = {
        {1, 0, "   465.000012430 34 50 4/D"},
        {1, 1, "   465.000028606 01 41 5DBB"},
        {1, 2, "   465.000049605 32 50 15/C"},
        {1, 99999, "   466.999990760 39 50 B/E"},
        {1, 2147483646, " 43414.672925872 3 8 7/14+5"},
        {9, 0, "   428.000008542 00 209 0337"},
        {9, 2, "   428.000055969 4 40 BBFC"},
        {9, 99999, "   429.999989230 A 8 4/1+5"},
        {9, 2147483646, " 43377.672924124 07 10 32A7"},
        {UINT64_MAX, 1, "   936.000024506 5 67 3967"},
        {UINT64_MAX, 99999, "   937.999996725 00 71 A31C"},
        {UINT64_MAX, 2147483646, " 43885.672931464 DB 67 DAFC"},
    };
    for (const Record& r : records)
        EXPECT_EQ(makeGeneratedTrace(2147483647u, r.seed)->record(r.index), r.text)
            << "seed " << r.seed << ", record " << r.index;

    const std::vector<std::pair<uint64_t, uint64_t>> digests = {
        {1, 0x2ec0a65dbe4d17cbull},
        {9, 0x38d076d7fed91048ull},
        {UINT64_MAX, 0x698d7ea1772ae4b6ull}};
    for (const auto& [seed, expected] : digests) {
        const auto trace = makeGeneratedTrace(100000, seed);
        uint64_t h = 1469598103934665603ull;
        for (uint64_t i = 0; i < trace->size(); ++i)
            for (const unsigned char c : trace->record(i) + "\n") h = (h ^ c) * 1099511628211ull;
        EXPECT_EQ(h, expected) << "seed " << seed;
    }
}

TEST(TraceSource, BuiltinTraceIsTheSampleCapture) {
    std::ifstream in(qelttest::sampleTracePath(), std::ios::binary);
    if (!in) GTEST_SKIP() << "no sample capture in this tree";
    std::ostringstream text;
    text << in.rdbuf();
    const auto expected = splitRecordLines(text.str());
    const auto builtin = makeBuiltinTrace();
    ASSERT_EQ(builtin->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(builtin->record(i), expected[i]);
}

TEST(TraceSource, MissingFileIsAnError) {
    std::string error;
    EXPECT_EQ(loadTraceFile("/nonexistent/trace.txt", error), nullptr);
    EXPECT_NE(error.find("/nonexistent/trace.txt"), std::string::npos);
}

}  // namespace
