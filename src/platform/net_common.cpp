// The parts of net.h that BSD sockets and Winsock share, call for call; what
// differs between them stays in net_posix.cpp and net_win32.cpp.
#include "platform/net_sys.h"

namespace {

void copyAddress(QeltAddress* out, const sockaddr* address, size_t length) {
    memset(out, 0, sizeof *out);
    if (length > sizeof out->bytes) length = sizeof out->bytes;
    memcpy(out->bytes, address, length);
    out->family = address->sa_family;
    out->length = static_cast<int>(length);
}

// Whether getaddrinfo failed in itself rather than for want of the name.
// Winsock has no EAI_SYSTEM.
bool resolverFailed(int rc) {
#ifdef EAI_SYSTEM
    if (rc == EAI_SYSTEM) return true;
#endif
    return rc == EAI_MEMORY;
}

}  // namespace

QeltResolveResult qelt_net_resolve(const char* host, int port, QeltAddress* out, int capacity,
                                   int* count) {
    return qelt_net_resolve_reason(host, port, out, capacity, count, nullptr, 0);
}

QeltResolveResult qelt_net_resolve_reason(const char* host, int port, QeltAddress* out,
                                          int capacity, int* count, char* reason,
                                          size_t reasonSize) {
    if (reasonSize > 0) reason[0] = '\0';
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
        if (reasonSize > 0) qelt_snprintf(reason, reasonSize, "%s", gai_strerror(rc));
        return resolverFailed(rc) ? QELT_RESOLVE_SYSTEM : QELT_RESOLVE_NOT_FOUND;
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

int qelt_net_connect_error(QeltSocket s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(asNative(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
        0)
        return qelt_net_last_error();
    return error;
}

int qelt_net_start_listening(QeltSocket s, int backlog) {
    return listen(asNative(s), backlog) == 0 ? 0 : -1;
}

int qelt_net_local_port(QeltSocket s) {
    sockaddr_storage a;
    socklen_t length = sizeof a;
    if (getsockname(asNative(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

QeltSocket qelt_net_socket(int family) {
    const QeltNativeSocket s = socket(family, kQeltStreamType, IPPROTO_TCP);
    return s == kQeltNativeInvalid ? QELT_INVALID_SOCKET : qeltAdopt(s);
}

QeltSocket qelt_net_bind(const QeltAddress* address) {
    const QeltSocket s = qelt_net_socket(address->family);
    if (s == QELT_INVALID_SOCKET) return s;
    if (!qeltPrepareBind(s, address->family) ||
        bind(asNative(s), reinterpret_cast<const sockaddr*>(address->bytes),
             static_cast<socklen_t>(address->length)) != 0) {
        qeltCloseKeepingError(s);
        return QELT_INVALID_SOCKET;
    }
    return s;
}

QeltSocket qelt_net_listen(const QeltAddress* address, int backlog) {
    const QeltSocket s = qelt_net_bind(address);
    if (s == QELT_INVALID_SOCKET) return s;
    if (listen(asNative(s), backlog) != 0) {
        qeltCloseKeepingError(s);
        return QELT_INVALID_SOCKET;
    }
    return s;
}

QeltSocket qelt_net_accept_peer(QeltSocket listener, QeltAddress* peer) {
    for (;;) {
        sockaddr_storage from;
        socklen_t length = sizeof from;
        const QeltNativeSocket s =
            accept(asNative(listener), reinterpret_cast<sockaddr*>(&from), &length);
        if (s == kQeltNativeInvalid) {
            if (qeltAcceptAgain(qelt_net_last_error())) continue;
            return QELT_INVALID_SOCKET;
        }
        const QeltSocket accepted = qeltAdopt(s);
        if (accepted != QELT_INVALID_SOCKET && peer)
            copyAddress(peer, reinterpret_cast<const sockaddr*>(&from),
                        static_cast<size_t>(length));
        return accepted;
    }
}

QeltSocket qelt_net_accept(QeltSocket listener) {
    return qelt_net_accept_peer(listener, nullptr);
}

int qelt_net_shutdown_send(QeltSocket s) {
    return shutdown(asNative(s), kQeltShutdownSend) == 0 ? 0 : -1;
}

int qelt_net_set_nodelay(QeltSocket s, int on) {
    int value = on ? 1 : 0;
    return setsockopt(asNative(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : -1;
}

void qelt_net_error_text(int error, char* text, size_t size) {
    if (size == 0) return;
    char message[256];
    qelt_net_error_message(error, message, sizeof message);
    qelt_snprintf(text, size, "%s (%d)", message, error);
}

void qelt_net_abort(QeltSocket s) {
    if (s == QELT_INVALID_SOCKET) return;
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(asNative(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    qelt_net_close(s);
}

int qelt_net_local_address(QeltSocket s, QeltAddress* out) {
    sockaddr_storage a;
    socklen_t length = sizeof a;
    if (getsockname(asNative(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
    copyAddress(out, reinterpret_cast<const sockaddr*>(&a), length);
    return 0;
}

namespace qelt {

std::string errorText(int error) {
    char text[300];  // the message's 256 and its number
    qelt_net_error_text(error, text, sizeof text);
    return text;
}

std::string errorMessage(int error) {
    char text[256];
    qelt_net_error_message(error, text, sizeof text);
    return text;
}

std::string addressText(const QeltAddress& address) {
    char text[128];  // an IPv6 address with its scope, brackets and port
    qelt_net_address_text(&address, text, sizeof text);
    return text;
}

}  // namespace qelt
