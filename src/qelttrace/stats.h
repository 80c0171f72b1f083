// The statistics of a record stream, gathered as it streams: memory grows with
// the distinct events (at most kEventsMax of them named) and the pairs still
// open, never with the records.
//
//   LogHistogram  fixed-size log buckets: counts exact, percentiles within 0.4%
//   PairRule      a START event paired with its END, by a key or none
//   Statistics    counts, deltas, top gaps, SATA states, pairs; text and JSON
//   StatsObserver what Perfetto and the page draw from: pairs and states
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "record.h"

namespace qelttrace {

class LogHistogram {
  public:
    // 128 buckets per power of two above 127, one per value below.
    static constexpr int kSub = 128;
    static constexpr int kBuckets = kSub + 56 * kSub;

    LogHistogram() : counts_(kBuckets, 0) {}
    void add(std::int64_t value);
    std::uint64_t count() const { return count_; }
    std::int64_t min() const { return min_; }
    std::int64_t max() const { return max_; }
    double mean() const { return count_ ? sum_ / static_cast<double>(count_) : 0.0; }
    // The value at quantile q (0 < q <= 1) by nearest rank, as its bucket's
    // midpoint, within [min, max].
    std::int64_t percentile(double q) const;
    // Bucket i's bounds and count, for drawing.
    static void bounds(int index, std::int64_t* low, std::int64_t* high);
    std::uint64_t bucket(int index) const { return counts_[static_cast<std::size_t>(index)]; }

  private:
    static int indexOf(std::int64_t value);
    std::vector<std::uint64_t> counts_;
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
    double sum_ = 0;
};

enum class PairKey { kNone, kQualifier, kArgument };

struct PairRule {
    std::string start;
    std::string end;
    PairKey key = PairKey::kNone;
};

// "START,END[,qualifier|argument]"; empty on success, else the reason.
std::string parsePair(const std::string& text, PairRule* pair);
// DMA Start/End and FPGA_DMARXStart/Stop unkeyed, ActivateTransaction to
// CompleteTransation by the argument.
std::vector<PairRule> defaultPairs();
const char* pairKeyName(PairKey key);

// The end points of a pair, as the observers get them.
struct PairPoint {
    std::uint64_t record = 0;
    std::int64_t timeNs = 0;
};

class StatsObserver {
  public:
    virtual ~StatsObserver() = default;
    virtual void matched(std::size_t pair, const PairPoint& start, const PairPoint& end,
                         std::string_view key) = 0;
    virtual void unmatched(std::size_t pair, const PairPoint& point, bool isStart) = 0;
    // A SATA state held from `start` until `endNs` (the next SATAWakeup or the
    // last record).
    virtual void state(std::string_view name, const PairPoint& start, std::int64_t endNs) = 0;
};

class Statistics : public Sink {
  public:
    static constexpr std::size_t kEventsMax = 1024;
    static constexpr const char* kOtherEvents = "(other events)";

    Statistics(std::vector<PairRule> pairs, std::size_t top);
    void setObserver(StatsObserver* observer) { observer_ = observer; }
    void record(const Record& record) override;
    void end(bool dumpRead) override;

    const std::vector<PairRule>& pairs() const { return pairs_; }
    // Whether the record starts or ends one of the pairs.
    bool inPair(const Record& record) const;
    // The name the record's event is counted under (kOtherEvents past the cap).
    std::string_view eventName(std::string_view event) const;

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
    struct StateTime {
        std::string state;
        std::uint64_t entries = 0;
        std::int64_t timeNs = 0;
    };
    struct PairStats {
        std::uint64_t count = 0, unmatchedStarts = 0, unmatchedEnds = 0;
        LogHistogram latency;
    };

    std::uint64_t records() const { return records_; }
    std::uint64_t decoded() const { return decoded_; }
    std::uint64_t parseErrors() const { return parseErrors_; }
    std::uint64_t invalidParameters() const { return invalidParameters_; }
    std::uint64_t backwards() const { return backwards_; }
    std::uint64_t errors() const { return errors_; }
    std::int64_t spanNs() const { return decoded_ ? lastDecodedNs_ - firstDecodedNs_ : 0; }
    std::int64_t firstNs() const { return firstNs_; }
    std::int64_t lastNs() const { return lastNs_; }
    const LogHistogram& deltas() const { return deltas_; }
    std::vector<EventCount> eventsByCount() const;
    std::vector<Gap> topGaps() const;
    std::vector<StateTime> states() const;
    const std::vector<PairStats>& pairStats() const { return pairStats_; }

    void writeText(std::string& out) const;
    void writeJson(std::string& out) const;

  private:
    struct Open {
        PairPoint point;
        bool open = false;
    };
    void pairRecord(const Record& r);
    PairPoint* openStart(std::size_t pair, std::string_view key);
    void pairStart(std::size_t pair, std::string_view key, const PairPoint& point);
    void pairEnd(std::size_t pair, std::string_view key, const PairPoint& point);
    void stateRecord(const Record& r);
    void gapRecord(const Record& r);
    EventCount& countOf(std::string_view event);

    std::vector<PairRule> pairs_;
    std::vector<PairStats> pairStats_;
    std::vector<Open> open_;                                         // unkeyed pairs
    std::vector<std::unordered_map<std::string, PairPoint>> keyed_;  // keyed pairs
    std::size_t top_;
    StatsObserver* observer_ = nullptr;

    std::uint64_t records_ = 0, decoded_ = 0, parseErrors_ = 0, invalidParameters_ = 0;
    std::uint64_t backwards_ = 0, errors_ = 0;
    std::int64_t firstNs_ = 0, lastNs_ = 0, firstDecodedNs_ = 0, lastDecodedNs_ = 0;
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

    std::map<std::string, StateTime> states_;
    std::vector<std::string> stateOrder_;
    std::string state_;
    PairPoint stateSince_;
    bool inState_ = false;
};

}  // namespace qelttrace
