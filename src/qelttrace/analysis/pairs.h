// Pair rules and their transactions: a START event paired with the END that
// closes it, keyed by the record's qualifier or argument or by nothing, of a
// kind named by the start's qualifier or argument or by nothing, with an
// outcome read from the end's qualifier or argument or none. Each start opens
// a transaction (numbered from 1 in its rule), each end closes one; the
// matcher says which records start or end which transaction, hands on every
// transaction of the time window once it is closed or left open, and keeps
// each rule's figures: latencies overall, by kind and by kind and outcome,
// the slowest transactions, those still open when the window closed (the
// oldest first), and for a keyed rule the number open over time (its depth).
//
//   keyed     an end closes the open start with its key; a second start with
//             an open key first leaves the open one unmatched
//   unkeyed   an end closes the open start; a second start first leaves the
//             open one unmatched
//
// Every record is matched, whatever the window: a transaction that began
// before --from and ends inside the window is the window's, one open at --to
// is open then. The figures are those of the window: the transactions that
// end inside it (and the starts left inside it, and the ends with no start),
// the time at each depth inside it.
//
// Memory grows with the transactions open (a few words each, and one node of
// an ordered set of their start times), the kinds (at most kKindsMax named),
// the outcomes (at most kOutcomesMax named) and the depths reached, never
// with the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <queue>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/histogram.h"
#include "stages.h"

namespace qelttrace {

// Which word of a record keys a transaction, names its kind or its outcome
// (pairWordName names them in this order).
enum class PairWord { kNone, kQualifier, kArgument };

struct PairRule {
    std::string start;
    std::string end;
    PairWord key = PairWord::kNone;
    PairWord kind = PairWord::kNone;
    PairWord outcome = PairWord::kNone;
    // As the outputs name it (ruleName); empty for "START->END". nameRules
    // sets it where two rules share their events.
    std::string name = std::string();
};

// "START,END[,KEY[,KIND[,OUTCOME]]]", each word qualifier, argument or none;
// empty on success, else the reason.
std::string parsePair(const std::string& text, PairRule* rule);
// DMA Start/End and FPGA_DMARXStart/Stop unkeyed and of no kind,
// ActivateTransaction to CompleteTransation keyed by the argument, of the
// kind its qualifier (the command's code) names, its outcome the end's
// qualifier (the bridge's code: 1 completed, 0 aborted).
std::vector<PairRule> defaultPairs();
// The default pairs, then `added`, named apart (nameRules).
std::vector<PairRule> pairRules(const std::vector<PairRule>& added);
// Names the rules so that no two share a name: a rule keeps "START->END"
// unless an earlier one has the same events, when the words in which it
// differs from the first of them follow ("DMA Start->DMA End (kind
// argument)"), and a number where even those are the same.
void nameRules(std::vector<PairRule>& rules);
// "qualifier", "argument" or "none".
const char* pairWordName(PairWord word);
// The rule's name: "START->END", or the one nameRules gave it.
std::string ruleName(const PairRule& rule);
// What an outcome means where the rule's words are known: kCompleted or
// kAborted for the bridge's codes of a CompleteTransation's qualifier ("1",
// "0"), empty for any other word.
inline constexpr std::string_view kCompleted = "completed", kAborted = "aborted";
std::string_view outcomeMeaning(const PairRule& rule, std::string_view outcome);
// An outcome as the readable report names it: the word with its meaning
// ("1 (completed)", "0 (aborted)"), any other word as it is.
std::string outcomeLabel(const PairRule& rule, std::string_view outcome);

class PairMatcher {
  public:
    static constexpr std::size_t kKindsMax = 256;
    static constexpr const char* kOtherKinds = "(other kinds)";
    static constexpr std::size_t kOutcomesMax = 16;
    static constexpr const char* kOtherOutcomes = "(other outcomes)";

    struct KindStats {
        std::string kind;
        LogHistogram latency;
    };
    struct OutcomeStats {
        std::string kind, outcome;
        LogHistogram latency;
    };
    // The time spent with d transactions open, for d from 0 to max, from the
    // rule's first start to its last end, inside the window.
    struct Depth {
        std::size_t max = 0;
        std::vector<std::int64_t> timeNs;
        double mean() const;
    };
    struct OpenTransaction {
        std::string key, kind;
        std::uint64_t startRecord = 0;
        std::int64_t startNs = 0, ageNs = 0;
    };
    // The transactions still open when the window closed: at the input's
    // end (at --to when the input runs past it), their ages then.
    struct OpenAtEnd {
        std::uint64_t count = 0;
        std::vector<OpenTransaction> oldest;  // the oldest first, at most --top
        bool atTo = false;                    // the window closed at --to
        std::int64_t atNs = 0;                // the time the ages run to
    };
    struct RuleStats {
        // unmatchedStarts: every start that found no end, those that a second
        // start of their key left and those open at the end (openAtEnd.count
        // of them).
        std::uint64_t count = 0, unmatchedStarts = 0, unmatchedEnds = 0;
        LogHistogram latency;
        std::vector<KindStats> kinds;  // in the order first seen
        std::vector<KindStats> kindsByCount() const;
        // One per kind and outcome, in the order first seen; none for a rule
        // without OUTCOME.
        std::vector<OutcomeStats> outcomes;
        // In the kinds' order (kindsByCount), then by outcome (the words'
        // bytes, kOtherOutcomes last).
        std::vector<OutcomeStats> outcomesInOrder() const;
        std::vector<KeptTransaction>
            slowest;  // longest first, the earlier start first among equals
        OpenAtEnd openAtEnd;
        Depth depth;  // keyed rules only
    };

