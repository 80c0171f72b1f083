// Fuzzes the reading of a session log and its replay without sockets: the
// front of the input is the log's text, the back chooses how a simulated tool
// cuts what it sends. Checked:
//   - a log that does not read says which line (or that it holds no session);
//   - a log that reads numbers its sessions from 1 in order, each within the
//     lines it spans, its events in the order of their lines;
//   - every session that connected, replayed to a tool that sends exactly
//     what was recorded (any line for the password), in pieces of any size,
//     is played as recorded: it ends, and never diverges;
//   - the plan over the sessions gives every one an outcome and ends.
#include <chrono>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "recording/log_reader.h"
#include "replay_plan.h"
#include "replay_session.h"

namespace {

using qeltbridge::ReplayPlan;
using qeltbridge::ReplayScript;
using qeltbridge::SessionReplay;
using Action = SessionReplay::Action;

void checkShape(const recording::Log& log) {
    int line = 0;
    for (std::size_t i = 0; i < log.sessions.size(); ++i) {
        const recording::Session& s = log.sessions[i];
        FUZZ_CHECK(s.number == static_cast<int>(i) + 1, "sessions numbered in order");
        FUZZ_CHECK(s.firstLine > line, "sessions in the order they start");
        FUZZ_CHECK(s.firstLine <= s.lastLine, "a session within its lines");
        line = s.firstLine;
        int eventLine = s.firstLine;
        for (const recording::Event& e : s.events) {
            FUZZ_CHECK(e.line > eventLine && e.line <= s.lastLine, "events in line order");
            eventLine = e.line;
        }
    }
}

// The tool does what the recording says, cutting each send where `input`
// chooses; the replay must end played.
void replayAsRecorded(const recording::Session& session, FuzzInput& input) {
    const ReplayScript script = qeltbridge::scriptOf(session);
    SessionReplay::TimePoint now{};
    SessionReplay replay(script, input.choice(3), now);
    std::size_t toSend = 0;
    bool closedByTool = false;
    for (int step = 0; step < 100000; ++step) {
        const SessionReplay::Step next = replay.next(now);
        switch (next.action) {
            case Action::kSend:
                replay.sent(now);
                continue;
            case Action::kCloseFin:
            case Action::kCloseRst:
                replay.closed(now);
                continue;
            case Action::kDone:
                return;
            case Action::kDiverged:
                std::fprintf(stderr, "diverged%s\n", replay.divergence().c_str());
                FUZZ_CHECK(false, "a tool doing what was recorded never diverges");
                return;
            case Action::kWait:
                now = next.at;
                continue;
            case Action::kAwaitTool:
                break;
        }
        while (toSend < script.sends.size() && script.sends[toSend].optional) ++toSend;
        if (toSend < script.sends.size()) {
            const ReplayScript::Send& send = script.sends[toSend++];
            const std::string bytes = send.anyLine ? std::string("any\r\n") : send.bytes;
            for (std::size_t at = 0; at < bytes.size();) {
                const std::size_t piece = 1 + input.choice(static_cast<unsigned>(bytes.size()));
                replay.received(std::string_view(bytes).substr(at, piece), now);
                at += piece;
            }
        } else if (!closedByTool) {
            closedByTool = true;
            replay.toolClosed(now);
        } else {
            now = next.at;
        }
    }
    FUZZ_CHECK(false, "the replay of a session ends");
}

void planToTheEnd(const recording::Log& log) {
    ReplayPlan::TimePoint now{};
    ReplayPlan plan(log, 1, now);
    for (int step = 0; step < 100000 && !plan.over(); ++step) {
        plan.advance(now);
        const int index = plan.accept(now);
        if (index >= 0)
            plan.finished(static_cast<std::size_t>(index), ReplayPlan::Outcome::kPlayed, now);
        now = plan.wakeAt(now) + std::chrono::seconds(1);
    }
    FUZZ_CHECK(plan.over(), "the plan ends");
    for (std::size_t i = 0; i < plan.size(); ++i)
        FUZZ_CHECK(plan.outcome(i) != ReplayPlan::Outcome::kPending &&
                       plan.outcome(i) != ReplayPlan::Outcome::kPlaying,
                   "every session has an outcome");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const unsigned share = input.choice(255);
    std::size_t length = 0;
    const std::uint8_t* text = input.take(input.remaining() * (share + 1) / 256 + 1, length);
    recording::Log log;
    std::string error;
    if (!recording::readLog(std::string_view(reinterpret_cast<const char*>(text), length), log,
                            error)) {
        FUZZ_CHECK(error.compare(0, 5, "line ") == 0 || error.compare(0, 10, "no session") == 0,
                   "a refusal names its line");
        return 0;
    }
    checkShape(log);
    for (const recording::Session& s : log.sessions)
        if (s.connection()) replayAsRecorded(s, input);
    planToTheEnd(log);
    return 0;
}
