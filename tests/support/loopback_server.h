// A plain TCP server on a free IPv4 loopback port, for tests that play a peer
// by hand (one that never reads, one that answers ten thousand connections):
// each accepted connection is handed to `serve` on the server's own thread,
// one after another, and closed when it returns. POSIX only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace qelttest {

class LoopbackServer {
  public:
    // `serve` gets the connection's descriptor and a flag that is set once
    // the server is being destroyed (a long wait should give up then).
    using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;

    explicit LoopbackServer(Serve serve, int backlog = 16);
    ~LoopbackServer();  // stops accepting, waits for `serve`, closes
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // The port it listens on; 0 when it could not listen.
    uint16_t port() const { return port_; }

  private:
    void run();

    Serve serve_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace qelttest
