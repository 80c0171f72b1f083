// The record filters, for every output: a glob on the event (--event, any of
// several), a window on the time (--from, --to, both bounds included), the
// records that tell of trouble (--errors), and the records around each record
// they select (--context N, as grep -C: overlapping windows merge, each
// record once). The records they do not select are handed on all the same,
// as passed over (RecordSink::passedOver), in the input's order: the pair
// rules match over the whole input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stages.h"

namespace qelttrace {

struct FilterOptions {
    std::vector<std::string> events;
    bool hasFrom = false;
    bool hasTo = false;
    std::int64_t fromNs = 0;
    std::int64_t toNs = 0;
    bool errors = false;
    std::uint64_t context = 0;

    // Whether any filter leaves records out (the text format then prints the
    // records alone).
    bool active() const { return !events.empty() || hasFrom || hasTo || errors; }
    TimeWindow window() const { return TimeWindow{hasFrom, hasTo, fromNs, toNs}; }
};

// Glob matching on bytes: '*', '?', '[...]' (ranges, '!' or '^' to negate),
// '\' quoting the next character.
bool globMatch(std::string_view pattern, std::string_view text);
// Empty when `pattern` is a well-formed glob, else the reason.
std::string globError(std::string_view pattern);

// Passes the records that the filters select, and those around them, on to
// `next`, and the others as passed over; banner and span lines only when no
// filter is active. A record not selected is handed on once it is known not
// to be in the context of a later one: at most `context` records late.
class Filter : public RecordSink {
  public:
    Filter(FilterOptions options, RecordSink& next);
    void banner(const char* text) override;
    void span(const DBGTime& span) override;
    void record(const Record& record) override;
    void end(const DBGTime* closingSpan) override;

  private:
    bool selected(const Record& record) const;

    FilterOptions options_;
    RecordSink& next_;
    bool active_;
    // The last records that were not passed on, up to `context` of them, oldest at head_.
    std::vector<Record> before_;
    std::size_t head_ = 0, held_ = 0;
    std::uint64_t after_ = 0;
};

}  // namespace qelttrace
