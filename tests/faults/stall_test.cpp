// Stalls and slow links: a bridge that goes silent in the middle of a record,
// one that never reads what the tool sends, and one that trickles a whole
// session one byte every 10 ms. The silent ones must end by the library's
// time-out (10 s, plus a margin) with the -6 message; the slow one must
// complete with exactly the output of a normal run.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "support/e2e_support.h"
#include "support/loopback_server.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kEndLimit = 20000ms;  // the 10 s time-out plus a margin for a loaded machine

const std::string kFailedTrace = qelttest::kToolMessage + "ERROR 12 from TelnetSession, state=5\n";

// A bridge that sends the login exchange and the prompt, then neither reads
// nor sends: everything the tool sends stays unread in the socket. Holds the
// connection until the tool closes it (or 60 s).
void deafBridge(int fd, const std::atomic<bool>& stopping) {
    // Each prompt after a pause, as a bridge that had read the answers would.
    for (const std::string& prompt :
         {std::string("login: "), std::string("password: "), qelttest::kPrompt}) {
        (void)::send(fd, prompt.data(), prompt.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(200ms);
    }
    // Wait for the tool to hang up, without reading a byte of what it sent.
    for (int i = 0; i < 600 && !stopping; ++i) {
        pollfd p{fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 100) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
    }
}

// The bridge goes silent a few bytes into a record, in the decoded and the
// raw trace job: the tool waits out the time-out and prints the lines that
// came whole, never the cut one.
TEST(Stalls, SilentInTheMiddleOfARecord) {
    const auto records = qelttest::generatedRecords(10, 1);
    const auto session = qelttest::traceSession(records, 4);
    const uint64_t stallAt = session.lineEnds[4] + 10;  // banner and three records whole
    const auto decoded = qelttest::decodedPrefixes(records);
    const auto raw = qelttest::rawPrefixes(records);
    qelttest::TraceRun runs[2];
    for (const bool isRaw : {false, true}) {
        runs[isRaw] = qelttest::startTraceRun(
            {"--records", "10", "--page-size", "4", "--stall-after", std::to_string(stallAt)},
            isRaw);
        ASSERT_TRUE(runs[isRaw].tool);
    }
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i ? "raw" : "decoded");
        qelttest::ChildProcess& tool = *runs[i].tool;
        EXPECT_EQ(tool.wait(40s), qelttest::shellStatus(DriverSessionFailed));
        EXPECT_GE(tool.elapsed(), 9500ms) << "ended before the time-out";
        EXPECT_LE(tool.elapsed(), kEndLimit);
        EXPECT_EQ(tool.output(), qelttest::aboutLine(qelttest::addressOf(*runs[i].bridge)) +
                                     (i ? raw[4] : decoded[4]) + kFailedTrace);
    }
}

// The tool's lines are a few bytes, far less than the socket buffers hold, so
// a bridge that stops reading is, to the tool, a bridge gone silent after its
// last prompt: the time-out ends the session in the state reached.
TEST(Stalls, BridgeThatNeverReads) {
    qelttest::LoopbackServer bridge(deafBridge, 1);
    ASSERT_NE(bridge.port(), 0);
    const std::string address = "127.0.0.1:" + std::to_string(bridge.port());
    const auto run = qelttest::runTool({"-satatrace", address}, {}, 40s);
    EXPECT_EQ(run.status, qelttest::shellStatus(DriverSessionFailed)) << run.out;
    EXPECT_LE(run.elapsed, kEndLimit);
    EXPECT_EQ(run.out, qelttest::aboutLine(address) + "\t     0.000000000\n" + kFailedTrace);
}

// One byte every 10 ms for a whole short session: slower than a line a
// second, with gaps that may let previews fall due, yet nothing is lost,
// doubled or cut, and no time-out fires. Decoded and raw, both at once.
TEST(Stalls, OneByteEveryTenMillisecondsCompletesAsANormalRun) {
    const auto records = qelttest::generatedRecords(4, 7);
    const auto session = qelttest::traceSession(records, 2);
    const std::vector<std::string> slow = {"--records",        "4", "--seed",  "7",
                                           "--page-size",      "2", "--split", "1",
                                           "--split-pause-ms", "10"};
    qelttest::TraceRun runs[2];
    for (const bool isRaw : {false, true}) {
        runs[isRaw] = qelttest::startTraceRun(slow, isRaw);
        ASSERT_TRUE(runs[isRaw].tool);
    }
    // The same session at full speed, for the reference output.
    auto fast = qelttest::startBridge({"--records", "4", "--seed", "7", "--page-size", "2"});
    ASSERT_TRUE(fast);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i ? "raw" : "decoded");
        qelttest::ChildProcess& tool = *runs[i].tool;
        EXPECT_EQ(tool.wait(60s), 0) << tool.output();
        // At least the pauses between the bytes: the trickle really was slow.
        EXPECT_GE(tool.elapsed(), std::chrono::milliseconds(session.total * 10 * 8 / 10));
        std::vector<std::string> args = {"-satatrace"};
        if (i) args.push_back("-raw");
        args.push_back(qelttest::addressOf(*fast));
        const auto normal = qelttest::runTool(args);
        ASSERT_EQ(normal.status, 0) << normal.out;
        const std::string slowOut = tool.output();
        const std::string slowAbout = qelttest::aboutLine(qelttest::addressOf(*runs[i].bridge));
        const std::string fastAbout = qelttest::aboutLine(qelttest::addressOf(*fast));
        ASSERT_EQ(slowOut.compare(0, slowAbout.size(), slowAbout), 0) << slowOut;
        ASSERT_EQ(normal.out.compare(0, fastAbout.size(), fastAbout), 0) << normal.out;
        EXPECT_EQ(slowOut.substr(slowAbout.size()), normal.out.substr(fastAbout.size()));
        EXPECT_EQ(slowOut.substr(slowAbout.size()),
                  (i ? qelttest::rawPrefixes(records).back()
                     : qelttest::decodedPrefixes(records).back()) +
                      qelttest::okLine());
    }
}

}  // namespace
