// A Chrome trace-event JSON that Perfetto's UI and chrome://tracing open: one
// track (thread) per event, each matched pair one complete slice named after
// its start event, the SATA states as slices on a track of their own, errors
// as global instants, every other record an instant on its event's track.
// Written as the records stream; memory holds the tracks and the pairs open.
// Times are relative to the first record (the statistics' first), which the
// statistics must see before this writer does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "export.h"
#include "stats.h"

namespace qelttrace {

// Microseconds with a three-digit fraction for `ns` nanoseconds, written so
// that reading them as a double, times 1000, truncated, gives `ns` back (a
// fourth digit, 5, is added where the three alone would read one below).
void appendMicroseconds(std::string& out, std::int64_t ns);

class PerfettoWriter : public Sink, public StatsObserver {
  public:
    PerfettoWriter(FILE* out, const Statistics& stats);
    void record(const Record& record) override;
    void end(bool dumpRead) override;

    void matched(std::size_t pair, const PairPoint& start, const PairPoint& end,
                 std::string_view key) override;
    void unmatched(std::size_t pair, const PairPoint& point, bool isStart) override;
    void state(std::string_view name, const PairPoint& start, std::int64_t endNs) override;

  private:
    int track(std::string_view name);
    int laneTrack(std::size_t pair, const PairPoint& start, std::int64_t endNs);
    void begin(const char* phase, std::string_view name, int tid, std::int64_t ns);
    void finishEvent(std::uint64_t record);

    StreamWriter writer_;
    const Statistics& stats_;
    std::unordered_map<std::string, int> tracks_;
    // Per pair, the end time of the last slice in each lane: slices that
    // overlap (keyed pairs open at once) go to further lanes of the track.
    std::vector<std::vector<std::int64_t>> lanes_;
    bool any_ = false;
    DBGTime baseTime_{0, 0};
    int nextTid_ = 1;
};

}  // namespace qelttrace
