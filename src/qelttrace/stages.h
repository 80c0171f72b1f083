// The one direction of qelttrace: input -> records -> filter -> statistics ->
// writers. Every stage hands on to the next and never reaches back. The
// filter hands on every record, in the input's order: those it selects, and
// those it passes over (which only the statistics' pair rules see, so that
// transactions are matched over the whole input whatever is selected).
//
//   RecordSink   what the input, the filter and the statistics are fed
//   TimeWindow   --from and --to: what the records and transactions are of
//   Observation  what the statistics made of a record, handed on with it
//   Transaction  a pair rule's transaction, handed on when it closes or is left open
//   KeptTransaction  what is kept of one after it was handed on
//   StateSpan    a SATA state held from one SATAWakeup to the next
//   Writer       an output: records with their observations, transactions,
//                states, and at the end the finished statistics
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "input/record.h"

namespace qelttrace {

class Statistics;

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // The banner line as the formatter got it (line end included).
    virtual void banner(const char* text) { (void)text; }
    // A span line that the trace job prints (at an empty line of the dump).
    virtual void span(const DBGTime& span) { (void)span; }
    virtual void record(const Record& record) = 0;
    // A record the filters did not select, in its place in the input: the
    // pair rules see it, nothing else does.
    virtual void passedOver(const Record& record) { (void)record; }
    // The end of the input. `closingSpan` is the span of the whole dump that
    // the tool prints after a session, or null when only decoded output was
    // read (which holds its own).
    virtual void end(const DBGTime* closingSpan) { (void)closingSpan; }
};

// The time window of --from and --to, both bounds included: the records
// inside it, and the transactions that end inside it.
struct TimeWindow {
    bool hasFrom = false, hasTo = false;
    std::int64_t fromNs = 0, toNs = 0;
    bool holds(std::int64_t ns) const {
        return (!hasFrom || ns >= fromNs) && (!hasTo || ns <= toNs);
    }
    // Whether a transaction that started at `startNs` and ended (or was left
    // by a second start) at `closedNs` was open at --to.
    bool openAtTo(std::int64_t startNs, std::int64_t closedNs) const {
        return hasTo && startNs <= toNs && closedNs > toNs;
    }
};

// Where a record stands in the stream, as a transaction or a state begins or
// ends at it.
struct StreamPoint {
    std::uint64_t record = 0;
    std::int64_t timeNs = 0;
    std::int64_t sinceFirstNs = 0;  // since the first record of the stream (Observation)
    // Its place among the records of the input (from 1), and how many of
    // those before it tell of trouble: a transaction's records and errors are
    // the differences between its end and its start, whatever the filters
    // select.
    std::uint64_t position = 0;
    std::uint64_t troubleBefore = 0;
    bool trouble = false;
};

// The record starts or ends transaction `id` (from 1 in each rule) of pair
// rule `rule`; id 0 is an end that found no start. `key` and `kind` are the
// transaction's, `depth` the number of the rule's transactions open after it
// (over the whole input: those that began before --from count).
// `oldestStartNs` is the start time of the rule's oldest open transaction
// after it (when depth > 0): until the rule's next point, the oldest open
// one's age at time t is t - oldestStartNs, so that the largest age of a
// stretch of time is at its end or just before a point that changes it.
struct TransactionPoint {
    std::size_t rule = 0;
    std::uint64_t id = 0;
    bool start = false;
    std::string_view key, kind;
    std::size_t depth = 0;
    std::int64_t oldestStartNs = 0;
};

struct Observation {
    // The time since the first record of the stream: the first record that
    // the filters select or that lies inside the time window (with --event or
    // --errors, a record passed over may be the first, so that transactions
    // ending before the first selected record have a place in time too).
    std::int64_t sinceFirstNs = 0;
    // The name its event is counted under (the statistics cap the distinct
    // names); empty for a record that did not decode.
    std::string_view counted;
    // The transactions it starts or ends: empty for most records.
    std::vector<TransactionPoint> points;
    bool paired() const { return !points.empty(); }
    // Whether its gap is among the largest so far (--top), and the record
    // whose gap it pushed out of them (0 for none).
    bool topGap = false;
    std::uint64_t gapLeft = 0;
};

