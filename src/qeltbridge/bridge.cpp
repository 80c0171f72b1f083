#include "bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libtelnet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>
#include <vector>

#include "conversation.h"
#include "line_assembler.h"

namespace qeltbridge {
namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using std::chrono::milliseconds;

// A session that is closing keeps reading until the client closes too, so
// that late input does not turn our FIN into an RST; this bounds the wait.
constexpr milliseconds kDrainTimeout{2000};
// How soon to try again when the port cannot be bound after a reboot.
constexpr milliseconds kRebindRetry{100};
// Output queued for one session beyond which its input is left unread.
constexpr std::size_t kMaxQueued = 1 << 20;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct TelnetFree {
    void operator()(telnet_t* telnet) const { telnet_free(telnet); }
};
using TelnetPtr = std::unique_ptr<telnet_t, TelnetFree>;

// No option is accepted on the client's initiative; the options we offer
// ourselves with --negotiate are tracked by the library's own option state.
const telnet_telopt_t kTelopts[] = {{-1, 0, 0}};

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Nothing to do if the pipe is full: a stop is already pending.
    if (::write(g_signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

std::string addressText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
    port = ntohs(in4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

const char* optionName(unsigned char option) {
    switch (option) {
        case TELNET_TELOPT_ECHO:
            return "ECHO";
        case TELNET_TELOPT_SGA:
            return "SGA";
        case TELNET_TELOPT_TTYPE:
            return "TTYPE";
        case TELNET_TELOPT_NAWS:
            return "NAWS";
        case TELNET_TELOPT_LINEMODE:
            return "LINEMODE";
        case TELNET_TELOPT_BINARY:
            return "BINARY";
        default:
            return nullptr;
    }
}

std::string optionText(unsigned char option) {
    const char* name = optionName(option);
    return name ? name : std::to_string(option);
}

}  // namespace

struct Bridge::Impl {
    struct Session {
        explicit Session(const BridgeState& state) : conversation(state) {}

        int id = 0;
        UniqueFd fd;
        std::string peer;
        TelnetPtr telnet;
        bool refused = false;           // over --max-sessions: one message, then closed
        bool closeWhenFlushed = false;  // exit, third failed login, login time-out
        bool dead = false;
        bool stalled = false;
        bool wantWrite = false;  // the kernel buffer was full: wait for POLLOUT
        Conversation conversation;
        bool draining = false;  // closed our side; reading until the client closes
        TimePoint loginDeadline;
        TimePoint drainDeadline;
        TimePoint nextSendAt;
        LineAssembler assembler;
        std::vector<std::string> inLines;
        std::string out;  // wire bytes not yet sent, from outPos on
        std::size_t outPos = 0;
        uint64_t queued = 0;            // wire bytes queued in the whole session
        uint64_t sent = 0;              // wire bytes sent in the whole session
        std::deque<uint64_t> lineEnds;  // stream offsets to pause at (--line-delay-ms)

        std::size_t pending() const { return out.size() - outPos; }
    };

    Options options;
    std::unique_ptr<TraceSource> trace;
    std::string host;
    uint16_t port = 0;
    UniqueFd listener;
    UniqueFd signalRead;
    std::vector<std::unique_ptr<Session>> sessions;
    int nextId = 1;
    bool rebootRequested = false;
    bool rebooting = false;
    TimePoint rebootEnd;
    BridgeState state;  // what the conversations read

    // ---- logging --------------------------------------------------------

    static void log(const Session& s, const std::string& what) {
        std::fprintf(stderr, "qeltbridge: session %d: %s\n", s.id, what.c_str());
    }
    static void log(const std::string& what) {
        std::fprintf(stderr, "qeltbridge: %s\n", what.c_str());
    }

    // ---- listening ------------------------------------------------------

    bool openListener(std::string& error) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(port);
        const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        if (rc != 0) {
            error = "cannot resolve " + host + ": " + gai_strerror(rc);
            return false;
        }
        std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
        error = "no usable address for " + host;
        for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
            UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                 ai->ai_protocol));
            if (!fd) {
                error = std::string("socket: ") + std::strerror(errno);
                continue;
            }
            const int one = 1;
            setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (ai->ai_family == AF_INET6)
                setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 ||
                ::listen(fd.get(), 128) != 0) {
                error = "cannot listen on " + options.listen + ": " + std::strerror(errno);
                continue;
            }
            sockaddr_storage bound{};
            socklen_t length = sizeof bound;
            getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
            const std::string shown = addressText(bound);
            // A reboot comes back on the port first bound, even if it was port 0.
            port = ntohs(bound.ss_family == AF_INET6
                             ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                             : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
            listener = std::move(fd);
            std::printf("listening on %s\n", shown.c_str());
            std::fflush(stdout);
            log("listening on " + shown);
            return true;
        }
        return false;
    }

    // ---- output -----------------------------------------------------------

    static void enqueueWire(Session& s, const char* data, std::size_t size) {
        if (s.stalled || s.dead || s.draining) return;
        s.out.append(data, size);
        s.queued += size;
    }

    static void sendText(Session& s, std::string_view text) {
        telnet_send(s.telnet.get(), text.data(), text.size());
    }

    // Closing politely: FIN now, then read and discard until the client
    // closes, so that nothing it still sends turns the close into an RST.
    static void startDrain(Session& s, TimePoint now, const std::string& reason) {
        if (s.dead || s.draining) return;
        log(s, "closing: " + reason);
        ::shutdown(s.fd.get(), SHUT_WR);
        s.draining = true;
        s.drainDeadline = now + kDrainTimeout;
        s.out.clear();
        s.outPos = 0;
        s.lineEnds.clear();
    }

    void drop(Session& s, TimePoint now) const {
        if (options.reset) {
            linger hard{1, 0};
            setsockopt(s.fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            log(s, "dropped with RST after " + std::to_string(s.sent) + " bytes");
            s.fd.reset();
            s.dead = true;
        } else {
            startDrain(s, now, "dropped after " + std::to_string(s.sent) + " bytes");
        }
    }

    // Sends what the session's pacing and faults allow now; sets a timer
    // (nextSendAt) or waits for POLLOUT (wantWrite) for the rest.
    void flush(Session& s, TimePoint now) const {
        if (s.dead || s.draining) return;
        const bool faults = !s.refused;
        while (!s.dead && !s.draining) {
            if (faults && options.dropAfter && s.sent >= *options.dropAfter) {
                drop(s, now);
                return;
            }
            if (faults && options.stallAfter && s.sent >= *options.stallAfter && !s.stalled) {
                s.stalled = true;
                s.out.clear();
                s.outPos = 0;
                s.lineEnds.clear();
                log(s, "stalled after " + std::to_string(s.sent) + " bytes");
            }
            if (s.stalled || s.pending() == 0 || s.wantWrite || now < s.nextSendAt) break;

            std::size_t n = s.pending();
            if (faults) {
                if (options.split > 0) n = std::min(n, options.split);
                if (options.dropAfter) n = std::min<uint64_t>(n, *options.dropAfter - s.sent);
                if (options.stallAfter) n = std::min<uint64_t>(n, *options.stallAfter - s.sent);
                if (!s.lineEnds.empty() && s.lineEnds.front() > s.sent)
                    n = std::min<uint64_t>(n, s.lineEnds.front() - s.sent);
            }
            const ssize_t written = ::send(s.fd.get(), s.out.data() + s.outPos, n, MSG_NOSIGNAL);
            if (written < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    s.wantWrite = true;
                    break;
                }
                log(s, std::string("send failed: ") + std::strerror(errno));
                s.dead = true;
                return;
            }
            const auto count = static_cast<std::size_t>(written);
            s.outPos += count;
            s.sent += count;
            if (s.outPos == s.out.size()) {
                s.out.clear();
                s.outPos = 0;
            } else if (s.outPos > 65536) {
                s.out.erase(0, s.outPos);
                s.outPos = 0;
            }
            if (count < n) s.wantWrite = true;
            if (!faults) continue;
            bool pause = false;
            while (!s.lineEnds.empty() && s.lineEnds.front() <= s.sent) {
                s.lineEnds.pop_front();
                s.nextSendAt = now + milliseconds(options.lineDelayMs);
                pause = true;
            }
            if (options.split > 0 && options.splitPauseMs > 0) {
                s.nextSendAt = std::max(s.nextSendAt, now + milliseconds(options.splitPauseMs));
                pause = true;
            }
            if (pause && s.pending() > 0) {
                // Let the thresholds above act on this segment before pausing.
                if ((options.dropAfter && s.sent >= *options.dropAfter) ||
                    (options.stallAfter && s.sent >= *options.stallAfter))
                    continue;
                break;
            }
        }
        if (s.closeWhenFlushed && !s.dead && !s.draining && (s.pending() == 0 || s.stalled))
            startDrain(s, now, s.refused ? "refused" : "session ended");
    }

    // ---- conversation ------------------------------------------------------

    // The session's answers go out through its telnet state, so that data is
    // escaped and each line end is a point --line-delay-ms pauses at.
    class SessionSink : public ReplySink {
      public:
        SessionSink(Session& s, const Options& options) : s_(s), options_(options) {}
        void text(std::string_view data) override { sendText(s_, data); }
        void line(std::string_view data) override {
            sendText(s_, data);
            sendText(s_, "\r\n");
            if (options_.lineDelayMs > 0) s_.lineEnds.push_back(s_.queued);
        }
        void goAhead() override { telnet_iac(s_.telnet.get(), TELNET_GA); }
        void note(const std::string& what) override { log(s_, what); }

      private:
        Session& s_;
        const Options& options_;
    };

    void handleLine(Session& s, const std::string& line, TimePoint now) {
        SessionSink sink(s, options);
        switch (s.conversation.handleLine(line, now, sink)) {
            case Conversation::Request::None:
                break;
            case Conversation::Request::Close:
                s.closeWhenFlushed = true;
                break;
            case Conversation::Request::Reboot:
                rebootRequested = true;
                break;
        }
    }

    static void onTelnetEvent(telnet_t* telnet, telnet_event_t* event, void* user) {
        auto& s = *static_cast<Session*>(user);
        switch (event->type) {
            case TELNET_EV_DATA:
                s.assembler.feed(std::string_view(event->data.buffer, event->data.size), s.inLines);
                break;
            case TELNET_EV_SEND:
                enqueueWire(s, event->data.buffer, event->data.size);
                break;
            case TELNET_EV_WILL:
                log(s, "client WILL " + optionText(event->neg.telopt));
                if (event->neg.telopt == TELNET_TELOPT_TTYPE) telnet_ttype_send(telnet);
                break;
            case TELNET_EV_WONT:
                log(s, "client WONT " + optionText(event->neg.telopt));
                break;
            case TELNET_EV_DO:
                log(s, "client DO " + optionText(event->neg.telopt));
                break;
            case TELNET_EV_DONT:
                log(s, "client DONT " + optionText(event->neg.telopt));
                break;
            case TELNET_EV_TTYPE:
                if (event->ttype.cmd == TELNET_TTYPE_IS && event->ttype.name)
                    log(s, "terminal type " + std::string(event->ttype.name));
                break;
            case TELNET_EV_SUBNEGOTIATION:
                log(s, "subnegotiation " + optionText(event->sub.telopt) + ", " +
                           std::to_string(event->sub.size) + " bytes");
                break;
            case TELNET_EV_WARNING:
                log(s, std::string("telnet warning: ") + event->error.msg);
                break;
            case TELNET_EV_ERROR:
                log(s, std::string("telnet error: ") + event->error.msg);
                s.dead = true;
                break;
            default:
                break;
        }
    }

    // ---- sessions -----------------------------------------------------------

    std::size_t activeSessions() const {
        return static_cast<std::size_t>(
            std::count_if(sessions.begin(), sessions.end(),
                          [](const auto& s) { return !s->dead && !s->refused && !s->draining; }));
    }

    void acceptAll(TimePoint now) {
        while (listener) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const int fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&from), &length,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    log(std::string("accept failed: ") + std::strerror(errno));
                return;
            }
            auto s = std::make_unique<Session>(state);
            s->id = nextId++;
            s->fd.reset(fd);
            s->peer = addressText(from);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            s->nextSendAt = now;
            if (activeSessions() >= static_cast<std::size_t>(options.maxSessions)) {
                s->refused = true;
                log(*s, "refused " + s->peer + ": too many sessions");
                const std::string_view message = "Too many sessions, try again later\r\n";
                enqueueWire(*s, message.data(), message.size());
                s->closeWhenFlushed = true;
            } else {
                s->telnet.reset(telnet_init(kTelopts, &Impl::onTelnetEvent, 0, s.get()));
                if (!s->telnet) {
                    log(*s, "out of memory for the telnet state");
                    continue;
                }
                log(*s, "connected from " + s->peer);
                if (options.negotiate) {
                    telnet_negotiate(s->telnet.get(), TELNET_WILL, TELNET_TELOPT_ECHO);
                    telnet_negotiate(s->telnet.get(), TELNET_WILL, TELNET_TELOPT_SGA);
                    telnet_negotiate(s->telnet.get(), TELNET_DO, TELNET_TELOPT_TTYPE);
                    telnet_negotiate(s->telnet.get(), TELNET_DO, TELNET_TELOPT_NAWS);
                }
                s->loginDeadline = now + milliseconds(options.loginTimeoutMs);
                SessionSink sink(*s, options);
                s->conversation.begin(sink);
            }
            flush(*s, now);
            sessions.push_back(std::move(s));
        }
    }

    void readFrom(Session& s, TimePoint now) {
        char buffer[4096];
        const ssize_t got = ::recv(s.fd.get(), buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
            log(s, std::string("receive failed: ") + std::strerror(errno));
            s.dead = true;
            return;
        }
        if (got == 0) {
            if (!s.draining) log(s, "closed by the client");
            s.dead = true;
            return;
        }
        if (s.draining || s.refused || s.closeWhenFlushed) return;
        telnet_recv(s.telnet.get(), buffer, static_cast<std::size_t>(got));
        std::vector<std::string> lines;
        lines.swap(s.inLines);
        for (const auto& line : lines) {
            if (s.dead || s.draining || s.closeWhenFlushed || rebootRequested) break;
            handleLine(s, line, now);
        }
        flush(s, now);
    }

    void reboot(TimePoint now) {
        rebootRequested = false;
        log("rebooting: off the network for " + std::to_string(options.rebootMs) + " ms");
        // Off the network first, so a client that sees its session end can
        // count on the port refusing connections until the reboot is over.
        listener.reset();
        for (auto& s : sessions) startDrain(*s, now, "reboot");
        rebooting = true;
        rebootEnd = now + milliseconds(options.rebootMs);
    }

    void runTimers(TimePoint now) {
        if (rebooting && now >= rebootEnd) {
            std::string error;
            if (openListener(error)) {
                rebooting = false;
                state.bootEnd = now + milliseconds(options.bootMs);
            } else {
                log(error + "; trying again");
                rebootEnd = now + kRebindRetry;
            }
        }
        for (auto& sp : sessions) {
            Session& s = *sp;
            if (s.dead) continue;
            if (s.draining) {
                if (now >= s.drainDeadline) s.dead = true;
                continue;
            }
            if (!s.refused && !s.closeWhenFlushed && !s.conversation.loggedIn() &&
                now >= s.loginDeadline) {
                log(s, "login timed out");
                sendText(s, "\r\nLogin timed out\r\n");
                s.closeWhenFlushed = true;
            }
            flush(s, now);
        }
    }

    int pollTimeout(TimePoint now) const {
        TimePoint wake = now + milliseconds(1000);
        if (rebooting) wake = std::min(wake, rebootEnd);
        for (const auto& sp : sessions) {
            const Session& s = *sp;
            if (s.dead) continue;
            if (s.draining) {
                wake = std::min(wake, s.drainDeadline);
                continue;
            }
            if (s.pending() > 0 && !s.stalled && !s.wantWrite) wake = std::min(wake, s.nextSendAt);
            if (!s.refused && !s.closeWhenFlushed && !s.conversation.loggedIn())
                wake = std::min(wake, s.loginDeadline);
        }
        if (wake <= now) return 0;
        // Round up, so the loop does not wake a moment early and spin.
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
        return static_cast<int>((us + 999) / 1000);
    }

    void reap() {
        sessions.erase(
            std::remove_if(sessions.begin(), sessions.end(), [](const auto& s) { return s->dead; }),
            sessions.end());
    }

    int run() {
        std::vector<pollfd> fds;
        std::vector<Session*> polled;
        for (;;) {
            TimePoint now = Clock::now();
            runTimers(now);
            reap();

            fds.clear();
            polled.clear();
            fds.push_back({signalRead.get(), POLLIN, 0});
            const bool listening = static_cast<bool>(listener);
            if (listening) fds.push_back({listener.get(), POLLIN, 0});
            for (auto& sp : sessions) {
                // A client that sends commands but does not read the answers
                // is not read from until its queue drains, so it cannot make
                // the bridge hold unbounded output.
                short events = sp->pending() < kMaxQueued ? POLLIN : 0;
                if (sp->wantWrite && !sp->stalled && !sp->draining)
                    events = static_cast<short>(events | POLLOUT);
                fds.push_back({sp->fd.get(), events, 0});
                polled.push_back(sp.get());
            }
            const int ready = ::poll(fds.data(), fds.size(), pollTimeout(now));
            if (ready < 0) {
                if (errno == EINTR) continue;
                log(std::string("poll failed: ") + std::strerror(errno));
                return 1;
            }
            if (fds[0].revents & POLLIN) {
                log("stopping on a signal");
                sessions.clear();
                return 0;
            }
            now = Clock::now();
            const std::size_t base = listening ? 2 : 1;
            if (listening && (fds[1].revents & POLLIN)) acceptAll(now);
            for (std::size_t i = 0; i < polled.size(); ++i) {
                Session& s = *polled[i];
                const short revents = fds[base + i].revents;
                if (s.dead) continue;
                if (revents & POLLOUT) s.wantWrite = false;
                if (revents & (POLLIN | POLLHUP | POLLERR)) readFrom(s, now);
                if (!s.dead) flush(s, now);
                if (rebootRequested) break;
            }
            if (rebootRequested) reboot(now);
        }
    }
};

