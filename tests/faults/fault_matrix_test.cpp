// The fault matrix: one whole trace session of qelttelnet against qeltbridge,
// with the connection dropped after every byte offset of the session (FIN,
// then RST) and stalled at offsets spread over it. Every run must end, within
// the library's time-out plus a margin, with a documented message and exit
// status; never crash or draw a sanitizer report; and print exactly what the
// lines received whole give (qelttrace's output of those lines), never a
// record twice or one that was not sent.
//
// The session is small enough for the suite (QELT_FAULT_RECORDS records,
// QELT_FAULT_PAGE_SIZE to a page, QELT_FAULT_JOBS runs at once);
// scripts/fault_matrix.sh runs it larger.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "dialog/dialog.h"
#include "support/e2e_support.h"

namespace {

using namespace std::chrono_literals;

// The library gives up after 10 s of silence; the margin covers a loaded
// machine running the sanitizers.
constexpr auto kTimeout = 10000ms;
constexpr auto kMargin = 10000ms;
constexpr int kStalls = 20;

enum class Fault { kFin, kRst, kStall };

struct FaultRun {
    Fault fault;
    uint64_t offset;
};

struct Verdict {
    bool ok = false;    // the whole session got through
    std::string wrong;  // empty unless the run broke a rule
};

uint64_t envNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    return std::strtoull(text, nullptr, 10);
}

const char* faultName(Fault f) {
    return f == Fault::kFin ? "drop (FIN)" : f == Fault::kRst ? "drop (RST)" : "stall";
}

bool hasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos;
}

class Matrix {
  public:
    Matrix(uint64_t records, std::size_t pageSize)
        : records_(qelttest::generatedRecords(records, 1)),
          session_(qelttest::traceSession(records_, pageSize)),
          prefixes_(qelttest::decodedPrefixes(records_)),
          recordCount_(records),
          pageSize_(pageSize) {}

    uint64_t total() const { return session_.total; }

    std::vector<FaultRun> runs() const {
        std::vector<FaultRun> all;
        for (uint64_t offset = 0; offset <= total(); ++offset) all.push_back({Fault::kFin, offset});
        for (uint64_t offset = 0; offset <= total(); ++offset) all.push_back({Fault::kRst, offset});
        // Stalls at a spread of offsets, a few bytes into lines and prompts.
        for (int i = 0; i < kStalls; ++i)
            all.push_back(
                {Fault::kStall, static_cast<uint64_t>(i) * total() / (kStalls - 1) + i % 3});
        return all;
    }

    // Runs `batch` at once, each against its own bridge; a verdict for each.
    std::vector<Verdict> play(const std::vector<FaultRun>& batch) const {
        std::vector<std::unique_ptr<qelttest::BridgeProcess>> bridges;
        std::vector<std::unique_ptr<qelttest::ChildProcess>> tools;
        std::vector<Verdict> verdicts(batch.size());
        for (const FaultRun& run : batch) {
            std::vector<std::string> args = {"--records", std::to_string(recordCount_),
                                             "--page-size", std::to_string(pageSize_)};
            args.push_back(run.fault == Fault::kStall ? "--stall-after" : "--drop-after");
            args.push_back(std::to_string(run.offset));
            if (run.fault == Fault::kRst) args.push_back("--reset");
            bridges.push_back(qelttest::startBridge(args));
            tools.emplace_back();
            if (!bridges.back()) continue;
            tools.back() = std::make_unique<qelttest::ChildProcess>(std::vector<std::string>{
                qelttest::qelttelnetPath(), "-satatrace", qelttest::addressOf(*bridges.back())});
            std::string error;
            if (!tools.back()->start(error, qelttest::StandardError::kIntoOutput))
                tools.back().reset();
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (!tools[i]) {
                verdicts[i].wrong = "could not start the bridge or the tool";
                continue;
            }
            const int status = tools[i]->wait(kTimeout + kMargin + 20000ms);
            verdicts[i] = judge(batch[i], status, tools[i]->elapsed(), tools[i]->output(),
                                qelttest::addressOf(*bridges[i]));
            if (bridges[i]->stop(SIGTERM) != 0 || hasSanitizerReport(bridges[i]->log()))
                verdicts[i].wrong += " the bridge did not end cleanly: " + bridges[i]->log();
        }
        return verdicts;
    }

  private:
    std::vector<std::string> records_;
    qelttest::TraceSession session_;
    std::vector<std::string> prefixes_;
    uint64_t recordCount_;
    std::size_t pageSize_;

