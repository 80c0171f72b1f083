#include "replay.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "replay_plan.h"
#include "replay_session.h"
#include "server_socket.h"

namespace qeltbridge {
namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Action = SessionReplay::Action;
using Outcome = ReplayPlan::Outcome;

// How soon to try again when the port cannot be bound after a refusal.
constexpr std::chrono::milliseconds kRebindRetry{100};
// A session that diverged closes politely: FIN, then what the tool still
// sends is read for this long at most.
constexpr std::chrono::milliseconds kDrain{2000};

void log(const std::string& what) {
    std::fprintf(stderr, "qeltbridge: %s\n", what.c_str());
}

std::string sessionName(std::size_t index) {
    return "session " + std::to_string(index + 1);
}

}  // namespace

struct Replay::Impl {
    struct Connection {
        Connection(std::size_t i, Socket s, SessionReplay r)
            : index(i), socket(std::move(s)), replay(std::move(r)) {}
        std::size_t index;
        Socket socket;
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
    std::string host;
    uint16_t port = 0;
    Socket listener;
    TimePoint rebindAt{};
    int signalRead = -1;
    std::vector<std::unique_ptr<Connection>> connections;

    Impl(Options o, recording::Log l)
        : options(std::move(o)),
          recording(std::move(l)),
          plan(recording, options.replaySpeed, Clock::now()) {}
    ~Impl() {
        if (signalRead >= 0) ::close(signalRead);
    }

    // ---- the listener -----------------------------------------------------

    // Opens or closes the listener as the plan says: a recorded refusal is a
    // port that refuses, since a refused connection never reaches the bridge.
    void steerListener(TimePoint now) {
        const bool wanted = plan.listening(now);
        if (!wanted && listener) {
            listener.reset();
            log(plan.over() || plan.allAccepted()
                    ? "replay: every session had its connection; not listening any more"
                    : "replay: not listening, as in the recording (refused attempts)");
        } else if (wanted && !listener && now >= rebindAt) {
            std::string shown, error;
            if (openListener(host, port, options.listen, listener, shown, error)) {
                log("replay: listening on " + shown);
            } else {
                log(error + "; trying again");
                rebindAt = now + kRebindRetry;
            }
        }
    }

    void acceptAll(TimePoint now) {
        while (listener) {
            QeltAddress from{};
            Socket accepted = acceptWaiting(listener, from, log);
            if (!accepted) return;
            const int index = plan.accept(now);
            if (index < 0) {
                log("replay: a connection from " + addressText(from) +
                    " beyond the recorded sessions, closed");
                continue;
            }
            const auto i = static_cast<std::size_t>(index);
            const recording::Session& recorded = recording.sessions[i];
            log("replay " + sessionName(i) + " (log line " + std::to_string(recorded.firstLine) +
                "): connected from " + addressText(from));
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
                log("replay " + sessionName(c.index) + ": send failed: " + netError(e));
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
        char buffer[4096];
        const long got = qelt_net_recv(c.socket.get(), buffer, sizeof buffer);
        if (got < 0) {
            const int e = qelt_net_last_error();
            if (qelt_net_interrupted(e) || qelt_net_would_block(e)) return;
        }
        if (got <= 0) {
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

    // ---- the loop -------------------------------------------------------------

    void reap(TimePoint now) {
        for (auto& c : connections)
            if (c->finished && c->socket && now >= c->drainUntil) c->socket.reset();
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const auto& c) { return c->finished && !c->socket; }),
                          connections.end());
    }

    void reportUnplayed(const std::vector<std::size_t>& sessions, const char* why) {
        for (std::size_t i : sessions)
            std::fprintf(stderr, "replay: %s: not played (%s)\n", sessionName(i).c_str(), why);
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

    TimePoint wakeAt(TimePoint now) const {
        TimePoint wake = plan.wakeAt(now);
        if (!listener && rebindAt > now) wake = std::min(wake, rebindAt);
        for (const auto& c : connections)
            wake = std::min(wake, c->finished ? c->drainUntil : c->wake);
        return std::max(wake, now);
    }

    void pollSet(std::vector<pollfd>& fds, std::vector<Connection*>& polled) const {
        fds.clear();
        polled.clear();
        fds.push_back({signalRead, POLLIN, 0});
        if (listener) fds.push_back({listener.fd(), POLLIN, 0});
        for (const auto& c : connections) {
            if (!c->socket) continue;
            short events = c->toolClosed ? 0 : POLLIN;
            if (c->wantWrite) events = static_cast<short>(events | POLLOUT);
            fds.push_back({c->socket.fd(), events, 0});
            polled.push_back(c.get());
        }
    }

    void serveReady(const std::vector<pollfd>& fds, const std::vector<Connection*>& polled,
                    bool listening, TimePoint now) {
        const std::size_t base = listening ? 2 : 1;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const short revents = fds[base + i].revents;
            if (revents & POLLOUT) {
                c.wantWrite = false;
                if (flush(c, now)) drive(c, now);
            }
            if (c.socket && (revents & (POLLIN | POLLHUP | POLLERR))) readFrom(c, now);
        }
        if (listening && (fds[1].revents & POLLIN)) acceptAll(now);
    }

    int run() {
        std::vector<pollfd> fds;
        std::vector<Connection*> polled;
        for (;;) {
            const TimePoint now = Clock::now();
            reportUnplayed(plan.advance(now), "no connection within 30 s of its recorded time");
            for (auto& c : connections)
                if (!c->finished && now >= c->wake) drive(*c, now);
            reap(now);
            if (plan.over() && connections.empty()) return summary();
            steerListener(now);
            pollSet(fds, polled);
            const bool listening = static_cast<bool>(listener);
            const auto wait =
                std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt(now) - now);
            timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                             static_cast<long>(wait.count() % 1000000000)};
            // ppoll: the recorded delays are microseconds, poll()'s are milliseconds.
            const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
            if (ready < 0) {
                if (errno == EINTR) continue;
                log(std::string("poll failed: ") + std::strerror(errno));
                return 1;
            }
            if (fds[0].revents & POLLIN) {
                log("replay: stopping on a signal");
                reportUnplayed(plan.stop(), "the replay was stopped");
                connections.clear();
                summary();
                return 1;
            }
            serveReady(fds, polled, listening, Clock::now());
        }
    }
};

Replay::Replay(Options options, recording::Log log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(log))) {}

Replay::~Replay() = default;

bool Replay::start(std::string& error) {
    if (!splitHostPort(impl_->options.listen, impl_->host, impl_->port)) {
        error = "malformed listen address " + impl_->options.listen;
        return false;
    }
    impl_->signalRead = stopSignalDescriptor(error);
    if (impl_->signalRead < 0) return false;
    std::string shown;
    if (!openListener(impl_->host, impl_->port, impl_->options.listen, impl_->listener, shown,
                      error))
        return false;
    log("replay: listening on " + shown);
    return true;
}

int Replay::run() {
    return impl_->run();
}

}  // namespace qeltbridge
