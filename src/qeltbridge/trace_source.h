// Where the bridge's SATA trace records come from: the built-in capture, a
// file, or a generator. Records are lines "%6d.%09d CODE TAG ARG" without a
// line end; the session adds CR LF when it sends them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "workload.h"

namespace qeltbridge {

class TraceSource {
  public:
    virtual ~TraceSource() = default;
    // Number of records; indexes run from 0 to size() - 1.
    virtual uint64_t size() const = 0;
    // Appends record `index` (must be below size()), without a line end, to
    // `out`: a dump page reuses one buffer for all its records.
    virtual void appendRecord(uint64_t index, std::string& out) const = 0;
    // Record `index` on its own.
    std::string record(uint64_t index) const {
        std::string text;
        appendRecord(index, text);
        return text;
    }
};

// Splits text into records at LF; a CR before the LF is dropped, and a final
// LF does not start an empty record. Empty lines inside stay records.
std::vector<std::string> splitRecordLines(std::string_view text);

// The capture embedded at build time (empty if none was there to embed).
std::unique_ptr<TraceSource> makeBuiltinTrace();

// The records of a file as they stand; nullptr and `error` if unreadable.
std::unique_ptr<TraceSource> loadTraceFile(const std::string& path, std::string& error);

// `count` records of the workload that `settings` describe (workload.h),
// made on demand: in order they cost a step each; a record asked for out of
// order is made again from the nearest saved state before it. The saved
// states are at most a few hundred kilobytes, whatever `count`. Not for two
// threads at once (the bridge serves from one).
std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, const WorkloadSettings& settings);
std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, uint64_t seed);

}  // namespace qeltbridge
