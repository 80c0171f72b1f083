// The reboot job against a bridge that really goes off the network. The tool
// pauses 5 s after hwrst; each verification session of the library keeps
// retrying a refused connection every 100 ms for 10 s. The bridge's down time
// is chosen well clear of those edges (at least 2 s away), so every case
// takes one path only, even on a loaded machine.
#include <gtest/gtest.h>

#include "support/e2e_support.h"

namespace {

using namespace std::chrono_literals;
using qelttest::kToolMessage;

std::string verifyLine(const std::string& address) {
    return kToolMessage + "About to verify that QELT at " + address + " rebooted\n";
}

struct RebootCase {
    const char* name;
    std::vector<std::string> bridge;
    std::string tail;  // what follows the verify line
    int status;
    std::chrono::milliseconds atLeast;
};

const RebootCase kRebootCases[] = {
    // Back before the pause is over: the first verification finds it at once.
    {"BackBeforeThePauseIsConfirmedOnAttemptZero",
     {"--reboot-ms", "2000"},
     "Succeeded in rebooting QELT, attempts 0\n",
     0,
     5000ms},
    // Still down when verification starts (7 s down, pause 5 s): the first
    // session's connection is refused for about 2 s and retried by the library
    // within its 10 s, so the job still succeeds on attempt 0.
    {"RefusedConnectionsAreRetriedWithinOneVerificationSession",
     {"--reboot-ms", "7000"},
     "Succeeded in rebooting QELT, attempts 0\n",
     0,
     7000ms},
    // Down for 20 s: verification 0 runs from 5 s to 15 s and times out (result
    // 5, a retry line); verification 1 finds the bridge back at 20 s.
    {"VerificationThatTimesOutIsRetriedAndCounted",
     {"--reboot-ms", "20000"},
     "QELT reboot connection timeout, will retry, att=0\n" + kToolMessage +
         "Succeeded in rebooting QELT, attempts 1\n",
     0,
     20000ms},
    // Back on the network but still booting ("state = INIT" for 10 s): the
    // verification session ends normally in state 11, which is not a time-out,
    // so the job ends at once with -7.
    {"BridgeReportingInitEndsWithMinusSeven",
     {"--reboot-ms", "1000", "--boot-ms", "10000"},
     "ERROR 0 from TelnetSession2, state=11, att=0\n",
     qelttest::shellStatus(DriverVerifyFailed),
     5000ms},
};

class RebootJob : public ::testing::TestWithParam<RebootCase> {};

TEST_P(RebootJob, EndsAsTheBridgeComesBack) {
    const RebootCase& c = GetParam();
    auto bridge = qelttest::startBridge(c.bridge);
    ASSERT_TRUE(bridge);
    const std::string address = qelttest::addressOf(*bridge);
    const auto run = qelttest::runTool({"-reboot", address}, {}, 60000ms);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, qelttest::aboutLine(address) + verifyLine(address) + kToolMessage + c.tail);
    EXPECT_GE(run.elapsed, c.atLeast);
    // The bridge really went away and came back on the same port.
    std::string line;
    EXPECT_TRUE(bridge->readLine(line, 1000ms));
    EXPECT_EQ(line, "listening on " + address);
}

INSTANTIATE_TEST_SUITE_P(Reboot, RebootJob, ::testing::ValuesIn(kRebootCases),
                         [](const ::testing::TestParamInfo<RebootCase>& c) {
                             return std::string(c.param.name);
                         });

}  // namespace
