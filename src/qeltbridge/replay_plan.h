// The sessions of a recording in their order, played one per accepted
// connection: when the listener must refuse (a recorded refusal), when a
// session is due and when it is too late, and what the replay ends with.
// No sockets and no clock of its own, like the fault plan.
//
//   A session that connected after refused attempts: the port refuses from
//   the end of the session before (the bridge went away, as a reboot does)
//   for the recorded time until the connection, scaled by the speed; then it
//   listens and the session is due. It counts as unplayed when its connection
//   does not come within kLate of that (the first session of a run waits for
//   its tool to be started, without limit).
//   A session that got no connection at all (the tool timed out refused):
//   the port refuses for the time the tool kept trying, unscaled, since that
//   is the tool's own time-out, which no speed shortens; then the session is
//   played.
//   A session that never reached the network (invalid arguments, a name not
//   resolved): nothing to play.
//
// Sessions of one run (one process, see recording::Session::run) keep their
// recorded gaps; a session that began before the one before it ended (two
// threads) is due as soon as that one has connected.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "recording/log_reader.h"

namespace qeltbridge {

class ReplayPlan {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr std::chrono::seconds kLate{30};

    enum class Outcome {
        kPending,   // not yet played
        kPlaying,   // its connection is being served
        kPlayed,    // played as recorded
        kDiverged,  // the tool did something else
        kUnplayed,  // its connection never came
        kNothing,   // nothing on the network to play
    };

    ReplayPlan(const recording::Log& log, double speed, TimePoint start);

    // Whether the port listens at `now`.
    bool listening(TimePoint now) const;
    // Moves on by time: refusals that are over, sessions that came too late.
    // Returns the sessions (indexes) that became unplayed.
    std::vector<std::size_t> advance(TimePoint now);
    // A connection was accepted at `now`: the index of the session it plays,
    // or -1 when every session has had its connection.
    int accept(TimePoint now);
    // The session at `index` ended with `outcome` at `now`.
    void finished(std::size_t index, Outcome outcome, TimePoint now);
    // Every session not played yet counts as unplayed (the replay is stopped).
    std::vector<std::size_t> stop();

    // When advance() or listening() may change next; `now` plus a second
    // when nothing is due.
    TimePoint wakeAt(TimePoint now) const;
    // True once every session has an outcome and none is playing.
    bool over() const;
    // True once no session is left for a connection to play.
    bool allAccepted() const { return next_ >= sessions_.size(); }
    // 0 when every session was played as recorded (or had nothing to play), else 1.
    int exitStatus() const;
    Outcome outcome(std::size_t index) const { return sessions_[index].outcome; }
    std::size_t size() const { return sessions_.size(); }

  private:
    enum class Kind { kConnects, kRefused, kNothing };
    struct Planned {
        Kind kind = Kind::kConnects;
        bool firstOfRun = true;
        bool overlaps = false;       // began before the session before it ended
        std::int64_t gapUs = 0;      // from the end of the session before to its start
        std::int64_t refusedUs = 0;  // from its start to its connection, or to its end
        Outcome outcome = Outcome::kPending;
    };

    std::chrono::microseconds scaled(std::int64_t us) const;
    // The end of the refusal before the next session, and when it is due.
    TimePoint refusedUntil() const;
    TimePoint dueAt() const;
    void moveOn(TimePoint readyAt);

    std::vector<Planned> sessions_;
    double speed_;
    std::size_t next_ = 0;  // the session the next connection plays
    bool ready_ = true;     // next_ may start: the session before it is over
    TimePoint readyAt_;
    int playing_ = 0;
};

}  // namespace qeltbridge
