#include "server_socket.h"

// The signal self-pipe stays POSIX: the bridge is a Linux program.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace

std::string netError(int error) {
    char text[256];
    qelt_net_error_message(error, text, sizeof text);
    return text;
}

std::string addressText(const QeltAddress& address) {
    char text[96];
    qelt_net_address_text(&address, text, sizeof text);
    return text;
}

bool openListener(const std::string& host, uint16_t& port, const std::string& listen, Socket& out,
                  std::string& shown, std::string& error) {
    QeltAddress addresses[16];
    int count = 0;
    char reason[256];
    if (qelt_net_resolve_reason(host.c_str(), port, addresses, 16, &count, reason, sizeof reason) !=
        QELT_RESOLVE_OK) {
        error =
            reason[0] ? "cannot resolve " + host + ": " + reason : "no usable address for " + host;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        Socket s(qelt_net_listen(&addresses[i], 128));
        QeltAddress bound{};
        if (!s || qelt_net_local_address(s.get(), &bound) != 0) {
            const int e = qelt_net_last_error();
            error = qelt_net_family_unsupported(e)
                        ? "socket: " + netError(e)
                        : "cannot listen on " + listen + ": " + netError(e);
            continue;
        }
        shown = addressText(bound);
        port = static_cast<uint16_t>(qelt_net_local_port(s.get()));
        out = std::move(s);
        std::printf("listening on %s\n", shown.c_str());
        std::fflush(stdout);
        return true;
    }
    return false;
}

Socket acceptWaiting(const Socket& listener, QeltAddress& from,
                     const std::function<void(const std::string&)>& log) {
    for (;;) {
        from = QeltAddress{};
        Socket accepted(qelt_net_accept_peer(listener.get(), &from));
        if (!accepted) {
            const int e = qelt_net_last_error();
            if (qelt_net_interrupted(e)) continue;
            if (!qelt_net_would_block(e)) log("accept failed: " + netError(e));
            return accepted;
        }
        if (qelt_net_set_nodelay(accepted.get(), 1) != 0)
            log("TCP_NODELAY refused: " + netError(qelt_net_last_error()));
        return accepted;
    }
}

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

int stopSignalDescriptor(std::string& error) {
    if (g_signalPipe[0] < 0) {
        error = "signal handlers not installed";
        return -1;
    }
    const int fd = ::fcntl(g_signalPipe[0], F_DUPFD_CLOEXEC, 0);
    if (fd < 0) error = std::string("signal pipe: ") + std::strerror(errno);
    return fd;
}

}  // namespace qeltbridge
