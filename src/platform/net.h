// Sockets for the telnet library and its test servers: everything that differs
// between BSD sockets and Winsock.
//
//   qelt_net_startup, qelt_net_cleanup   per-session start and end of the socket layer
//   qelt_net_resolve, qelt_net_address_text   name resolution into plain address records
//   qelt_net_socket, qelt_net_connect, qelt_net_connect_error   non-blocking TCP connect
//   qelt_net_send, qelt_net_recv, qelt_net_poll   I/O on a non-blocking socket
//   qelt_net_set_nodelay, qelt_net_ack_at_once, qelt_net_rearm_quick_ack
//                                  send and acknowledge at once
//   qelt_net_listen, qelt_net_start_listening, qelt_net_accept, qelt_net_local_port  servers
//   qelt_net_close, qelt_net_abort   closing with FIN or with RST
//   qelt_net_last_error, qelt_net_would_block, qelt_net_interrupted, qelt_net_reset_by_peer,
//   qelt_net_error_text
//
// What a server needs beyond that (the simulated bridge), as Redis's anet
// serves client and server alike:
//   qelt_net_accept_peer     accepting with the peer's address
//   qelt_net_local_address   the address a listener is bound to
//   qelt_net_resolve_reason  resolving, with the resolver's own reason on failure
//   qelt_net_error_message   the system's text for an error alone, for messages
//                            that quote it as the system words it
//
// Every socket made here is non-blocking, not inherited by child processes and
// never raises SIGPIPE; Nagle's algorithm stays as the system sets it. Errors come back as -1 with
// the reason in qelt_net_last_error(), read straight after the failing call.
//
// For C++ callers (the library, the bridge, the test servers), in namespace qelt:
//   Socket                  owns one socket and closes it, with FIN or (abort) with RST
//   NetScope                the socket layer started for as long as it lives
//   errorText, errorMessage, addressText   the texts above as strings
#pragma once

#include <stddef.h>
#include <stdint.h>

// A socket handle wide enough for both platforms (Winsock's SOCKET is pointer
// sized; its INVALID_SOCKET is all ones, which is -1 here). On POSIX it is the
// descriptor itself, so a POSIX-only program may poll it along with its other
// descriptors.
typedef intptr_t QeltSocket;
#define QELT_INVALID_SOCKET (static_cast<QeltSocket>(-1))

// One resolved address, copied out of the resolver's list so that no resolver
// memory outlives the call. 128 bytes hold any sockaddr (sockaddr_storage).
struct QeltAddress {
    int family;
    int length;
    alignas(8) unsigned char bytes[128];
};

// How many addresses of one name a resolve is given room for: more than a
// host has in practice, as the resolver lists them (IPv6 and IPv4 alike).
enum { QELT_NET_MAX_ADDRESSES = 16 };

enum QeltPollEvents { QELT_POLL_IN = 1, QELT_POLL_OUT = 2, QELT_POLL_ERROR = 4 };

enum QeltResolveResult {
    QELT_RESOLVE_OK = 0,
    QELT_RESOLVE_NOT_FOUND = 1,  // the name does not exist or has no address
    QELT_RESOLVE_SYSTEM = 2      // the resolver itself failed (memory, system error)
};

