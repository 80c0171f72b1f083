// The simulated bridge: one thread, one poll loop, many telnet sessions, each
// with its own conversation, sharing the bridge's power state (running,
// rebooting, booting) and its trace. Pacing and faults are timers in the loop
// and per-session output queues, so a slow session never holds up the others.
// A session's telnet side is a SessionProtocol, what its faults allow is its
// FaultPlan, and where it is in its life one state with one place that
// changes it (nextState); the loop only moves bytes between them and the
// sockets.
#pragma once

#include <memory>

#include "options.h"
#include "trace_source.h"

namespace qeltbridge {

// Listens on options.listen, prints "listening on ADDR:PORT" (the real port)
// on standard output and flushes, then serves until SIGINT or SIGTERM; it
// ignores SIGPIPE. Returns the process exit status (common/exit_status.h): 0
// on a clean stop, 3 when it cannot listen (the reason on standard error), 1
// when the poll loop fails.
int runBridge(Options options, std::unique_ptr<TraceSource> trace);

}  // namespace qeltbridge