    PairMatcher(std::vector<PairRule> rules, std::size_t slowest, TimeWindow window = {});
    const std::vector<PairRule>& rules() const { return rules_; }
    // The figures; the slowest, the open ones and the depths once finish() ran.
    const std::vector<RuleStats>& stats() const { return stats_; }

    // The stream's first record is at `ns`: a transaction's times since it
    // (StreamPoint::sinceFirstNs) are reckoned from there, also for a start
    // that came before it.
    void startAt(std::int64_t ns) { firstNs_ = ns; }
    // One decoded record at `at`: appends the transaction points it makes to
    // `points` and hands what it closes or leaves open to `out`.
    void record(const Record& record, const StreamPoint& at, std::vector<TransactionPoint>& points,
                Writer& out);
    // The end of the input, its last record at `lastNs`: the starts still
    // open are left unmatched, handed on in record order.
    void finish(Writer& out, std::int64_t lastNs);

  private:
    // The open transactions by start time (then record): the oldest first.
    using OpenByAge = std::set<std::pair<std::int64_t, std::uint64_t>>;
    struct Open {
        StreamPoint point;
        std::uint64_t id = 0;
        Record record;              // the start, but for its text
        OpenByAge::iterator age{};  // keyed: its place in the order by age
    };
    using OpenByKey = std::unordered_map<std::string, Open>;
    // The time at each depth inside the window, committed at each end: what
    // follows the last end is outside the span.
    struct DepthClock {
        bool started = false;
        std::int64_t sinceNs = 0;
        std::size_t depth = 0, pendingMax = 0;
        std::vector<std::pair<std::size_t, std::int64_t>> pending;  // since the last end
        void step(std::int64_t ns, std::size_t after, bool end, const TimeWindow& window,
                  Depth& into);
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
    struct OldOrder {
        // Whether a transaction that started at `startNs`, record
        // `startRecord`, is older than `b`: it started earlier, or at the same
        // time at an earlier record.
        static bool olderThan(std::int64_t startNs, std::uint64_t startRecord,
                              const OpenTransaction& b) {
            if (startNs != b.startNs) return startNs < b.startNs;
            return startRecord < b.startRecord;
        }
        // The heap's top is the youngest kept: the one to drop first.
        bool operator()(const OpenTransaction& a, const OpenTransaction& b) const {
            return olderThan(a.startNs, a.startRecord, b);
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
        OpenByAge byAge;               // keyed
        OpenByAge::node_type agedOut;  // a node of byAge for the next start
        std::uint64_t started = 0;
        std::unordered_map<std::string, std::size_t> kindIndex;
        // The outcome words named so far, and each kind's row of each
        // (kOutcomesMax + 1 places, the last for kOtherOutcomes).
        std::vector<std::string> outcomeWords;
        std::vector<std::vector<std::size_t>> outcomeRow;
        std::priority_queue<KeptTransaction, std::vector<KeptTransaction>, SlowOrder> slow;
        std::priority_queue<OpenTransaction, std::vector<OpenTransaction>, OldOrder> oldest;
        DepthClock clock;
    };
    void start(std::size_t rule, const Record& r, const StreamPoint& at,
               std::vector<TransactionPoint>& points, Writer& out);
    void end(std::size_t rule, const Record& r, const StreamPoint& at,
             std::vector<TransactionPoint>& points, Writer& out);
    void matched(std::size_t rule, Transaction& t);
    // A start that a second start of its key left at `closedNs`.
    void leftByStart(std::size_t rule, const Open& open, std::string_view key,
                     std::int64_t closedNs, Writer& out);
    // A start still open when the window closed, its age running to `atNs`.
    void leftOpen(std::size_t rule, const Open& open, std::string_view key, std::int64_t atNs,
                  Writer& out);
    Transaction unmatched(std::size_t rule, const Open& open, std::string_view key) const;
    void forget(std::size_t rule, const Open& open);
    std::int64_t oldestStart(std::size_t rule) const;
    std::string_view kindOf(std::size_t rule, const Open& open) const;
    std::size_t kindStats(std::size_t rule, std::string_view kind);
    LogHistogram& outcomeStats(std::size_t rule, std::size_t kind, std::string_view outcome);
    std::size_t openCount(std::size_t rule) const;

    std::vector<PairRule> rules_;
    std::size_t slowestMax_;
    TimeWindow window_;
    std::int64_t firstNs_ = 0;
    std::vector<RuleStats> stats_;
    std::vector<RuleState> state_;
    std::string lookup_;
};

}  // namespace qelttrace
