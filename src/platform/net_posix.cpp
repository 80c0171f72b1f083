// BSD-socket side of net.h: what Winsock does differently (the rest is in
// net_common.cpp).
#include "platform/net_sys.h"

namespace {

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

#ifdef SO_NOSIGPIPE
void noSigPipe(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
}
#else
void noSigPipe(int) {}
#endif

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// Makes a new descriptor what every socket here is (non-blocking, no
// SIGPIPE), or closes it, keeping errno, and returns QELT_INVALID_SOCKET.
QeltSocket adopt(int fd) {
    if (!makeNonBlocking(fd)) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    noSigPipe(fd);
    return fd;
}

}  // namespace

int qelt_net_startup(void) {
    return 0;
}
void qelt_net_cleanup(void) {}

QeltSocket qelt_net_socket(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? QELT_INVALID_SOCKET : adopt(fd);
}

int qelt_net_connect(QeltSocket s, const QeltAddress* address) {
    for (;;) {
        int rc = connect(asNative(s), reinterpret_cast<const sockaddr*>(address->bytes),
                         static_cast<socklen_t>(address->length));
        if (rc == 0) return 0;
        if (errno == EINTR) continue;
        return errno == EINPROGRESS || errno == EALREADY ? 1 : -1;
    }
}

long qelt_net_send(QeltSocket s, const void* data, size_t length) {
    return static_cast<long>(send(asNative(s), data, length, kSendFlags));
}

long qelt_net_recv(QeltSocket s, void* data, size_t length) {
    return static_cast<long>(recv(asNative(s), data, length, 0));
}

int qelt_net_poll(QeltSocket s, int events, int timeoutMs) {
    pollfd p;
    p.fd = asNative(s);
    p.events = 0;
    p.revents = 0;
    if (events & QELT_POLL_IN) p.events |= POLLIN;
    if (events & QELT_POLL_OUT) p.events |= POLLOUT;
    int rc = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (rc <= 0) return rc;
    int out = 0;
    if (p.revents & POLLIN) out |= QELT_POLL_IN;
    if (p.revents & POLLOUT) out |= QELT_POLL_OUT;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) out |= QELT_POLL_ERROR;
    return out;
}

#ifdef TCP_QUICKACK
int qelt_net_ack_at_once(QeltSocket s) {
    int one = 1;
    return setsockopt(asNative(s), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one) == 0 ? 0 : -1;
}
int qelt_net_rearm_quick_ack(QeltSocket s) {
    return qelt_net_ack_at_once(s);
}
#else
int qelt_net_ack_at_once(QeltSocket) {
    return 0;
}
int qelt_net_rearm_quick_ack(QeltSocket) {
    return 0;
}
#endif

QeltSocket qelt_net_bind(const QeltAddress* address) {
    QeltSocket s = qelt_net_socket(address->family);
    if (s == QELT_INVALID_SOCKET) return s;
    int one = 1;
    // A restarted server takes its port back at once, and an IPv6 listener
    // leaves IPv4 to its own: without either the bind is not the one asked for.
    const bool optionsSet =
        setsockopt(asNative(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        (address->family != AF_INET6 ||
         setsockopt(asNative(s), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0);
    if (!optionsSet || bind(asNative(s), reinterpret_cast<const sockaddr*>(address->bytes),
                            static_cast<socklen_t>(address->length)) != 0) {
        int saved = errno;
        close(asNative(s));
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    return s;
}

QeltSocket qelt_net_listen(const QeltAddress* address, int backlog) {
    QeltSocket s = qelt_net_bind(address);
    if (s == QELT_INVALID_SOCKET) return s;
    if (listen(asNative(s), backlog) != 0) {
        int saved = errno;
        close(asNative(s));
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    return s;
}

int qelt_net_shutdown_send(QeltSocket s) {
    return shutdown(asNative(s), SHUT_WR);
}

void qelt_net_close(QeltSocket s) {
    // close() is not retried on EINTR: the descriptor is gone either way on Linux.
    if (s != QELT_INVALID_SOCKET) close(asNative(s));
}

int qelt_net_last_error(void) {
    return errno;
}

bool qelt_net_would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool qelt_net_interrupted(int error) {
    return error == EINTR;
}

bool qelt_net_reset_by_peer(int error) {
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

bool qelt_net_family_unsupported(int error) {
    return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT;
}

void qelt_net_error_message(int error, char* text, size_t size) {
    if (size == 0) return;
    char scratch[256];
    scratch[0] = '\0';
    // The GNU strerror_r may return its own static text instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* message = strerror_r(error, scratch, sizeof scratch);
#else
    const char* message = strerror_r(error, scratch, sizeof scratch) == 0 ? scratch : "unknown";
#endif
    qelt_snprintf(text, size, "%s", message ? message : "unknown");
}

QeltSocket qelt_net_accept_peer(QeltSocket listener, QeltAddress* peer) {
    for (;;) {
        sockaddr_storage from;
        socklen_t length = sizeof from;
        int fd = accept(asNative(listener), reinterpret_cast<sockaddr*>(&from), &length);
        if (fd < 0) {
            // ECONNABORTED: the peer gave up before the accept; take the next one.
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return QELT_INVALID_SOCKET;
        }
        const QeltSocket s = adopt(fd);
        if (s != QELT_INVALID_SOCKET && peer)
            qeltCopyAddress(peer, reinterpret_cast<const sockaddr*>(&from), length);
        return s;
    }
}
