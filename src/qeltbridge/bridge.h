// The simulated bridge: one thread, one poll loop, many telnet sessions, each
// with its own conversation, sharing the bridge's power state (running,
// rebooting, booting) and its trace. Pacing and faults are timers in the loop
// and per-session output queues, so a slow session never holds up the others.
// A session's telnet side is a SessionProtocol, what its faults allow is its
// FaultPlan, and where it is in its life one state with one place that
// changes it; the loop only moves bytes between them and the sockets.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "trace_source.h"

namespace qeltbridge {

class Bridge {
  public:
    Bridge(Options options, std::unique_ptr<TraceSource> trace);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Makes SIGINT and SIGTERM end run() cleanly and ignores SIGPIPE. Call once,
    // before run(). False, with `error` set, if the handlers cannot be set up.
    static bool installSignalHandlers(std::string& error);

    // Binds and listens on options.listen, then prints "listening on ADDR:PORT"
    // (the real port) on standard output and flushes. False, with `error` set,
    // when the address cannot be resolved or bound.
    bool start(std::string& error);

    // Serves until SIGINT or SIGTERM; returns the process exit status (0 on a
    // clean stop, 1 if the poll loop itself fails).
    int run();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qeltbridge
