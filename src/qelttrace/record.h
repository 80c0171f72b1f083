// The record stream of qelttrace: what every input kind turns into, and what
// every output (text, csv, jsonl, statistics, Perfetto, HTML) is fed.
//
//   Record  one record: a line with a timestamp token and a record text
//   Sink    receives the stream: banner and span lines, records, the end
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "trace/sata_format.h"

namespace qelttrace {

enum class Status { kOk, kParseError, kInvalidParameter };

// One record. The views stay valid for the duration of the call that hands it
// over; a sink that keeps a record copies it (OwnedRecord).
struct Record {
    std::uint64_t number = 0;  // in the input, from 1
    DBGTime time{0, 0};        // as the trace job prints it
    DBGTime delta{0, 0};
    std::int64_t timeNs = 0;
    std::int64_t deltaNs = 0;
    std::string_view event;  // the three words; empty when it did not decode
    std::string_view qualifier;
    std::string_view argument;
    std::string_view text;  // the record text as received, line ends dropped
    Status status = Status::kOk;
    bool held = false;  // shown at the previous time: its own went backwards
    // The record as the formatter has it, for printing it as the trace job does.
    const SataTraceRecord* trace = nullptr;
};

// Nanoseconds of a printed time: seconds x 10^9 + nanoseconds.
inline std::int64_t nanoseconds(const DBGTime& t) {
    return std::int64_t{t.sec} * 1000000000 + t.nsec;
}

// "1523.108795610": a time as the trace job prints it, without the padding.
std::string timeText(const DBGTime& t);
// Appends timeText(t), without building a string on the way.
void appendTime(std::string& out, const DBGTime& t);
// A duration in nanoseconds as seconds.nanoseconds ("0.000001200").
std::string durationText(std::int64_t ns);

// A record that outlives the call that handed it over.
class OwnedRecord {
  public:
    OwnedRecord() = default;
    explicit OwnedRecord(const Record& record) { assign(record); }
    OwnedRecord(const OwnedRecord& other) { assign(other.view()); }
    OwnedRecord& operator=(const OwnedRecord& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    void assign(const Record& record);
    const Record& view() const { return record_; }

  private:
    void bind();
    Record record_;
    std::string event_, qualifier_, argument_, text_, shown_;
    SataTraceRecord trace_{};
    bool hasTrace_ = false;
};

// Where the stream goes. Banner and span lines matter only to the text
// format, which prints them as the trace job does.
class Sink {
  public:
    virtual ~Sink() = default;
    virtual void banner(const char* text) { (void)text; }
    virtual void span(const SataTraceRecord& span) { (void)span; }
    virtual void record(const Record& record) = 0;
    // The end of the input; `dumpRead` tells whether any input was a dump or
    // a capture (rather than decoded output, which holds its own closing span).
    virtual void end(bool dumpRead) { (void)dumpRead; }
};

}  // namespace qelttrace
