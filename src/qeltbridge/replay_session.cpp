#include "replay_session.h"

#include <algorithm>
#include <cmath>

#include "recording/log_format.h"
#include "server_loop.h"

namespace qeltbridge {
namespace {

using Kind = recording::Event::Kind;

bool endsLine(const ReplayScript::Send& send) {
    return send.anyLine || (!send.bytes.empty() && send.bytes.back() == '\n');
}

}  // namespace

ReplayScript scriptOf(const recording::Session& session) {
    ReplayScript script;
    const recording::Event* connection = session.connection();
    const std::int64_t connectUs = connection ? connection->us : session.startUs;
    std::vector<std::int64_t> sendUs;  // when each send happened
    int anchor = -1;                   // the last send that went out
    std::int64_t lastUs = connectUs;   // the last run or send
    std::int64_t lastRunUs = connectUs;
    std::int64_t eofUs = session.endUs;
    auto anchorUs = [&](int a) { return a < 0 ? connectUs : sendUs[static_cast<std::size_t>(a)]; };
    bool connected = false;
    for (const recording::Event& e : session.events) {
        if (&e == connection) connected = true;
        if (!connected) continue;
        switch (e.kind) {
            case Kind::kReceived:
                script.runs.push_back({e.bytes, anchor, recordedGap(anchorUs(anchor), e.us)});
                lastUs = lastRunUs = e.us;
                break;
            case Kind::kSent:
            case Kind::kSentPassword:
                // An empty send put nothing on the wire: nothing to wait for.
                if (e.kind == Kind::kSent && e.bytes.empty()) break;
                // Only a session's last send can have failed: the library ends
                // a session on a failed send, so a tool that went on sent it.
                if (!script.sends.empty()) script.sends.back().optional = false;
                script.sends.push_back(
                    {e.bytes, e.kind == Kind::kSentPassword, false, recordedGap(lastUs, e.us)});
                sendUs.push_back(e.us);
                anchor = static_cast<int>(script.sends.size()) - 1;
                lastUs = e.us;
                break;
            case Kind::kSendFailed:
                // What failed to go out may never reach the bridge: it is not
                // waited for, and nothing is timed from it.
                if (anchor >= 0 && anchor == static_cast<int>(script.sends.size()) - 1) {
                    script.sends.back().optional = true;
                    // Runs timed from it are timed from the send before.
                    const std::int64_t earlierUs =
                        recordedGap(anchorUs(anchor - 1), anchorUs(anchor));
                    for (auto run = script.runs.rbegin();
                         run != script.runs.rend() && run->anchor == anchor; ++run) {
                        run->anchor = anchor - 1;
                        run->delayUs = std::min(kLongestPauseUs, run->delayUs + earlierUs);
                    }
                    --anchor;
                }
                break;
            case Kind::kEof:
                eofUs = e.us;
                break;
            default:
                break;
        }
    }
    std::int64_t endUs = session.endUs;
    switch (session.ending) {
        case recording::Ending::kClosed:
            script.end = ReplayScript::End::kFin;
            endUs = eofUs;
            break;
        case recording::Ending::kReset:
        case recording::Ending::kBroken:
            script.end = ReplayScript::End::kRst;
            // A reset the tool met only in a send came before that send, right
            // after the last bytes the bridge sent.
            if (!script.sends.empty() && script.sends.back().optional) endUs = lastRunUs;
            break;
        default:
            script.end = ReplayScript::End::kToolCloses;
            break;
    }
    script.endAnchor = anchor;
    script.endDelayUs = recordedGap(anchorUs(anchor), endUs);
    script.closeGapUs = recordedGap(lastUs, session.endUs);
    return script;
}

SessionReplay::SessionReplay(ReplayScript script, double speed, TimePoint connectedAt)
    : script_(std::move(script)),
      speed_(speed),
      connectedAt_(connectedAt),
      lastActivity_(connectedAt) {
    required_ = script_.sends.size();
    while (required_ > 0 && script_.sends[required_ - 1].optional) --required_;
}

SessionReplay::TimePoint SessionReplay::after(TimePoint base, std::int64_t us) const {
    if (speed_ <= 0 || us <= 0) return base;
    const double scaled = static_cast<double>(us) / speed_;
    const double longest = static_cast<double>(kLongestPauseUs);
    return base + std::chrono::microseconds(std::llround(scaled < longest ? scaled : longest));
}

SessionReplay::TimePoint SessionReplay::anchorTime(int anchor) const {
    return anchor < 0 ? connectedAt_ : matchedAt_[static_cast<std::size_t>(anchor)];
}

std::string SessionReplay::expectedText() const {
    const std::size_t at = matchedAt_.size();
    if (at >= script_.sends.size()) return {};
    const ReplayScript::Send& send = script_.sends[at];
    return send.anyLine ? std::string(recording::kMaskedLine) : recording::escaped(send.bytes);
}

void SessionReplay::diverge(std::string message) {
    diverged_ = true;
    collecting_ = false;
    divergence_ = std::move(message);
}

// The tool sent something else than recorded: the message shows its line
// whole, so it waits a moment for the rest of it.
void SessionReplay::mismatch(std::string got, TimePoint now) {
    diverged_ = true;
    got_ = std::move(got);
    collecting_ = got_.find('\n') == std::string::npos;
    collectUntil_ = now + kRestOfLine;
    if (!collecting_) got_.resize(got_.find('\n') + 1);
    lineMismatch_ = true;
    expected_ = expectedText();
}

std::string SessionReplay::divergence() const {
    if (!lineMismatch_) return divergence_;
    return ", line " + std::to_string(lines_ + 1) + ": expected \"" + expected_ + "\", got \"" +
           recording::escaped(got_) + "\"";
}

void SessionReplay::match(TimePoint now) {
    while (!pending_.empty()) {
        const std::size_t at = matchedAt_.size();
        if (at >= script_.sends.size()) {
            mismatch(pending_, now);
            return;
        }
        const ReplayScript::Send& send = script_.sends[at];
        std::size_t take = send.bytes.size();
        if (send.anyLine) {
            const std::size_t lf = pending_.find('\n');
            if (lf == std::string::npos) return;
            take = lf + 1;
        } else {
            const std::size_t n = std::min(pending_.size(), take);
            if (pending_.compare(0, n, send.bytes, 0, n) != 0) {
                mismatch(pending_, now);
                return;
            }
            if (pending_.size() < take) return;  // the rest is on its way
        }
        pending_.erase(0, take);
        matchedAt_.push_back(now);
        lastActivity_ = now;
        if (endsLine(send)) ++lines_;
    }
}

void SessionReplay::received(std::string_view bytes, TimePoint now) {
    if (diverged_) {
        if (!collecting_) return;
        got_.append(bytes);
        const std::size_t lf = got_.find('\n');
        if (lf != std::string::npos) {
            got_.resize(lf + 1);
            collecting_ = false;
        }
        return;
    }
    if (closed_ && script_.end == ReplayScript::End::kRst) return;
    pending_.append(bytes);
    match(now);
}

void SessionReplay::toolClosed(TimePoint now) {
    toolClosed_ = true;
    if (diverged_) {
        collecting_ = false;
        return;
    }
    // Whose turn it was: the bridge's (a run due after what the tool already
    // did), or the tool's (its next send).
    const bool bridgeOwes = runsSent_ < script_.runs.size() &&
                            script_.runs[runsSent_].anchor < static_cast<int>(matchedAt_.size());
    if (!bridgeOwes && matchedAt_.size() < required_) {
        mismatch(pending_, now);
        collecting_ = false;
        return;
    }
    const bool bridgeEnds = script_.end != ReplayScript::End::kToolCloses;
    if (bridgeOwes || (bridgeEnds && !closed_))
        diverge(": the tool closed the connection before the recording ended (after line " +
                std::to_string(lines_) + ")");
}

void SessionReplay::sent(TimePoint now) {
    ++runsSent_;
    lastActivity_ = now;
    lastRunAt_ = now;
}

void SessionReplay::closed(TimePoint now) {
    closed_ = true;
    closedAt_ = now;
    lastActivity_ = now;
}

// The tool's turn: its next send, within its recorded gap and kPatience.
SessionReplay::Step SessionReplay::awaitSend(TimePoint now) {
    const ReplayScript::Send& send = script_.sends[matchedAt_.size()];
    const TimePoint limit = lastActivity_ + std::chrono::microseconds(send.gapUs) + kPatience;
    if (now < limit) return {Action::kAwaitTool, {}, limit};
    mismatch(pending_, now);
    collecting_ = false;
    return {Action::kDiverged, {}, now};
}

SessionReplay::Step SessionReplay::end(TimePoint now) {
    if (script_.end == ReplayScript::End::kToolCloses) {
        if (toolClosed_) return {Action::kDone, {}, now};
        const TimePoint limit =
            lastActivity_ + std::chrono::microseconds(script_.closeGapUs) + kPatience;
        if (now < limit) return {Action::kAwaitTool, {}, limit};
        diverge(
            ": the tool kept the connection open long after it gave up in the recording "
            "(after line " +
            std::to_string(lines_) + ")");
        return {Action::kDiverged, {}, now};
    }
    if (!closed_) {
        const TimePoint due = after(anchorTime(script_.endAnchor), script_.endDelayUs);
        if (now < due) return {Action::kWait, {}, due};
        return {script_.end == ReplayScript::End::kFin ? Action::kCloseFin : Action::kCloseRst,
                {},
                now};
    }
    if (script_.end == ReplayScript::End::kRst || toolClosed_ || now >= closedAt_ + kDrain)
        return {Action::kDone, {}, now};
    return {Action::kAwaitTool, {}, closedAt_ + kDrain};
}

SessionReplay::Step SessionReplay::next(TimePoint now) {
    if (diverged_) {
        if (collecting_ && now < collectUntil_) return {Action::kWait, {}, collectUntil_};
        collecting_ = false;
        return {Action::kDiverged, {}, now};
    }
    if (runsSent_ < script_.runs.size()) {
        const ReplayScript::Run& run = script_.runs[runsSent_];
        if (run.anchor >= static_cast<int>(matchedAt_.size())) return awaitSend(now);
        TimePoint due = after(anchorTime(run.anchor), run.delayUs);
        if (runsSent_ > 0) {
            const ReplayScript::Run& before = script_.runs[runsSent_ - 1];
            const std::int64_t silenceUs = run.delayUs - before.delayUs;
            if (before.anchor == run.anchor && silenceUs >= kSilenceSeenUs)
                due = std::max(due, after(lastRunAt_, silenceUs));
        }
        if (now < due) return {Action::kWait, {}, due};
        return {Action::kSend, run.bytes, now};
    }
    if (matchedAt_.size() < required_) return awaitSend(now);
    return end(now);
}

}  // namespace qeltbridge
