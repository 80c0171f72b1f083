// A Chrome trace-event JSON that Perfetto's UI and chrome://tracing open:
//   - one track (thread) per event, every record that no transaction draws
//     an instant on its event's track; every record that tells of trouble
//     likewise, once (one that did not decode on a track of its status);
//   - each keyed rule's transactions as async slices ("b"/"e", one id a
//     transaction, so that overlapping ones never share a row), named by the
//     start event and the kind, their key, kind, records and errors in their
//     arguments (and the first error's record, where there are errors), and a
//     counter track "START depth" with the number open at each change;
//   - each unkeyed rule's transactions as complete slices ("X") on the track
//     of its start event, the SATA states as complete slices on a track of
//     their own; a complete slice that would overlap one before it on its
//     thread without nesting (times that run backwards) becomes an async
//     slice, so that no thread holds two that overlap;
//   - every event's arguments carry its record's fields from the table of
//     fields (a transaction's those of its start, and its end record's
//     number, its records and errors), but the counters'.
// Written as the records stream, from what the statistics hand on; memory
// holds the tracks and a few words per transaction open, and each record
// costs what its own events cost, whatever is open: the trace grows with
// the input alone. Times are relative to the
// first record. A trace that passes kWarnAt gets one warning: a browser
// holds the whole trace in its memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/pairs.h"
#include "output/json.h"
#include "output/output.h"
#include "output/record_fields.h"
#include "stages.h"

namespace qelttrace {

// Microseconds with a three-digit fraction for `ns` nanoseconds, written so
// that reading them as a double, times 1000, truncated, gives `ns` back (a
// fourth digit, 5, is added where the three alone would read one below).
// `out` has room for kMicrosecondsMax bytes; returns the length.
constexpr std::size_t kMicrosecondsMax = 32;
std::size_t formatMicroseconds(char* out, std::int64_t ns);

class PerfettoWriter : public Writer {
  public:
    static constexpr std::uint64_t kWarnAt = std::uint64_t{1} << 30;

    // `target` names the output in the warning, which goes to `diagnostics`
    // (null: none) once the trace passes `warnAt` bytes.
    PerfettoWriter(Output& out, std::vector<PairRule> rules, FILE* diagnostics = nullptr,
                   std::string target = "-", std::uint64_t warnAt = kWarnAt);
    void record(const Record& record, const Observation& observation) override;
    void transaction(const Transaction& transaction) override;
    void state(const StateSpan& span) override;
    void end(const Ending& ending) override;

  private:
    // Most events begin with members cached per track, name or transaction
    // kind, up to their time (an async event's: up to its id); the rare ones
    // are written member by member.
    struct Track {
        int tid = 0;
        JsonFragment instant, complete;  // an instant, a complete slice on it
    };
    struct Async {
        JsonFragment begin, end;
        std::string cat;
    };
    Track& track(std::string_view name);
    const JsonFragment& stateHead(std::string_view state);
    const Async& asyncOf(std::size_t rule, std::string_view kind);
    void time(std::int64_t sinceFirstNs);
    // An async event's first members: `head` (its begin's or end's), its
    // transaction's id and its time.
    void asyncHead(const JsonFragment& head, std::size_t rule, std::uint64_t transaction,
                   std::int64_t sinceFirstNs);
    // After each event: the warning once the trace passes its bound.
    void written();
    void beginArguments();
    // The arguments' object and the event's.
    void endEvent();
    void recordArguments(const Record& r);
    void startAsync(const TransactionPoint& p, const Record& r, std::int64_t sinceFirstNs);
    void counter(const TransactionPoint& p, std::int64_t sinceFirstNs);
    // What is kept of a transaction open: its async slice's events (keyed
    // rules), and the ordinal among the errors this trace sees (from 1) of
    // the first that may fall inside it. Transactions that start between two
    // errors wait for the same one.
    struct Open {
        const Async* async = nullptr;
        std::uint64_t firstError = 0;
    };
    // A transaction that ends or is left open, as this trace saw it: whether
    // it saw it start, the errors it saw from its start up to its end
    // record (not included), the first of them (0: none).
    struct Closed {
        bool seen = false;
        const Async* async = nullptr;
        std::uint64_t errorsSeen = 0, firstErrorRecord = 0;
    };
    void opened(std::size_t rule, std::uint64_t id);
    Closed close(const Transaction& t);
    // The record of the first of `t`'s errors, 0 when it has none or when
    // this trace did not see all of them (records the filters passed over).
    static std::uint64_t firstError(const Transaction& t, const Closed& closed);
    void endAsync(const Transaction& t, const Async& a, std::uint64_t firstErrorRecord);
    void endArguments(const Transaction& t, std::uint64_t firstErrorRecord);
    // A complete slice on thread `tid`, or an async one where it would
    // overlap the last on that thread, up to its arguments' first member.
    void complete(std::string_view name, const JsonFragment& head, int tid,
                  std::int64_t startSinceFirstNs, std::int64_t startNs, std::int64_t endNs);

    Output& out_;
    std::vector<PairRule> rules_;
    JsonWriter json_;
    FILE* diagnostics_;
    std::string target_;
    std::uint64_t warnAt_;
    bool warned_ = false;
    std::deque<std::string> names_;  // the keys of the maps below, at stable addresses
    std::unordered_map<std::string_view, Track> tracks_;
    std::unordered_map<std::string_view, JsonFragment> stateHeads_;  // by state, on "SATA state"
    std::vector<std::unordered_map<std::string, Async>> asyncs_;     // per rule, by kind
    std::vector<JsonFragment> counters_;                             // per rule
    // Per rule, its transactions open (by id), and the depth drawn last
    // (none at first).
    std::vector<std::unordered_map<std::uint64_t, Open>> open_;
    std::vector<std::size_t> depthShown_;
    // The errors that open transactions wait for as their first, by ordinal:
    // how many wait, and its record once it came (0 before). At most one an
    // open transaction, and an error costs one lookup, whatever is open.
    struct FirstError {
        std::uint64_t waiting = 0, record = 0;
    };
    std::map<std::uint64_t, FirstError> firstErrors_;
    std::uint64_t errorsSeen_ = 0;
    // Per thread, where its last complete slice ends.
    std::unordered_map<int, std::int64_t> completeEnd_;
    std::uint64_t overlapping_ = 0;
    bool any_ = false;
    DBGTime firstTime_{0, 0};
    std::int64_t firstNs_ = 0;
    int nextTid_ = 1;
    int stateTid_ = 0;
    std::string kindLookup_;  // the key asyncOf looks a kind up with
};

}  // namespace qelttrace
