// The bridge's pure parts: command line, input line cutting, trace sources
// (the generated workload decoded as the tool decodes it), the fault plan, a
// session's life (its states, and the conversation that moves it on), and the
// replay's schedule of one session and its plan over the sessions of a
// recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "line_assembler.h"
#include "options.h"
#include "recording/log_format.h"
#include "replay_plan.h"
#include "replay_session.h"
#include "session_protocol.h"
#include "support/e2e_support.h"
#include "support/protocol.h"
#include "trace/sata_decode.h"
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
    ASSERT_EQ(parse({}, o, error), ParseOutcome::kRun);
    EXPECT_EQ(o.listen, "127.0.0.1:2323");
    EXPECT_EQ(o.login, qelttest::kUser);
    EXPECT_EQ(o.password, qelttest::kPassword);
    EXPECT_EQ(o.maxSessions, 64);
    EXPECT_EQ(o.loginTimeoutMs, 30000);
    EXPECT_EQ(o.rebootMs, 2000);
    EXPECT_EQ(o.bootMs, 0);
    EXPECT_EQ(o.pageSize, 64);
    EXPECT_EQ(o.queueDepth, 8u);
    EXPECT_EQ(o.errorRate, 1000000u);  // 0.001
    EXPECT_FALSE(o.records || o.dropAfter || o.stallAfter);
    EXPECT_FALSE(o.reset || o.noGa || o.negotiate);
}

TEST(BridgeOptions, ValuesBothSeparateAndInline) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--page-size=8",
                     "--records",
                     "100",
                     "--seed=7",
                     "--split",
                     "3",
                     "--reset",
                     "--drop-after=0",
                     "--stall-after",
                     "12",
                     "--no-ga",
                     "--negotiate",
                     "--line-delay-ms",
                     "5",
                     "--listen",
                     "[::1]:0",
                     "--queue-depth=32",
                     "--error-rate",
                     ".25",
                     "--scenario",
                     "storm@20+5,hang@10"},
                    o, error),
              ParseOutcome::kRun)
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
    EXPECT_EQ(o.queueDepth, 32u);
    EXPECT_EQ(o.errorRate, 250000000u);
    EXPECT_EQ(o.scenarios.window[kHang].first, 10u);
    EXPECT_EQ(o.scenarios.window[kStorm].count, 5u);
    EXPECT_EQ(o.scenarios.window[kResets].count, 0u);
}

// A scenario list: each name at most once, from a record for a count of
// records (by default from the first, to the end), in plain decimals; anything
// else refused whole.
TEST(BridgeOptions, ParsesScenarioLists) {
    constexpr uint64_t kAll = UINT64_MAX;
    struct Case {
        const char* text;
        ScenarioWindow hang, resets, storm;
    };
    const std::vector<Case> accepted = {
        {"hang", {0, kAll}, {}, {}},
        {"storm@250000", {}, {}, {250000, kAll}},
        {"resets@0+1", {}, {0, 1}, {}},
        {"hang@007+010", {7, 10}, {}, {}},
        {"storm@30+5,hang@10,resets", {10, kAll}, {0, kAll}, {30, 5}},
        {"hang@18446744073709551615+18446744073709551615", {kAll, kAll}, {}, {}},
    };
    for (const Case& c : accepted) {
        WorkloadScenarios out;
        ASSERT_TRUE(parseScenarios(c.text, out)) << c.text;
        const ScenarioWindow expected[] = {c.hang, c.resets, c.storm};
        for (unsigned i = 0; i < kScenarioCount; ++i) {
            EXPECT_EQ(out.window[i].first, expected[i].first) << c.text << " " << i;
            EXPECT_EQ(out.window[i].count, expected[i].count) << c.text << " " << i;
        }
    }
    for (const char* text :
         {"",          ",",          "hang,",    ",hang",     "hang,hang@5",
          "Hang",      "hang ",      " hang",    "hangs",     "hang+5",
          "hang@",     "hang@x",     "hang@-1",  "hang@+5",   "hang@5+",
          "hang@5+0",  "hang@5+1+2", "hang@1@2", "hang@0x10", "hang@18446744073709551616",
          "hang;storm"}) {
        WorkloadScenarios out;
        out.window[kResets] = {1, 2};
        EXPECT_FALSE(parseScenarios(text, out)) << text;
        EXPECT_EQ(out.window[kResets].first, 1u) << "left alone: " << text;
        EXPECT_EQ(out.window[kResets].count, 2u) << "left alone: " << text;
    }
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
        {"--reset=true"},  // a flag takes no value
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
        {"--queue-depth", "4"},
        {"--error-rate", "0"},
        {"--records", "5", "--queue-depth", "0"},
        {"--records", "5", "--queue-depth", "33"},
        {"--records", "5", "--queue-depth", "99999999999999999999"},
        {"--records", "5", "--error-rate", "1.000000001"},
        {"--records", "5", "--error-rate", "2"},
        {"--records", "5", "--error-rate", "-0.1"},
        {"--records", "5", "--error-rate", "1e-3"},
        {"--records", "5", "--error-rate", "."},
        {"--records", "5", "--error-rate", "0.1.2"},
        {"--records", "5", "--error-rate", "0.0000000001"},  // finer than a record in 10^9
        {"--records", "5", "--error-rate", "0,5"},
        {"--records", "5", "--error-rate="},
        {"--scenario", "hang"},
        {"--records", "5", "--scenario", "hang,bogus"},
        {"--records", "5", "--scenario="},
        {"--replay="},
        {"--replay-speed", "2"},
        {"--replay", "log", "--split", "3"},
        {"--replay", "log", "--records", "3"},
        {"--replay", "log", "--replay-speed", "-1"},
        {"--replay", "log", "--replay-speed", "1001"},
        {"--replay", "log", "--replay-speed", "1e3"},
        {"--replay", "log", "--replay-speed", "."},
        {"--replay", "log", "--replay-speed", "0x2"},
        {"--replay", "log", "--line-delay-ms", "0"},
        {"--replay", "log", "--trace", "f"},
        {"--listen", "[::1]"},
        {"--listen", "::1"},
        {"--listen", "127.0.0.1:80", "--listen", "127.0.0.1"},  // each one checked
        {"stray"},
        {"--", "stray"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(args, o, error), ParseOutcome::kUsageError) << args[0];
        EXPECT_FALSE(error.empty());
    }
    // The reason names the option and its value, or the rule, as qelttrace does.
    const struct {
        std::vector<std::string> args;
        const char* error;
    } told[] = {
        {{"--page-size", "0"}, "--page-size 0: not a whole number from 1 to 1000000"},
        {{"--page-size="}, "--page-size needs a value: N"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--reset=1"}, "--reset takes no value"},
        {{"--seed", "3"}, "--seed shapes the generated records: it needs --records"},
        {{"--records", "3", "--trace", "f"},
         "--trace serves the records of a file: it does not go with --records"},
        {{"--replay", "log", "--negotiate"},
         "--replay plays the recorded conversation with its pace and its faults: it does not go "
         "with --negotiate"},
        {{"--listen", "::1:23"}, "--listen ::1:23: not ADDR:PORT (an IPv6 address as [::1]:PORT)"},
        {{"x"}, "unexpected argument x"},
    };
    for (const auto& c : told) {
        Options o;
        std::string error;
        EXPECT_EQ(parse(c.args, o, error), ParseOutcome::kUsageError) << c.error;
        EXPECT_EQ(error, c.error);
    }
    Options o;
    std::string error;
    EXPECT_EQ(parse({"--records", "2147483647"}, o, error), ParseOutcome::kRun);
    EXPECT_EQ(parse({"--help"}, o, error), ParseOutcome::kHelp);
    EXPECT_EQ(parse({"--page-size", "8", "--version"}, o, error), ParseOutcome::kVersion);
    EXPECT_EQ(parse({"-h"}, o, error), ParseOutcome::kHelp);
    EXPECT_EQ(parse({"--version"}, o, error), ParseOutcome::kVersion);
}

