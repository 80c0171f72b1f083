// The line formatter: byte-exact output, the run and span rules, held and
// backwards timestamps, failed records, and the two readings of oversized
// timestamps (a token of 16 characters, digits beyond 32 bits).
#include "trace/sata_format.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/stdout_capture.h"

namespace {

// Runs `lines` through ParseSataTrace (each copied into a writable buffer) and
// returns what reached standard output.
std::string format(const std::vector<std::string>& lines) {
    qelttest::StdoutCapture out;
    EXPECT_TRUE(out.ok());
    for (const std::string& line : lines) {
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        ParseSataTrace(text.data());
    }
    return out.finish();
}

// The span the driver prints after the dump.
std::string finalSpan() {
    DiffTime(&startTime, &pt, &diff);
    char line[64];
    snprintf(line, sizeof line, "\t%6d.%09d\n", diff.sec, diff.nsec);
    return line;
}

class Formatter : public ::testing::Test {
  protected:
    void SetUp() override { SataResetTiming(); }
};

TEST_F(Formatter, WorkedExampleByteForByte) {
    std::string out = format({"SATA history dump", "  11.999999900 01 2 0", "12.000000500 01 2 0",
                              "11.500000000 ABCD 2 0", "", "12.000001000 01 2 0"});
    out += finalSpan();
    EXPECT_EQ(out,
              "SATA history dump\n"
              "\n    11.999999900\t     0.000000000\tCancelAll 01 0"
              "\n    12.000000500\t     0.000000600\tCancelAll 01 0"
              "\n    12.000000500\t     0.000000000\tPARSE ERROR - ABCD 2 0"
              "\t     0.000000600\n"
              "\n    12.000001000\t     0.000000500\tCancelAll 01 0"
              "\t     0.000000000\n");
}

// The same lines through the record model: what each line was, the times
// printed, the held flag of the record stamped backwards, the words.
TEST_F(Formatter, RecordModelOfTheWorkedExample) {
    struct Expected {
        const char* line;
        SataLineKind kind;
        DBGTime time, delta;
        int held;
        int result;
        const char* event;
    } const lines[] = {
        {"SATA history dump", SataLineBanner, {0, 0}, {0, 0}, 0, 0, ""},
        {"  11.999999900 01 2 0\r\n", SataLineRecord, {11, 999999900}, {0, 0}, 0, 0, "CancelAll"},
        {"12.000000500 01 2 0", SataLineRecord, {12, 500}, {0, 600}, 0, 0, "CancelAll"},
        {"11.500000000 ABCD 2 0", SataLineRecord, {12, 500}, {0, 0}, 1, -2, ""},
        {"", SataLineSpan, {0, 0}, {0, 600}, 0, 0, ""},
        {"1.5", SataLineIgnored, {0, 0}, {0, 0}, 0, 0, ""},
        {"12.000001000 01 2 0", SataLineRecord, {12, 1000}, {0, 500}, 0, 0, "CancelAll"},
    };
    for (const Expected& e : lines) {
        std::vector<char> text(e.line, e.line + strlen(e.line) + 1);
        SataTraceRecord record;
        const SataLineKind kind = SataTraceLine(text.data(), &record);
        ASSERT_EQ(kind, e.kind) << e.line;
        // Formatted into a buffer, it is what is printed; cut as snprintf cuts.
        qelttest::StdoutCapture printed;
        SataPrintLine(kind, text.data(), &record);
        const std::string expected = printed.finish();
        char line[128];
        const int length = SataFormatLine(kind, text.data(), &record, line, sizeof line);
        EXPECT_EQ(std::string(line, static_cast<size_t>(length)), expected) << e.line;
        char cut[8];
        EXPECT_EQ(SataFormatLine(kind, text.data(), &record, cut, sizeof cut), length);
        EXPECT_EQ(std::string(cut), expected.substr(0, sizeof cut - 1)) << e.line;
        if (kind == SataLineSpan) {
            EXPECT_EQ(record.printSpan, 1);
            EXPECT_EQ(record.delta.nsec, e.delta.nsec);
        }
        if (kind != SataLineRecord) continue;
        EXPECT_EQ(record.time.sec, e.time.sec) << e.line;
        EXPECT_EQ(record.time.nsec, e.time.nsec) << e.line;
        EXPECT_EQ(record.delta.sec, e.delta.sec) << e.line;
        EXPECT_EQ(record.delta.nsec, e.delta.nsec) << e.line;
        EXPECT_EQ(record.held, e.held) << e.line;
        EXPECT_EQ(record.result, e.result) << e.line;
        if (record.result == 0) {
            EXPECT_STREQ(record.words.event, e.event);
        }
        EXPECT_EQ(std::string(record.text).substr(0, 4), e.result ? "ABCD" : "01 2");
    }
}

// A second dump in the same process formats as the first did: every timing
// global back to its initial value.
TEST_F(Formatter, ResetTimingStartsANewRun) {
    const std::vector<std::string> dump = {"SATA history dump", "12.000000000 01 2 0",
                                           "13.500000000 01 2 0"};
    const std::string first = format(dump) + finalSpan();
    for (const DBGTime* t : {&startTime, &ct, &pt, &diff}) EXPECT_NE(t->sec, 0);
    EXPECT_EQ(FirstCommand, 0);
    SataResetTiming();
    for (const DBGTime* t : {&startTime, &ct, &pt, &diff}) {
        EXPECT_EQ(t->sec, 0);
        EXPECT_EQ(t->nsec, 0);
    }
    EXPECT_EQ(FirstCommand, 1);
    EXPECT_EQ(format(dump) + finalSpan(), first);
}

TEST_F(Formatter, LineEndsBecomeBlanksInPlace) {
    std::string printed = format({"12.5 01 2 0\r\n", "13.000000000 ABCD 2 0\r\n"});
    EXPECT_EQ(printed,
              "\n    12.000000005\t     0.000000000\tCancelAll 01 0"
              "\n    13.000000000\t     0.999999995\tPARSE ERROR - ABCD 2 0  ");
    // The caller's text changes by its line ends only.
    SataResetTiming();
    char line[] = "12.5 01 2 0\r\n";
    {
        qelttest::StdoutCapture quiet;  // what it prints is checked above
        ParseSataTrace(line);
    }
    EXPECT_STREQ(line, "12.5 01 2 0  ");
}

TEST_F(Formatter, EmptyLinesAndSpans) {
    // Before any record: nothing printed, only FirstCommand set.
    FirstCommand = 0;
    EXPECT_EQ(format({""}), "");
    EXPECT_EQ(FirstCommand, 1);
    EXPECT_EQ(format({"\n"}), "");
    EXPECT_EQ(format({"\nwhatever follows 1.0 0 2 x"}), "");

    // Two empty texts in a row print the same span twice; runs restart.
    std::string out = format({"1.000000000 0 2 a", "1.000000200 0 2 b", "", "", "5.000000000 0 2 c",
                              "5.000000100 0 2 d", "\n"});
    EXPECT_EQ(out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\n     1.000000200\t     0.000000200\tCancelAll 0 b"
              "\t     0.000000200\n"
              "\t     0.000000200\n"
              "\n     5.000000000\t     3.999999800\tCancelAll 0 c"
              "\n     5.000000100\t     0.000000100\tCancelAll 0 d"
              "\t     0.000000100\n");
    EXPECT_EQ(FirstCommand, 1);
    EXPECT_EQ(finalSpan(), "\t     0.000000100\n");
}

TEST_F(Formatter, LinesThatPrintNothing) {
    // CR LF alone is blank, not empty: no span, FirstCommand untouched.
    format({"1.0 0 2 a"});
    EXPECT_EQ(FirstCommand, 0);
    EXPECT_EQ(format({"\r\n", "     ", "1.5", "  2.5", "\t2.5"}), "");
    EXPECT_EQ(FirstCommand, 0);
    EXPECT_EQ(pt.sec, 1);
    // A single token with a line end goes to the decoder with a record of one
    // blank, which decodes to three empty words.
    EXPECT_EQ(format({"3.0\r\n"}), "\n     3.000000000\t     2.000000000\t  ");
}

TEST_F(Formatter, BannerPassesThroughUnchanged) {
    format({"1.000000000 0 2 a"});
    EXPECT_EQ(format({"** SATA history dump **\r\n"}), "** SATA history dump **\r\n\n");
    EXPECT_EQ(format({"SATA_history_dump"}), "");
    EXPECT_EQ(pt.sec, 1);
    EXPECT_EQ(FirstCommand, 0);
}

TEST_F(Formatter, HeldAndBackwardsTimestamps) {
    std::string out = format({"10.000000000 0 2 a", "10.000000000 0 2 b", "9.000000000 0 2 c",
                              "9.500000000 0 2 d", "10.000000001 0 2 e"});
    EXPECT_EQ(out,
              "\n    10.000000000\t     0.000000000\tCancelAll 0 a"
              "\n    10.000000000\t     0.000000000\tCancelAll 0 b"
              "\n    10.000000000\t     0.000000000\tCancelAll 0 c"
              "\n    10.000000000\t     0.000000000\tCancelAll 0 d"
              "\n    10.000000001\t     0.000000001\tCancelAll 0 e");
}

// The zero rule compares the whole difference with the time (not its seconds
// alone), and a step back shows in either field of the difference: records
// under a second apart, a step back by nanoseconds only, and nanosecond fields
// out of range that leave the seconds of the difference positive.
TEST_F(Formatter, ZeroAndStepBackRulesLookAtBothFields) {
    struct Case {
        const char* first;
        const char* second;
        const char* shown;  // the second record's time and delta as printed
    } const cases[] = {
        {"0.500000000", "0.700000000", "     0.700000000\t     0.200000000"},
        {"0.000000001", "0.000000002", "     0.000000002\t     0.000000001"},
        {"3.000000500", "3.000000400", "     3.000000500\t     0.000000000"},
        {"1.1500000000", "6.0", "     1.1500000000\t     0.000000000"},
        {"3.0", "9.-1500000000", "     3.000000000\t     0.000000000"},
        {"2.999999999", "3.0", "     3.000000000\t     0.000000001"},
    };
    for (const Case& c : cases) {
        SataResetTiming();
        const std::string out =
            format({std::string(c.first) + " 0 2 a", std::string(c.second) + " 0 2 b"});
        const std::string second = out.substr(out.rfind('\n') + 1);
        EXPECT_EQ(second, std::string(c.shown) + "\tCancelAll 0 b")
            << c.first << " then " << c.second;
    }
}

TEST_F(Formatter, FailedRecordBetweenTwoGoodOnes) {
    std::string out =
        format({"1.000000000 0 2 a", "2.000000000 0 2 123456789012345678901234567890X",
                "3.000000000 0 2 c"});
    EXPECT_EQ(out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\n     2.000000000\t     1.000000000\tPARSE ERROR - 0 2 "
              "123456789012345678901234567890X"
              "\n     3.000000000\t     2.000000000\tCancelAll 0 c");
    EXPECT_EQ(startTime.sec, 1);
}

TEST_F(Formatter, FailedRecordsBeforeTheFirstGoodOne) {
    std::string out = format({"7.000000000 ABCD 2 0", "8.000000000 0 2 a"});
    EXPECT_EQ(out,
              "\n     7.000000000\t     0.000000000\tPARSE ERROR - ABCD 2 0"
              "\n     8.000000000\t     0.000000000\tCancelAll 0 a");
    EXPECT_EQ(startTime.sec, 8);
}

TEST_F(Formatter, TimestampLayout) {
    std::string out = format({"junk 0 2 a", "1234567.000000001 0 2 b", "  2 0 2 c"});
    EXPECT_EQ(out,
              "\n     0.000000000\t     0.000000000\tCancelAll 0 a"
              "\n1234567.000000001\t     0.000000000\tCancelAll 0 b"
              "\n1234567.000000001\t     0.000000000\tCancelAll 0 c");
}

TEST_F(Formatter, TwoBlanksAfterTheTimestamp) {
    EXPECT_EQ(format({"1.0  0 2 a"}), "\n     1.000000000\t     0.000000000\t  ");
}

// A bridge up for more than 27.7 hours stamps 16 characters; the time is read
// from the whole token.
TEST_F(Formatter, SixteenCharacterTimestampKeepsItsNanoseconds) {
    std::string out = format({"123456.123456789 0 2 a", "123456.123456790 0 2 b"});
    EXPECT_EQ(out,
              "\n123456.123456789\t     0.000000000\tCancelAll 0 a"
              "\n123456.123456790\t     0.000000001\tCancelAll 0 b");
    // Far longer tokens: only the seconds part's 32-character limit applies.
    SataResetTiming();
    out = format({"000000000000000000000000000001.000000005 0 2 a",
                  "0000000000000000000000000000000002.5 0 2 b"});
    EXPECT_EQ(out,
              "\n     1.000000005\t     0.000000000\tCancelAll 0 a"
              "\n     1.000000005\t     0.000000000\tCancelAll 0 b");
}

TEST(TimeReading, GetDBGTimeFromString) {
    struct {
        const char* text;
        int32_t sec, nsec;
    } cases[] = {
        {"12.5", 12, 5},
        {"12.000000500", 12, 500},
        {"12", 12, 0},
        {"12.5.7", 12, 5},
        {"-3.-4", -3, -4},
        {" +7. 9", 7, 9},
        {"abc", 0, 0},
        {"", 0, 0},
        {".9", 0, 9},
        {"1234567890123456789012345678901.5", INT32_MAX, 5},
        {"12345678901234567890123456789012.5", 0, 0},
        {"99999999999.99999999999", INT32_MAX, INT32_MAX},
        {"-99999999999.5", INT32_MIN, 5},
    };
    for (const auto& c : cases) {
        DBGTime t = {77, 77};
        GetDBGTimeFromString(c.text, &t);
        EXPECT_EQ(t.sec, c.sec) << c.text;
        EXPECT_EQ(t.nsec, c.nsec) << c.text;
    }
    DBGTime t = {77, 77};
    GetDBGTimeFromString(nullptr, &t);
    EXPECT_EQ(t.sec, 77);
    GetDBGTimeFromString("1.2", nullptr);
}

TEST(TimeArithmetic, DiffTimeBorrowsAndWrapsLikeA32BitMachine) {
    struct {
        DBGTime from, to, expected;
    } cases[] = {
        {{11, 999999900}, {12, 500}, {0, 600}},
        {{12, 500}, {11, 500000000}, {-1, 499999500}},
        {{5, 5}, {5, 5}, {0, 0}},
        {{0, 0}, {3, 7}, {3, 7}},
        // Saturated readings: the sums leave the 32-bit range and wrap.
        {{INT32_MIN, 0}, {INT32_MAX, 0}, {-1, 0}},
        {{0, INT32_MAX}, {0, INT32_MIN}, {-1, 1000000001}},
        {{INT32_MAX, 1}, {INT32_MIN, 0}, {0, 999999999}},
        {{0, -2}, {0, INT32_MAX}, {0, INT32_MIN + 1}},
    };
    for (const auto& c : cases) {
        DBGTime d = {77, 77};
        DiffTime(&c.from, &c.to, &d);
        EXPECT_EQ(d.sec, c.expected.sec) << c.from.sec << "." << c.from.nsec << " -> " << c.to.sec;
        EXPECT_EQ(d.nsec, c.expected.nsec)
            << c.from.sec << "." << c.from.nsec << " -> " << c.to.sec;
    }
}

TEST_F(Formatter, SaturatedTimestampsNeverOverflow) {
    std::string out =
        format({"99999999999.5 0 2 a", "-99999999999.5 0 2 b", "1.99999999999 0 2 c"});
    EXPECT_EQ(out,
              "\n2147483647.000000005\t     0.000000000\tCancelAll 0 a"
              "\n-2147483648.000000005\t     1.000000000\tCancelAll 0 b"
              "\n-2147483648.000000005\t     0.000000000\tCancelAll 0 c");
}

}  // namespace

