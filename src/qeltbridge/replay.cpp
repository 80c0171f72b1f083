#include "replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "replay_plan.h"
#include "replay_session.h"
#include "server_loop.h"

namespace qeltbridge {
namespace {

using Clock = ServerLoop::Clock;
using TimePoint = ServerLoop::TimePoint;
using Action = SessionReplay::Action;
using Outcome = ReplayPlan::Outcome;

std::string sessionName(std::size_t index) {
    return "session " + std::to_string(index + 1);
}

// The replay's side of the loop: the plan over the recorded sessions, and a
// connection per session being played, each with its SessionReplay.
struct Replay final : ServerLoop::Server {
    struct Connection {
        Connection(std::size_t i, qelt::Socket s, SessionReplay r)
            : index(i), socket(std::move(s)), replay(std::move(r)) {}
        std::size_t index;
        qelt::Socket socket;
        SessionReplay replay;
        std::string out;  // bytes not yet sent, from outPos on
        std::size_t outPos = 0;
        bool wantWrite = false;   // the kernel buffer was full: wait for POLLOUT
        bool toolClosed = false;  // nothing more to read
        bool finished = false;    // the plan knows how it ended
        TimePoint wake{};         // when to ask the replay again
        TimePoint drainUntil{};

        std::size_t pending() const { return out.size() - outPos; }
    };

    Options options;
    recording::Log recording;
    ReplayPlan plan;
    ServerLoop loop;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<Connection*> polled;  // the connections watched, in the order of the wait

    Replay(Options o, recording::Log l)
        : options(std::move(o)),
          recording(std::move(l)),
          plan(recording, options.replaySpeed, Clock::now()),
          loop(options.listen, "replay: ") {}

    // ---- the listener -----------------------------------------------------

    // Opens or closes the listener as the plan says: a recorded refusal is a
    // port that refuses, since a refused connection never reaches the bridge.
    void steerListener(TimePoint now) {
        const bool wanted = plan.listening(now);
        if (!wanted && loop.listening()) {
            loop.stopListening(now);
            log(plan.over() || plan.allAccepted()
                    ? "replay: every session had its connection; not listening any more"
                    : "replay: not listening, as in the recording (refused attempts)");
        } else if (wanted && !loop.listening()) {
            loop.listenAgain(now);
        }
    }

    void acceptAll(TimePoint now) {
        for (;;) {
            QeltAddress from{};
            qelt::Socket accepted = loop.accept(from);
            if (!accepted) return;
            const int index = plan.accept(now);
            if (index < 0) {
                log("replay: a connection from " + qelt::addressText(from) +
                    " beyond the recorded sessions, closed");
                continue;
            }
            const auto i = static_cast<std::size_t>(index);
            const recording::Session& recorded = recording.sessions[i];
            log("replay " + sessionName(i) + " (log line " + std::to_string(recorded.firstLine) +
                "): connected from " + qelt::addressText(from));
            connections.push_back(std::make_unique<Connection>(
                i, std::move(accepted),
                SessionReplay(scriptOf(recorded), options.replaySpeed, now)));
            drive(*connections.back(), now);
        }
    }

    // ---- one connection -----------------------------------------------------

    // Sends what is queued; false once the connection failed.
    bool flush(Connection& c, TimePoint now) {
        while (c.pending() > 0 && !c.wantWrite) {
            const long n = qelt_net_send(c.socket.get(), c.out.data() + c.outPos, c.pending());
            if (n < 0) {
                const int e = qelt_net_last_error();
                if (qelt_net_interrupted(e)) continue;
                if (qelt_net_would_block(e)) {
                    c.wantWrite = true;
                    return true;
                }
                log("replay " + sessionName(c.index) + ": send failed: " + qelt::errorMessage(e));
                c.toolClosed = true;
                c.replay.toolClosed(now);
                return false;
            }
            c.outPos += static_cast<std::size_t>(n);
        }
        if (c.pending() == 0) {
            c.out.clear();
            c.outPos = 0;
        }
        return true;
    }

    void end(Connection& c, Outcome outcome, TimePoint now) {
        c.finished = true;
        plan.finished(c.index, outcome, now);
        if (outcome == Outcome::kDiverged && c.socket && !c.toolClosed) {
            qelt_net_shutdown_send(c.socket.get());
            c.drainUntil = now + kDrain;
        } else {
            c.socket.reset();
        }
    }

    // Carries out what the session's replay says until it has to wait.
    void drive(Connection& c, TimePoint now) {
        while (!c.finished) {
            const SessionReplay::Step step = c.replay.next(now);
            switch (step.action) {
                case Action::kSend:
                    c.out.append(step.bytes);
                    c.replay.sent(now);
                    if (!flush(c, now)) continue;
                    break;
                case Action::kWait:
                case Action::kAwaitTool:
                    c.wake = step.at;
                    return;
                case Action::kCloseFin:
                case Action::kCloseRst:
                    if (c.pending() > 0) {  // what was recorded before the close goes first
                        c.wake = now + std::chrono::seconds(1);
                        return;
                    }
                    close(c, step.action == Action::kCloseRst, now);
                    break;
                case Action::kDone:
                    log("replay " + sessionName(c.index) + ": played as recorded");
                    end(c, Outcome::kPlayed, now);
                    return;
                case Action::kDiverged:
                    std::fprintf(stderr, "replay: %s%s\n", sessionName(c.index).c_str(),
                                 c.replay.divergence().c_str());
                    end(c, Outcome::kDiverged, now);
                    return;
            }
        }
    }

