#include "bridge.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/exit_status.h"
#include "fault_plan.h"
#include "server_loop.h"
#include "session_protocol.h"

namespace qeltbridge {
namespace {

using TimePoint = ServerLoop::TimePoint;
using std::chrono::milliseconds;

// Output queued for one session beyond which its input is left unread.
constexpr std::size_t kMaxQueued = 1 << 20;
// Sent output kept at the front of a session's queue before it is cut off.
constexpr std::size_t kMaxSentKept = 65536;

// The bridge's side of the loop: its sessions, each with its telnet side, its
// fault plan and its state, and the power state they share.
struct Bridge final : ServerLoop::Server {
    struct Session final : ProtocolOutput {
        int id = 0;
        SessionState state = SessionState::Open;
        qelt::Socket socket;
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
        bool takesOutput() const { return qeltbridge::takesOutput(state); }
        bool handlesInput() const { return qeltbridge::handlesInput(state); }
        bool active() const { return countsAsSession(state); }
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

    Bridge(Options o, std::unique_ptr<TraceSource> t)
        : options(std::move(o)), trace(std::move(t)), loop(options.listen, "") {
        state.options = &options;
        state.trace = trace.get();
    }

    Options options;
    std::unique_ptr<TraceSource> trace;
    ServerLoop loop;
    std::vector<std::unique_ptr<Session>> sessions;
    std::vector<Session*> polled;  // the sessions watched, in the order of the wait
    int nextId = 1;
    bool rebootRequested = false;
    BridgeState state;  // what the conversations read

    // ---- logging --------------------------------------------------------

    static void log(const Session& s, const std::string& what) {
        std::fprintf(stderr, "qeltbridge: session %d: %s\n", s.id, what.c_str());
    }
    static void log(const std::string& what) { qeltbridge::log(what); }

    // ---- session states -------------------------------------------------

    // The one place a session changes state (nextState decides), and what
    // each change does.
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
            s.drainDeadline = now + kDrain;
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
            change(s, SessionEvent::Gone, now, "send failed: " + qelt::errorMessage(e));
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
        for (;;) {
            QeltAddress from{};
            qelt::Socket accepted = loop.accept(from);
            if (!accepted) return;
            auto s = std::make_unique<Session>();
            s->id = nextId++;
            s->peer = qelt::addressText(from);
            s->socket = std::move(accepted);
            if (!admit(*s, now)) continue;
            flush(*s, now);
            sessions.push_back(std::move(s));
        }
    }

    void readFrom(Session& s, TimePoint now) {
        char buffer[kReadSize];
        int error = 0;
        const long got = readSome(s.socket, buffer, error);
        if (got < 0) return;
        if (got == 0 && error != 0) {
            change(s, SessionEvent::Gone, now, "receive failed: " + qelt::errorMessage(error));
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
        loop.stopListening(now + milliseconds(options.rebootMs));
        for (auto& s : sessions) change(*s, SessionEvent::Rebooting, now);
    }

    void runTimers(TimePoint now) {
        if (!loop.listening() && loop.listenAgain(now))
            state.bootEnd = now + milliseconds(options.bootMs);
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

    // The earliest timer, rounded up to whole milliseconds from `now`, so
    // that the loop does not wake a moment early and spin.
    TimePoint wakeAt(TimePoint now) const override {
        TimePoint wake = now + milliseconds(1000);
        if (!loop.listening()) wake = std::min(wake, loop.reopenAt());
        for (const auto& sp : sessions) {
            const Session& s = *sp;
            if (s.state == SessionState::Draining) wake = std::min(wake, s.drainDeadline);
            if (s.takesOutput() && s.pending() > 0 && !s.wantWrite) {
                const FaultPlan::Step step = s.plan.next(s.sent, s.pending(), now);
                if (step.action == FaultPlan::Action::Wait) wake = std::min(wake, step.at);
            }
            if (s.awaitsLogin()) wake = std::min(wake, s.loginDeadline);
        }
        if (wake <= now) return now;
        return now + std::chrono::ceil<milliseconds>(
                         std::chrono::duration_cast<std::chrono::microseconds>(wake - now));
    }

    void reap() {
        sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                      [](const auto& s) { return s->state == SessionState::Dead; }),
                       sessions.end());
    }

    // ---- the loop's rounds --------------------------------------------------

    int beforeWait(TimePoint now) override {
        runTimers(now);
        reap();
        return ServerLoop::kGoOn;
    }

    // Every session, in `polled` order.
    void watch(std::vector<pollfd>& fds) override {
        polled.clear();
        for (const auto& sp : sessions) {
            // A client that sends commands but does not read the answers
            // is not read from until its queue drains, so it cannot make
            // the bridge hold unbounded output.
            short events = sp->pending() < kMaxQueued ? POLLIN : 0;
            if (sp->wantWrite && sp->takesOutput()) events = static_cast<short>(events | POLLOUT);
            fds.push_back(watchFor(sp->socket, events));
            polled.push_back(sp.get());
        }
    }

    // Serves what the wait found ready, session by session; a reboot asked
    // for on the way ends the round.
    void serve(const pollfd* ready, std::size_t count, bool connecting, TimePoint now) override {
        if (connecting) acceptAll(now);
        for (std::size_t i = 0; i < count && !rebootRequested; ++i) {
            Session& s = *polled[i];
            const short revents = ready[i].revents;
            if (s.state == SessionState::Dead) continue;
            if (revents & POLLOUT) s.wantWrite = false;
            if (revents & (POLLIN | POLLHUP | POLLERR)) readFrom(s, now);
            flush(s, now);
        }
        if (rebootRequested) reboot(now);
    }

    int stop() override {
        sessions.clear();
        return exit_status::kSuccess;
    }
};

}  // namespace

int runBridge(Options options, std::unique_ptr<TraceSource> trace) {
    Bridge bridge(std::move(options), std::move(trace));
    return bridge.loop.run(bridge);
}

}  // namespace qeltbridge
