// Pair rules and their transactions: a START event paired with the END that
// closes it, keyed by the record's qualifier or argument or by nothing. Each
// start opens a transaction (numbered from 1 in its rule), each end closes
// one; the matcher says which records start or end which transaction and
// hands on every transaction once it is closed or left open.
//
//   keyed     an end closes the open start with its key; a second start with
//             an open key first leaves the open one unmatched
//   unkeyed   an end closes the open start; a second start first leaves the
//             open one unmatched
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "histogram.h"
#include "stream.h"

namespace qelttrace {

enum class PairKey { kNone, kQualifier, kArgument };

struct PairRule {
    std::string start;
    std::string end;
    PairKey key = PairKey::kNone;
};

// "START,END[,qualifier|argument]"; empty on success, else the reason.
std::string parsePair(const std::string& text, PairRule* rule);
// DMA Start/End and FPGA_DMARXStart/Stop unkeyed, ActivateTransaction to
// CompleteTransation by the argument.
std::vector<PairRule> defaultPairs();
// "qualifier", "argument", or "" for none.
const char* pairKeyName(PairKey key);

class PairMatcher {
  public:
    struct RuleStats {
        std::uint64_t count = 0, unmatchedStarts = 0, unmatchedEnds = 0;
        LogHistogram latency;
    };

    explicit PairMatcher(std::vector<PairRule> rules);
    const std::vector<PairRule>& rules() const { return rules_; }
    const std::vector<RuleStats>& stats() const { return stats_; }

    // One decoded record at `at`: appends the transaction points it makes to
    // `points` and hands what it closes or leaves open to `out`.
    void record(const Record& record, const PairPoint& at, std::vector<TransactionPoint>& points,
                Writer& out);
    // The end of the input: the starts still open are left unmatched, handed
    // on in record order.
    void finish(Writer& out);

  private:
    struct Open {
        PairPoint point;
        std::uint64_t id = 0;
    };
    struct RuleState {
        bool open = false;  // unkeyed
        Open only;
        std::unordered_map<std::string, Open> keyed;
        std::uint64_t started = 0;
    };
    void start(std::size_t rule, std::string_view key, const PairPoint& at,
               std::vector<TransactionPoint>& points, Writer& out);
    void end(std::size_t rule, std::string_view key, const PairPoint& at,
             std::vector<TransactionPoint>& points, Writer& out);
    void unmatchedStart(std::size_t rule, const Open& open, std::string_view key, Writer& out);

    std::vector<PairRule> rules_;
    std::vector<RuleStats> stats_;
    std::vector<RuleState> state_;
};

}  // namespace qelttrace