    Verdict judge(const FaultRun& run, int status, std::chrono::milliseconds elapsed,
                  const std::string& out, const std::string& address) const {
        const std::string closed = std::to_string(PROBELINK_CLOSED);
        const std::string broken = std::to_string(PROBELINK_BROKEN);
        const std::string silent = std::to_string(PROBELINK_SILENT);
        Verdict v;
        auto fail = [&](const std::string& why) {
            v.wrong = why + " (exit " + std::to_string(status) + ", " +
                      std::to_string(elapsed.count()) + " ms)\n" + out;
            return v;
        };
        if (status != 0 && status != qelttest::shellStatus(DriverSessionFailed))
            return fail("undocumented exit status (a crash, a hang or a sanitizer abort)");
        if (hasSanitizerReport(out)) return fail("sanitizer report");
        if (elapsed > kTimeout + kMargin) return fail("did not end within the time-out");
        const std::string about = qelttest::aboutLine(address);
        if (out.compare(0, about.size(), about) != 0 || out.size() < about.size() + 2)
            return fail("no about line");
        const auto lastStart = out.rfind('\n', out.size() - 2) + 1;
        const std::string last = out.substr(lastStart);
        const std::string body =
            lastStart > about.size() ? out.substr(about.size(), lastStart - about.size()) : "";
        const std::size_t whole = session_.wholeLines(run.offset);  // before the fault
        std::smatch m;
        if (run.offset >= total()) {
            if (status != 0 || !std::regex_match(last, m, qelttest::okSessionLine()))
                return fail("the whole session got through but did not end ok");
            if (!(m[1] == closed || (run.fault == Fault::kRst && m[1] == broken)))
                return fail("unexpected result");
            if (body != prefixes_.back()) return fail("output differs from qelttrace's");
            v.ok = true;
            return v;
        }
        if (status != qelttest::shellStatus(DriverSessionFailed) ||
            !std::regex_match(last, m, qelttest::failedSessionLine()))
            return fail("a cut session did not end with the -6 message");
        const std::string rv = m[1];
        const int state = std::stoi(m[2]);
        const int reachable = qelttest::stateReachable(run.offset);
        switch (run.fault) {
            case Fault::kFin:
                if (rv != closed || state != reachable) return fail("wrong result or state");
                break;
            case Fault::kRst:
                // Reset, or closed when the tool saw the end first.
                if ((rv != closed && rv != broken) || state > reachable || state == StatusOutput ||
                    state == ResetSent)
                    return fail("wrong result or state");
                break;
            case Fault::kStall:
                if (rv != silent || state != reachable) return fail("wrong result or state");
                break;
        }
        std::size_t k = 0;
        while (k < prefixes_.size() && prefixes_[k] != body) ++k;
        if (k == prefixes_.size()) return fail("printed what is not the output of whole lines");
        // With RST the reset may discard what was still unread.
        if (run.fault == Fault::kRst ? k > whole : k != whole)
            return fail("printed " + std::to_string(k) + " dump lines of " + std::to_string(whole) +
                        " received whole");
        return v;
    }
};

TEST(FaultMatrix, EveryOffsetDroppedAndStalled) {
    const uint64_t records = envNumber("QELT_FAULT_RECORDS", 3);
    const std::size_t pageSize = envNumber("QELT_FAULT_PAGE_SIZE", 2);
    const std::size_t jobs = std::max<uint64_t>(1, envNumber("QELT_FAULT_JOBS", 16));
    const auto started = std::chrono::steady_clock::now();
    Matrix matrix(records, pageSize);
    const std::vector<FaultRun> runs = matrix.runs();
    int ok = 0, failedAsDocumented = 0, wrong = 0;
    auto account = [&](const std::vector<FaultRun>& batch) {
        const std::vector<Verdict> verdicts = matrix.play(batch);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (!verdicts[i].wrong.empty()) {
                ++wrong;
                ADD_FAILURE() << faultName(batch[i].fault) << " after " << batch[i].offset << " of "
                              << matrix.total() << " bytes: " << verdicts[i].wrong;
            } else if (verdicts[i].ok) {
                ++ok;
            } else {
                ++failedAsDocumented;
            }
        }
    };
    // The stalls each last the time-out: they all go at once, first.
    std::vector<FaultRun> stalls, drops;
    for (const FaultRun& run : runs) (run.fault == Fault::kStall ? stalls : drops).push_back(run);
    account(stalls);
    for (std::size_t at = 0; at < drops.size(); at += jobs)
        account(std::vector<FaultRun>(
            drops.begin() + static_cast<std::ptrdiff_t>(at),
            drops.begin() + static_cast<std::ptrdiff_t>(std::min(drops.size(), at + jobs))));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "fault matrix: %d runs, %d ok, %d failed-as-documented, %d wrong "
        "(session of %llu bytes: %llu records, %zu a page; %zu at once; %.1f s)\n",
        ok + failedAsDocumented + wrong, ok, failedAsDocumented, wrong,
        static_cast<unsigned long long>(matrix.total()), static_cast<unsigned long long>(records),
        pageSize, jobs, seconds);
    std::fflush(stdout);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
