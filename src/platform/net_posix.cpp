#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/platform.h"

namespace {

int asFd(QeltSocket s) {
    return static_cast<int>(s);
}

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void copyAddress(QeltAddress* out, const sockaddr* address, socklen_t length) {
    memset(out, 0, sizeof *out);
    size_t n = static_cast<size_t>(length);
    if (n > sizeof out->bytes) n = sizeof out->bytes;
    memcpy(out->bytes, address, n);
    out->family = address->sa_family;
    out->length = static_cast<int>(n);
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

QeltResolveResult qelt_net_resolve(const char* host, int port, QeltAddress* out, int capacity,
                                   int* count) {
    *count = 0;
    char service[16];
    qelt_snprintf(service, sizeof service, "%d", port);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        if (rc == EAI_MEMORY || rc == EAI_SYSTEM) return QELT_RESOLVE_SYSTEM;
        return QELT_RESOLVE_NOT_FOUND;
    }
    for (addrinfo* a = list; a && *count < capacity; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        copyAddress(&out[*count], a->ai_addr, a->ai_addrlen);
        ++*count;
    }
    freeaddrinfo(list);
    return *count > 0 ? QELT_RESOLVE_OK : QELT_RESOLVE_NOT_FOUND;
}

void qelt_net_address_text(const QeltAddress* address, char* text, size_t size) {
    if (size == 0) return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address->bytes),
                    static_cast<socklen_t>(address->length), host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        qelt_snprintf(text, size, "?");
        return;
    }
    if (address->family == AF_INET6)
        qelt_snprintf(text, size, "[%s]:%s", host, service);
    else
        qelt_snprintf(text, size, "%s:%s", host, service);
}

QeltAddress qelt_net_loopback(int ipVersion, int port) {
    QeltAddress out;
    if (ipVersion == 6) {
        sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        copyAddress(&out, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        copyAddress(&out, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    return out;
}

QeltSocket qelt_net_socket(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return QELT_INVALID_SOCKET;
    if (!makeNonBlocking(fd)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    noSigPipe(fd);
    int one = 1;
    // Prompts and command lines are small and answered at once: no Nagle delay.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int qelt_net_connect(QeltSocket s, const QeltAddress* address) {
    for (;;) {
        int rc = connect(asFd(s), reinterpret_cast<const sockaddr*>(address->bytes),
                         static_cast<socklen_t>(address->length));
        if (rc == 0) return 0;
        if (errno == EINTR) continue;
        return errno == EINPROGRESS || errno == EALREADY ? 1 : -1;
    }
}

int qelt_net_connect_error(QeltSocket s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(asFd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

long qelt_net_send(QeltSocket s, const void* data, size_t length) {
    return static_cast<long>(send(asFd(s), data, length, kSendFlags));
}

long qelt_net_recv(QeltSocket s, void* data, size_t length) {
    return static_cast<long>(recv(asFd(s), data, length, 0));
}

int qelt_net_poll(QeltSocket s, int events, int timeoutMs) {
    pollfd p;
    p.fd = asFd(s);
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

QeltSocket qelt_net_bind(const QeltAddress* address) {
    QeltSocket s = qelt_net_socket(address->family);
    if (s == QELT_INVALID_SOCKET) return s;
    int one = 1;
    setsockopt(asFd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address->family == AF_INET6)
        setsockopt(asFd(s), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(asFd(s), reinterpret_cast<const sockaddr*>(address->bytes),
             static_cast<socklen_t>(address->length)) != 0) {
        int saved = errno;
        close(asFd(s));
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    return s;
}

int qelt_net_start_listening(QeltSocket s, int backlog) {
    return listen(asFd(s), backlog);
}

QeltSocket qelt_net_listen(const QeltAddress* address, int backlog) {
    QeltSocket s = qelt_net_bind(address);
    if (s == QELT_INVALID_SOCKET) return s;
    if (listen(asFd(s), backlog) != 0) {
        int saved = errno;
        close(asFd(s));
        errno = saved;
        return QELT_INVALID_SOCKET;
    }
    return s;
}

QeltSocket qelt_net_accept(QeltSocket listener) {
    for (;;) {
        int fd = accept(asFd(listener), nullptr, nullptr);
        if (fd >= 0) {
            if (!makeNonBlocking(fd)) {
                close(fd);
                return QELT_INVALID_SOCKET;
            }
            noSigPipe(fd);
            return fd;
        }
        if (errno != EINTR) return QELT_INVALID_SOCKET;
    }
}

int qelt_net_local_port(QeltSocket s) {
    sockaddr_storage a;
    socklen_t length = sizeof a;
    if (getsockname(asFd(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

int qelt_net_shutdown_send(QeltSocket s) {
    return shutdown(asFd(s), SHUT_WR);
}

void qelt_net_close(QeltSocket s) {
    // close() is not retried on EINTR: the descriptor is gone either way on Linux.
    if (s != QELT_INVALID_SOCKET) close(asFd(s));
}

void qelt_net_abort(QeltSocket s) {
    if (s == QELT_INVALID_SOCKET) return;
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(asFd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(asFd(s));
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

bool qelt_net_family_unsupported(int error) {
    return error == EAFNOSUPPORT || error == EPFNOSUPPORT || error == EPROTONOSUPPORT;
}

void qelt_net_error_text(int error, char* text, size_t size) {
    if (size == 0) return;
    char scratch[256];
    scratch[0] = '\0';
    // The GNU strerror_r may return its own static text instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* message = strerror_r(error, scratch, sizeof scratch);
#else
    const char* message = strerror_r(error, scratch, sizeof scratch) == 0 ? scratch : "unknown";
#endif
    qelt_snprintf(text, size, "%s (%d)", message ? message : "unknown", error);
}