#ifdef __cplusplus
extern "C" {
#endif

// Starts the socket layer for one session (WSAStartup; nothing on POSIX).
// Returns 0 or -1. Each successful call must be paired with qelt_net_cleanup.
int qelt_net_startup(void);
void qelt_net_cleanup(void);

// Resolves `host` (a name or a numeric IPv4/IPv6 address without brackets) for
// TCP on `port`, IPv4 and IPv6 alike, in the resolver's order. Stores at most
// `capacity` addresses in `out` and their number in `*count`.
QeltResolveResult qelt_net_resolve(const char* host, int port, QeltAddress* out, int capacity,
                                   int* count);
// The numeric form of an address, "127.0.0.1:23" or "[::1]:23", into `text`
// (always NUL-terminated when size > 0).
void qelt_net_address_text(const QeltAddress* address, char* text, size_t size);
// The loopback address of the family (4 or 6) on `port`, for test servers.
QeltAddress qelt_net_loopback(int ipVersion, int port);

// A non-blocking TCP socket for the address's family, or QELT_INVALID_SOCKET.
QeltSocket qelt_net_socket(int family);
// Starts connecting: 0 connected at once, 1 in progress (poll for
// QELT_POLL_OUT, then ask qelt_net_connect_error), -1 failed.
int qelt_net_connect(QeltSocket s, const QeltAddress* address);
// The outcome of a connect that was in progress: 0 connected, else the error.
int qelt_net_connect_error(QeltSocket s);

// One send or receive on a non-blocking socket: the byte count (0 from recv is
// the peer's orderly close), or -1 (see qelt_net_would_block).
long qelt_net_send(QeltSocket s, const void* data, size_t length);
long qelt_net_recv(QeltSocket s, void* data, size_t length);
// Waits up to timeoutMs (negative: no limit) for `events` (QeltPollEvents).
// Returns the events that occurred (QELT_POLL_ERROR for errors and hang-ups,
// which a following recv or send explains; on Windows a hang-up may show as
// QELT_POLL_IN alone), 0 on time-out, -1 on failure
// (an interruption is a failure with qelt_net_interrupted true: the caller
// recomputes its time-out and waits again).
int qelt_net_poll(QeltSocket s, int events, int timeoutMs);

// Turns Nagle's algorithm off (`on` 1: TCP_NODELAY) or back on (0). Returns 0
// or -1.
int qelt_net_set_nodelay(QeltSocket s, int on);
// Makes the socket acknowledge what it receives at once instead of delaying the
// acknowledgement, so that a peer whose Nagle's algorithm holds its next small
// segment until then shows no silence it never made. Call once connected: on
// Windows this sets an acknowledgement frequency of 1 (SIO_TCP_SET_ACK_FREQUENCY)
// where the system offers it, on Linux TCP_QUICKACK. Returns 0, also where the
// system offers neither, or -1 when it offers one and refused it.
int qelt_net_ack_at_once(QeltSocket s);
// Linux clears TCP_QUICKACK again as it sees fit: call this after every read.
// Elsewhere nothing to do. Returns 0 or -1.
int qelt_net_rearm_quick_ack(QeltSocket s);

// A listening-to-be socket bound to `address` (port 0 takes a free one), with
// address reuse. It refuses connections until qelt_net_start_listening.
QeltSocket qelt_net_bind(const QeltAddress* address);
int qelt_net_start_listening(QeltSocket s, int backlog);
// A bound and listening socket in one step.
QeltSocket qelt_net_listen(const QeltAddress* address, int backlog);
// Accepts one connection (non-blocking), or QELT_INVALID_SOCKET: the
// accept of qelt_net_accept_peer without the peer's address.
QeltSocket qelt_net_accept(QeltSocket listener);
// The local port of a bound socket, or -1.
int qelt_net_local_port(QeltSocket s);
// Ends sending with FIN but keeps receiving (shutdown for writing).
int qelt_net_shutdown_send(QeltSocket s);

// Closes with an orderly FIN.
void qelt_net_close(QeltSocket s);
// Closes with RST (SO_LINGER of zero), discarding unsent data.
void qelt_net_abort(QeltSocket s);

int qelt_net_last_error(void);
// Whether an error means "try again when ready" (EAGAIN, EWOULDBLOCK).
bool qelt_net_would_block(int error);
// Whether an error means "interrupted by a signal" (EINTR).
bool qelt_net_interrupted(int error);
// Whether an error of a receive or send means the peer reset or aborted the
// connection (ECONNRESET, EPIPE, ECONNABORTED), as opposed to any other break.
bool qelt_net_reset_by_peer(int error);
// Whether a socket() failure only means the address family is unavailable, so
// that the next address is worth trying.
bool qelt_net_family_unsupported(int error);
// The system's text for an error, into `text` (always NUL-terminated).
void qelt_net_error_text(int error, char* text, size_t size);

// ---- servers ----------------------------------------------------------------

// Accepts one connection (non-blocking) as qelt_net_accept does, and stores
// the peer's address in `*peer` (when not null). A connection the peer gave up before it was
// accepted is skipped. Returns QELT_INVALID_SOCKET when none is waiting (qelt_net_would_block) or
// on error.
QeltSocket qelt_net_accept_peer(QeltSocket listener, QeltAddress* peer);
// The local address of a bound socket (its port is the real one after a bind
// to port 0). Returns 0 or -1.
int qelt_net_local_address(QeltSocket s, QeltAddress* out);
// qelt_net_resolve, and when it fails for want of the name or in the resolver
// itself, the resolver's reason ("Name or service not known") in `reason`
// (always NUL-terminated when reasonSize > 0; empty when the name resolved
// but to no IPv4 or IPv6 address).
QeltResolveResult qelt_net_resolve_reason(const char* host, int port, QeltAddress* out,
                                          int capacity, int* count, char* reason,
                                          size_t reasonSize);
// The system's text for an error without its number ("Address already in
// use"), into `text` (always NUL-terminated when size > 0).
void qelt_net_error_message(int error, char* text, size_t size);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>

namespace qelt {

// Owns one socket: closes it with FIN when it goes or is reset, or at once
// with RST by abort(). Moves, never copies. An empty one owns nothing.
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
    explicit operator bool() const { return s_ != QELT_INVALID_SOCKET; }
    // Closes with an orderly FIN; nothing when empty.
    void reset() {
        if (s_ != QELT_INVALID_SOCKET) qelt_net_close(s_);
        s_ = QELT_INVALID_SOCKET;
    }
    // Closes with RST, discarding what is unsent; nothing when empty.
    void abort() {
        if (s_ != QELT_INVALID_SOCKET) qelt_net_abort(s_);
        s_ = QELT_INVALID_SOCKET;
    }

  private:
    QeltSocket s_ = QELT_INVALID_SOCKET;
};

// qelt_net_startup for as long as it lives (ok() says whether it started),
// then qelt_net_cleanup.
class NetScope {
  public:
    NetScope() : ok_(qelt_net_startup() == 0) {}
    ~NetScope() {
        if (ok_) qelt_net_cleanup();
    }
    NetScope(const NetScope&) = delete;
    NetScope& operator=(const NetScope&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

// qelt_net_error_text: "Connection refused (111)", for logs read by people
// who may need the number.
std::string errorText(int error);
// qelt_net_error_message: "Address already in use", for messages that quote
// the system's words alone.
std::string errorMessage(int error);
// qelt_net_address_text: "127.0.0.1:23", "[::1]:23".
std::string addressText(const QeltAddress& address);

}  // namespace qelt
#endif
