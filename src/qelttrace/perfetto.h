// A Chrome trace-event JSON that Perfetto's UI and chrome://tracing open: one
// track (thread) per event, each matched pair one complete slice named after
// its start event (overlapping ones of a keyed rule on further lanes of its
// track), the SATA states as slices on a track of their own, errors as global
// instants, every other record an instant on its event's track; their
// arguments from the table of fields. Written as the records stream, from
// what the statistics hand on; memory holds the tracks and the lanes. Times
// are relative to the first record.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "json.h"
#include "output.h"
#include "pairs.h"
#include "stream.h"

namespace qelttrace {

// Microseconds with a three-digit fraction for `ns` nanoseconds, written so
// that reading them as a double, times 1000, truncated, gives `ns` back (a
// fourth digit, 5, is added where the three alone would read one below).
void appendMicroseconds(std::string& out, std::int64_t ns);

class PerfettoWriter : public Writer {
  public:
    PerfettoWriter(Output& out, std::vector<PairRule> rules);
    void record(const Record& record, const Observation& observation) override;
    void transaction(const Transaction& transaction) override;
    void state(const StateSpan& span) override;
    void end(const Ending& ending) override;

  private:
    int track(std::string_view name);
    int laneTrack(std::size_t rule, const PairPoint& start, std::int64_t endNs);
    void begin(const char* phase, std::string_view name, int tid, std::int64_t sinceFirstNs);
    void time(std::string_view key, std::int64_t ns);
    void finish();

    Output& out_;
    std::vector<PairRule> rules_;
    JsonWriter json_;
    std::unordered_map<std::string, int> tracks_;
    // Per rule, the end time of the last slice in each lane: slices that
    // overlap (keyed pairs open at once) go to further lanes of the track.
    std::vector<std::vector<std::int64_t>> lanes_;
    bool any_ = false;
    DBGTime firstTime_{0, 0};
    std::int64_t firstNs_ = 0;
    int nextTid_ = 1;
    std::string number_;
};

}  // namespace qelttrace
