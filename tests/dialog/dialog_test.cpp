// Whole conversations through qeltDialog: the lines it sends, what it prints,
// the lines it hands to the trace formatter, and the state it leaves.
#include "dialog/dialog.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/shared.h"
#include "support/protocol.h"
#include "support/stdout_capture.h"
#include "trace/sata_format.h"

namespace {

std::vector<std::string> formatted;  // lines the dialog handed to ParseSataTrace

}  // namespace

// Stands in for the formatter: this test checks what the dialog hands on, not
// how it is decoded. Rewrites line ends in place as the real one does.
void ParseSataTrace(char* text) {
    formatted.emplace_back(text);
    for (char* p = text; *p; ++p) {
        if (*p == '\r' || *p == '\n') *p = ' ';
    }
}

namespace {

using qelttest::kLoginLine;
using qelttest::kPasswordLine;
using qelttest::kPrompt;
using qelttest::kPromptText;
using qelttest::StdoutCapture;

struct Wire {
    std::vector<std::string> sent;
    int badFlags = 0;
};

int sendRecorder(void* handle, const char* line, int flags) {
    Wire* wire = static_cast<Wire*>(handle);
    wire->sent.emplace_back(line);
    if (flags != 0) ++wire->badFlags;
    return -1;  // a failed send must not hold the dialog back
}

class Dialog : public ::testing::Test {
  protected:
    void SetUp() override {
        formatted.clear();
        bShowRawData = 0;
    }
    void TearDown() override { bShowRawData = 0; }

    // Delivers one chunk in a buffer of exactly its size, so that reading past
    // its end is caught by the address sanitizer. `length` < 0: the real size.
    int feed(const std::string& chunk, int peek = 0, int length = -1) {
        std::vector<char> buffer(chunk.begin(), chunk.end());
        buffer.push_back('\0');
        const int n = length < 0 ? static_cast<int>(chunk.size()) : length;
        return qeltDialog(buffer.data(), n, peek, &context, sendRecorder, &wire);
    }
    void login(int32_t mode) {
        context = DialogContext{WaitLogin, mode, -77, -77};
        feed("Welcome\r\n");
        feed("login: ", 1);
        feed("password: ", 1);
        feed(kPrompt);
    }