// Edges of the command line that are accepted: leading zeros are decimal, a
// value may begin with "-" (or "--" after "="), the last of a repeated option
// counts, a flag may be given twice, and "--" ends the options.
TEST(BridgeOptions, AcceptedEdges) {
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--page-size", "010", "--password", "-x", "--login=-y", "--seed=1", "--seed",
                     "2", "--records", "5", "--reset", "--error-rate", "1.", "--queue-depth", "1",
                     "--reset", "--"},
                    o, error),
              ParseOutcome::kRun)
        << error;
    EXPECT_EQ(o.pageSize, 10);
    EXPECT_EQ(o.password, "-x");
    EXPECT_EQ(o.login, "-y");
    EXPECT_EQ(o.seed, 2u);
    EXPECT_TRUE(o.reset);
    EXPECT_EQ(o.errorRate, 1000000000u);
    EXPECT_EQ(o.queueDepth, 1u);
    Options empty;
    ASSERT_EQ(parse({"--password=", "--trace=--t"}, empty, error), ParseOutcome::kRun) << error;
    EXPECT_EQ(empty.password, "") << "an empty password is a password";
    EXPECT_EQ(empty.traceFile, "--t");
    for (const auto& [text, rate] : std::vector<std::pair<std::string, uint32_t>>{
             {"0", 0}, {"0.000000001", 1}, {"000.5", 500000000}, {"1.000000000", 1000000000}}) {
        ASSERT_EQ(parse({"--records", "5", "--error-rate", text}, o, error), ParseOutcome::kRun)
            << text << ": " << error;
        EXPECT_EQ(o.errorRate, rate) << text;
    }
    for (const auto& [text, speed] :
         std::vector<std::pair<std::string, double>>{{"0", 0},
                                                     {"1", 1},
                                                     {"0.5", 0.5},
                                                     {".25", 0.25},
                                                     {"1000", 1000},
                                                     {"2.000001", 2.000001},
                                                     {"2.", 2}}) {
        Options r;
        ASSERT_EQ(
            parse({"--replay", "session.log", "--replay-speed", text, "--listen", "127.0.0.1:0"}, r,
                  error),
            ParseOutcome::kRun)
            << text << ": " << error;
        EXPECT_EQ(r.replay, "session.log");
        EXPECT_DOUBLE_EQ(r.replaySpeed, speed) << text;
    }
    Options r;
    ASSERT_EQ(parse({"--replay", "session.log"}, r, error), ParseOutcome::kRun);
    EXPECT_EQ(r.replaySpeed, 1) << "recorded pace by default";
}

