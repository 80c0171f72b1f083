// A deliberately plain TCP client for checking the bridge's bytes on the wire,
// or for playing a hostile one: no telnet processing at all, everything
// received is kept as it came. POSIX only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelttest {

class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to host (IPv4 or IPv6 literal) and port. False, with `error`.
    bool connect(const std::string& host, uint16_t port, std::string& error);

    // Sends all bytes; false on failure.
    bool send(std::string_view bytes);
    // Sends what the socket takes of `bytes` at once, without waiting (the
    // peer may have stopped reading); the number of bytes sent.
    std::size_t sendNow(std::string_view bytes);

    // Receives until the unconsumed bytes contain `needle`, the peer closes,
    // or `timeout` passes. True if the needle was found.
    bool readUntil(std::string_view needle,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    // Receives until the peer closes or fails. Returns 0 on an orderly close,
    // the errno of a failed receive (e.g. ECONNRESET), or -1 on time-out.
    int readToEnd(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    // Receives whatever arrives within `wait`; false if the peer closed.
    bool readFor(std::chrono::milliseconds wait);

    // The unconsumed bytes received so far; take() returns them and consumes.
    const std::string& buffer() const { return buffer_; }
    std::string take();
    // Returns the unconsumed bytes up to and including `needle` (which must
    // be there) and consumes them.
    std::string takeThrough(std::string_view needle);

    uint64_t totalReceived() const { return total_; }
    bool closed() const { return closed_; }

    // Closes the connection with FIN, or with RST (SO_LINGER 0).
    void close();
    void closeWithReset();

    // Answers the login and password prompts with the tool's credentials;
    // true once the prompt arrived.
    bool login();
    // Sends a command line and returns everything up to and including the
    // next prompt ("" if it did not come).
    std::string command(const std::string& line);

  private:
    // One receive with a poll time-out: >0 bytes, 0 closed, -1 timed out,
    // otherwise -errno.
    int receiveOnce(std::chrono::milliseconds timeout);

    int fd_ = -1;
    std::string buffer_;
    uint64_t total_ = 0;
    bool closed_ = false;
};

}  // namespace qelttest
