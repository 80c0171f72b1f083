// What the faults asked for on the command line let one session's output do:
// how many bytes may go now, when to try again, and when to drop or stall the
// connection instead. No sockets and no clock of its own: the session gives it
// its byte counters and the time, and tells it what went out.
//
//   --split BYTES         segments of at most BYTES, each followed by a pause
//   --split-pause-ms MS   of MS (none when 0)
//   --line-delay-ms MS    a pause of MS after each line end that goes out
//   --drop-after BYTES    close (FIN, or RST with --reset) once BYTES are sent
//   --stall-after BYTES   send nothing more once BYTES are sent
//
// A segment never crosses a line end or either threshold, so the pauses and
// the drop or stall fall exactly there. The thresholds are checked before the
// pauses: a drop or stall due at the end of a segment happens at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "options.h"

namespace qeltbridge {

class FaultPlan {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    enum class Action {
        Send,         // send `bytes` now
        Wait,         // a pause: nothing before `at`
        Idle,         // nothing queued
        Stall,        // send nothing more, keep the connection
        DropWithFin,  // close now, politely
        DropWithRst,  // close now with RST
    };
    struct Step {
        Action action = Action::Idle;
        std::size_t bytes = 0;  // Send: at most this many
        TimePoint at{};         // Wait: until then
    };

    // No faults at all: everything queued may go at once.
    FaultPlan() = default;
    // The faults of `options`.
    explicit FaultPlan(const Options& options);

    // A line of output ends at stream offset `end` (bytes queued in the
    // session so far); --line-delay-ms pauses there. Ignored without it.
    void lineQueued(uint64_t end);
    // The queued output was thrown away (the session closes or stalls).
    void discardQueued() { lineEnds_.clear(); }

    // What may happen now, with `sent` bytes of the session sent so far and
    // `pending` more queued.
    Step next(uint64_t sent, std::size_t pending, TimePoint now) const;

    // The bytes up to stream offset `sent` have gone out, at `now`: starts the
    // pauses they call for.
    void sentUpTo(uint64_t sent, TimePoint now);

  private:
    std::size_t split_ = 0;
    std::chrono::milliseconds splitPause_{0};
    std::chrono::milliseconds lineDelay_{0};
    std::optional<uint64_t> dropAfter_;
    bool reset_ = false;
    std::optional<uint64_t> stallAfter_;
    std::deque<uint64_t> lineEnds_;  // offsets still to pause at, rising
    TimePoint resumeAt_{};           // no sending before this
};

}  // namespace qeltbridge
