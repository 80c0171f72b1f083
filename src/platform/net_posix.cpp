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

}  // namespace

int qelt_net_startup(void) {
    return 0;
}
void qelt_net_cleanup(void) {}

QeltSocket qeltAdopt(QeltNativeSocket fd) {
    if (!makeNonBlocking(fd)) {
        qeltCloseKeepingError(fd);
        return QELT_INVALID_SOCKET;
    }
    noSigPipe(fd);
    return fd;
}

void qeltCloseKeepingError(QeltSocket s) {
    const int saved = errno;
    close(asNative(s));
    errno = saved;
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

// A restarted server takes its port back at once, and an IPv6 listener leaves
// IPv4 to its own: without either the bind is not the one asked for.
bool qeltPrepareBind(QeltSocket s, int family) {
    int one = 1;
    return setsockopt(asNative(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
           (family != AF_INET6 ||
            setsockopt(asNative(s), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0);
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

// ECONNABORTED: the peer gave up before the accept; take the next one.
bool qeltAcceptAgain(int error) {
    return error == EINTR || error == ECONNABORTED;
}
