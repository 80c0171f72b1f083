#include "replay_plan.h"

#include <algorithm>
#include <cmath>

#include "common/exit_status.h"
#include "replay_session.h"

namespace qeltbridge {
namespace {

using Kind = recording::Event::Kind;

bool failedAttempts(const recording::Session& s) {
    return std::any_of(s.events.begin(), s.events.end(),
                       [](const recording::Event& e) { return e.kind == Kind::kAttemptFailed; });
}

}  // namespace

ReplayPlan::ReplayPlan(const recording::Log& log, double speed, TimePoint start)
    : speed_(speed), readyAt_(start) {
    const recording::Session* before = nullptr;
    for (const recording::Session& s : log.sessions) {
        Planned p;
        const recording::Event* connection = s.connection();
        if (connection) {
            p.kind = Kind::kConnects;
            if (failedAttempts(s)) p.refusedUs = recordedGap(s.startUs, connection->us);
        } else if (s.ending == recording::Ending::kNoConnection) {
            p.kind = Kind::kRefused;
            p.refusedUs = recordedGap(s.startUs, s.endUs);
        } else {
            p.kind = Kind::kNothing;
        }
        if (before && before->run == s.run && before->format == s.format) {
            p.firstOfRun = false;
            p.overlaps = s.startUs < before->endUs;
            if (!p.overlaps) p.gapUs = recordedGap(before->endUs, s.startUs);
        }
        sessions_.push_back(p);
        before = &s;
    }
}

std::chrono::microseconds ReplayPlan::scaled(std::int64_t us) const {
    if (speed_ <= 0 || us <= 0) return std::chrono::microseconds(0);
    const double scaledUs = static_cast<double>(us) / speed_;
    const double longest = static_cast<double>(kLongestPauseUs);
    return std::chrono::microseconds(std::llround(scaledUs < longest ? scaledUs : longest));
}

ReplayPlan::TimePoint ReplayPlan::refusedUntil() const {
    const Planned& p = sessions_[next_];
    if (p.kind == Kind::kRefused)
        return readyAt_ + std::chrono::microseconds(p.gapUs + p.refusedUs);
    if (p.refusedUs == 0) return readyAt_;
    return readyAt_ + scaled(p.gapUs + p.refusedUs);
}

ReplayPlan::TimePoint ReplayPlan::dueAt() const {
    const Planned& p = sessions_[next_];
    return readyAt_ + scaled(p.gapUs + p.refusedUs);
}

bool ReplayPlan::listening(TimePoint now) const {
    if (next_ >= sessions_.size()) return false;
    if (!ready_) return true;
    return now >= refusedUntil();
}

void ReplayPlan::moveOn(TimePoint readyAt) {
    ++next_;
    ready_ = true;
    readyAt_ = readyAt;
}

std::vector<std::size_t> ReplayPlan::advance(TimePoint now) {
    std::vector<std::size_t> late;
    while (next_ < sessions_.size() && ready_) {
        Planned& p = sessions_[next_];
        if (p.kind == Kind::kNothing) {
            p.outcome = Outcome::kNothing;
            moveOn(readyAt_);
        } else if (p.kind == Kind::kRefused) {
            const TimePoint until = refusedUntil();
            if (now < until) break;
            p.outcome = Outcome::kPlayed;
            moveOn(until);
        } else if (!p.firstOfRun && now >= dueAt() + kLate) {
            p.outcome = Outcome::kUnplayed;
            late.push_back(next_);
            moveOn(now);
        } else {
            break;
        }
    }
    return late;
}

int ReplayPlan::accept(TimePoint now) {
    // A connection before a refusal was over (the listener closes a moment
    // late) or past a session that never reached the network plays the next
    // session that connected.
    while (next_ < sessions_.size() && sessions_[next_].kind != Kind::kConnects) {
        sessions_[next_].outcome =
            sessions_[next_].kind == Kind::kRefused ? Outcome::kPlayed : Outcome::kNothing;
        ++next_;
    }
    if (next_ >= sessions_.size()) return -1;
    const std::size_t index = next_;
    sessions_[index].outcome = Outcome::kPlaying;
    ++playing_;
    ++next_;
    // The session after it starts once this one is over, unless it overlapped
    // this one in the recording.
    ready_ = next_ < sessions_.size() && sessions_[next_].overlaps;
    readyAt_ = now;
    return static_cast<int>(index);
}

void ReplayPlan::finished(std::size_t index, Outcome outcome, TimePoint now) {
    if (sessions_[index].outcome != Outcome::kPlaying) return;
    sessions_[index].outcome = outcome;
    --playing_;
    if (!ready_ && index + 1 == next_) {
        ready_ = true;
        readyAt_ = now;
    }
}

std::vector<std::size_t> ReplayPlan::stop() {
    std::vector<std::size_t> unplayed;
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        Outcome& o = sessions_[i].outcome;
        if (o == Outcome::kPending || o == Outcome::kPlaying) {
            o = Outcome::kUnplayed;
            unplayed.push_back(i);
        }
    }
    next_ = sessions_.size();
    playing_ = 0;
    return unplayed;
}

ReplayPlan::TimePoint ReplayPlan::wakeAt(TimePoint now) const {
    TimePoint wake = now + std::chrono::seconds(1);
    if (next_ >= sessions_.size() || !ready_) return wake;
    const Planned& p = sessions_[next_];
    const TimePoint until = refusedUntil();
    if (until > now) wake = std::min(wake, until);
    if (p.kind == Kind::kConnects && !p.firstOfRun) wake = std::min(wake, dueAt() + kLate);
    return std::max(wake, now);
}

bool ReplayPlan::over() const {
    return next_ >= sessions_.size() && playing_ == 0;
}

int ReplayPlan::exitStatus() const {
    for (const Planned& p : sessions_)
        if (p.outcome != Outcome::kPlayed && p.outcome != Outcome::kNothing)
            return exit_status::kDiverged;
    return exit_status::kSuccess;
}

}  // namespace qeltbridge
