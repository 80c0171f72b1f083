// Where the bridge's SATA trace records come from: the built-in capture, a
// file, or a generator. Records are lines "%6d.%09d CODE TAG ARG" without a
// line end; the session adds CR LF when it sends them.
#pragma once

#include <array>
#include <cstddef>
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
// made on demand. In order a record costs one step of the workload; a record
// asked for out of order is made again from the nearest state saved before
// it. A few cursors keep their places, so sessions paging through at once do
// not undo each other's work. Saved states come every `spacing` records
// (tests use small spacings), at most kMaxSaved of them: when there would be
// more, every other one goes and the spacing doubles, so they hold a few
// hundred kilobytes whatever `count`. Not for two threads at once (the
// bridge serves from one).
class GeneratedTrace final : public TraceSource {
  public:
    static constexpr uint64_t kSpacing = 32768;
    static constexpr std::size_t kMaxSaved = 512;

    GeneratedTrace(uint64_t count, const WorkloadSettings& settings, uint64_t spacing = kSpacing);
    uint64_t size() const override { return count_; }
    void appendRecord(uint64_t index, std::string& out) const override;
    // Bytes held by the saved states and the cursors.
    std::size_t savedBytes() const;

  private:
    static constexpr std::size_t kCursors = 4;
    struct Cursor {
        WorkloadState state;
        uint64_t lastUse = 0;
    };

    std::size_t advance(WorkloadState& state, char* line) const;
    Cursor& cursorFor(uint64_t index) const;

    uint64_t count_;
    mutable uint64_t spacing_;
    mutable std::vector<WorkloadState> saved_;  // [i]: the state before record i * spacing_
    mutable std::array<Cursor, kCursors> cursors_{};
    mutable uint64_t uses_ = 0;
};

std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, const WorkloadSettings& settings);
// The default workload of `seed`.
std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, uint64_t seed);

}  // namespace qeltbridge
