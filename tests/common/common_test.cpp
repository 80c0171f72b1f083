// The shared readers of src/common at their boundaries: decimal digits,
// fixed-point decimals, host texts, and the option-row parser that qelttrace
// and qeltbridge share (its rules and the help it prints). No processes, so
// the same cases run under Wine in the Windows build.
#include <gtest/gtest.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/host_port.h"
#include "common/numbers.h"

namespace {

// The one decimal reader behind the host text's port, the bridge's options and
// record index, and qelttrace's options and inputs: at its limits, past the
// 64-bit range, and stopping at the first other character.
TEST(DecimalReader, DigitsUpToTheLimitAndNoWrapPastIt) {
    struct Case {
        const char* text;
        uint64_t limit;
        size_t digits;
        uint64_t value;
        bool over;
    } const cases[] = {
        {"", 10, 0, 0, false},
        {"x1", 10, 0, 0, false},
        {"65535", 65535, 5, 65535, false},
        {"65536", 65535, 5, 65535, true},
        {"0065535:", 65535, 7, 65535, false},
        {"7", 0, 1, 0, true},
        {"0", 0, 1, 0, false},
        {"18446744073709551615", UINT64_MAX, 20, UINT64_MAX, false},
        {"18446744073709551616", UINT64_MAX, 20, UINT64_MAX, true},
        {"99999999999999999999999999", UINT64_MAX, 26, UINT64_MAX, true},
        {"12 3", 100, 2, 12, false},
        {"-1", 100, 0, 0, false},
    };
    for (const Case& c : cases) {
        uint64_t value = 77;
        bool over = !c.over;
        EXPECT_EQ(readDecimalDigits(c.text, strlen(c.text), c.limit, &value, &over), c.digits)
            << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(over, c.over) << c.text;
        // The whole text as a number: digits only, at least one, within the limit.
        uint64_t whole = 77;
        const bool parsed = parseDecimal(c.text, strlen(c.text), c.limit, &whole);
        EXPECT_EQ(parsed, c.digits > 0 && c.digits == strlen(c.text) && !c.over) << c.text;
        EXPECT_EQ(whole, parsed ? c.value : 77) << c.text;
    }
    // The length bounds the reading, not the terminator.
    uint64_t value = 0;
    EXPECT_TRUE(parseDecimal("1234", 2, 100, &value));
    EXPECT_EQ(value, 12u);
}

// qelttrace's --from and --to (nine places, signed, the int64 nanoseconds'
// range) and the bridge's --error-rate (nine places, 0 to 1) and
// --replay-speed (six places, 0 to 1000).
TEST(FixedDecimalReader, DigitsSignsPointsPlacesAndBounds) {
    constexpr uint64_t kNs = INT64_MAX;
    constexpr uint64_t kRate = 1000000000;
    constexpr uint64_t kSpeed = 1000000000;
    struct Case {
        const char* text;
        unsigned places;
        bool minus;
        uint64_t max;
        FixedDecimalResult result;
        int64_t value;  // when read
    } const cases[] = {
        {"1523.108795610", 9, true, kNs, kFixedRead, 1523108795610},
        {"12", 9, true, kNs, kFixedRead, 12000000000},
        {"-1.5", 9, true, kNs, kFixedRead, -1500000000},
        {"-0", 9, true, kNs, kFixedRead, 0},
        {".5", 9, true, kNs, kFixedRead, 500000000},
        {"2.", 9, true, kNs, kFixedRead, 2000000000},
        {"-.000000001", 9, true, kNs, kFixedRead, -1},
        {"0000000000000000000000012.5", 9, true, kNs, kFixedRead, 12500000000},
        {"1.000000000", 9, true, kNs, kFixedRead, 1000000000},
        // The largest either side of 0, and one past; far past does not wrap.
        {"9223372036.854775807", 9, true, kNs, kFixedRead, INT64_MAX},
        {"-9223372036.854775807", 9, true, kNs, kFixedRead, -INT64_MAX},
        {"9223372036.854775808", 9, true, kNs, kFixedTooLarge, 0},
        {"-9223372036.854775808", 9, true, kNs, kFixedTooLarge, 0},
        {"9223372037", 9, true, kNs, kFixedTooLarge, 0},
        {"10000000000", 9, true, kNs, kFixedTooLarge, 0},
        {"18446744073.709551616", 9, true, kNs, kFixedTooLarge, 0},
        {"99999999999999999999999999", 9, true, kNs, kFixedTooLarge, 0},
        {"1.0000000001", 9, true, kNs, kFixedTooPrecise, 0},
        {"1.0000000000", 9, true, kNs, kFixedTooPrecise, 0},
        // Empty parts and junk.
        {"", 9, true, kNs, kFixedMalformed, 0},
        {"-", 9, true, kNs, kFixedMalformed, 0},
        {".", 9, true, kNs, kFixedMalformed, 0},
        {"-.", 9, true, kNs, kFixedMalformed, 0},
        {"+1", 9, true, kNs, kFixedMalformed, 0},
        {"--1", 9, true, kNs, kFixedMalformed, 0},
        {" 1", 9, true, kNs, kFixedMalformed, 0},
        {"1 ", 9, true, kNs, kFixedMalformed, 0},
        {"1e3", 9, true, kNs, kFixedMalformed, 0},
        {"0x10", 9, true, kNs, kFixedMalformed, 0},
        {"1.2.3", 9, true, kNs, kFixedMalformed, 0},
        {"0,5", 9, true, kNs, kFixedMalformed, 0},
        {"1.5x", 9, true, kNs, kFixedMalformed, 0},
        {"1.0000000001x", 9, true, kNs, kFixedMalformed, 0},
        // A share from 0 to 1, no sign.
        {"0.001", 9, false, kRate, kFixedRead, 1000000},
        {"1", 9, false, kRate, kFixedRead, 1000000000},
        {"000.5", 9, false, kRate, kFixedRead, 500000000},
        {"0.000000001", 9, false, kRate, kFixedRead, 1},
        {"1.000000001", 9, false, kRate, kFixedTooLarge, 0},
        {"2", 9, false, kRate, kFixedTooLarge, 0},
        {"-0.1", 9, false, kRate, kFixedMalformed, 0},
        {"-0", 9, false, kRate, kFixedMalformed, 0},
        {"0.0000000001", 9, false, kRate, kFixedTooPrecise, 0},
        // A speed from 0 to 1000 with six places.
        {"1000", 6, false, kSpeed, kFixedRead, 1000000000},
        {"1000.000001", 6, false, kSpeed, kFixedTooLarge, 0},
        {"2.000001", 6, false, kSpeed, kFixedRead, 2000001},
        {"0", 6, false, kSpeed, kFixedRead, 0},
        // No places: whole numbers only.
        {"7", 0, false, 10, kFixedRead, 7},
        {"7.", 0, false, 10, kFixedRead, 7},
        {"7.0", 0, false, 10, kFixedTooPrecise, 0},
        {"11", 0, false, 10, kFixedTooLarge, 0},
    };
    for (const Case& c : cases) {
        int64_t value = 77;
        EXPECT_EQ(readFixedDecimal(c.text, strlen(c.text), c.places, c.minus, c.max, &value),
                  c.result)
            << c.text;
        EXPECT_EQ(value, c.result == kFixedRead ? c.value : 77) << c.text;
    }
    // The length bounds the reading.
    int64_t value = 0;
    EXPECT_EQ(readFixedDecimal("1.25", 3, 9, false, kNs, &value), kFixedRead);
    EXPECT_EQ(value, 1200000000);
}

// One rule for the library's host argument and the bridge's --listen: a port
// after the last colon only when there is one colon, or after "]".
TEST(HostText, WhatItAcceptsAndRefuses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        bool hasPort;
        uint16_t port;
    } const cases[] = {
        {"10.0.0.5:2323", true, "10.0.0.5", true, 2323},
        {"[::1]:2323", true, "::1", true, 2323},
        {"localhost:2323", true, "localhost", true, 2323},
        {"localhost", true, "localhost", false, 0},
        {"10.0.0.5", true, "10.0.0.5", false, 0},
        {"::1", true, "::1", false, 0},
        {"fd00::5", true, "fd00::5", false, 0},
        {"::1:23", true, "::1:23", false, 0},  // bare IPv6, all address
        {"[::1]", true, "::1", false, 0},
        {"[fd00::5]:0", true, "fd00::5", true, 0},
        {"host:0", true, "host", true, 0},
        {"host:65535", true, "host", true, 65535},
        {"host:0002323", true, "host", true, 2323},
        {"[localhost]:23", true, "localhost", true, 23},
        {"", false, "", false, 0},
        {":23", false, "", false, 0},
        {"host:", false, "", false, 0},
        {"host:65536", false, "", false, 0},
        {"host:abc", false, "", false, 0},
        {"host:+23", false, "", false, 0},
        {"host:-1", false, "", false, 0},
        {"host: 23", false, "", false, 0},
        {"host:23 ", false, "", false, 0},
        {"host:0x17", false, "", false, 0},
        {"[::1", false, "", false, 0},
        {"[::1]x", false, "", false, 0},
        {"[::1]:", false, "", false, 0},
        {"[::1]23", false, "", false, 0},
        {"[::1]:23:24", false, "", false, 0},
        {"[]:23", false, "", false, 0},
        {"[]", false, "", false, 0},
        {"[a[b]:23", false, "", false, 0},
        {"[::1]]:23", false, "", false, 0},
        {"a]b", false, "", false, 0},
        {"a[b", false, "", false, 0},
        {"::1]:23", false, "", false, 0},
        {"bad\nhost", false, "", false, 0},
        {"host\t:23", false, "", false, 0},
        {"host\x7f", false, "", false, 0},
    };
    for (const Case& c : cases) {
        HostPort hp{99, 99, true, 99};
        ASSERT_EQ(parseHostPort(c.text, strlen(c.text), &hp), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(std::string(c.text + hp.hostStart, hp.hostLength), c.host) << c.text;
        EXPECT_EQ(hp.hasPort, c.hasPort) << c.text;
        EXPECT_EQ(hp.port, c.port) << c.text;
    }
    // The length limit, and the length bounds the reading.
    const std::string longest(kHostTextMax, 'a');
    HostPort hp{};
    EXPECT_TRUE(parseHostPort(longest.data(), longest.size(), &hp));
    const std::string tooLong(kHostTextMax + 1, 'a');
    EXPECT_FALSE(parseHostPort(tooLong.data(), tooLong.size(), &hp));
    EXPECT_TRUE(parseHostPort("host:23x", 7, &hp));
    EXPECT_EQ(hp.port, 23);
    EXPECT_FALSE(parseHostPort(nullptr, 3, &hp));
}

// ---- the option-row parser --------------------------------------------------

enum class T { kName, kList, kLast, kFlag, kReport, kNeedy, kHelp, kVersion, kFar, kCount };

using cmdline::option;
using cmdline::setOf;

constexpr cmdline::OptionRow kRows[] = {
    option(T::kName, "--name", "NAME", "a name").shows([] { return std::string("nobody"); }),
    option(T::kList, "--list", "ITEM", "an item (again: more of them)").each(),
    option(T::kLast, "--last", "N", "a number; the last one given counts").last(),
    cmdline::flag(T::kFlag, "--flag", "a flag"),
    option(T::kReport, "--report", "[=json]", "a report, readable or JSON")
        .inlineValue()
        .excluding(setOf(T::kName, T::kFlag), "replaces the names"),
    option(T::kNeedy, "--needy", "N", "a number that only the items or the flag use")
        .needing(setOf(T::kList, T::kFlag), "counts the items"),
    cmdline::helpFlag(T::kHelp),
    cmdline::versionFlag(T::kVersion),
    option(T::kFar, "--far", "URL",
           "a help text with a word longer than a line: "
           "https://example.org/a/path/that/goes/on/and/on/and/on/well/past/the/width/of/a/line "
           "and then some more words to wrap")
        .in("Further away"),
};
static_assert(cmdline::wellFormed(kRows));

// Tables that break the rows' own rules do not compile.
constexpr cmdline::OptionRow kOutOfOrder[] = {
    cmdline::flag(T::kList, "--list", "listed first, with the id of the second row"),
    cmdline::flag(T::kName, "--name", "second"),
};
static_assert(!cmdline::wellFormed(kOutOfOrder));
constexpr cmdline::OptionRow kNeedsAStranger[] = {
    cmdline::flag(T::kName, "--name", "needs a row the table does not have")
        .needing(setOf(T::kFar), nullptr),
};
static_assert(!cmdline::wellFormed(kNeedsAStranger));
constexpr cmdline::OptionRow kValueless[] = {
    option(T::kName, "--name", nullptr, "takes a value the help cannot name"),
};
static_assert(!cmdline::wellFormed(kValueless));

constexpr ExitStatusRow kStatuses[] = {{0, "success"}, {2, "bad usage"}};

constexpr cmdline::CommandLine kLine = cmdline::commandLine(
    "prog", "1.0", kRows, "[FILE...]", "a FILE", "Does a thing.\n", kStatuses, "128+N: a signal");
constexpr cmdline::CommandLine kNoOperands =
    cmdline::commandLine("prog", "1.0", kRows, nullptr, nullptr, nullptr, kStatuses, nullptr);

cmdline::Outcome parse(const cmdline::CommandLine& line, const std::vector<std::string>& args,
                       cmdline::Given& given, std::string& error,
                       const cmdline::ValueCheck& values = {}) {
    std::vector<const char*> argv{"prog"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    return cmdline::parse(line, static_cast<int>(argv.size()), argv.data(), given, error, values);
}

// What each kind of argument does, and each usage error in the order the
// parser finds them: the words are the programs' messages.
TEST(OptionRows, ArgumentsAndUsageErrors) {
    using O = cmdline::Outcome;
    struct Case {
        std::vector<std::string> args;
        O outcome;
        const char* error;  // on kUsageError
    } const cases[] = {
        {{}, O::kRun, ""},
        {{"--name", "a", "--name", "b"}, O::kUsageError, "--name is given twice"},
        {{"--name", "a", "--name=a"}, O::kUsageError, "--name is given twice"},
        {{"--name", "--flag"}, O::kUsageError, "--name needs a value: NAME"},
        {{"--name"}, O::kUsageError, "--name needs a value: NAME"},
        {{"--flag=1"}, O::kUsageError, "--flag takes no value"},
        {{"--flag="}, O::kUsageError, "--flag takes no value"},
        {{"--flag", "--flag"}, O::kUsageError, "--flag is given twice"},
        {{"--bogus"}, O::kUsageError, "unknown option --bogus"},
        {{"--bogus=3"}, O::kUsageError, "unknown option --bogus"},
        {{"-raw"}, O::kUsageError, "unknown option -raw"},
        {{"--Name", "a"}, O::kUsageError, "unknown option --Name"},
        {{"--nam", "a"}, O::kUsageError, "unknown option --nam"},
        {{"-h"}, O::kHelp, ""},
        {{"--help", "--version"}, O::kHelp, ""},
        {{"--version"}, O::kVersion, ""},
        // Help and version win over the rules, not over a line that does not read.
        {{"--needy", "1", "--help"}, O::kHelp, ""},
        {{"--report", "--name", "a", "--version"}, O::kVersion, ""},
        {{"--help", "--bogus"}, O::kUsageError, "unknown option --bogus"},
        {{"--report", "--name", "a"},
         O::kUsageError,
         "--report replaces the names: it does not go with --name"},
        // The first of the excluded that was given is named.
        {{"--flag", "--report", "--name", "a"},
         O::kUsageError,
         "--report replaces the names: it does not go with --name"},
        {{"--needy", "1"}, O::kUsageError, "--needy counts the items: it needs --list or --flag"},
        {{"--needy", "1", "--flag"}, O::kRun, ""},
        {{"--needy", "1", "--list", "x"}, O::kRun, ""},
        {{"--", "--name"}, O::kRun, ""},
    };
    for (const Case& c : cases) {
        cmdline::Given given;
        std::string error;
        EXPECT_EQ(parse(kLine, c.args, given, error), c.outcome) << c.error;
        EXPECT_EQ(error, c.error);
    }
    cmdline::Given given;
    std::string error;
    EXPECT_EQ(parse(kNoOperands, {"--flag", "file"}, given, error), O::kUsageError);
    EXPECT_EQ(error, "unexpected argument file");
    EXPECT_EQ(parse(kNoOperands, {"--"}, given, error), O::kRun);
    EXPECT_EQ(parse(kNoOperands, {"--", "-"}, given, error), O::kUsageError);
    EXPECT_EQ(error, "unexpected argument -");
}

TEST(OptionRows, ValuesOperandsAndRepeats) {
    cmdline::Given g;
    std::string error;
    ASSERT_EQ(parse(kLine,
                    {"in.txt", "--name", "-x", "--list=a", "--last", "1", "-", "--list", "--b",
                     "--last=2", "--flag", "--report=json", "--", "--name", "-h"},
                    g, error),
              cmdline::Outcome::kUsageError)
        << "a value that begins with \"--\" is given after \"=\"";
    EXPECT_EQ(error, "--list needs a value: ITEM");
    ASSERT_EQ(parse(kLine,
                    {"in.txt", "--name", "-x", "--list=a", "--last", "1", "-", "--list=--b",
                     "--last=2", "--flag", "--report=json", "--", "--name", "-h"},
                    g, error),
              cmdline::Outcome::kUsageError);
    EXPECT_EQ(error, "--report replaces the names: it does not go with --name");
    ASSERT_EQ(parse(kLine,
                    {"in.txt", "--list=a", "--last", "1", "-", "--list=--b", "--last=2",
                     "--report=json", "--needy", "-3", "--", "--name", "-h"},
                    g, error),
              cmdline::Outcome::kRun)
        << error;
    EXPECT_EQ(g.operands(), (std::vector<std::string>{"in.txt", "-", "--name", "-h"}));
    EXPECT_EQ(g.values(T::kList), (std::vector<std::string>{"a", "--b"}));
    EXPECT_EQ(g.values(T::kLast), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(g.value(T::kLast), "2");
    EXPECT_EQ(g.value(T::kReport), "json");
    EXPECT_EQ(g.value(T::kNeedy), "-3");
    EXPECT_FALSE(g.has(T::kName));
    EXPECT_EQ(g.value(T::kName), "");
    EXPECT_FALSE(g.has(T::kFlag));

    // An inline-only value never takes the next argument; "=" gives an empty one.
    ASSERT_EQ(parse(kLine, {"--report", "json"}, g, error), cmdline::Outcome::kRun);
    EXPECT_TRUE(g.has(T::kReport));
    EXPECT_TRUE(g.values(T::kReport).empty());
    EXPECT_EQ(g.operands(), std::vector<std::string>{"json"});
    ASSERT_EQ(parse(kLine, {"--report="}, g, error), cmdline::Outcome::kRun);
    EXPECT_EQ(g.values(T::kReport), std::vector<std::string>{""});
    // Only what was given this time.
    ASSERT_EQ(parse(kLine, {"--flag"}, g, error), cmdline::Outcome::kRun);
    EXPECT_FALSE(g.has(T::kReport));
    EXPECT_TRUE(g.operands().empty());
}

// The program's value checks run after the line reads and before the rows'
// rules, and never when help or version is asked for.
TEST(OptionRows, ValueChecksComeBeforeTheRules) {
    int checks = 0;
    const cmdline::ValueCheck check = [&checks](const cmdline::Given& g) -> std::string {
        ++checks;
        return g.value(T::kLast) == "bad" ? "--last bad: not a number" : "";
    };
    cmdline::Given g;
    std::string error;
    EXPECT_EQ(parse(kLine, {"--needy", "1", "--last", "bad"}, g, error, check),
              cmdline::Outcome::kUsageError);
    EXPECT_EQ(error, "--last bad: not a number");
    EXPECT_EQ(parse(kLine, {"--needy", "1", "--last", "1"}, g, error, check),
              cmdline::Outcome::kUsageError);
    EXPECT_EQ(error, "--needy counts the items: it needs --list or --flag");
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(parse(kLine, {"--last", "bad", "--help"}, g, error, check), cmdline::Outcome::kHelp);
    EXPECT_EQ(parse(kLine, {"--last", "bad", "--bogus"}, g, error, check),
              cmdline::Outcome::kUsageError);
    EXPECT_EQ(checks, 2);
}

// The synopsis and --help come from the rows: every setting in the usage
// lines, every row at the start of a help line with its default, the group's
// heading, "--" where operands are taken, the statuses; nothing past 79
// columns, and a word longer than a line is put on one of its own.
TEST(OptionRows, SynopsisAndHelpFromTheRows) {
    const std::string help = cmdline::helpText(kLine);
    const std::string usage = cmdline::synopsis(kLine);
    EXPECT_EQ(help.rfind(usage + "\nDoes a thing.\n\nOptions:\n", 0), 0u) << help;
    EXPECT_EQ(usage,
              "usage: prog [--name NAME] [--list ITEM] [--last N] [--flag] [--report[=json]]\n"
              "            [--needy N] [--far URL] [FILE...]\n"
              "       prog --version | --help\n");
    for (const char* line :
         {"\n  --name NAME               a name (default nobody)\n",
          "\n  --report[=json]           a report, readable or JSON\n",
          "\n  -h, --help                print this text and exit\n",
          "\n  --version                 print the version and exit\n",
          "\n\nFurther away:\n  --far URL                 a help text with a word longer than "
          "a line:\n                            https://example.org/",
          "\n  --                        every argument after it is a FILE\n",
          "\n\nExit status:\n  0     success\n  2     bad usage\n  128+N: a signal\n"}) {
        EXPECT_NE(help.find(line), std::string::npos) << line << "\nin\n" << help;
    }
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("https://") == std::string::npos) {
            EXPECT_LE(line.size(), 79u) << line;
        }
    }
    const std::string bare = cmdline::helpText(kNoOperands);
    EXPECT_EQ(bare.find("  --  "), std::string::npos);
    EXPECT_EQ(bare.find("[FILE...]"), std::string::npos);
    EXPECT_EQ(bare.rfind("usage: prog [--name NAME]", 0), 0u);
}

}  // namespace
