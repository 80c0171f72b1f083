// qeltbridge --replay LOG: the sessions of a PROBELINK_LOG recording played
// back on the listening socket, one per accepted connection, in order (the
// ReplayPlan), each as recorded (its SessionReplay): one thread and one poll
// loop, as the bridge itself, which only carries out what those two decide.
//
// Standard error gets a line per session event, beginning "qeltbridge: ", and
// for each session that did not go as recorded exactly one line beginning
// "replay: session S" (S counting the sessions from 1):
//   replay: session 2, line 3: expected "pwista<0D><0A>", got "hwrst<0D><0A>"
//   replay: session 5: not played (no connection within 30 s of its recorded time)
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "recording/log_reader.h"

namespace qeltbridge {

class Replay {
  public:
    Replay(Options options, recording::Log log);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // Listens on options.listen and prints "listening on ADDR:PORT" as the
    // bridge does (installStopSignals must have been called). False, with
    // `error` set, when it cannot.
    bool start(std::string& error);

    // Plays every session; returns 0 when all were played as recorded, 1
    // when any diverged or was not played (also when stopped by SIGINT or
    // SIGTERM first), or when the poll loop itself fails.
    int run();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qeltbridge