Bridge::Bridge(Options options, std::unique_ptr<TraceSource> trace)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->trace = std::move(trace);
    impl_->state.options = &impl_->options;
    impl_->state.trace = impl_->trace.get();
}

Bridge::~Bridge() = default;

bool Bridge::installSignalHandlers(std::string& error) {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
        error = std::string("sigaction: ") + std::strerror(errno);
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool Bridge::start(std::string& error) {
    if (g_signalPipe[0] < 0) {
        error = "signal handlers not installed";
        return false;
    }
    if (!splitHostPort(impl_->options.listen, impl_->host, impl_->port)) {
        error = "malformed listen address " + impl_->options.listen;
        return false;
    }
    // The pipe outlives the bridge (a signal may arrive at any time), so the
    // bridge only borrows its read end. Taken before the listener announces
    // itself, so that nothing the bridge opens for itself comes after
    // "listening on": a watcher may count the descriptors from then on.
    impl_->signalRead = UniqueFd(::fcntl(g_signalPipe[0], F_DUPFD_CLOEXEC, 0));
    if (!impl_->signalRead) {
        error = std::string("signal pipe: ") + std::strerror(errno);
        return false;
    }
    return impl_->openListener(error);
}

int Bridge::run() {
    return impl_->run();
}

}  // namespace qeltbridge