// Every time field prints as "%6d.%09d" would, including the values a sound
// dump never holds: seven-digit seconds, nanoseconds of ten digits.
TEST_F(Formatter, TimeFieldsPrintAsPrintfDoes) {
    struct Case {
        const char* first;
        const char* second;
    } const cases[] = {
        {"0.5", "1.0"},
        {"7.999999999", "999999.999999999"},
        {"999999.0", "1000000.000000001"},
        {"5.1000000000", "6.1999999999"},
        {"1.0", "2147483647.2147483647"},
    };
    for (const Case& c : cases) {
        SataResetTiming();
        std::string out =
            format({std::string(c.first) + " 0 2 a", std::string(c.second) + " 0 2 b"});
        DBGTime first{}, second{}, delta{};
        GetDBGTimeFromString(c.first, &first);
        GetDBGTimeFromString(c.second, &second);
        DiffTime(&first, &second, &delta);
        char expected[160];
        snprintf(expected, sizeof expected,
                 "\n%6d.%09d\t%6d.%09d\tCancelAll 0 a\n%6d.%09d\t%6d.%09d\tCancelAll 0 b",
                 first.sec, first.nsec, 0, 0, second.sec, second.nsec, delta.sec, delta.nsec);
        EXPECT_EQ(out, expected) << c.first << " then " << c.second;
    }
}
