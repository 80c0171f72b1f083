// Bridges that leave the tool waiting: it must give up after the library's
// 10 s of silence with the -6 message and the state it reached, never hang.
// Each case takes about 10 s; the independent runs of a case go at once.
#include <gtest/gtest.h>

#include <thread>

#include "support/e2e_support.h"

namespace {

using namespace std::chrono_literals;

struct SilentCase {
    std::vector<std::string> bridgeArgs;
    std::vector<std::string> toolArgs;  // the address is appended
    int state;                          // the state the dialog is left in
    std::string printed;                // what the dialog printed meanwhile (a part)
};

// Runs every case at once, each against its own bridge, and checks that each
// ended by the library's time-out (result 12) with its state.
void runSilentCases(const std::vector<SilentCase>& cases) {
    std::vector<std::unique_ptr<qelttest::BridgeProcess>> bridges;
    for (const auto& c : cases) {
        bridges.push_back(qelttest::startBridge(c.bridgeArgs));
        ASSERT_TRUE(bridges.back());
    }
    std::vector<qelttest::ToolRun> runs(cases.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        threads.emplace_back([&, i] {
            auto args = cases[i].toolArgs;
            args.push_back(qelttest::addressOf(*bridges[i]));
            runs[i] = qelttest::runTool(args);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const auto& run = runs[i];
        EXPECT_EQ(run.status, qelttest::shellStatus(DriverSessionFailed)) << run.out;
        const std::string failure = qelttest::kToolMessage + "ERROR 12 from TelnetSession, state=" +
                                    std::to_string(cases[i].state) + "\n";
        ASSERT_GE(run.out.size(), failure.size()) << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - failure.size()), failure);
        EXPECT_NE(run.out.find(cases[i].printed), std::string::npos) << run.out;
        EXPECT_GE(run.elapsed, 9000ms) << "gave up before the library's time-out";
        EXPECT_LT(run.elapsed, qelttest::kToolLimit) << "hung";
    }
}

// The bridge answers "Login incorrect" and asks again; the tool, having
// sent its one password, waits for a prompt that never comes.
TEST(SilentBridge, WrongCredentialsLeaveTheToolWaitingForThePrompt) {
    runSilentCases({
        {{"--login", "admin"}, {}, 2, ""},
        {{"--password", "secret"}, {"-satatrace"}, 2, ""},
    });
}

// A prompt without IAC GA is only ever previewed: the status job still runs
// its commands (the prompt test needs no IAC GA), but the final prompt is
// never the bare prompt, so "exit" is never sent; the trace job ignores
// previews and never sees the prompt that would let it page on.
TEST(SilentBridge, PromptWithoutGoAhead) {
    runSilentCases({
        {{"--no-ga"}, {}, 5, "QELT telnet: [6][INET> ] peek=1\n"},
        {{"--no-ga", "--page-size", "8"}, {"-satatrace"}, 5, "SATA history dump"},
    });
}

// The bridge stops sending and keeps the connection: before the password
// prompt, before the first "INET>" prompt, and in the middle of a dump.
TEST(SilentBridge, StallAtDifferentPointsOfTheConversation) {
    runSilentCases({
        {{"--stall-after", "0"}, {}, 0, ""},
        {{"--stall-after", "7"}, {}, 1, ""},
        {{"--stall-after", "17"}, {"-satatrace"}, 2, ""},
        {{"--stall-after", "300", "--page-size", "8"}, {"-satatrace"}, 5, "SATA history dump"},
    });
}

}  // namespace
