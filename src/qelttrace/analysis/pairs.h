// Pair rules and their transactions: a START event paired with the END that
// closes it, keyed by the record's qualifier or argument or by nothing, and
// of a kind named by the start's qualifier or argument or by nothing. Each
// start opens a transaction (numbered from 1 in its rule), each end closes
// one; the matcher says which records start or end which transaction, hands
// on every transaction once it is closed or left open, and keeps each rule's
// figures: latencies overall and by kind, the slowest transactions, and for
// a keyed rule the number open over time (its depth).
//
//   keyed     an end closes the open start with its key; a second start with
//             an open key first leaves the open one unmatched
//   unkeyed   an end closes the open start; a second start first leaves the
//             open one unmatched
//
// Memory grows with the transactions open, the kinds (at most kKindsMax
// named) and the depths reached, never with the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/histogram.h"
#include "stages.h"

namespace qelttrace {

// Which word of a record keys a transaction or names its kind (pairWordName
// names them in this order).
enum class PairWord { kNone, kQualifier, kArgument };

struct PairRule {
    std::string start;
    std::string end;
    PairWord key = PairWord::kNone;
    PairWord kind = PairWord::kNone;
};

// "START,END[,KEY[,KIND]]", KEY and KIND each qualifier, argument or none;
// empty on success, else the reason.
std::string parsePair(const std::string& text, PairRule* rule);
// DMA Start/End and FPGA_DMARXStart/Stop unkeyed and of no kind,
// ActivateTransaction to CompleteTransation keyed by the argument, of the
// kind its qualifier (the command's code) names.
std::vector<PairRule> defaultPairs();
// "qualifier", "argument" or "none".
const char* pairWordName(PairWord word);
// "START->END", as the listing names a rule.
std::string ruleName(const PairRule& rule);

class PairMatcher {
  public:
    static constexpr std::size_t kKindsMax = 256;
    static constexpr const char* kOtherKinds = "(other kinds)";

    struct KindStats {
        std::string kind;
        LogHistogram latency;
    };
    // The time spent with d transactions open, for d from 0 to max, from the
    // rule's first start to its last end.
    struct Depth {
        std::size_t max = 0;
        std::vector<std::int64_t> timeNs;
        double mean() const;
    };
    struct RuleStats {
        std::uint64_t count = 0, unmatchedStarts = 0, unmatchedEnds = 0;
        LogHistogram latency;
        std::vector<KindStats> kinds;  // in the order first seen
        std::vector<KindStats> kindsByCount() const;
        std::vector<KeptTransaction>
            slowest;  // longest first, the earlier start first among equals
        Depth depth;  // keyed rules only
    };

    PairMatcher(std::vector<PairRule> rules, std::size_t slowest);
    const std::vector<PairRule>& rules() const { return rules_; }
    // The figures; the slowest and the depths once finish() ran.
    const std::vector<RuleStats>& stats() const { return stats_; }

    // One decoded record at `at`: appends the transaction points it makes to
    // `points` and hands what it closes or leaves open to `out`.
    void record(const Record& record, const StreamPoint& at, std::vector<TransactionPoint>& points,
                Writer& out);
    // The end of the input: the starts still open are left unmatched, handed
    // on in record order.
    void finish(Writer& out);

  private:
    struct Open {
        StreamPoint point;
        std::uint64_t id = 0;
        Record record;  // the start, but for its text
    };
    using OpenByKey = std::unordered_map<std::string, Open>;
    // The time at each depth, committed at each end: what follows the last
    // end is outside the span.
    struct DepthClock {
        bool started = false;
        std::int64_t sinceNs = 0;
        std::size_t depth = 0, pendingMax = 0;
        std::vector<std::pair<std::size_t, std::int64_t>> pending;  // since the last end
        void step(std::int64_t ns, std::size_t after, bool end, Depth& into);
    };
    struct SlowOrder {
        // Whether a transaction of `durationNs` that started at record
        // `startRecord` ranks before `b` among the slowest: it is longer, or
        // as long and started earlier.
        static bool ranksBefore(std::int64_t durationNs, std::uint64_t startRecord,
                                const KeptTransaction& b) {
            if (durationNs != b.durationNs) return durationNs > b.durationNs;
            return startRecord < b.startRecord;
        }
        // The heap's top is the one to drop first: the one ranked last.
        bool operator()(const KeptTransaction& a, const KeptTransaction& b) const {
            return ranksBefore(a.durationNs, a.startRecord, b);
        }
    };
    struct RuleState {
        bool open = false;  // unkeyed
        Open only;          // unkeyed: open, or the one the record being matched ended
        OpenByKey keyed;
        // Keyed: the entry of the transaction the record being matched ended,
        // taken out of `keyed` (the writers see it with the record); its
        // storage serves the next start.
        OpenByKey::node_type ended;
        std::uint64_t started = 0;
        std::unordered_map<std::string, std::size_t> kindIndex;
        std::priority_queue<KeptTransaction, std::vector<KeptTransaction>, SlowOrder> slow;
        DepthClock clock;
    };
    void start(std::size_t rule, const Record& r, const StreamPoint& at,
               std::vector<TransactionPoint>& points, Writer& out);
    void end(std::size_t rule, const Record& r, const StreamPoint& at,
             std::vector<TransactionPoint>& points, Writer& out);
    void matched(std::size_t rule, Transaction& t);
    void unmatchedStart(std::size_t rule, const Open& open, std::string_view key, Writer& out);
    std::string_view kindOf(std::size_t rule, const Open& open) const;
    KindStats& kindStats(std::size_t rule, std::string_view kind);
    std::size_t openCount(std::size_t rule) const;

    std::vector<PairRule> rules_;
    std::size_t slowestMax_;
    std::vector<RuleStats> stats_;
    std::vector<RuleState> state_;
    std::string lookup_;
};

}  // namespace qelttrace