TEST(BridgeOptions, HelpNamesEveryOptionWithItsDefault) {
    const std::string help = usageText();
    for (const char* name :
         {"--listen",      "--login",   "--password",       "--max-sessions",  "--login-timeout-ms",
          "--reboot-ms",   "--boot-ms", "--page-size",      "--trace",         "--records",
          "--seed",        "--split",   "--split-pause-ms", "--drop-after",    "--reset",
          "--stall-after", "--no-ga",   "--negotiate",      "--line-delay-ms", "--help",
          "--version",     "--replay",  "--replay-speed",   "--scenario LIST"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
    // Each default after its option's help, before the next option.
    for (const auto& [name, shown] :
         std::vector<std::pair<std::string, std::string>>{{"--listen ADDR:PORT", "127.0.0.1:2323"},
                                                          {"--login NAME", qelttest::kUser},
                                                          {"--password TEXT", qelttest::kPassword},
                                                          {"--max-sessions N", "64"},
                                                          {"--login-timeout-ms MS", "30000"},
                                                          {"--reboot-ms MS", "2000"},
                                                          {"--boot-ms MS", "0"},
                                                          {"--page-size N", "64"},
                                                          {"--seed S", "1"},
                                                          {"--queue-depth D", "8"},
                                                          {"--error-rate R", "0.001"},
                                                          {"--split-pause-ms MS", "1"},
                                                          {"--line-delay-ms MS", "0"},
                                                          {"--replay-speed X", "1"}}) {
        const std::size_t at = help.find("\n  " + name + " ");
        ASSERT_NE(at, std::string::npos) << name;
        const std::string entry = help.substr(at, help.find("\n  -", at + 1) - at);
        EXPECT_NE(entry.find("(default " + shown + ")"), std::string::npos) << entry;
    }
    EXPECT_EQ(help.rfind("usage: qeltbridge [--listen ADDR:PORT]", 0), 0u) << help;
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
    // A listen address needs its port; a bare IPv6 address has none.
    EXPECT_FALSE(splitHostPort("[::1]", host, port));
    EXPECT_FALSE(splitHostPort("::1:23", host, port));
    EXPECT_FALSE(splitHostPort("localhost", host, port));
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
        ASSERT_EQ(parse(c.args, options, error), ParseOutcome::kRun) << c.what << ": " << error;
        EXPECT_EQ(drive(options, c.lines, c.takes), c.expected) << c.what;
    }
}

// ---- a session's life --------------------------------------------------------

// Every state on every event, and what a session does in each state, as
// the bridge's loop asks them.
TEST(SessionLife, EveryStateOnEveryEvent) {
    using S = SessionState;
    using E = SessionEvent;
    const E events[] = {E::Ended, E::Stalled,   E::Flushed, E::Dropped,
                        E::Reset, E::Rebooting, E::Gone,    E::Drained};
    struct Row {
        S state;
        bool output, input, counted;  // takesOutput, handlesInput, countsAsSession
        S next[8];                    // on each of `events`, in order
    } const rows[] = {
        // clang-format off
        //                      Ended        Stalled      Flushed      Dropped      Reset    Rebooting    Gone     Drained
        {S::Refused,  1, 0, 0, {S::Refused,  S::Refused,  S::Draining, S::Draining, S::Dead, S::Draining, S::Dead, S::Refused}},
        {S::Open,     1, 1, 1, {S::Closing,  S::Stalled,  S::Open,     S::Draining, S::Dead, S::Draining, S::Dead, S::Open}},
        {S::Closing,  1, 0, 1, {S::Closing,  S::Draining, S::Draining, S::Draining, S::Dead, S::Draining, S::Dead, S::Closing}},
        {S::Stalled,  0, 1, 1, {S::Draining, S::Stalled,  S::Stalled,  S::Draining, S::Dead, S::Draining, S::Dead, S::Stalled}},
        {S::Draining, 0, 0, 0, {S::Draining, S::Draining, S::Draining, S::Draining, S::Dead, S::Draining, S::Dead, S::Dead}},
        {S::Dead,     0, 0, 0, {S::Dead,     S::Dead,     S::Dead,     S::Dead,     S::Dead, S::Dead,     S::Dead, S::Dead}},
        // clang-format on
    };
    for (const Row& row : rows) {
        const int state = static_cast<int>(row.state);
        EXPECT_EQ(takesOutput(row.state), row.output) << "state " << state;
        EXPECT_EQ(handlesInput(row.state), row.input) << "state " << state;
        EXPECT_EQ(countsAsSession(row.state), row.counted) << "state " << state;
        for (std::size_t e = 0; e < std::size(events); ++e)
            EXPECT_EQ(nextState(row.state, events[e]), row.next[e])
                << "state " << state << ", event " << static_cast<int>(events[e]);
    }
}

// The client's side of the same life, through the session's telnet side:
// from each point of the conversation, each kind of line, and what it leads
// to (the session ends, the bridge reboots, or it goes on), whether the login
// is done (the login time-out runs until then) and the answer on the wire.
TEST(SessionLife, EveryLineFromEveryPointOfTheConversation) {
    struct Output final : ProtocolOutput {
        std::string bytes;
        void wire(std::string_view data) override { bytes.append(data); }
    };
    using Event = SessionProtocol::Event;
    using qelttest::kPassword;
    using qelttest::kPrompt;
    const std::vector<std::string> atLogin;
    const std::vector<std::string> atPassword = {"qelt"};
    const std::vector<std::string> afterWrongName = {"admin"};
    const std::vector<std::string> inShell = {"qelt", kPassword};
    const std::vector<std::string> afterTwoFailures = {"qelt", "x", "qelt", "y", "qelt"};
    const std::string status = "[HTTP]: state = RUN, err = 0x00000000\r\n";
    struct Case {
        const char* what;
        std::vector<std::string> before;  // lines sent first
        std::string bytes;                // then these, at once
        Event event;
        bool loggedIn;
        std::string begins, ends;  // the answer
    } const cases[] = {
        {"an empty name", atLogin, "\r\n", Event::None, false, "login: ", "login: "},
        {"the name", atLogin, "qelt\r\n", Event::None, false, "password: ", "password: "},
        {"any name", atLogin, "admin\r\n", Event::None, false, "password: ", "password: "},
        {"exit before the login is a name", atLogin, "exit\r\n", Event::None, false,
         "password: ", "password: "},
        {"hwrst before the login is a name", atLogin, "hwrst\r\n", Event::None, false,
         "password: ", "password: "},
        {"the password", atPassword, kPassword + "\r\n", Event::None, true, kPrompt, kPrompt},
        {"a wrong password", atPassword, "secret\r\n", Event::None, false,
         "Login incorrect\r\nlogin: ", "Login incorrect\r\nlogin: "},
        {"the password after a wrong name", afterWrongName, kPassword + "\r\n", Event::None, false,
         "Login incorrect\r\nlogin: ", "Login incorrect\r\nlogin: "},
        {"the third failure", afterTwoFailures, "z\r\n", Event::Close, false, "Login incorrect\r\n",
         "Login incorrect\r\n"},
        {"the password after two failures", afterTwoFailures, kPassword + "\r\n", Event::None, true,
         kPrompt, kPrompt},
        {"pwista", inShell, "pwista\r\n", Event::None, true, status, "0x00000000\r\n" + kPrompt},
        {"pwista among blanks", inShell, " \tpwista \r\n", Event::None, true, status, kPrompt},
        {"task_trace", inShell, "task_trace\r\n", Event::None, true, "TID  NAME", kPrompt},
        {"dump_dsata_trace", inShell, "dump_dsata_trace\r\n", Event::None, true,
         "SATA history dump\r\n", "DUMP_RESULT=0\r\n" + kPrompt},
        {"a bad record index", inShell, "dump_dsata_trace x\r\n", Event::None, true,
         "DUMP_RESULT=0\r\n" + kPrompt, "DUMP_RESULT=0\r\n" + kPrompt},
        {"an empty line", inShell, "\r\n", Event::None, true, kPrompt, kPrompt},
        {"an unknown command", inShell, "pwistat\r\n", Event::None, true,
         "Unknown command\r\n" + kPrompt, "Unknown command\r\n" + kPrompt},
        {"hwrst", inShell, "hwrst\r\n", Event::Reboot, true, "", ""},
        {"exit", inShell, "exit\r\n", Event::Close, true, "", ""},
        {"lines after exit are dropped", inShell, "exit\r\npwista\r\n", Event::Close, true, "", ""},
        {"lines after hwrst are dropped", inShell, "hwrst\r\nexit\r\n", Event::Reboot, true, "",
         ""},
        {"a command cut before its line end", inShell, "pwista", Event::None, true, "", ""},
    };
    Options options;
    const auto trace = makeGeneratedTrace(3, 1);
    BridgeState state;
    state.options = &options;
    state.trace = trace.get();
    const auto now = std::chrono::steady_clock::now();
    for (const Case& c : cases) {
        Output out;
        SessionProtocol protocol(state, out, false);
        ASSERT_TRUE(protocol.ready());
        protocol.open();
        for (const std::string& line : c.before)
            ASSERT_EQ(protocol.serve(line + "\r\n", now), Event::None) << c.what;
        out.bytes.clear();
        EXPECT_EQ(protocol.serve(c.bytes, now), c.event) << c.what;
        EXPECT_EQ(protocol.loggedIn(), c.loggedIn) << c.what;
        if (c.begins.empty()) {
            EXPECT_EQ(out.bytes, "") << c.what;
        } else {
            EXPECT_EQ(out.bytes.substr(0, c.begins.size()), c.begins) << c.what;
            ASSERT_GE(out.bytes.size(), c.ends.size()) << c.what;
            EXPECT_EQ(out.bytes.substr(out.bytes.size() - c.ends.size()), c.ends) << c.what;
        }
    }
}

TEST(TraceSource, SplitsRecordLines) {
    EXPECT_EQ(splitRecordLines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(splitRecordLines("a\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(splitRecordLines("\n"), (std::vector<std::string>{""}));
    EXPECT_TRUE(splitRecordLines("").empty());
}

// One command of a generated trace: its ActivateTransaction's record and code,
// and its CompleteTransation's code ("" if it has none).
struct Command {
    uint64_t start;
    std::string kind;
    std::string code;
};

// A generated trace as the tool decodes it, counted apart from the
// generator: what an engineer reading it relies on.
struct WorkloadView {
    uint64_t firstNs = 0;
    uint64_t lastNs = 0;
    uint64_t notRising = 0;
    uint64_t refused = 0;        // a field too long, as the deliberate failures are
    uint64_t otherFailures = 0;  // any other refusal
    std::size_t deepest = 0;
    uint64_t transactions = 0;
    uint64_t idReusedWhileOpen = 0;
    uint64_t unmatchedEnds = 0;
    uint64_t transferOverlaps = 0;  // a transfer started while one is under way
    uint64_t transfersOutside = 0;  // a transfer with no transaction open
    uint64_t transfersInWrongState =
        0;  // DMA Start not in DMA_READ, FPGA_DMARXStart not in DMA_WRITE
    uint64_t idleWhileOpen = 0;
    uint64_t quietWithoutIdle = 0;  // the queue empty 10 us or more without state=IDLE
    std::vector<uint64_t> resetAt;  // records of the COMMRESETs
    uint64_t commandsDuringReset = 0;
    std::map<std::string, std::vector<uint64_t>> latencies;  // by kind, of commands not reset
    std::vector<Command> commands;
    uint64_t cancels = 0;
    // A CancelAll not followed at once by CompleteTransation 0 for every open
    // transaction, and for them only, its argument their number.
    uint64_t wrongCancels = 0;
    uint64_t unknownCodes = 0;  // a CompleteTransation of a code other than 1 outside a CancelAll
    std::vector<uint64_t> fatalAt;    // records of FatalError
    std::vector<uint64_t> refusedAt;  // records that fail to decode
};

struct WorkloadWalk {
    WorkloadView v;
    // The commands that never complete, by their first records: they are
    // counted, and kept from the queue's rules (the host has dropped them).
    std::set<uint64_t> lost;
    uint64_t index = 0;                                            // of the record walked
    std::map<std::string, std::pair<uint64_t, std::string>> open;  // id: start, kind
    std::map<std::string, std::size_t> issued;  // id: the latest of v.commands to take it
    std::size_t aborting = 0;                   // CompleteTransation 0 still due to a CancelAll
    bool dmaOpen = false;
    bool rxOpen = false;
    bool resetting = false;
    bool idleShown = true;
    std::optional<uint64_t> emptySince;
    std::string state;

    void activate(uint64_t ns, const std::string& kind, const std::string& id) {
        const auto previous = issued.find(id);
        if (previous != issued.end() && lost.count(v.commands[previous->second].start))
            ++v.idReusedWhileOpen;
        issued[id] = v.commands.size();
        v.commands.push_back(Command{index, kind, ""});
        if (lost.count(index)) {
            if (open.count(id)) ++v.idReusedWhileOpen;
            return;
        }
        if (resetting) ++v.commandsDuringReset;
        if (emptySince && ns - *emptySince >= 10000 && !idleShown) ++v.quietWithoutIdle;
        emptySince.reset();
        if (!open.emplace(id, std::make_pair(ns, kind)).second) ++v.idReusedWhileOpen;
        ++v.transactions;
        v.deepest = std::max(v.deepest, open.size());
    }
    void cancelAll(const std::string& argument) {
        ++v.cancels;
        if (aborting > 0 || std::stoul(argument, nullptr, 16) != open.size()) ++v.wrongCancels;
        aborting = open.size();
    }
    void complete(uint64_t ns, const std::string& code, const std::string& id) {
        const auto it = open.find(id);
        if (it == open.end()) {
            ++v.unmatchedEnds;
            return;
        }
        v.commands[issued[id]].code = code;
        if (aborting > 0) {
            if (code != "0") ++v.wrongCancels;
            if (--aborting == 0 && open.size() != 1) ++v.wrongCancels;
        } else if (code != "1") {
            ++v.unknownCodes;
        }
        if (!resetting) v.latencies[it->second.second].push_back(ns - it->second.first);
        open.erase(it);
        if (open.empty()) {
            emptySince = ns;
            idleShown = false;
        }
    }
    void transfer(bool read) {
        if (dmaOpen || rxOpen) ++v.transferOverlaps;
        (read ? dmaOpen : rxOpen) = true;
        if (open.empty()) ++v.transfersOutside;
        if (state != (read ? "DMA_READ" : "DMA_WRITE")) ++v.transfersInWrongState;
    }
    void wakeup(const std::string& argument) {
        state = argument.substr(argument.find("state=") + 6);
        if (state == "COMMRESET" && !resetting) {
            v.resetAt.push_back(index);
            resetting = true;
        }
        if (state != "IDLE") return;
        resetting = false;
        idleShown = true;
        if (!open.empty()) ++v.idleWhileOpen;
    }
    void record(uint64_t ns, const SataWords& w) {
        const std::string event = w.event;
        if (aborting > 0 && event != "CompleteTransation") {
            ++v.wrongCancels;
            aborting = 0;
        }
        if (event == "FatalError") v.fatalAt.push_back(index);
        if (event == "CancelAll") cancelAll(w.argument);
        if (event == "ActivateTransaction") activate(ns, w.qualifier, w.argument);
        if (event == "CompleteTransation") complete(ns, w.qualifier, w.argument);
        if (event == "DMA Start" || event == "FPGA_DMARXStart") transfer(event == "DMA Start");
        if (event == "DMA End") dmaOpen = false;
        if (event == "FPGA_DMARXStop") rxOpen = false;
        if (event == "SATAWakeup") wakeup(w.argument);
    }
};

// `lost`: the first records of commands that never complete, for
// the second look at a trace with a hang.
WorkloadView viewOf(const TraceSource& trace, std::set<uint64_t> lost = {}) {
    WorkloadWalk walk;
    walk.lost = std::move(lost);
    for (uint64_t i = 0; i < trace.size(); ++i) {
        walk.index = i;
        const std::string line = trace.record(i);
        const auto first = line.find_first_not_of(' ');
        const auto blank = line.find(' ', first);
        const uint64_t ns = std::stoull(line.substr(first, blank - 10 - first)) * 1000000000ull +
                            std::stoull(line.substr(blank - 9, 9));
        if (i == 0) walk.v.firstNs = ns;
        if (i > 0 && ns <= walk.v.lastNs) ++walk.v.notRising;
        walk.v.lastNs = ns;
        SataWords words;
        const int result = SataDecodeWords(line.c_str() + blank + 1, &words);
        if (result == 0) {
            walk.record(ns, words);
        } else {
            ++(result == -2 ? walk.v.refused : walk.v.otherFailures);
            walk.v.refusedAt.push_back(i);
        }
    }
    return walk.v;
}

uint64_t median(std::vector<uint64_t> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The workload's rules, for settings at their edges: a queue that fills to its
// depth and no further, ids never reused while open, one transfer at a time
// and only inside a transaction, states that follow the work, COMMRESETs that
// end every open command before the next one, kinds with latencies of their
// own, and failures at the rate asked for.
TEST(TraceSource, GeneratedWorkloadKeepsItsRules) {
    struct Case {
        const char* what;
        uint64_t seed;
        unsigned depth;
        uint32_t errorRate;
        uint64_t records;
    };
    const std::vector<Case> cases = {
        // Long enough for resets and for ids to run past 0xFFFF.
        {"the default workload", 1, 8, 1000000, 1000000},
        {"one command at a time", 9, 1, 0, 50000},
        {"the deepest queue", 3, 32, 1000000, 300000},
        {"one record in ten refused", 5, 8, 100000000, 100000},
        {"every record refused", 7, 8, 1000000000, 2000},
    };
    for (const Case& c : cases) {
        WorkloadSettings settings;
        settings.seed = c.seed;
        settings.queueDepth = c.depth;
        settings.errorRate = c.errorRate;
        const auto trace = makeGeneratedTrace(c.records, settings);
        ASSERT_EQ(trace->size(), c.records);
        const WorkloadView v = viewOf(*trace);
        SCOPED_TRACE(c.what);
        EXPECT_EQ(v.notRising, 0u);
        EXPECT_EQ(v.otherFailures, 0u);
        const double p = c.errorRate / 1e9;
        const double expected = p * static_cast<double>(c.records);
        EXPECT_NEAR(static_cast<double>(v.refused), expected,
                    5 * std::sqrt(expected * (1 - p)) + 0.5);
        EXPECT_EQ(v.idReusedWhileOpen, 0u);
        EXPECT_EQ(v.unmatchedEnds, 0u);
        EXPECT_EQ(v.transferOverlaps, 0u);
        EXPECT_EQ(v.transfersOutside, 0u);
        EXPECT_EQ(v.transfersInWrongState, 0u);
        EXPECT_EQ(v.idleWhileOpen, 0u);
        EXPECT_EQ(v.quietWithoutIdle, 0u);
        EXPECT_EQ(v.commandsDuringReset, 0u);
        EXPECT_EQ(v.wrongCancels, 0u);
        EXPECT_EQ(v.unknownCodes, 0u);
        if (c.errorRate == 1000000000) {
            EXPECT_EQ(v.transactions, 0u);
            continue;
        }
        EXPECT_EQ(v.deepest, c.depth);
        for (const auto& [kind, latencies] : v.latencies)
            EXPECT_NE(std::string("60 61 25 35 E7 B0 EF EC").find(kind), std::string::npos) << kind;
        if (c.records < 1000000) continue;
        EXPECT_GT(v.transactions, 0xFFFFu);
        EXPECT_GE(v.resetAt.size(), 2u);
        const auto p50 = [&v](const char* kind) {
            const auto it = v.latencies.find(kind);
            return it == v.latencies.end() ? 0 : median(it->second);
        };
        EXPECT_LT(p50("EF"), p50("60"));
        EXPECT_LT(p50("60"), p50("25"));
        EXPECT_LT(p50("61"), p50("35"));
        EXPECT_LT(p50("25"), p50("E7"));
        // At this pace the largest trace still ends within "%6d" seconds.
        EXPECT_LT(v.firstNs + (v.lastNs - v.firstNs) * 2148, 1000000 * 1000000000ull);
    }
}

WorkloadSettings scenarioSettings(uint64_t seed, unsigned depth, uint32_t errorRate,
                                  const char* scenarios) {
    WorkloadSettings settings;
    settings.seed = seed;
    settings.queueDepth = depth;
    settings.errorRate = errorRate;
    EXPECT_TRUE(parseScenarios(scenarios, settings.scenarios)) << scenarios;
    return settings;
}

bool inWindow(const ScenarioWindow& window, uint64_t record) {
    return record >= window.first && record - window.first < window.count;
}

// Each failure scenario does what it says, counted from the records as the
// tool decodes them, alone and together, at the queue's edges: a hang leaves
// thousands of READ FPDMA QUEUED commands open for good and the other kinds
// completing within the queue; resets end every open transaction with code 0
// right after their CancelAll; a storm is FatalError and undecodable records,
// densely, in its stretch only. Up to its first record a scenario leaves the
// trace as it was, and through it every other rule of the workload holds.
TEST(TraceSource, GeneratedScenariosDoWhatTheySay) {
    struct Case {
        const char* what;
        uint64_t seed;
        unsigned depth;
        uint32_t errorRate;
        const char* scenarios;
        uint64_t records;
        uint64_t leastLost;    // commands that never complete
        uint64_t leastResets;  // CancelAll in the resets' stretch
    };
    const std::vector<Case> cases = {
        {"a hang from the start", 1, 8, 1000000, "hang", 150000, 10000, 0},
        {"a hang for a stretch, the deepest queue", 3, 32, 0, "hang@20000+30000", 80000, 2000, 0},
        {"resets throughout", 5, 8, 1000000, "resets", 100000, 0, 60},
        {"a storm for a stretch", 7, 8, 0, "storm@30000+20000", 80000, 0, 0},
        {"all three, one command at a time", 9, 1, 1000000,
         "hang@10000+20000,resets@5000,storm@40000+5000", 60000, 500, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WorkloadSettings settings =
            scenarioSettings(c.seed, c.depth, c.errorRate, c.scenarios);
        const ScenarioWindow& hang = settings.scenarios.window[kHang];
        const ScenarioWindow& resets = settings.scenarios.window[kResets];
        const ScenarioWindow& storm = settings.scenarios.window[kStorm];
        const auto trace = makeGeneratedTrace(c.records, settings);

        // The trace without the scenarios, up to the first record of one.
        WorkloadSettings healthy = settings;
        healthy.scenarios = WorkloadScenarios{};
        const auto before = makeGeneratedTrace(c.records, healthy);
        uint64_t first = c.records;
        for (const ScenarioWindow& w : settings.scenarios.window)
            if (w.count > 0) first = std::min(first, w.first);
        for (uint64_t i = 0; i < first; ++i) ASSERT_EQ(trace->record(i), before->record(i)) << i;

        std::set<uint64_t> lost;
        for (const Command& command : viewOf(*trace).commands)
            if (command.code.empty() && command.kind == "60" && inWindow(hang, command.start))
                lost.insert(command.start);
        const WorkloadView v = viewOf(*trace, lost);
        EXPECT_EQ(v.notRising, 0u);
        EXPECT_EQ(v.otherFailures, 0u);
        EXPECT_EQ(v.idReusedWhileOpen, 0u);
        EXPECT_EQ(v.unmatchedEnds, 0u);
        EXPECT_EQ(v.transferOverlaps, 0u);
        EXPECT_EQ(v.transfersOutside, 0u);
        EXPECT_EQ(v.transfersInWrongState, 0u);
        EXPECT_EQ(v.commandsDuringReset, 0u);
        EXPECT_EQ(v.wrongCancels, 0u);
        EXPECT_EQ(v.unknownCodes, 0u);
        EXPECT_LE(v.deepest, c.depth);

        // hang: the hung kind never completes once the hang began (a reset
        // may abort it), the others do, but for what the queue holds at the
        // end; lost commands hold the queue but not the states it shows.
        uint64_t openAtEnd = 0;
        for (const Command& command : v.commands) {
            if (inWindow(hang, command.start) && command.kind == "60") {
                EXPECT_NE(command.code, "1") << command.start;
            }
            if (command.code.empty() && !lost.count(command.start)) ++openAtEnd;
        }
        EXPECT_LE(openAtEnd, c.depth);
        EXPECT_GE(lost.size(), c.leastLost);
        if (hang.count == 0) {
            EXPECT_EQ(v.idleWhileOpen, 0u);
            EXPECT_EQ(v.quietWithoutIdle, 0u);
        }
        if (hang.count > 0 && hang.first + hang.count < c.records) {
            uint64_t completedAfter = 0;
            for (const Command& command : v.commands)
                completedAfter += command.kind == "60" && command.code == "1" &&
                                  command.start >= hang.first + hang.count;
            EXPECT_GT(completedAfter, 100u) << "the kind completes again after the hang";
        }

        // resets: many in their stretch (counted at their first record, the
        // COMMRESET), the rare one of a healthy run elsewhere.
        const auto inStretch = [](const ScenarioWindow& window, const std::vector<uint64_t>& at) {
            return static_cast<uint64_t>(std::count_if(
                at.begin(), at.end(), [&window](uint64_t i) { return inWindow(window, i); }));
        };
        const uint64_t resetsIn = inStretch(resets, v.resetAt);
        EXPECT_GE(resetsIn, c.leastResets);
        EXPECT_LE(v.resetAt.size() - resetsIn, 2u);
        EXPECT_EQ(v.cancels, v.resetAt.size());

        // storm: three records in four are the storm's, half FatalError;
        // outside it, only the rate's refusals.
        const uint64_t fatal = inStretch(storm, v.fatalAt);
        const uint64_t refused = inStretch(storm, v.refusedAt);
        EXPECT_EQ(fatal, v.fatalAt.size());
        const double stretch = static_cast<double>(std::min(storm.count, c.records));
        EXPECT_NEAR(static_cast<double>(fatal), 0.375 * stretch, 0.03 * stretch + 1);
        EXPECT_NEAR(static_cast<double>(refused), 0.375 * stretch, 0.03 * stretch + 1);
        if (c.errorRate == 0) {
            EXPECT_EQ(refused, v.refusedAt.size());
        }
        if (storm.count > 0) {
            uint64_t issuedInStorm = 0;
            for (const Command& command : v.commands)
                issuedInStorm += inWindow(storm, command.start);
            EXPECT_GT(issuedInStorm, 10u) << "the work goes on through the storm";
        }
    }
}

// The generated records are the benchmarks' and the fault matrix's input: a
// given seed must give the same bytes from one build to the next, whatever
// way they are made. Some records in full, and a digest (FNV-1a 64) of the
// first 100,000 records, each with "\n".
TEST(TraceSource, GeneratedRecordsArePinnedPerSeed) {
    struct Record {
        uint64_t seed;
        uint64_t index;
        const char* text;
    };
    const std::vector<Record> records = {
        {1, 0, "   719.282890896 0 4 0000"},    // the bridge powering up
        {1, 13, "   719.283599473 25 1 0001"},  // the first command
        {1, 14, "   719.283599761 6 8 0/3+2"},
        {1, 825, "   719.293861200 69F0 1 466E"},  // the first record that fails
        {1, 4946, "   719.361851862 C 8 15/0+6"},  // the first COMMRESET
        {1, 99999, "   720.733995253 0 81 1000"},
        {9, 0, "   806.745140303 0 4 0000"},
        {UINT64_MAX, 50000, "   170.409625936 33 50 9/B"},
    };
    for (const Record& r : records)
        EXPECT_EQ(makeGeneratedTrace(100000, r.seed)->record(r.index), r.text)
            << "seed " << r.seed << ", record " << r.index;

    struct Digest {
        uint64_t seed;
        unsigned depth;
        uint32_t errorRate;
        uint64_t expected;
        const char* scenarios = nullptr;
    };
    const std::vector<Digest> digests = {
        {1, 8, 1000000, 0xc3f1ede4d6d3e236ull},
        {9, 8, 1000000, 0x23a3c18fa9616b57ull},
        {UINT64_MAX, 8, 1000000, 0x61c332c2a26cfaeeull},
        {1, 32, 10000000, 0xf631a3a03dbb5cc6ull},
        {1, 8, 1000000, 0x7843837134ab27d7ull, "hang@20000,resets@50000+30000,storm@70000+10000"},
        {2, 32, 0, 0x5e470105baf197f0ull, "storm,hang@5000+60000"},
    };
    for (const Digest& d : digests) {
        WorkloadSettings settings;
        settings.seed = d.seed;
        settings.queueDepth = d.depth;
        settings.errorRate = d.errorRate;
        if (d.scenarios) {
            ASSERT_TRUE(parseScenarios(d.scenarios, settings.scenarios));
        }
        const auto trace = makeGeneratedTrace(100000, settings);
        uint64_t h = 1469598103934665603ull;
        for (uint64_t i = 0; i < trace->size(); ++i)
            for (const unsigned char c : trace->record(i) + "\n") h = (h ^ c) * 1099511628211ull;
        EXPECT_EQ(h, d.expected) << "seed " << d.seed << std::hex << " 0x" << h;
    }
}

// Records asked for in any order are the records made in order: sessions
// paging through at once (more of them than there are cursors), reads at
// random and backwards, with saved states from every record to far apart, and
// the saved states stay within their bound however many were taken; with
// every scenario acting too, whose state the saved states must carry.
TEST(TraceSource, GeneratedRecordsAreTheSameInAnyOrder) {
    constexpr uint64_t kRecords = 40000;
    for (const char* scenarios : {"", "hang@5000,resets@10000,storm@30000+3000"}) {
        SCOPED_TRACE(scenarios);
        WorkloadSettings settings;
        settings.seed = 11;
        if (*scenarios) {
            ASSERT_TRUE(parseScenarios(scenarios, settings.scenarios));
        }
        const GeneratedTrace reference(kRecords, settings, kRecords);
        std::vector<std::string> inOrder;
        for (uint64_t i = 0; i < kRecords; ++i) inOrder.push_back(reference.record(i));

        const std::size_t bound = (GeneratedTrace::kMaxSaved + 1) * sizeof(WorkloadState) +
                                  4 * sizeof(WorkloadState) + 64;
        for (const uint64_t spacing :
             {uint64_t{1}, uint64_t{7}, uint64_t{500}, GeneratedTrace::kSpacing}) {
            SCOPED_TRACE("spacing " + std::to_string(spacing));
            const GeneratedTrace trace(kRecords, settings, spacing);
            constexpr uint64_t kSessions = 6;
            constexpr uint64_t kPage = 64;
            for (uint64_t page = 0; page * kPage < kRecords / kSessions; ++page)
                for (uint64_t session = 0; session < kSessions; ++session)
                    for (uint64_t i = 0; i < kPage; ++i) {
                        const uint64_t index = session * (kRecords / kSessions) + page * kPage + i;
                        if (index < kRecords) {
                            ASSERT_EQ(trace.record(index), inOrder[index]) << index;
                        }
                    }
            std::mt19937_64 random(spacing);
            for (int n = 0; n < 300; ++n) {
                const uint64_t index = random() % kRecords;
                ASSERT_EQ(trace.record(index), inOrder[index]) << index;
            }
            for (uint64_t index = kRecords; index-- > kRecords - 300;)
                ASSERT_EQ(trace.record(index), inOrder[index]) << index;
            EXPECT_LE(trace.savedBytes(), bound);
        }
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

// ---- replay -------------------------------------------------------------------

using recording::Ending;
using EventKind = recording::Event::Kind;

// One event of a recorded session, at `ms` milliseconds of its clock.
struct Recorded {
    int ms;
    EventKind kind;
    std::string bytes = {};
};

recording::Session recordedSession(const std::vector<Recorded>& events, Ending ending, int endMs,
                                   const std::string& run = "1", int startMs = 0) {
    recording::Session s;
    s.run = run;
    s.startUs = std::int64_t{startMs} * 1000;
    s.endUs = std::int64_t{endMs} * 1000;
    s.ending = ending;
    for (const Recorded& r : events) {
        recording::Event e;
        e.kind = r.kind;
        e.us = std::int64_t{r.ms} * 1000;
        e.bytes = r.bytes;
        s.events.push_back(e);
    }
    return s;
}

// What the tool does in a replay, at `ms` milliseconds after connecting.
struct ToolDoes {
    int ms;
    std::string bytes;  // sent; none: it closes
};

// Plays `session` against a tool that does `acts`, on a clock of its own,
// and tells what the replay did and when: "10 send login: ", "130 fin",
// "140 done", or "50 diverged, line 2: ...".
// `lateMs` late by `byMs`: the bridge's timer for that moment fires late.
std::string playedAgainst(const recording::Session& session, const std::vector<ToolDoes>& acts,
                          double speed = 1, int lateMs = -1, int byMs = 0) {
    using std::chrono::milliseconds;
    const SessionReplay::TimePoint t0{};
    SessionReplay replay(scriptOf(session), speed, t0);
    auto at = [&](SessionReplay::TimePoint t) {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - t0).count();
        return us % 1000 ? std::to_string(us / 1000) + "." + std::to_string(us % 1000 / 100)
                         : std::to_string(us / 1000);
    };
    std::string told;
    SessionReplay::TimePoint now = t0;
    std::size_t next = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        for (; next < acts.size() && t0 + milliseconds(acts[next].ms) <= now; ++next) {
            if (acts[next].bytes.empty())
                replay.toolClosed(now);
            else
                replay.received(acts[next].bytes, now);
        }
        const SessionReplay::Step step = replay.next(now);
        switch (step.action) {
            case SessionReplay::Action::kSend:
                told += at(now) + " send " + recording::escaped(std::string(step.bytes)) + "\n";
                replay.sent(now);
                continue;
            case SessionReplay::Action::kCloseFin:
            case SessionReplay::Action::kCloseRst:
                told += at(now) +
                        (step.action == SessionReplay::Action::kCloseFin ? " fin\n" : " rst\n");
                replay.closed(now);
                continue;
            case SessionReplay::Action::kDone:
                return told + at(now) + " done\n";
            case SessionReplay::Action::kDiverged:
                return told + at(now) + " diverged" + replay.divergence() + "\n";
            case SessionReplay::Action::kWait:
            case SessionReplay::Action::kAwaitTool:
                break;
        }
        SessionReplay::TimePoint wake = step.at;
        if (step.action == SessionReplay::Action::kWait && wake == t0 + milliseconds(lateMs))
            wake += milliseconds(byMs);
        if (next < acts.size()) wake = std::min(wake, t0 + milliseconds(acts[next].ms));
        now = std::max(wake, now);
    }
    return told + "did not end\n";
}

// The session of a login with the bridge's prompts, as the library logs it:
// connect, "login: " (previewed and answered), the password line, the prompt,
// then a command and its answer in two runs.
std::vector<Recorded> loginAndCommand() {
    return {{0, EventKind::kConnected},
            {2, EventKind::kReceived, "login: "},
            {22, EventKind::kSent, "qelt\r\n"},
            {23, EventKind::kReceived, "password: "},
            {43, EventKind::kSentPassword},
            {44, EventKind::kReceived, "INET> \xFF\xF9"},
            {45, EventKind::kSent, "pwista\r\n"},
            {46, EventKind::kReceived, "[HTTP]"},
            {76, EventKind::kReceived, ": state = RUN\r\n" + qelttest::kPrompt},
            {77, EventKind::kSent, "exit\r\n"},
            {78, EventKind::kEof}};
}

const std::vector<ToolDoes> kToolAsRecorded = {
    {22, "qelt\r\n"}, {43, "another password\r\n"}, {45, "pwista\r\n"}, {77, "exit\r\n"}, {80, ""}};

TEST(SessionReplay, PacesRunsFromTheToolsLastActionAndChecksWhatItSends) {
    const recording::Session closed = recordedSession(loginAndCommand(), Ending::kClosed, 79);
    const struct {
        const char* name;
        recording::Session session;
        std::vector<ToolDoes> tool;
        double speed;
        std::string told;
    } cases[] = {
        {"as recorded: the password line matches any line; FIN after the eof's delay", closed,
         kToolAsRecorded, 1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n46 send [HTTP]\n"
         "76 send : state = RUN<0D><0A>INET> <FF><F9>\n78 fin\n80 done\n"},
        // The tool answers 100 ms late: each run waits for it, then keeps its
        // recorded delay from the answer, the second run of a pair too.
        {"a late tool",
         closed,
         {{122, "qelt\r\n"}, {143, "x\r\n"}, {245, "pwista\r\n"}, {300, "exit\r\n"}, {302, ""}},
         1,
         "2 send login: \n123 send password: \n144 send INET> <FF><F9>\n246 send [HTTP]\n"
         "276 send : state = RUN<0D><0A>INET> <FF><F9>\n301 fin\n302 done\n"},
        {"twice as fast", closed, kToolAsRecorded, 2,
         "1 send login: \n22.5 send password: \n43.5 send INET> <FF><F9>\n45.5 send [HTTP]\n"
         "60.5 send : state = RUN<0D><0A>INET> <FF><F9>\n77.5 fin\n80 done\n"},
        {"no delays: only the tool's pace", closed, kToolAsRecorded, 0,
         "0 send login: \n22 send password: \n43 send INET> <FF><F9>\n45 send [HTTP]\n"
         "45 send : state = RUN<0D><0A>INET> <FF><F9>\n77 fin\n80 done\n"},
        {"a line that comes in pieces",
         closed,
         {{22, "qe"},
          {30, "lt\r"},
          {31, "\n"},
          {43, "pw\r\n"},
          {45, "pwista\r\n"},
          {77, "exit\r\n"},
          {80, ""}},
         1,
         "2 send login: \n32 send password: \n44 send INET> <FF><F9>\n46 send [HTTP]\n"
         "76 send : state = RUN<0D><0A>INET> <FF><F9>\n78 fin\n80 done\n"},
        {"another line: named, with the lines before counted",
         closed,
         {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "hwrst\r\n"}},
         1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n"
         "45 diverged, line 3: expected \"pwista<0D><0A>\", got \"hwrst<0D><0A>\"\n"},
        {"another line in pieces: shown whole",
         closed,
         {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "pwx"}, {100, "yz\r\n"}},
         1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n"
         "100 diverged, line 3: expected \"pwista<0D><0A>\", got \"pwxyz<0D><0A>\"\n"},
        {"another line that never ends: shown as far as it came",
         closed,
         {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "pwx"}},
         1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n"
         "245 diverged, line 3: expected \"pwista<0D><0A>\", got \"pwx\"\n"},
        {"the tool closes where a line was recorded",
         closed,
         {{22, "qelt\r\n"}, {60, ""}},
         1,
         "2 send login: \n23 send password: \n"
         "60 diverged, line 2: expected \"******** <password line>\", got \"\"\n"},
        {"the tool closes while the bridge still had to send",
         closed,
         {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "pwista\r\n"}, {50, ""}},
         1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n46 send [HTTP]\n"
         "50 diverged: the tool closed the connection before the recording ended (after line "
         "3)\n"},
        {"the tool sends more than recorded",
         closed,
         {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "pwista\r\n"}, {77, "exit\r\nexit\r\n"}},
         1,
         "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n46 send [HTTP]\n"
         "76 send : state = RUN<0D><0A>INET> <FF><F9>\n"
         "77 diverged, line 5: expected \"\", got \"exit<0D><0A>\"\n"},
        {"the tool never sends its line: it has its recorded gap and 30 s",
         closed,
         {{22, "qelt\r\n"}},
         1,
         "2 send login: \n23 send password: \n"
         "30043 diverged, line 2: expected \"******** <password line>\", got \"\"\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(playedAgainst(c.session, c.tool, c.speed), c.told) << c.name;

    // "[HTTP]" goes out 15 ms late. The 30 ms silence after it made the tool
    // preview "[HTTP]": it is kept whole, not cut to the 15 ms left of it.
    EXPECT_EQ(
        playedAgainst(
            closed,
            {{22, "qelt\r\n"}, {43, "pw\r\n"}, {45, "pwista\r\n"}, {92, "exit\r\n"}, {95, ""}}, 1,
            46, 15),
        "2 send login: \n23 send password: \n44 send INET> <FF><F9>\n61 send [HTTP]\n"
        "91 send : state = RUN<0D><0A>INET> <FF><F9>\n93 fin\n95 done\n");
}

TEST(SessionReplay, EndsAsTheRecordingEnded) {
    const std::vector<Recorded> opening = {{0, EventKind::kConnected},
                                           {1, EventKind::kReceived, "\xFF\xFB\x01login: "},
                                           {2, EventKind::kSent, "\xFF\xFE\x01"},
                                           {30, EventKind::kReceived, "late\r\n"}};
    auto with = [&](std::vector<Recorded> more) {
        std::vector<Recorded> all = opening;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const struct {
        const char* name;
        recording::Session session;
        std::vector<ToolDoes> tool;
        std::string told;
    } cases[] = {
        {"reset by the bridge, after its recorded delay",
         recordedSession(opening, Ending::kReset, 40),
         {{2, "\xFF\xFE\x01"}},
         "1 send <FF><FB><01>login: \n30 send late<0D><0A>\n40 rst\n40 done\n"},
        {"reset met by a failed send: right after the last run, the send not awaited",
         recordedSession(with({{35, EventKind::kSent, "qelt\r\n"}, {35, EventKind::kSendFailed}}),
                         Ending::kReset, 35),
         {{2, "\xFF\xFE\x01"}},
         "1 send <FF><FB><01>login: \n30 send late<0D><0A>\n30 rst\n30 done\n"},
        {"the tool gave up (a stall): nothing more until it closes",
         recordedSession(opening, Ending::kTimeout, 10030),
         {{2, "\xFF\xFE\x01"}, {10030, ""}},
         "1 send <FF><FB><01>login: \n30 send late<0D><0A>\n10030 done\n"},
        {"the tool that gave up does not close: its gap and 30 s",
         recordedSession(opening, Ending::kTimeout, 10030),
         {{2, "\xFF\xFE\x01"}},
         "1 send <FF><FB><01>login: \n30 send late<0D><0A>\n40030 diverged: the tool kept the "
         "connection open long after it gave up in the recording (after line 0)\n"},
        {"option replies checked byte for byte",
         recordedSession(opening, Ending::kTimeout, 10030),
         {{2, "\xFF\xFC\x01qelt\r\n"}},
         "1 send <FF><FB><01>login: \n"
         "2 diverged, line 1: expected \"<FF><FE><01>\", got \"<FF><FC><01>qelt<0D><0A>\"\n"},
        {"a session in which nothing was received: an empty session",
         recordedSession({{0, EventKind::kConnected}, {5, EventKind::kEof}}, Ending::kClosed, 5),
         {{6, ""}},
         "5 fin\n6 done\n"},
        {"a FIN the tool never answers: done once the drain is over",
         recordedSession({{0, EventKind::kConnected}, {5, EventKind::kEof}}, Ending::kClosed, 5),
         {},
         "5 fin\n2005 done\n"},
        {"a log that ends inside the session: as the tool's own close",
         recordedSession(opening, Ending::kCut, 30),
         {{2, "\xFF\xFE\x01"}, {31, ""}},
         "1 send <FF><FB><01>login: \n30 send late<0D><0A>\n31 done\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(playedAgainst(c.session, c.tool), c.told) << c.name;
}

// Sessions of a recording in their order, on a clock of the test's own:
// when the port refuses, when a session is late, what the replay ends with.
TEST(ReplayPlan, RefusalsLateSessionsAndTheEnd) {
    using std::chrono::milliseconds;
    using Outcome = ReplayPlan::Outcome;
    const ReplayPlan::TimePoint t0{};
    auto ms = [&](int n) { return t0 + milliseconds(n); };
    const recording::Session hwrst =
        recordedSession({{0, EventKind::kConnected}}, Ending::kClosed, 1000);
    // The verification of a reboot: 5 s after the first ended, refused for
    // 2 s, then connected.
    const recording::Session refusedThenBack =
        recordedSession({{6000, EventKind::kAttemptFailed}, {8000, EventKind::kConnected}},
                        Ending::kClosed, 9000, "1", 6000);
    // Refused for the whole 10 s of its time-out.
    const recording::Session refusedThroughout = recordedSession(
        {{6000, EventKind::kAttemptFailed}}, Ending::kNoConnection, 16000, "1", 6000);
    const recording::Session nextAttempt =
        recordedSession({{16000, EventKind::kConnected}}, Ending::kClosed, 17000, "1", 16000);
    const recording::Session unresolved = recordedSession({}, Ending::kUnresolved, 1500, "1", 1500);
    const recording::Session otherRun =
        recordedSession({{0, EventKind::kConnected}}, Ending::kClosed, 100, "2", 0);

    {
        SCOPED_TRACE("a reboot at the recorded pace");
        recording::Log log{{hwrst, refusedThenBack}};
        ReplayPlan plan(log, 1, t0);
        EXPECT_TRUE(plan.listening(ms(0)));
        EXPECT_EQ(plan.accept(ms(0)), 0);
        EXPECT_TRUE(plan.listening(ms(500))) << "a session playing: the next may come early";
        plan.finished(0, Outcome::kPlayed, ms(1000));
        EXPECT_FALSE(plan.listening(ms(1000))) << "off the network, as the bridge was";
        EXPECT_FALSE(plan.listening(ms(7999)));
        EXPECT_EQ(plan.wakeAt(ms(1000)), ms(2000)) << "at most a second";
        EXPECT_EQ(plan.wakeAt(ms(7500)), ms(8000));
        EXPECT_TRUE(plan.listening(ms(8000)));
        EXPECT_TRUE(plan.advance(ms(8000)).empty());
        EXPECT_EQ(plan.accept(ms(9000)), 1);
        EXPECT_FALSE(plan.listening(ms(9000))) << "no session left";
        EXPECT_FALSE(plan.over());
        plan.finished(1, Outcome::kPlayed, ms(10000));
        EXPECT_TRUE(plan.over());
        EXPECT_EQ(plan.exitStatus(), 0);
        EXPECT_EQ(plan.accept(ms(10000)), -1);
    }
    {
        SCOPED_TRACE("a reboot without delays: no refusal before a connection");
        recording::Log log{{hwrst, refusedThenBack}};
        ReplayPlan plan(log, 0, t0);
        plan.accept(ms(0));
        plan.finished(0, Outcome::kPlayed, ms(1000));
        EXPECT_TRUE(plan.listening(ms(1000)));
    }
    for (double speed : {0.0, 1.0, 4.0}) {
        SCOPED_TRACE("a verification refused throughout, at speed " + std::to_string(speed));
        recording::Log log{{hwrst, refusedThroughout, nextAttempt}};
        ReplayPlan plan(log, speed, t0);
        plan.accept(ms(0));
        plan.finished(0, Outcome::kPlayed, ms(1000));
        // The tool's own pause and time-out: never shortened.
        EXPECT_FALSE(plan.listening(ms(15999)));
        EXPECT_TRUE(plan.advance(ms(15999)).empty());
        EXPECT_EQ(plan.outcome(1), Outcome::kPending);
        EXPECT_TRUE(plan.advance(ms(16000)).empty());
        EXPECT_EQ(plan.outcome(1), Outcome::kPlayed);
        EXPECT_TRUE(plan.listening(ms(16000)));
        EXPECT_EQ(plan.accept(ms(16100)), 2);
    }
    {
        SCOPED_TRACE("a session whose connection never comes");
        recording::Log log{{hwrst, nextAttempt}};
        ReplayPlan plan(log, 1, t0);
        plan.accept(ms(0));
        plan.finished(0, Outcome::kPlayed, ms(1000));
        // Due 15 s after the first ended, as recorded; unplayed 30 s later.
        EXPECT_TRUE(plan.advance(ms(45999)).empty());
        EXPECT_EQ(plan.wakeAt(ms(45500)), ms(46000));
        EXPECT_EQ(plan.advance(ms(46000)), (std::vector<std::size_t>{1}));
        EXPECT_EQ(plan.outcome(1), Outcome::kUnplayed);
        EXPECT_TRUE(plan.over());
        EXPECT_EQ(plan.exitStatus(), 1);
    }
    {
        SCOPED_TRACE("the first session of another run waits for its tool");
        recording::Log log{{hwrst, unresolved, otherRun}};
        ReplayPlan plan(log, 1, t0);
        plan.accept(ms(0));
        plan.finished(0, Outcome::kPlayed, ms(1000));
        EXPECT_TRUE(plan.advance(ms(3600000)).empty());
        EXPECT_EQ(plan.outcome(1), Outcome::kNothing) << "never on the network";
        EXPECT_EQ(plan.outcome(2), Outcome::kPending);
        EXPECT_EQ(plan.accept(ms(3600000)), 2);
        plan.finished(2, Outcome::kDiverged, ms(3600100));
        EXPECT_TRUE(plan.over());
        EXPECT_EQ(plan.exitStatus(), 1);
    }
    {
        SCOPED_TRACE("two sessions at once in the recording, and a stop");
        const recording::Session a =
            recordedSession({{0, EventKind::kConnected}}, Ending::kClosed, 1000);
        const recording::Session b =
            recordedSession({{10, EventKind::kConnected}}, Ending::kClosed, 900, "1", 10);
        recording::Log log{{a, b, hwrst}};
        ReplayPlan plan(log, 1, t0);
        EXPECT_EQ(plan.accept(ms(0)), 0);
        EXPECT_EQ(plan.accept(ms(10)), 1) << "the second is due while the first plays";
        EXPECT_EQ(plan.stop(), (std::vector<std::size_t>{0, 1, 2}));
        EXPECT_TRUE(plan.over());
        EXPECT_EQ(plan.exitStatus(), 1);
    }
}

}  // namespace
