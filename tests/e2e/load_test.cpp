// One qeltbridge serving 100 qelttelnet processes at once, half of them
// paging through a trace (a second or more each, for the 50 ms pauses), half
// running the status job: every one must complete its own conversation.
#include <gtest/gtest.h>

#include "support/e2e_support.h"

namespace {

using namespace std::chrono_literals;

TEST(ManySessions, OneBridgeServesAHundredToolsAtOnce) {
    constexpr int kTools = 100;
    auto bridge =
        qelttest::startBridge({"--max-sessions", std::to_string(kTools), "--page-size", "8"});
    ASSERT_TRUE(bridge);
    const std::string address = qelttest::addressOf(*bridge);
    const std::string traceOut =
        qelttest::aboutLine(address) +
        qelttest::runQelttrace(qelttest::dumpLines(qelttest::sampleRecords())) + qelttest::okLine();
    const auto status = qelttest::runTool({address});
    ASSERT_EQ(status.status, 0);

    std::vector<std::unique_ptr<qelttest::ChildProcess>> tools;
    for (int i = 0; i < kTools; ++i) {
        std::vector<std::string> argv = {qelttest::qelttelnetPath()};
        if (i % 2 == 0) argv.push_back("-satatrace");
        argv.push_back(address);
        tools.push_back(std::make_unique<qelttest::ChildProcess>(argv));
        std::string error;
        ASSERT_TRUE(tools.back()->start(error)) << error;
    }
    for (int i = 0; i < kTools; ++i) {
        SCOPED_TRACE("tool " + std::to_string(i));
        EXPECT_EQ(tools[i]->wait(120000ms), 0);
        EXPECT_EQ(tools[i]->output(), i % 2 == 0 ? traceOut : status.out);
    }
    const std::string log = bridge->log();
    EXPECT_EQ(log.find("refused"), std::string::npos) << "a session was turned away";
}

}  // namespace