    DialogContext context{};
    Wire wire;
};

TEST_F(Dialog, StatusJobConversation) {
    StdoutCapture out;
    context = DialogContext{WaitLogin, ModeStatus, 0, 0};
    feed("password: ", 1);  // out of turn: ignored
    EXPECT_EQ(context.state, WaitLogin);
    feed("login: ", 1);
    EXPECT_EQ(context.state, WaitPassword);
    feed(kPromptText);  // the prompt before the password: ignored
    feed("password: ", 1);
    EXPECT_EQ(context.state, WaitPrompt);
    feed("Last login\r\n");
    feed(kPrompt);
    EXPECT_EQ(context.state, StatusOutput);
    feed("[HTTP]: state = RUN, err = 0x00000000\r\n");
    feed(kPrompt + "[SATA]: state = RUN, err = 0x00000000\r\n");  // prompt with a status line
    EXPECT_EQ(context.state, StatusOutput);
    feed(kPrompt);
    EXPECT_EQ(context.state, TraceOutput);
    feed("task 1 idle\r\n");
    feed(kPromptText);           // no IAC GA: not the bare prompt
    feed(kPrompt + "tail\r\n");  // prompt in front of text: printed whole
    feed(kPrompt + "x", 0, 8);   // length 8 over a longer text is not believed
    EXPECT_EQ(context.state, TraceOutput);
    feed(kPrompt);
    EXPECT_EQ(context.state, ExitSent);
    feed("login: ");
    feed(kPrompt);
    EXPECT_EQ(context.state, ExitSent);

    EXPECT_EQ(out.finish(),
              "QELT telnet: [39][[HTTP]: state = RUN, err = 0x00000000\r\n] peek=0\n"
              "QELT telnet: [47][" +
                  kPrompt +
                  "[SATA]: state = RUN, err = 0x00000000\r\n] peek=0\n"
                  "QELT telnet: [13][task 1 idle\r\n] peek=0\n"
                  "QELT telnet: [6][INET> ] peek=0\n"
                  "QELT telnet: [14][" +
                  kPrompt +
                  "tail\r\n] peek=0\n"
                  "QELT telnet: [8][" +
                  kPrompt + "x] peek=0\n");
    EXPECT_EQ(wire.sent, (std::vector<std::string>{kLoginLine, kPasswordLine, "pwista\r\n",
                                                   "task_trace\r\n", "exit\r\n"}));
    EXPECT_EQ(wire.badFlags, 0);
    EXPECT_TRUE(formatted.empty());
}

TEST_F(Dialog, PrintRuleTreatsReceivedTextAsData) {
    context = DialogContext{StatusOutput, ModeStatus, 0, 0};
    StdoutCapture out;
    feed("", 0);         // nothing at all: silent
    feed("", 1);         // an empty preview is still shown
    feed("%s%n%x\r\n");  // never a format
    qeltDialog(nullptr, 0, 0, &context, sendRecorder, &wire);
    context.state = TraceOutput;
    qeltDialog(nullptr, 0, 1, &context, sendRecorder, &wire);
    EXPECT_EQ(out.finish(),
              "QELT telnet: [0][] peek=1\n"
              "QELT telnet: [8][%s%n%x\r\n] peek=0\n"
              "QELT telnet: [0][(null)] peek=0\n"
              "QELT telnet: [0][(null)] peek=1\n");
    EXPECT_TRUE(wire.sent.empty());
}

TEST_F(Dialog, RebootJobIgnoresEverythingAfterReset) {
    StdoutCapture out;
    login(ModeReboot);
    EXPECT_EQ(context.state, ResetSent);
    for (const std::string& chunk : {std::string("login: "), std::string("password: "), kPrompt,
                                     std::string("[HTTP]: state = RUN, err = 0x00000000\r\n")}) {
        feed(chunk);
    }
    EXPECT_EQ(context.state, ResetSent);
    EXPECT_EQ(wire.sent, (std::vector<std::string>{kLoginLine, kPasswordLine, "hwrst\r\n"}));
    EXPECT_EQ(out.finish(), "");
}

struct VerifyCase {
    const char* name;
    std::string httpLine;
    int32_t afterHttp;
    int32_t final;
};

class Verification : public Dialog, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(Verification, JudgesTheHttpLine) {
    const VerifyCase& c = GetParam();
    StdoutCapture out;
    login(ModeVerify);
    EXPECT_EQ(context.state, WaitHttpStatus);
    feed("pwista\r\n");
    feed(c.httpLine);
    feed("[SATA]: state = RUN, err = 0x00000000\r\n");
    EXPECT_EQ(context.state, c.afterHttp);
    feed(kPrompt);
    EXPECT_EQ(context.state, c.final);
    EXPECT_EQ(out.finish(), "");
    std::vector<std::string> expected{kLoginLine, kPasswordLine, "pwista\r\n"};
    if (c.final != WaitHttpStatus) expected.push_back("exit\r\n");
    EXPECT_EQ(wire.sent, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, Verification,
    ::testing::Values(
        VerifyCase{"Running", "[HTTP]: state = RUN, err = 0x00000000\r\n", RunConfirmed, ExitSent},
        VerifyCase{"RunningWithError", "[HTTP]: state = RUN, err = 0x00000001\r\n", RunNotConfirmed,
                   ExitSentNotRunning},
        VerifyCase{"NotRunning", "[HTTP]: state = INIT, err = 0x00000000\r\n", RunNotConfirmed,
                   ExitSentNotRunning},
        VerifyCase{"HttpNotAtStart", " [HTTP]: state = RUN, err = 0x00000000\r\n", WaitHttpStatus,
                   WaitHttpStatus},
        VerifyCase{"HttpBehindPrompt", kPrompt + "[HTTP]: state = RUN, err = 0x00000000\r\n",
                   WaitHttpStatus, WaitHttpStatus}),
    [](const ::testing::TestParamInfo<VerifyCase>& param) { return param.param.name; });

TEST_F(Dialog, TraceJobOverSeveralPages) {
    StdoutCapture out;
    login(ModeTrace);
    EXPECT_EQ(context.state, TraceOutput);
    EXPECT_EQ(context.dumpResult, 0);
    EXPECT_EQ(context.resultReady, 0);
    feed("SATA history dump\r\n");
    feed("  11.999999900 01 2 0\r\n");
    feed("12.000000100 01 2", 1);  // preview of an unfinished line: dropped
    feed("12.000000100 01 2 0\r\n");
    feed("DUMP_RESULT=42", 1);  // even a result is dropped as a preview
    EXPECT_EQ(context.resultReady, 0);
    feed(kPrompt + "DUMP_RESULT=42\r\n");
    EXPECT_EQ(context.dumpResult, 42);
    EXPECT_EQ(context.resultReady, 1);

    const auto before = std::chrono::steady_clock::now();
    feed(kPrompt, 1);  // a bare prompt with a result pending acts whatever peek says
    const auto paused = std::chrono::steady_clock::now() - before;
    EXPECT_GE(paused, std::chrono::milliseconds(50));
    EXPECT_EQ(context.state, TraceOutput);
    EXPECT_EQ(context.dumpResult, 0);
    EXPECT_EQ(context.resultReady, 0);

    feed(kPrompt + "12.000000500 01 2 0\r\n");  // prompt skipped in front of a trace line
    feed("x DUMP_RESULT=7\r\n");                // further on in a line: a trace line
    feed("DUMP_RESULT= 7abc\r\n");
    EXPECT_EQ(context.dumpResult, 7);
    feed(kPrompt);
    feed("DUMP_RESULT=0\r\n");
    feed(kPrompt);
    EXPECT_EQ(context.state, ExitSent);
    feed("13.0 01 2 0\r\n");
    feed(kPrompt);

    EXPECT_EQ(wire.sent, (std::vector<std::string>{
                             kLoginLine, kPasswordLine, "dump_dsata_trace\r\n",
                             "dump_dsata_trace 42\r\n", "dump_dsata_trace 7\r\n", "exit\r\n"}));
    EXPECT_EQ(formatted,
              (std::vector<std::string>{"SATA history dump\r\n", "  11.999999900 01 2 0\r\n",
                                        "12.000000100 01 2 0\r\n", "12.000000500 01 2 0\r\n",
                                        "x DUMP_RESULT=7\r\n"}));
    EXPECT_EQ(out.finish(), "");
}

TEST_F(Dialog, BarePromptBeforeAnyResultHandsOnAnEmptyLine) {
    login(ModeTrace);
    feed(kPrompt, 1);  // a preview without a result pending: dropped
    feed(kPrompt);
    EXPECT_EQ(formatted, std::vector<std::string>{""});
    EXPECT_EQ(context.state, TraceOutput);

    bShowRawData = 1;
    StdoutCapture out;
    feed(kPrompt);
    feed("  11.999999900 01 2 0\r\n");
    feed(kPrompt + "%s %n\r\n");
    feed("DUMP_RESULT=0\r\n");
    qeltDialog(nullptr, 0, 0, &context, sendRecorder, &wire);
    feed(kPrompt);
    EXPECT_EQ(context.state, ExitSent);
    EXPECT_EQ(out.finish(), "\n  11.999999900 01 2 0\r\n\n%s %n\r\n\n(null)\n");
    EXPECT_EQ(formatted.size(), 1u);
}

TEST_F(Dialog, NullTextIsHandedOnAsAWritableLine) {
    login(ModeTrace);
    qeltDialog(nullptr, 12, 0, &context, sendRecorder, &wire);
    qeltDialog(nullptr, 12, 0, &context, sendRecorder, &wire);
    EXPECT_EQ(formatted, (std::vector<std::string>{"(null)", "(null)"}));
}

struct ResultCase {
    const char* name;
    std::string value;
    std::vector<std::string> after;  // lines sent at the next bare prompt
    int32_t state;
};

class DumpResult : public Dialog, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(DumpResult, DecidesTheNextRequest) {
    const ResultCase& c = GetParam();
    login(ModeTrace);
    wire.sent.clear();
    feed("DUMP_RESULT=" + c.value + "\r\n");
    EXPECT_EQ(context.resultReady, 1);
    feed(kPrompt);
    EXPECT_EQ(wire.sent, c.after);
    EXPECT_EQ(context.state, c.state);
    EXPECT_TRUE(formatted.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, DumpResult,
    ::testing::Values(ResultCase{"Zero", "0", {"exit\r\n"}, ExitSent},
                      ResultCase{"Negative", "-3", {"exit\r\n"}, ExitSent},
                      ResultCase{"Letters", "abc", {"exit\r\n"}, ExitSent},
                      ResultCase{"Nothing", "", {"exit\r\n"}, ExitSent},
                      ResultCase{"Positive", "64", {"dump_dsata_trace 64\r\n"}, TraceOutput},
                      ResultCase{"SignAndBlanks", "  +5", {"dump_dsata_trace 5\r\n"}, TraceOutput},
                      ResultCase{"BeyondInt32",
                                 "99999999999999999999",
                                 {"dump_dsata_trace 2147483647\r\n"},
                                 TraceOutput},
                      ResultCase{"BelowInt32", "-99999999999999999999", {"exit\r\n"}, ExitSent}),
    [](const ::testing::TestParamInfo<ResultCase>& param) { return param.param.name; });

TEST_F(Dialog, LengthIsNotTrustedPastTheText) {
    // A length claiming more than the text holds never makes a prompt of a
    // short text, nor reads past its end.
    StdoutCapture out;
    login(ModeTrace);
    feed(kPromptText, 0, 8);
    feed("INET> \xFF", 0, 200);
    EXPECT_EQ(formatted, (std::vector<std::string>{"INET> ", "INET> \xFF"}));
    EXPECT_EQ(context.state, TraceOutput);

    login(ModeStatus);
    feed(kPrompt);
    feed(kPromptText, 0, 8);
    EXPECT_EQ(context.state, TraceOutput);
    feed(kPrompt, 0, 9);  // the real prompt with a wrong length is not bare
    EXPECT_EQ(context.state, TraceOutput);
    feed(kPrompt, 0, 7);
    EXPECT_EQ(context.state, TraceOutput);
    EXPECT_EQ(out.finish(),
              "QELT telnet: [8][INET> ] peek=0\n"
              "QELT telnet: [9][" +
                  kPrompt +
                  "] peek=0\n"
                  "QELT telnet: [7][" +
                  kPrompt + "] peek=0\n");
}

TEST_F(Dialog, PromptAnywhereStartsTheJob) {
    context = DialogContext{WaitPrompt, ModeStatus, 0, 0};
    feed("Last login: yesterday INET>x\r\n");
    EXPECT_EQ(context.state, StatusOutput);
    EXPECT_EQ(wire.sent, std::vector<std::string>{"pwista\r\n"});
}

struct IgnoredCase {
    int32_t state;
    int32_t mode;
};

class IgnoredState : public Dialog, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(IgnoredState, NothingChangesWhateverArrives) {
    const IgnoredCase& c = GetParam();
    StdoutCapture out;
    const std::vector<std::string> chunks{"login: ",
                                          "password: ",
                                          kPrompt,
                                          kPrompt + "DUMP_RESULT=5\r\n",
                                          "DUMP_RESULT=5\r\n",
                                          "[HTTP]: state = RUN, err = 0x00000000\r\n",
                                          "12.000000500 01 2 0\r\n",
                                          ""};
    for (int peek = 0; peek <= 1; ++peek) {
        for (const std::string& chunk : chunks) {
            context = DialogContext{c.state, c.mode, 3, 1};
            EXPECT_EQ(feed(chunk, peek), 0);
            EXPECT_EQ(qeltDialog(nullptr, 0, peek, &context, sendRecorder, &wire), 0);
            EXPECT_EQ(context.state, c.state);
            EXPECT_EQ(context.mode, c.mode);
            EXPECT_EQ(context.dumpResult, 3);
            EXPECT_EQ(context.resultReady, 1);
        }
    }
    EXPECT_TRUE(wire.sent.empty());
    EXPECT_TRUE(formatted.empty());
    EXPECT_EQ(out.finish(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, IgnoredState,
    ::testing::Values(IgnoredCase{ResetSent, ModeReboot}, IgnoredCase{7, ModeTrace},
                      IgnoredCase{ExitSent, ModeTrace}, IgnoredCase{ExitSent, ModeStatus},
                      IgnoredCase{ExitSentNotRunning, ModeVerify}, IgnoredCase{12, ModeTrace},
                      IgnoredCase{-1, ModeStatus}, IgnoredCase{INT32_MAX, ModeTrace},
                      // a mode without a job waits at the prompt
                      IgnoredCase{WaitPrompt, 4}, IgnoredCase{WaitPrompt, -1}),
    [](const ::testing::TestParamInfo<IgnoredCase>& param) {
        auto number = [](int32_t n) {
            return (n < 0 ? "Minus" : "") + std::to_string(n < 0 ? -static_cast<int64_t>(n) : n);
        };
        return "State" + number(param.param.state) + "Mode" + number(param.param.mode);
    });

TEST_F(Dialog, MissingContextOrSendIsHarmless) {
    std::vector<char> text{'l', 'o', 'g', 'i', 'n', ':', '\0'};
    EXPECT_EQ(qeltDialog(text.data(), 6, 0, nullptr, sendRecorder, &wire), 0);
    EXPECT_TRUE(wire.sent.empty());
    context = DialogContext{WaitLogin, ModeStatus, 0, 0};
    EXPECT_EQ(qeltDialog(text.data(), 6, 0, &context, nullptr, nullptr), 0);
    EXPECT_EQ(context.state, WaitPassword);  // advances as if the line had been sent
}

}  // namespace