// A transaction of a pair rule: matched (start and end), a start left open
// (a second start came first, or the input ended), or an end with no start.
// Only those of the time window are handed on: matched or left by a second
// start inside it, or still open when it closed (the input's end, or --to).
struct Transaction {
    std::size_t rule = 0;
    std::uint64_t id = 0;  // 0 for an end with no start
    bool hasStart = false, hasEnd = false;
    StreamPoint start, end;
    std::string_view key;      // empty for an unkeyed rule
    std::string_view kind;     // empty for a rule without kinds, or an end with no start
    std::string_view outcome;  // the end's word that the rule reads; empty without
    // A start still open when the window closed (not one that a second start
    // of its key left), and its age then: from its start to the last
    // record's time, or to --to.
    bool openAtEnd = false;
    std::int64_t ageNs = 0;
    // The record that started it (its event is the rule's start), its text
    // left out, while it is handed on; null for an end with no start.
    const Record* startRecord = nullptr;
    // Matched: the records from its start to its end, both included, and
    // those among them that tell of trouble (what --errors selects).
    std::uint64_t records = 0, errors = 0;
    // Matched: whether it is among its rule's slowest so far (--top), and the
    // transaction it pushed out of them (0 for none).
    bool slowest = false;
    std::uint64_t slowestLeft = 0;
    bool matched() const { return hasStart && hasEnd; }
    std::int64_t durationNs() const { return end.timeNs - start.timeNs; }
};

// What is kept of a transaction once it was handed on (the slowest of a
// rule, the starts a listing holds until the end): its figures, its key and
// kind owned.
struct KeptTransaction {
    std::size_t rule = 0;
    std::uint64_t id = 0;
    std::string key, kind, outcome;
    std::uint64_t startRecord = 0, endRecord = 0;
    std::int64_t startNs = 0, durationNs = 0;
    std::uint64_t records = 0, errors = 0;
    bool ended = false;  // matched; a start left open otherwise

    KeptTransaction() = default;
    explicit KeptTransaction(const Transaction& t)
        : rule(t.rule),
          id(t.id),
          key(t.key),
          kind(t.kind),
          outcome(t.outcome),
          startRecord(t.start.record),
          endRecord(t.hasEnd ? t.end.record : 0),
          startNs(t.start.timeNs),
          durationNs(t.matched() ? t.durationNs() : 0),
          records(t.records),
          errors(t.errors),
          ended(t.matched()) {}
};

struct StateSpan {
    std::string_view state;
    StreamPoint start;
    std::int64_t endNs = 0;  // the next SATAWakeup's time, or the last record's
    // The SATAWakeup that entered it, while it is handed on.
    const Record* entered = nullptr;
};

// What a writer gets once the input is over.
struct Ending {
    const DBGTime* closingSpan = nullptr;    // as RecordSink::end has it
    const Statistics* statistics = nullptr;  // null when none were gathered
};

class Writer {
  public:
    virtual ~Writer() = default;
    virtual void banner(const char* text) { (void)text; }
    virtual void span(const DBGTime& span) { (void)span; }
    // Transactions and states a record closes reach the writers before it.
    virtual void record(const Record& record, const Observation& observation) = 0;
    virtual void transaction(const Transaction& transaction) { (void)transaction; }
    virtual void state(const StateSpan& span) { (void)span; }
    virtual void end(const Ending& ending) { (void)ending; }
};

// Hands everything to several writers in turn.
class Writers : public Writer {
  public:
    void add(Writer& writer) { list_.push_back(&writer); }
    void banner(const char* text) override {
        for (Writer* w : list_) w->banner(text);
    }
    void span(const DBGTime& span) override {
        for (Writer* w : list_) w->span(span);
    }
    void record(const Record& record, const Observation& observation) override {
        for (Writer* w : list_) w->record(record, observation);
    }
    void transaction(const Transaction& transaction) override {
        for (Writer* w : list_) w->transaction(transaction);
    }
    void state(const StateSpan& span) override {
        for (Writer* w : list_) w->state(span);
    }
    void end(const Ending& ending) override {
        for (Writer* w : list_) w->end(ending);
    }

  private:
    std::vector<Writer*> list_;
};

// The stage in place of the statistics when no output wants them: records
// go on to the writers as they are.
class Unobserved : public RecordSink {
  public:
    explicit Unobserved(Writer& next) : next_(next) {}
    void banner(const char* text) override { next_.banner(text); }
    void span(const DBGTime& span) override { next_.span(span); }
    void record(const Record& record) override { next_.record(record, none_); }
    void end(const DBGTime* closingSpan) override { next_.end(Ending{closingSpan, nullptr}); }

  private:
    Writer& next_;
    const Observation none_;
};

}  // namespace qelttrace
