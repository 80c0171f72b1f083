// What the bridge's loop and the replay's loop share around their sockets: an
// owned socket, the listener that announces itself, the error texts, and the
// self-pipe that turns SIGINT and SIGTERM into a descriptor to poll.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/net.h"

namespace qeltbridge {

class Socket {
  public:
    Socket() = default;
    explicit Socket(QeltSocket s) : s_(s) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : s_(other.s_) { other.s_ = QELT_INVALID_SOCKET; }
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            reset();
            s_ = other.s_;
            other.s_ = QELT_INVALID_SOCKET;
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    QeltSocket get() const { return s_; }
    // The descriptor poll() takes (see QeltSocket).
    int fd() const { return static_cast<int>(s_); }
    explicit operator bool() const { return s_ != QELT_INVALID_SOCKET; }
    void reset() {
        if (s_ != QELT_INVALID_SOCKET) qelt_net_close(s_);
        s_ = QELT_INVALID_SOCKET;
    }
    // Closes with RST, discarding what is unsent.
    void abort() {
        if (s_ != QELT_INVALID_SOCKET) qelt_net_abort(s_);
        s_ = QELT_INVALID_SOCKET;
    }

  private:
    QeltSocket s_ = QELT_INVALID_SOCKET;
};

// The system's text for an error, and an address as "127.0.0.1:23".
std::string netError(int error);
std::string addressText(const QeltAddress& address);

// Listens on `host` and `port` (0: a free one, which `port` then holds, so a
// listener opened again after a reboot comes back on it), then prints
// "listening on ADDR:PORT" on standard output and flushes. `shown` gets
// ADDR:PORT. False, with `error` set, when nothing can be bound; `listen` is
// the address as the user gave it, for the message.
bool openListener(const std::string& host, uint16_t& port, const std::string& listen, Socket& out,
                  std::string& shown, std::string& error);

// The next connection waiting on `listener`, with TCP_NODELAY asked (answers
// are small and awaited line by line; a refusal costs only speed and is
// logged), and its peer in `from`; an empty socket once none is waiting. An
// interrupted accept is retried; a failed one is logged and ends the round.
Socket acceptWaiting(const Socket& listener, QeltAddress& from,
                     const std::function<void(const std::string&)>& log);

// Makes SIGINT and SIGTERM write to a pipe and ignores SIGPIPE. Call once.
bool installStopSignals(std::string& error);
// A descriptor of its own that turns readable once SIGINT or SIGTERM came
// (the pipe outlives every user, who closes this copy), or -1 with `error`.
int stopSignalDescriptor(std::string& error);

}  // namespace qeltbridge
