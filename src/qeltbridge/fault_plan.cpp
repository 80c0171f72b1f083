#include "fault_plan.h"

#include <algorithm>

namespace qeltbridge {

FaultPlan::FaultPlan(const Options& options)
    : split_(options.split),
      splitPause_(options.split > 0 ? options.splitPauseMs : 0),
      lineDelay_(options.lineDelayMs),
      dropAfter_(options.dropAfter),
      reset_(options.reset),
      stallAfter_(options.stallAfter) {}

void FaultPlan::lineQueued(uint64_t end) {
    if (lineDelay_.count() > 0) lineEnds_.push_back(end);
}

FaultPlan::Step FaultPlan::next(uint64_t sent, std::size_t pending, TimePoint now) const {
    if (dropAfter_ && sent >= *dropAfter_)
        return {reset_ ? Action::DropWithRst : Action::DropWithFin, 0, {}};
    if (stallAfter_ && sent >= *stallAfter_) return {Action::Stall, 0, {}};
    if (pending == 0) return {Action::Idle, 0, {}};
    if (now < resumeAt_) return {Action::Wait, 0, resumeAt_};

    uint64_t n = pending;
    if (split_ > 0) n = std::min<uint64_t>(n, split_);
    if (dropAfter_) n = std::min(n, *dropAfter_ - sent);
    if (stallAfter_) n = std::min(n, *stallAfter_ - sent);
    if (!lineEnds_.empty() && lineEnds_.front() > sent) n = std::min(n, lineEnds_.front() - sent);
    return {Action::Send, static_cast<std::size_t>(n), {}};
}

void FaultPlan::sentUpTo(uint64_t sent, TimePoint now) {
    while (!lineEnds_.empty() && lineEnds_.front() <= sent) {
        lineEnds_.pop_front();
        resumeAt_ = now + lineDelay_;
    }
    if (splitPause_.count() > 0) resumeAt_ = std::max(resumeAt_, now + splitPause_);
}

}  // namespace qeltbridge
