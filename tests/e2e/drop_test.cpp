// A trace session whose connection the bridge drops after a given number of
// bytes, at offsets spread over the whole session, closed with FIN or with
// RST. Every run must end with a documented message and exit status, and
// print only whole lines that were sent, in order, once: the library hands a
// line cut by the drop to the dialog as a preview, which the trace job
// ignores, so the output is exactly what the lines received whole give
// (decoded: qelttrace's output for them, closed by the span). qelttrace on
// the session log of the run decodes just those lines too: it sees the cut
// text as the live job saw it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "dialog/dialog.h"
#include "support/e2e_support.h"
#include "support/files.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kRecords = 40;
constexpr int kPageSize = 8;

bool isPrefixOf(const std::string& part, const std::string& whole) {
    return whole.compare(0, part.size(), part) == 0;
}

// The body must be what the first k dump lines give, for the k the drop
// allows: all lines received whole with FIN; with RST the reset may discard
// what was still unread, so at most those. That k, or -1.
int checkBody(const std::string& body, const std::vector<std::string>& prefixes,
              const qelttest::TraceSession& session, uint64_t offset, bool reset) {
    const auto found = std::find(prefixes.begin(), prefixes.end(), body);
    EXPECT_NE(found, prefixes.end()) << "not the output of whole lines sent:\n" << body;
    if (found == prefixes.end()) return -1;
    const auto k = static_cast<std::size_t>(found - prefixes.begin());
    const std::size_t whole = session.wholeLines(offset);
    if (reset) {
        EXPECT_LE(k, whole) << "printed a line the bridge did not send whole";
    } else {
        EXPECT_EQ(k, whole) << "lines received whole: " << whole << ", printed: " << k;
    }
    return static_cast<int>(k);
}

void runDrops(bool reset, bool raw) {
    const auto records = qelttest::generatedRecords(kRecords, 1);
    const auto session = qelttest::traceSession(records, kPageSize);
    const uint64_t total = session.total;
    const auto decoded = qelttest::decodedPrefixes(records);
    const auto prefixes = raw ? qelttest::rawPrefixes(records) : decoded;
    std::vector<uint64_t> offsets = {0, 3, 6, 7, 12, 16, 17, 21, 22, 25, 30, 44, 45};
    for (uint64_t k = 1; k < 20; ++k) offsets.push_back(44 + k * (total - 44) / 20 + k % 3);
    offsets.insert(offsets.end(), {total - 9, total - 8, total - 1, total, total + 100});

    const qelttest::TempDir logs("qelt-drop-logs");
    const auto logOf = [&logs](std::size_t i) {
        return logs.path() + "/run" + std::to_string(i) + ".log";
    };
    std::vector<qelttest::TraceRun> runs;
    for (const uint64_t offset : offsets) {
        std::vector<std::string> args = {"--records",    std::to_string(kRecords),
                                         "--page-size",  std::to_string(kPageSize),
                                         "--drop-after", std::to_string(offset)};
        if (reset) args.push_back("--reset");
        runs.push_back(qelttest::startTraceRun(args, raw, {{"PROBELINK_LOG", logOf(runs.size())}}));
        ASSERT_TRUE(runs.back().tool);
    }
    // FIN: the bridge closed. RST: reset, or closed if the reset came after
    // the tool saw the end.
    const std::string closed = std::to_string(PROBELINK_CLOSED);
    const std::string broken = std::to_string(PROBELINK_BROKEN);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const uint64_t offset = offsets[i];
        SCOPED_TRACE("drop after " + std::to_string(offset) + " of " + std::to_string(total));
        const int status = runs[i].tool->wait(qelttest::kToolLimit);
        const std::string out = runs[i].tool->output();
        const std::string about = qelttest::aboutLine(qelttest::addressOf(*runs[i].bridge));
        ASSERT_TRUE(isPrefixOf(about, out)) << out;
        const auto lastStart = out.rfind('\n', out.size() - 2) + 1;
        const std::string last = out.substr(lastStart);
        const std::string body = out.substr(about.size(), lastStart - about.size());
        std::smatch m;
        const int reachable = qelttest::stateReachable(offset);
        if (offset >= total) {
            // Everything was sent, the final prompt included: the job is done.
            EXPECT_EQ(status, 0) << out;
            ASSERT_TRUE(std::regex_match(last, m, qelttest::okSessionLine())) << last;
            EXPECT_TRUE(m[1] == closed || (reset && m[1] == broken)) << last;
        } else {
            EXPECT_EQ(status, qelttest::shellStatus(DriverSessionFailed)) << out;
            ASSERT_TRUE(std::regex_match(last, m, qelttest::failedSessionLine())) << last;
            EXPECT_TRUE(m[1] == closed || (reset && m[1] == broken)) << last;
            const int state = std::stoi(m[2]);
            if (reset) {
                EXPECT_LE(state, reachable);
                EXPECT_TRUE(state == WaitLogin || state == WaitPassword || state == WaitPrompt ||
                            state == TraceOutput)
                    << state;
            } else {
                EXPECT_EQ(state, reachable);
            }
        }
        const int k = checkBody(body, prefixes, session, offset, reset);
        if (k >= 0) {
            EXPECT_EQ(qelttest::runQelttrace(qelttest::readFile(logOf(i))),
                      decoded[static_cast<std::size_t>(k)])
                << "qelttrace on the session log";
        }
    }
}

// Offsets 1 to 8 before the end cut the final prompt after "INET> " or inside
// it. The cut text is no line the bridge finished, so nothing more than the
// whole dump is printed: no record line at the previous record's time with
// an empty text; and none by qelttrace from the session log.
TEST(DroppedSession, CutPromptIsNotPrintedAsARecord) {
    const auto records = qelttest::generatedRecords(kRecords, 1);
    const uint64_t total = qelttest::traceSession(records, kPageSize).total;
    const std::string reference = qelttest::runQelttrace(qelttest::dumpLines(records));
    for (uint64_t cut = 1; cut <= 8; ++cut) {
        SCOPED_TRACE("drop " + std::to_string(cut) + " bytes before the end");
        auto bridge = qelttest::startBridge({"--records", std::to_string(kRecords), "--page-size",
                                             std::to_string(kPageSize), "--drop-after",
                                             std::to_string(total - cut)});
        ASSERT_TRUE(bridge);
        const std::string address = qelttest::addressOf(*bridge);
        const qelttest::TempDir dir("qelt-drop-log");
        const std::string log = dir.path() + "/probelink.log";
        const auto run = qelttest::runTool({"-satatrace", address}, {{"PROBELINK_LOG", log}});
        EXPECT_EQ(run.status, qelttest::shellStatus(DriverSessionFailed)) << run.out;
        EXPECT_EQ(run.out, qelttest::aboutLine(address) + reference + qelttest::kToolMessage +
                               "ERROR 0 from TelnetSession, state=5\n");
        EXPECT_EQ(qelttest::runQelttrace(qelttest::readFile(log)), reference);
    }
}

TEST(DroppedSession, FinDecoded) {
    runDrops(false, false);
}
TEST(DroppedSession, FinRaw) {
    runDrops(false, true);
}
TEST(DroppedSession, ResetDecoded) {
    runDrops(true, false);
}
TEST(DroppedSession, ResetRaw) {
    runDrops(true, true);
}

}  // namespace