    void close(Connection& c, bool reset, TimePoint now) {
        if (reset) {
            log("replay " + sessionName(c.index) + ": reset (RST), as recorded");
            c.socket.abort();
            c.toolClosed = true;
        } else {
            log("replay " + sessionName(c.index) + ": closed by the bridge, as recorded");
            qelt_net_shutdown_send(c.socket.get());
        }
        c.replay.closed(now);
    }

    void readFrom(Connection& c, TimePoint now) {
        char buffer[kReadSize];
        int error = 0;
        const long got = readSome(c.socket, buffer, error);
        if (got < 0) return;
        if (got == 0) {  // closed or failed: the tool is gone either way
            c.toolClosed = true;
            if (c.finished) {
                c.socket.reset();
                return;
            }
            c.replay.toolClosed(now);
        } else if (!c.finished) {
            c.replay.received(std::string_view(buffer, static_cast<std::size_t>(got)), now);
        }
        drive(c, now);
    }

    // ---- the ends ---------------------------------------------------------------

    void reap(TimePoint now) {
        for (auto& c : connections)
            if (c->finished && c->socket && now >= c->drainUntil) c->socket.reset();
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const auto& c) { return c->finished && !c->socket; }),
                          connections.end());
    }

    void reportUnplayed(const std::vector<std::size_t>& sessions, const std::string& why) {
        for (std::size_t i : sessions)
            std::fprintf(stderr, "replay: %s: not played (%s)\n", sessionName(i).c_str(),
                         why.c_str());
    }

    int summary() {
        int played = 0, diverged = 0, unplayed = 0, nothing = 0;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const Outcome o = plan.outcome(i);
            played += o == Outcome::kPlayed;
            diverged += o == Outcome::kDiverged;
            unplayed += o == Outcome::kUnplayed;
            nothing += o == Outcome::kNothing;
        }
        log("replay: " + std::to_string(plan.size()) +
            (plan.size() == 1 ? " session: " : " sessions: ") + std::to_string(played) +
            " played as recorded, " + std::to_string(diverged) + " diverged, " +
            std::to_string(unplayed) + " not played, " + std::to_string(nothing) +
            " never on the network");
        std::fflush(stderr);
        return plan.exitStatus();
    }

    // ---- the loop's rounds ---------------------------------------------------

    int beforeWait(TimePoint now) override {
        reportUnplayed(plan.advance(now), "no connection within " +
                                              std::to_string(ReplayPlan::kLate.count()) +
                                              " s of its recorded time");
        for (auto& c : connections)
            if (!c->finished && now >= c->wake) drive(*c, now);
        reap(now);
        if (plan.over() && connections.empty()) return summary();
        steerListener(now);
        return ServerLoop::kGoOn;
    }

    // Every connection that is still open, in `polled` order.
    void watch(std::vector<pollfd>& fds) override {
        polled.clear();
        for (const auto& c : connections) {
            if (!c->socket) continue;
            short events = c->toolClosed ? 0 : POLLIN;
            if (c->wantWrite) events = static_cast<short>(events | POLLOUT);
            fds.push_back(watchFor(c->socket, events));
            polled.push_back(c.get());
        }
    }

    TimePoint wakeAt(TimePoint now) const override {
        TimePoint wake = plan.wakeAt(now);
        if (!loop.listening() && loop.reopenAt() > now) wake = std::min(wake, loop.reopenAt());
        for (const auto& c : connections)
            wake = std::min(wake, c->finished ? c->drainUntil : c->wake);
        return std::max(wake, now);
    }

    void serve(const pollfd* ready, std::size_t count, bool connecting, TimePoint now) override {
        for (std::size_t i = 0; i < count; ++i) {
            Connection& c = *polled[i];
            const short revents = ready[i].revents;
            if (revents & POLLOUT) {
                c.wantWrite = false;
                if (flush(c, now)) drive(c, now);
            }
            if (c.socket && (revents & (POLLIN | POLLHUP | POLLERR))) readFrom(c, now);
        }
        if (connecting) acceptAll(now);
    }

    int stop() override {
        reportUnplayed(plan.stop(), "the replay was stopped");
        connections.clear();
        summary();
        return exit_status::kDiverged;
    }
};

}  // namespace

int runReplay(Options options, recording::Log recorded) {
    Replay replay(std::move(options), std::move(recorded));
    return replay.loop.run(replay);
}

}  // namespace qeltbridge
