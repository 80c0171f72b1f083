// The loop that the bridge and the replay share: one thread, one poll over
// the stop signal, the listener and the connections. The loop owns the
// listener (opened, closed, opened again after a pause) and the wait; what
// the connections do is the server's own, and the loop calls back into it
// (ServerLoop::Server) once a round:
//
//   beforeWait(now)   timers due by now; may end the loop with a status
//   watch(fds)        the connections to wait on
//   wakeAt(now)       when the next timer is due
//   serve(...)        what the wait found ready (accept() takes connections)
//   stop()            SIGINT or SIGTERM came
//
// The loop's own lines on standard error begin "qeltbridge: " and the
// server's name ("replay: " or none): "listening on ADDR:PORT", "ADDR: ...;
// trying again", "stopping on a signal", "poll failed: ...".
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

namespace qeltbridge {

// After our FIN, how long a peer may take to close too. What it still sends
// meanwhile is read and dropped, so that it does not turn the close into an
// RST.
constexpr std::chrono::milliseconds kDrain{2000};
// How soon to try again when the port cannot be bound (after a reboot, or
// after a refusal the replay played).
constexpr std::chrono::milliseconds kRebindRetry{100};
// At most what one read takes from a connection.
constexpr std::size_t kReadSize = 4096;

// "qeltbridge: WHAT" on standard error.
void log(const std::string& what);

// One read of at most kReadSize bytes from a connection into `buffer`: the
// count read; 0 once the peer closed (`error` 0) or the connection failed
// (`error` the system's); -1 when there is nothing to read yet.
long readSome(const qelt::Socket& socket, char (&buffer)[kReadSize], int& error);

// The poll entry for a connection (its socket is a descriptor: the bridge is
// a POSIX program).
inline pollfd watchFor(const qelt::Socket& socket, short events) {
    return {static_cast<int>(socket.get()), events, 0};
}

class ServerLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // What the loop calls back into once a round, in this order.
    class Server {
      public:
        // Carries out what is due by `now`. kGoOn, or the exit status that
        // ends run().
        virtual int beforeWait(TimePoint now) = 0;
        // Appends the connections to wait on (watchFor), in the order that
        // serve() gets them back.
        virtual void watch(std::vector<pollfd>& fds) = 0;
        // When the wait ends at the latest.
        virtual TimePoint wakeAt(TimePoint now) const = 0;
        // `ready`: the connections watched, their revents filled in.
        // `connecting`: connections wait to be accepted.
        virtual void serve(const pollfd* ready, std::size_t count, bool connecting,
                           TimePoint now) = 0;
        // SIGINT or SIGTERM came: the exit status.
        virtual int stop() = 0;

      protected:
        ~Server() = default;
    };

    static constexpr int kGoOn = -1;

    // `name` begins the loop's own messages after "qeltbridge: ".
    ServerLoop(std::string listen, std::string name);
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // Makes SIGINT and SIGTERM stop the loop and ignores SIGPIPE, listens on
    // the address given (announced as openListener does), then serves until
    // the server ends it or a signal comes. The exit status: the server's,
    // exit_status::kInputOutput when it cannot start (the reason on standard
    // error), or kDiverged when the wait itself fails.
    int run(Server& server);

    bool listening() const { return static_cast<bool>(listener_); }
    // Closes the listener: connections are refused until listenAgain() opens
    // it, at `reopenAt` at the earliest.
    void stopListening(TimePoint reopenAt);
    // Opens the listener again once `now` has reached the time set for it;
    // when the port cannot be bound, says so and tries again kRebindRetry
    // later. True once it listens.
    bool listenAgain(TimePoint now);
    // When listenAgain() may try next.
    TimePoint reopenAt() const { return reopenAt_; }

    // The next connection waiting on the listener, with TCP_NODELAY asked
    // (answers are small and awaited line by line; a refusal costs only
    // speed and is logged), and its peer in `from`; an empty socket once
    // none is waiting or when not listening. An interrupted accept is
    // retried; a failed one is logged and ends the round.
    qelt::Socket accept(QeltAddress& from);

  private:
    bool start(std::string& error);
    bool open(std::string& error);

    const std::string listen_;
    const std::string name_;
    std::string host_;
    std::uint16_t port_ = 0;  // 0 until the first bind chose one
    qelt::Socket listener_;
    TimePoint reopenAt_{};
    int signalRead_ = -1;
};

}  // namespace qeltbridge
