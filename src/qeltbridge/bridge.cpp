#include "bridge.h"

// The signal self-pipe and the poll over every session stay POSIX here: the
// bridge is a Linux program, and its sockets are descriptors there (net.h).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "fault_plan.h"
#include "platform/net.h"
#include "server_socket.h"
#include "session_protocol.h"

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
// Sent output kept at the front of a session's queue before it is cut off.
constexpr std::size_t kMaxSentKept = 65536;

// Where a session is in its life. Every change goes through
// Bridge::Impl::change, which also does what the change means.
enum class SessionState {
    Refused,   // over --max-sessions: its one message goes out, then it drains
    Open,      // the conversation runs: input is handled, answers are sent
    Closing,   // the conversation ended: its last answer goes out, then it drains
    Stalled,   // --stall-after: nothing more is sent; input is still handled
    Draining,  // our FIN is sent; input is read and dropped until the client closes
    Dead,      // gone; the loop reaps it
};

enum class SessionEvent {
    Ended,      // exit, the third failed login, the login time-out
    Stalled,    // the fault plan stalls the output
    Flushed,    // everything queued has gone out
    Dropped,    // the fault plan drops the connection (FIN)
    Reset,      // the fault plan drops the connection with RST
    Rebooting,  // hwrst: every session closes
    Gone,       // the client closed, or the connection or its telnet stream failed
    Drained,    // the drain time-out passed
};

SessionState nextState(SessionState state, SessionEvent event) {
    using S = SessionState;
    if (state == S::Dead) return S::Dead;
    switch (event) {
        case SessionEvent::Ended:
            if (state == S::Open) return S::Closing;
            return state == S::Stalled ? S::Draining : state;
        case SessionEvent::Stalled:
            if (state == S::Open) return S::Stalled;
            return state == S::Closing ? S::Draining : state;
        case SessionEvent::Flushed:
            return state == S::Closing || state == S::Refused ? S::Draining : state;
        case SessionEvent::Dropped:
        case SessionEvent::Rebooting:
            return S::Draining;
        case SessionEvent::Reset:
        case SessionEvent::Gone:
            return S::Dead;
        case SessionEvent::Drained:
            return state == S::Draining ? S::Dead : state;
    }
    return state;
}

}  // namespace

struct Bridge::Impl {
    struct Session final : ProtocolOutput {
        int id = 0;
        SessionState state = SessionState::Open;
        Socket socket;
        std::string peer;
        bool wantWrite = false;                     // the kernel buffer was full: wait for POLLOUT
        std::unique_ptr<SessionProtocol> protocol;  // none when refused
        FaultPlan plan;
        TimePoint loginDeadline;
        TimePoint drainDeadline;
        std::string out;  // wire bytes not yet sent, from outPos on
        std::size_t outPos = 0;
        uint64_t queued = 0;  // wire bytes queued in the whole session
        uint64_t sent = 0;    // wire bytes sent in the whole session

        std::size_t pending() const { return out.size() - outPos; }
        bool takesOutput() const {
            return state == SessionState::Open || state == SessionState::Closing ||
                   state == SessionState::Refused;
        }
        bool handlesInput() const {
            return state == SessionState::Open || state == SessionState::Stalled;
        }
        // Counted against --max-sessions.
        bool active() const {
            return state == SessionState::Open || state == SessionState::Closing ||
                   state == SessionState::Stalled;
        }
        bool awaitsLogin() const { return handlesInput() && !protocol->loggedIn(); }
        void discardOutput() {
            out.clear();
            outPos = 0;
            plan.discardQueued();
        }

        // ProtocolOutput
        void wire(std::string_view bytes) override {
            if (!takesOutput()) return;
            out.append(bytes);
            queued += bytes.size();
        }
        void lineEnd() override {
            if (takesOutput()) plan.lineQueued(queued);
        }
        void note(const std::string& what) override { log(*this, what); }
    };

    Options options;
    std::unique_ptr<TraceSource> trace;
    std::string host;
    uint16_t port = 0;
    Socket listener;
    int signalRead = -1;
    std::vector<std::unique_ptr<Session>> sessions;
    int nextId = 1;
    bool rebootRequested = false;
    bool rebooting = false;
    TimePoint rebootEnd;
    BridgeState state;  // what the conversations read

    ~Impl() {
        if (signalRead >= 0) ::close(signalRead);
    }

    // ---- logging --------------------------------------------------------

    static void log(const Session& s, const std::string& what) {
        std::fprintf(stderr, "qeltbridge: session %d: %s\n", s.id, what.c_str());
    }
    static void log(const std::string& what) {
        std::fprintf(stderr, "qeltbridge: %s\n", what.c_str());
    }

    // ---- listening ------------------------------------------------------

    bool openListener(std::string& error) {
        std::string shown;
        if (!qeltbridge::openListener(host, port, options.listen, listener, shown, error))
            return false;
        log("listening on " + shown);
        return true;
    }

    // ---- session states -------------------------------------------------

