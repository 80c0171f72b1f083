#include "server_loop.h"

// The signal self-pipe and ppoll stay POSIX: the bridge is a Linux program.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/exit_status.h"
#include "options.h"

namespace qeltbridge {
namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Nothing to do if the pipe is full: a stop is already pending.
    if (::write(g_signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

// Makes SIGINT and SIGTERM write to the pipe and ignores SIGPIPE.
bool installStopSignals(std::string& error) {
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

// A descriptor of its own that turns readable once SIGINT or SIGTERM came
// (the pipe outlives every user, who closes this copy), or -1 with `error`.
int stopSignalDescriptor(std::string& error) {
    const int fd = ::fcntl(g_signalPipe[0], F_DUPFD_CLOEXEC, 0);
    if (fd < 0) error = std::string("signal pipe: ") + std::strerror(errno);
    return fd;
}

// Listens on `host` and `port` (0: a free one, which `port` then holds, so a
// listener opened again comes back on it), then prints "listening on
// ADDR:PORT" on standard output and flushes. `shown` gets ADDR:PORT. False,
// with `error` set, when nothing can be bound; `listen` is the address as
// the user gave it, for the message.
bool openListener(const std::string& host, std::uint16_t& port, const std::string& listen,
                  qelt::Socket& out, std::string& shown, std::string& error) {
    QeltAddress addresses[QELT_NET_MAX_ADDRESSES];
    int count = 0;
    char reason[256];
    if (qelt_net_resolve_reason(host.c_str(), port, addresses, QELT_NET_MAX_ADDRESSES, &count,
                                reason, sizeof reason) != QELT_RESOLVE_OK) {
        error =
            reason[0] ? "cannot resolve " + host + ": " + reason : "no usable address for " + host;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        qelt::Socket s(qelt_net_listen(&addresses[i], 128));
        QeltAddress bound{};
        if (!s || qelt_net_local_address(s.get(), &bound) != 0) {
            const int e = qelt_net_last_error();
            error = qelt_net_family_unsupported(e)
                        ? "socket: " + qelt::errorMessage(e)
                        : "cannot listen on " + listen + ": " + qelt::errorMessage(e);
            continue;
        }
        shown = qelt::addressText(bound);
        port = static_cast<std::uint16_t>(qelt_net_local_port(s.get()));
        out = std::move(s);
        std::printf("listening on %s\n", shown.c_str());
        std::fflush(stdout);
        return true;
    }
    return false;
}

}  // namespace

void log(const std::string& what) {
    std::fprintf(stderr, "qeltbridge: %s\n", what.c_str());
}

long readSome(const qelt::Socket& socket, char (&buffer)[kReadSize], int& error) {
    error = 0;
    const long got = qelt_net_recv(socket.get(), buffer, sizeof buffer);
    if (got >= 0) return got;
    error = qelt_net_last_error();
    return qelt_net_interrupted(error) || qelt_net_would_block(error) ? -1 : 0;
}

ServerLoop::ServerLoop(std::string listen, std::string name)
    : listen_(std::move(listen)), name_(std::move(name)) {}

ServerLoop::~ServerLoop() {
    if (signalRead_ >= 0) ::close(signalRead_);
}

bool ServerLoop::start(std::string& error) {
    if (!splitHostPort(listen_, host_, port_)) {
        error = "malformed listen address " + listen_;
        return false;
    }
    // Taken before the listener announces itself, so that nothing the bridge
    // opens for itself comes after "listening on": a watcher may count the
    // descriptors from then on.
    signalRead_ = stopSignalDescriptor(error);
    return signalRead_ >= 0 && open(error);
}

bool ServerLoop::open(std::string& error) {
    std::string shown;
    if (!openListener(host_, port_, listen_, listener_, shown, error)) return false;
    log(name_ + "listening on " + shown);
    return true;
}

void ServerLoop::stopListening(TimePoint reopenAt) {
    listener_.reset();
    reopenAt_ = reopenAt;
}

bool ServerLoop::listenAgain(TimePoint now) {
    if (listener_) return true;
    if (now < reopenAt_) return false;
    std::string error;
    if (open(error)) return true;
    log(error + "; trying again");
    reopenAt_ = now + kRebindRetry;
    return false;
}

qelt::Socket ServerLoop::accept(QeltAddress& from) {
    from = QeltAddress{};
    if (!listener_) return {};
    // The platform takes an interrupted accept again itself.
    qelt::Socket accepted(qelt_net_accept_peer(listener_.get(), &from));
    if (!accepted) {
        const int e = qelt_net_last_error();
        if (!qelt_net_would_block(e)) log("accept failed: " + qelt::errorMessage(e));
        return accepted;
    }
    if (qelt_net_set_nodelay(accepted.get(), 1) != 0)
        log("TCP_NODELAY refused: " + qelt::errorMessage(qelt_net_last_error()));
    return accepted;
}

int ServerLoop::run(Server& server) {
    std::string error;
    if (!installStopSignals(error) || !start(error)) {
        log(error);
        return exit_status::kInputOutput;
    }
    std::vector<pollfd> fds;
    for (;;) {
        const TimePoint now = Clock::now();
        const int status = server.beforeWait(now);
        if (status != kGoOn) return status;
        fds.clear();
        fds.push_back({signalRead_, POLLIN, 0});
        const bool listens = listening();
        if (listens) fds.push_back(watchFor(listener_, POLLIN));
        const std::size_t first = fds.size();
        server.watch(fds);
        // ppoll: the replay's recorded delays are microseconds, poll()'s are
        // milliseconds.
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::max(server.wakeAt(now), now) - now)
                              .count();
        const timespec timeout{static_cast<time_t>(wait / 1000000000),
                               static_cast<long>(wait % 1000000000)};
        if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
            if (errno == EINTR) continue;
            log(std::string("poll failed: ") + std::strerror(errno));
            return exit_status::kDiverged;
        }
        if (fds[0].revents & POLLIN) {
            log(name_ + "stopping on a signal");
            return server.stop();
        }
        server.serve(fds.data() + first, fds.size() - first, listens && (fds[1].revents & POLLIN),
                     Clock::now());
    }
}

}  // namespace qeltbridge
