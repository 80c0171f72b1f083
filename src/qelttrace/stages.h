// The one direction of qelttrace: input -> records -> filter -> statistics ->
// writers. Every stage hands on to the next and never reaches back.
//
//   RecordSink   what the input, the filter and the statistics are fed
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
    // The end of the input. `closingSpan` is the span of the whole dump that
    // the tool prints after a session, or null when only decoded output was
    // read (which holds its own).
    virtual void end(const DBGTime* closingSpan) { (void)closingSpan; }
};

// Where a record stands in the stream, as a transaction or a state begins or
// ends at it.
struct StreamPoint {
    std::uint64_t record = 0;
    std::int64_t timeNs = 0;
    std::int64_t sinceFirstNs = 0;  // since the first record of the stream
    // Its place among the records the statistics saw (from 1), and how many
    // of those before it tell of trouble: a transaction's records and errors
    // are the differences between its end and its start.
    std::uint64_t position = 0;
    std::uint64_t troubleBefore = 0;
    bool trouble = false;
};

// The record starts or ends transaction `id` (from 1 in each rule) of pair
// rule `rule`; id 0 is an end that found no start. `key` and `kind` are the
// transaction's, `depth` the number of the rule's transactions open after it.
struct TransactionPoint {
    std::size_t rule = 0;
    std::uint64_t id = 0;
    bool start = false;
    std::string_view key, kind;
    std::size_t depth = 0;
};

struct Observation {
    std::int64_t sinceFirstNs = 0;  // the time since the first record of the stream
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
struct Transaction {
    std::size_t rule = 0;
    std::uint64_t id = 0;  // 0 for an end with no start
    bool hasStart = false, hasEnd = false;
    StreamPoint start, end;
    std::string_view key;   // empty for an unkeyed rule
    std::string_view kind;  // empty for a rule without kinds, or an end with no start
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
    std::string key, kind;
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