    // The one place a session changes state, and what each change does.
    void change(Session& s, SessionEvent event, TimePoint now, const std::string& why = {}) const {
        const SessionState from = s.state;
        const SessionState to = nextState(from, event);
        if (event == SessionEvent::Stalled && from != to) {
            log(s, "stalled after " + std::to_string(s.sent) + " bytes");
            s.discardOutput();
        }
        if (to == from) return;
        s.state = to;
        if (to == SessionState::Draining) {
            // Closing politely: FIN now, then read and discard until the
            // client closes, so that nothing it still sends turns the close
            // into an RST.
            log(s, "closing: " + closeReason(s, from, event));
            qelt_net_shutdown_send(s.socket.get());
            s.drainDeadline = now + kDrainTimeout;
            s.discardOutput();
        } else if (to == SessionState::Dead) {
            if (!why.empty()) log(s, why);
            if (event == SessionEvent::Reset) {
                log(s, "dropped with RST after " + std::to_string(s.sent) + " bytes");
                s.socket.abort();
            }
        }
    }

    static std::string closeReason(const Session& s, SessionState from, SessionEvent event) {
        switch (event) {
            case SessionEvent::Dropped:
                return "dropped after " + std::to_string(s.sent) + " bytes";
            case SessionEvent::Rebooting:
                return "reboot";
            default:
                return from == SessionState::Refused ? "refused" : "session ended";
        }
    }

    // ---- output -----------------------------------------------------------

    // One send of up to `n` queued bytes. False once the session is dead.
    bool sendSome(Session& s, std::size_t n, TimePoint now) const {
        const long written = qelt_net_send(s.socket.get(), s.out.data() + s.outPos, n);
        if (written < 0) {
            const int e = qelt_net_last_error();
            if (qelt_net_interrupted(e)) return true;
            if (qelt_net_would_block(e)) {
                s.wantWrite = true;
                return true;
            }
            change(s, SessionEvent::Gone, now, "send failed: " + netError(e));
            return false;
        }
        const auto count = static_cast<std::size_t>(written);
        s.outPos += count;
        s.sent += count;
        if (s.outPos == s.out.size()) {
            s.out.clear();
            s.outPos = 0;
        } else if (s.outPos > kMaxSentKept) {
            s.out.erase(0, s.outPos);
            s.outPos = 0;
        }
        if (count < n) s.wantWrite = true;
        s.plan.sentUpTo(s.sent, now);
        return true;
    }

    // Sends what the session's fault plan allows now; the plan's pauses are
    // timers (pollTimeout), a full kernel buffer waits for POLLOUT (wantWrite).
    void flush(Session& s, TimePoint now) const {
        while (s.takesOutput()) {
            const FaultPlan::Step step = s.plan.next(s.sent, s.pending(), now);
            switch (step.action) {
                case FaultPlan::Action::DropWithFin:
                    change(s, SessionEvent::Dropped, now);
                    return;
                case FaultPlan::Action::DropWithRst:
                    change(s, SessionEvent::Reset, now);
                    return;
                case FaultPlan::Action::Stall:
                    change(s, SessionEvent::Stalled, now);
                    return;
                case FaultPlan::Action::Send:
                    if (s.wantWrite || !sendSome(s, step.bytes, now)) return;
                    break;
                case FaultPlan::Action::Idle:
                    change(s, SessionEvent::Flushed, now);
                    return;
                case FaultPlan::Action::Wait:
                    return;
            }
        }
    }

    // ---- sessions -----------------------------------------------------------

    std::size_t activeSessions() const {
        return static_cast<std::size_t>(std::count_if(sessions.begin(), sessions.end(),
                                                      [](const auto& s) { return s->active(); }));
    }

    // Sets up a session that was accepted; false if it cannot be served.
    bool admit(Session& s, TimePoint now) {
        if (activeSessions() >= static_cast<std::size_t>(options.maxSessions)) {
            s.state = SessionState::Refused;
            log(s, "refused " + s.peer + ": too many sessions");
            s.wire("Too many sessions, try again later\r\n");
            return true;
        }
        s.plan = FaultPlan(options);
        s.protocol = std::make_unique<SessionProtocol>(state, s, options.lineDelayMs > 0);
        if (!s.protocol->ready()) {
            log(s, "out of memory for the telnet state");
            return false;
        }
        log(s, "connected from " + s.peer);
        s.loginDeadline = now + milliseconds(options.loginTimeoutMs);
        s.protocol->open();
        return true;
    }

    void acceptAll(TimePoint now) {
        while (listener) {
            QeltAddress from{};
            Socket accepted =
                acceptWaiting(listener, from, [](const std::string& what) { log(what); });
            if (!accepted) return;
            auto s = std::make_unique<Session>();
            s->id = nextId++;
            s->peer = addressText(from);
            s->socket = std::move(accepted);
            if (!admit(*s, now)) continue;
            flush(*s, now);
            sessions.push_back(std::move(s));
        }
    }

