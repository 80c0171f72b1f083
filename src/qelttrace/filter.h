// The record filters, for every output: a glob on the event (--event, any of
// several), a window on the time (--from, --to, both bounds included), the
// records that tell of trouble (--errors), and the records around each match
// (--context N, as grep -C: overlapping windows merge, each record once).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "record.h"

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
};

// Glob matching on bytes: '*', '?', '[...]' (ranges, '!' or '^' to negate),
// '\' quoting the next character.
bool globMatch(std::string_view pattern, std::string_view text);
// Empty when `pattern` is a well-formed glob, else the reason.
std::string globError(std::string_view pattern);

// SECONDS as the trace job prints times ("1523.108795610", "12", "-1.5"; at
// most nine decimals) into nanoseconds. Empty on success, else the reason.
std::string parseSeconds(const std::string& text, std::int64_t* ns);

// A record that tells of trouble: it did not decode; a fatal or unexpected
// event, a failed allocation; any word naming an error action, a fatal,
// illegal or COMMRESET istatus, or the COMMRESET state; or it was shown at a
// held time because its own went backwards.
bool isError(const Record& record);

// Passes the records that the filters select, and those around them, on to
// `next`; banner and span lines only when no filter is active.
class Filter : public Sink {
  public:
    Filter(FilterOptions options, Sink& next);
    void banner(const char* text) override;
    void span(const SataTraceRecord& span) override;
    void record(const Record& record) override;
    void end(bool dumpRead) override;

  private:
    bool selected(const Record& record) const;

    FilterOptions options_;
    Sink& next_;
    bool selecting_;
    std::deque<OwnedRecord> before_;
    std::uint64_t after_ = 0;
};

// Hands the stream to several sinks in turn.
class Tee : public Sink {
  public:
    void add(Sink& sink) { sinks_.push_back(&sink); }
    void banner(const char* text) override {
        for (Sink* s : sinks_) s->banner(text);
    }
    void span(const SataTraceRecord& span) override {
        for (Sink* s : sinks_) s->span(span);
    }
    void record(const Record& record) override {
        for (Sink* s : sinks_) s->record(record);
    }
    void end(bool dumpRead) override {
        for (Sink* s : sinks_) s->end(dumpRead);
    }

  private:
    std::vector<Sink*> sinks_;
};

}  // namespace qelttrace
