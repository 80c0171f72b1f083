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

#include "options.h"
#include "recording/log_reader.h"

namespace qeltbridge {

// Listens on options.listen and prints "listening on ADDR:PORT" as the bridge
// does, then plays every session of `recorded`. Returns 0 when all were
// played as recorded, 1 when any diverged or was not played (also when
// stopped by SIGINT or SIGTERM first) or the poll loop fails, 3 when it
// cannot listen (the reason on standard error).
int runReplay(Options options, recording::Log recorded);

}  // namespace qeltbridge