    void readFrom(Session& s, TimePoint now) {
        char buffer[4096];
        const long got = qelt_net_recv(s.socket.get(), buffer, sizeof buffer);
        if (got < 0) {
            const int e = qelt_net_last_error();
            if (qelt_net_interrupted(e) || qelt_net_would_block(e)) return;
            change(s, SessionEvent::Gone, now, "receive failed: " + netError(e));
            return;
        }
        if (got == 0) {
            const bool draining = s.state == SessionState::Draining;
            change(s, SessionEvent::Gone, now, draining ? "" : "closed by the client");
            return;
        }
        if (!s.handlesInput()) return;
        switch (s.protocol->serve(std::string_view(buffer, static_cast<std::size_t>(got)), now)) {
            case SessionProtocol::Event::None:
                break;
            case SessionProtocol::Event::Close:
                change(s, SessionEvent::Ended, now);
                break;
            case SessionProtocol::Event::Reboot:
                rebootRequested = true;
                break;
            case SessionProtocol::Event::Broken:
                change(s, SessionEvent::Gone, now);
                return;
        }
        flush(s, now);
    }

    void reboot(TimePoint now) {
        rebootRequested = false;
        log("rebooting: off the network for " + std::to_string(options.rebootMs) + " ms");
        // Off the network first, so a client that sees its session end can
        // count on the port refusing connections until the reboot is over.
        listener.reset();
        for (auto& s : sessions) change(*s, SessionEvent::Rebooting, now);
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
            if (s.state == SessionState::Draining && now >= s.drainDeadline)
                change(s, SessionEvent::Drained, now);
            if (s.state == SessionState::Dead || s.state == SessionState::Draining) continue;
            if (s.awaitsLogin() && now >= s.loginDeadline) {
                log(s, "login timed out");
                s.protocol->say("\r\nLogin timed out\r\n");
                change(s, SessionEvent::Ended, now);
            }
            flush(s, now);
        }
    }

    int pollTimeout(TimePoint now) const {
        TimePoint wake = now + milliseconds(1000);
        if (rebooting) wake = std::min(wake, rebootEnd);
        for (const auto& sp : sessions) {
            const Session& s = *sp;
            if (s.state == SessionState::Draining) wake = std::min(wake, s.drainDeadline);
            if (s.takesOutput() && s.pending() > 0 && !s.wantWrite) {
                const FaultPlan::Step step = s.plan.next(s.sent, s.pending(), now);
                if (step.action == FaultPlan::Action::Wait) wake = std::min(wake, step.at);
            }
            if (s.awaitsLogin()) wake = std::min(wake, s.loginDeadline);
        }
        if (wake <= now) return 0;
        // Round up, so the loop does not wake a moment early and spin.
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
        return static_cast<int>((us + 999) / 1000);
    }

    void reap() {
        sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                      [](const auto& s) { return s->state == SessionState::Dead; }),
                       sessions.end());
    }

    // The descriptors to wait on: the signal pipe, the listener (if any), then
    // every session in `polled` order.
    void pollSet(std::vector<pollfd>& fds, std::vector<Session*>& polled) const {
        fds.clear();
        polled.clear();
        fds.push_back({signalRead, POLLIN, 0});
        if (listener) fds.push_back({listener.fd(), POLLIN, 0});
        for (const auto& sp : sessions) {
            // A client that sends commands but does not read the answers
            // is not read from until its queue drains, so it cannot make
            // the bridge hold unbounded output.
            short events = sp->pending() < kMaxQueued ? POLLIN : 0;
            if (sp->wantWrite && sp->takesOutput()) events = static_cast<short>(events | POLLOUT);
            fds.push_back({sp->socket.fd(), events, 0});
            polled.push_back(sp.get());
        }
    }

    // Serves what poll() found ready, session by session; a reboot asked
    // for on the way ends the round.
    void serveReady(const std::vector<pollfd>& fds, const std::vector<Session*>& polled,
                    bool listening, TimePoint now) {
        const std::size_t base = listening ? 2 : 1;
        if (listening && (fds[1].revents & POLLIN)) acceptAll(now);
        for (std::size_t i = 0; i < polled.size() && !rebootRequested; ++i) {
            Session& s = *polled[i];
            const short revents = fds[base + i].revents;
            if (s.state == SessionState::Dead) continue;
            if (revents & POLLOUT) s.wantWrite = false;
            if (revents & (POLLIN | POLLHUP | POLLERR)) readFrom(s, now);
            flush(s, now);
        }
        if (rebootRequested) reboot(now);
    }

    int run() {
        std::vector<pollfd> fds;
        std::vector<Session*> polled;
        for (;;) {
            TimePoint now = Clock::now();
            runTimers(now);
            reap();
            pollSet(fds, polled);
            const bool listening = static_cast<bool>(listener);
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
            serveReady(fds, polled, listening, Clock::now());
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
    return installStopSignals(error);
}

bool Bridge::start(std::string& error) {
    if (!splitHostPort(impl_->options.listen, impl_->host, impl_->port)) {
        error = "malformed listen address " + impl_->options.listen;
        return false;
    }
    // Taken before the listener announces itself, so that nothing the bridge
    // opens for itself comes after "listening on": a watcher may count the
    // descriptors from then on.
    impl_->signalRead = stopSignalDescriptor(error);
    if (impl_->signalRead < 0) return false;
    return impl_->openListener(error);
}

int Bridge::run() {
    return impl_->run();
}

}  // namespace qeltbridge
