#include "analysis/statistics.h"

#include <algorithm>

#include "trace/sata_names.h"

namespace qelttrace {

namespace {

constexpr std::string_view kWakeup = "SATAWakeup";
constexpr std::string_view kStateMark = SATA_STATE_MARK;
constexpr std::string_view kHeld = ", held at the time before";

}  // namespace

Statistics::Statistics(std::vector<PairRule> rules, std::size_t top, Writer& next,
                       TimeWindow window)
    : next_(next), pairs_(std::move(rules), top, window), top_(top), window_(window) {}

void Statistics::startAt(const Record& r) {
    firstNs_ = r.timeNs;
    firstTime_ = r.time;
    started_ = true;
    pairs_.startAt(r.timeNs);
}

StreamPoint Statistics::seen(const Record& r) {
    ++seen_;
    const std::uint64_t troubleBefore = troubleSeen_;
    if (r.trouble) ++troubleSeen_;
    if (r.status != Status::kNoTime) lastTimedNs_ = r.timeNs;
    return StreamPoint{r.number, r.timeNs, r.timeNs - firstNs_, seen_, troubleBefore, r.trouble};
}

void Statistics::passedOver(const Record& r) {
    // Inside the time window, it places the stream in time as a selected
    // record would: a transaction may end at it.
    if (!started_ && window_.holds(r.timeNs)) startAt(r);
    const StreamPoint at = seen(r);
    if (r.status != Status::kOk) return;
    unseenPoints_.clear();
    pairs_.record(r, at, unseenPoints_, next_);
}

Statistics::EventCount& Statistics::countOf(std::string_view event) {
    auto found = events_.find(event);
    if (found != events_.end()) return found->second;
    if (events_.size() >= kEventsMax) {
        found = events_.find(kOtherEvents);
        if (found != events_.end()) return found->second;
        event = kOtherEvents;
    }
    names_.emplace_back(event);
    EventCount& added = events_[names_.back()];
    added.event = names_.back();
    added.order = events_.size();
    return added;
}

void Statistics::record(const Record& r) {
    if (!started_) startAt(r);
    lastNs_ = r.timeNs;
    ++records_;
    ++statuses_[static_cast<std::size_t>(r.status)];
    if (r.held) ++backwards_;
    if (r.trouble) errorRecord(r);
    Observation& o = observation_;
    o.sinceFirstNs = r.timeNs - firstNs_;
    o.counted = {};
    o.points.clear();
    o.topGap = false;
    o.gapLeft = 0;
    const StreamPoint at = seen(r);
    if (r.status == Status::kOk) {
        if (decoded() == 1) firstDecodedNs_ = r.timeNs;
        lastDecodedNs_ = r.timeNs;
        EventCount& event = countOf(r.event());
        if (event.count == 0) event.firstNs = r.timeNs;
        event.lastNs = r.timeNs;
        ++event.count;
        o.counted = event.event;
        gapRecord(r);
        pairs_.record(r, at, o.points, next_);
        stateRecord(r, at);
    }
    next_.record(r, o);
}

void Statistics::errorRecord(const Record& r) {
    ++errors_;
    // The key (status NUL event) in a buffer kept from record to record: a
    // storm of errors costs a lookup each, no allocation.
    errorKey_.assign(statusName(r.status));
    if (r.held) errorKey_ += kHeld;
    errorKey_ += '\0';
    errorKey_ += r.event();
    auto found = errorIndex_.find(errorKey_);
    if (found == errorIndex_.end() && errorGroups_.size() >= kErrorGroupsMax) {
        errorKey_.assign(kOtherErrors);
        errorKey_ += '\0';
        found = errorIndex_.find(errorKey_);
    }
    if (found == errorIndex_.end()) {
        const std::size_t split = errorKey_.find('\0');
        errorGroups_.push_back(
            ErrorGroup{errorKey_.substr(0, split), errorKey_.substr(split + 1), 0});
        found = errorIndex_.emplace(errorKey_, errorGroups_.size() - 1).first;
    }
    ++errorGroups_[found->second].count;
}

void Statistics::gapRecord(const Record& r) {
    // Deltas of the decoded records but the first.
    if (decoded() > 1) {
        deltas_.add(r.deltaNs);
        const bool enters = gaps_.size() < top_ || (top_ > 0 && r.deltaNs > gaps_.top().deltaNs);
        if (enters) {
            gaps_.push(Gap{r.number, r.timeNs, r.deltaNs, std::string(r.event()), previousEvent_});
            observation_.topGap = true;
            if (gaps_.size() > top_) {
                observation_.gapLeft = gaps_.top().record;
                gaps_.pop();
            }
        }
    }
    previousEvent_.assign(r.event());
}

void Statistics::stateRecord(const Record& r, const StreamPoint& at) {
    if (r.event() != kWakeup) return;
    const std::string_view argument = r.argument();
    const std::size_t mark = argument.rfind(kStateMark);
    if (mark == std::string_view::npos) return;
    const std::string_view name = argument.substr(mark + kStateMark.size());
    if (inState_) {
        states_[state_].timeNs += r.timeNs - stateSince_.timeNs;
        next_.state(StateSpan{state_, stateSince_, r.timeNs, &stateEntered_});
    }
    if (!inState_ || name != state_) {
        auto found = states_.find(std::string(name));
        if (found == states_.end()) {
            stateOrder_.emplace_back(name);
            found = states_.emplace(std::string(name), StateTime{std::string(name), 0, 0}).first;
        }
        ++found->second.entries;
        state_.assign(name);
    }
    stateSince_ = at;
    stateEntered_ = r;
    inState_ = true;
}

void Statistics::end(const DBGTime* closingSpan) {
    // The last state lasts until the last record; open starts stay unmatched.
    if (inState_) {
        states_[state_].timeNs += lastNs_ - stateSince_.timeNs;
        next_.state(StateSpan{state_, stateSince_, lastNs_, &stateEntered_});
        inState_ = false;
    }
    pairs_.finish(next_, lastTimedNs_);
    deltas_.settle();
    next_.end(Ending{closingSpan, this});
}

std::vector<Statistics::EventCount> Statistics::eventsByCount() const {
    std::vector<EventCount> list;
    for (const auto& entry : events_) list.push_back(entry.second);
    std::sort(list.begin(), list.end(), [](const EventCount& a, const EventCount& b) {
        return a.count != b.count ? a.count > b.count : a.order < b.order;
    });
    return list;
}

std::vector<Statistics::Gap> Statistics::topGaps() const {
    auto heap = gaps_;
    std::vector<Gap> list;
    while (!heap.empty()) {
        list.push_back(heap.top());
        heap.pop();
    }
    std::reverse(list.begin(), list.end());
    return list;
}

std::vector<Statistics::ErrorGroup> Statistics::errorGroups() const {
    std::vector<ErrorGroup> list = errorGroups_;
    std::stable_sort(list.begin(), list.end(),
                     [](const ErrorGroup& a, const ErrorGroup& b) { return a.count > b.count; });
    return list;
}

std::vector<Statistics::StateTime> Statistics::states() const {
    // The SATA states in the table's order, then any other name in the order seen.
    std::vector<StateTime> list;
    for (int i = 0; i < sataStateLen; ++i) {
        const auto found = states_.find(SATA_STATE[i]);
        if (found != states_.end()) list.push_back(found->second);
    }
    for (const std::string& name : stateOrder_) {
        const bool known = std::find_if(list.begin(), list.end(), [&](const StateTime& s) {
                               return s.state == name;
                           }) != list.end();
        if (!known) list.push_back(states_.at(name));
    }
    return list;
}

}  // namespace qelttrace
