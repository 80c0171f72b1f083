// The statistics stage: gathers the figures of the record stream as it
// streams and classifies each record for the writers after it (the time since
// the first record, the name it is counted under, the transactions it starts
// or ends; the transactions and SATA states it closes go first). Memory grows
// with the distinct events (at most kEventsMax of them named) and the pairs
// still open, never with the records. The writers get the finished figures
// once the input is over (Ending::statistics), never while it streams. The
// records that tell of trouble are also counted by status and event (at most
// kErrorGroupsMax groups, the rest as one).
//
// The pair rules see every record of the input, those the filters passed over
// too (passedOver), so that a transaction is matched whole whatever the
// window; they hand on the transactions of the time window (pairs.h). All
// else is of the records selected.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/histogram.h"
#include "analysis/pairs.h"
#include "stages.h"

namespace qelttrace {

class Statistics : public RecordSink {
  public:
    static constexpr std::size_t kEventsMax = 1024;
    static constexpr const char* kOtherEvents = "(other events)";
    static constexpr std::size_t kErrorGroupsMax = 1000;
    static constexpr const char* kOtherErrors = "(other)";

    Statistics(std::vector<PairRule> rules, std::size_t top, Writer& next, TimeWindow window = {});
    void banner(const char* text) override { next_.banner(text); }
    void span(const DBGTime& span) override { next_.span(span); }
    void record(const Record& record) override;
    void passedOver(const Record& record) override;
    void end(const DBGTime* closingSpan) override;

    struct EventCount {
        std::string event;
        std::uint64_t count = 0;
        std::int64_t firstNs = 0, lastNs = 0;
        std::uint64_t order = 0;
    };
    struct Gap {
        std::uint64_t record = 0;
        std::int64_t timeNs = 0, deltaNs = 0;
        std::string event, previousEvent;
    };
    // Records that tell of trouble with one status and event. The status is
    // its name, followed by ", held at the time before" for a record shown at
    // the previous time; the event is empty for a record that did not decode,
    // and for the group kOtherErrors that takes what no group has room for.
    struct ErrorGroup {
        std::string status, event;
        std::uint64_t count = 0;
    };
    struct StateTime {
        std::string state;
        std::uint64_t entries = 0;
        std::int64_t timeNs = 0;
    };

    // The finished figures.
    std::uint64_t records() const { return records_; }
    std::uint64_t withStatus(Status status) const {
        return statuses_[static_cast<std::size_t>(status)];
    }
    std::uint64_t decoded() const { return withStatus(Status::kOk); }
    std::uint64_t backwards() const { return backwards_; }
    std::uint64_t errors() const { return errors_; }
    std::int64_t spanNs() const { return decoded() ? lastDecodedNs_ - firstDecodedNs_ : 0; }
    // The time of the stream's first record, that Observation::sinceFirstNs
    // counts from (with --event or --errors, it may be a record the filters
    // passed over), and that time as printed.
    std::int64_t firstNs() const { return firstNs_; }
    DBGTime firstTime() const { return firstTime_; }
    const LogHistogram& deltas() const { return deltas_; }
    std::vector<EventCount> eventsByCount() const;
    std::vector<Gap> topGaps() const;
    std::vector<StateTime> states() const;
    // By count, the first seen first among equals.
    std::vector<ErrorGroup> errorGroups() const;
    const std::vector<PairRule>& pairs() const { return pairs_.rules(); }
    const std::vector<PairMatcher::RuleStats>& pairStats() const { return pairs_.stats(); }

  private:
    // The stream's first record is `r` (once).
    void startAt(const Record& r);
    // Every record, selected or not: where it stands for the pair rules.
    StreamPoint seen(const Record& r);
    void gapRecord(const Record& r);
    void stateRecord(const Record& r, const StreamPoint& at);
    EventCount& countOf(std::string_view event);
    void errorRecord(const Record& r);

    Writer& next_;
    PairMatcher pairs_;
    std::size_t top_;
    TimeWindow window_;
    Observation observation_;
    std::vector<TransactionPoint> unseenPoints_;  // of the records passed over

    std::uint64_t records_ = 0, backwards_ = 0, errors_ = 0;
    std::array<std::uint64_t, kStatusCount> statuses_{};
    std::int64_t firstNs_ = 0, lastNs_ = 0, firstDecodedNs_ = 0, lastDecodedNs_ = 0;
    bool started_ = false;  // firstNs_ is set
    DBGTime firstTime_{0, 0};
    // Every record of the input, and those of them that tell of trouble; the
    // time of the last that has one.
    std::uint64_t seen_ = 0, troubleSeen_ = 0;
    std::int64_t lastTimedNs_ = 0;
    LogHistogram deltas_;

    std::deque<std::string> names_;  // keys of events_, at stable addresses
    std::unordered_map<std::string_view, EventCount> events_;
    std::string previousEvent_;

    struct GapOrder {
        bool operator()(const Gap& a, const Gap& b) const {
            // A min-heap on the delta; of equal deltas the later record goes first.
            if (a.deltaNs != b.deltaNs) return a.deltaNs > b.deltaNs;
            return a.record < b.record;
        }
    };
    std::priority_queue<Gap, std::vector<Gap>, GapOrder> gaps_;

    std::vector<ErrorGroup> errorGroups_;                      // in the order first seen
    std::unordered_map<std::string, std::size_t> errorIndex_;  // status NUL event
    std::string errorKey_;

    std::map<std::string, StateTime> states_;
    std::vector<std::string> stateOrder_;
    std::string state_;
    Record stateEntered_;  // the SATAWakeup that entered state_
    StreamPoint stateSince_;
    bool inState_ = false;
};

}  // namespace qelttrace
