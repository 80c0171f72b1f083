// Winsock side of net.h. Not built on Linux.
#include <stdio.h>
#include <string.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"
#include "platform/platform.h"

namespace {

SOCKET asSocket(QeltSocket s) {
    return static_cast<SOCKET>(s);
}

void copyAddress(QeltAddress* out, const sockaddr* address, size_t length) {
    memset(out, 0, sizeof *out);
    if (length > sizeof out->bytes) length = sizeof out->bytes;
    memcpy(out->bytes, address, length);
    out->family = address->sa_family;
    out->length = static_cast<int>(length);
}

bool makeNonBlocking(SOCKET s) {
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) return false;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

int qelt_net_startup(void) {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void qelt_net_cleanup(void) {
    WSACleanup();
}

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
    if (rc != 0) return rc == EAI_MEMORY ? QELT_RESOLVE_SYSTEM : QELT_RESOLVE_NOT_FOUND;
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
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address->bytes), address->length, host,
                    sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
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
        a.sin6_port = htons(static_cast<u_short>(port));
        copyAddress(&out, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<u_short>(port));
        copyAddress(&out, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    return out;
}

QeltSocket qelt_net_socket(int family) {
    SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return QELT_INVALID_SOCKET;
    if (!makeNonBlocking(s)) {
        int saved = WSAGetLastError();
        closesocket(s);
        WSASetLastError(saved);
        return QELT_INVALID_SOCKET;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<QeltSocket>(s);
}

int qelt_net_connect(QeltSocket s, const QeltAddress* address) {
    if (connect(asSocket(s), reinterpret_cast<const sockaddr*>(address->bytes), address->length) ==
        0)
        return 0;
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? 1 : -1;
}

int qelt_net_connect_error(QeltSocket s) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(asSocket(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
        0)
        return WSAGetLastError();
    return error;
}

long qelt_net_send(QeltSocket s, const void* data, size_t length) {
    int n = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    return send(asSocket(s), static_cast<const char*>(data), n, 0);
}

long qelt_net_recv(QeltSocket s, void* data, size_t length) {
    int n = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    return recv(asSocket(s), static_cast<char*>(data), n, 0);
}

// select(), not WSAPoll: WSAPoll on Windows before 10 version 2004 never reports
// a refused or failed connect, so the connect loop would wait out its whole
// time-out instead of trying again; select reports it in the exception set.
int qelt_net_poll(QeltSocket s, int events, int timeoutMs) {
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (events & QELT_POLL_IN) FD_SET(asSocket(s), &readable);
    if (events & QELT_POLL_OUT) FD_SET(asSocket(s), &writable);
    FD_SET(asSocket(s), &failed);
    timeval limit;
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    int rc = select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (rc <= 0) return rc < 0 ? -1 : 0;
    int out = 0;
    if (FD_ISSET(asSocket(s), &readable)) out |= QELT_POLL_IN;
    if (FD_ISSET(asSocket(s), &writable)) out |= QELT_POLL_OUT;
    if (FD_ISSET(asSocket(s), &failed)) out |= QELT_POLL_ERROR;
    return out;
}

QeltSocket qelt_net_bind(const QeltAddress* address) {
    QeltSocket s = qelt_net_socket(address->family);
    if (s == QELT_INVALID_SOCKET) return s;
    if (bind(asSocket(s), reinterpret_cast<const sockaddr*>(address->bytes), address->length) !=
        0) {
        int saved = WSAGetLastError();
        closesocket(asSocket(s));
        WSASetLastError(saved);
        return QELT_INVALID_SOCKET;
    }
    return s;
}

int qelt_net_start_listening(QeltSocket s, int backlog) {
    return listen(asSocket(s), backlog) == 0 ? 0 : -1;
}

QeltSocket qelt_net_listen(const QeltAddress* address, int backlog) {
    QeltSocket s = qelt_net_bind(address);
    if (s == QELT_INVALID_SOCKET) return s;
    if (listen(asSocket(s), backlog) != 0) {
        closesocket(asSocket(s));
        return QELT_INVALID_SOCKET;
    }
    return s;
}

QeltSocket qelt_net_accept(QeltSocket listener) {
    SOCKET s = accept(asSocket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return QELT_INVALID_SOCKET;
    if (!makeNonBlocking(s)) {
        closesocket(s);
        return QELT_INVALID_SOCKET;
    }
    return static_cast<QeltSocket>(s);
}

int qelt_net_local_port(QeltSocket s) {
    sockaddr_storage a;
    int length = sizeof a;
    if (getsockname(asSocket(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

int qelt_net_shutdown_send(QeltSocket s) {
    return shutdown(asSocket(s), SD_SEND) == 0 ? 0 : -1;
}

void qelt_net_close(QeltSocket s) {
    if (s != QELT_INVALID_SOCKET) closesocket(asSocket(s));
}

void qelt_net_abort(QeltSocket s) {
    if (s == QELT_INVALID_SOCKET) return;
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(asSocket(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    closesocket(asSocket(s));
}

int qelt_net_last_error(void) {
    return WSAGetLastError();
}

bool qelt_net_would_block(int error) {
    return error == WSAEWOULDBLOCK;
}

bool qelt_net_interrupted(int error) {
    return error == WSAEINTR;
}

bool qelt_net_family_unsupported(int error) {
    return error == WSAEAFNOSUPPORT || error == WSAEPFNOSUPPORT || error == WSAEPROTONOSUPPORT;
}

void qelt_net_error_text(int error, char* text, size_t size) {
    if (size == 0) return;
    char message[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, message, sizeof message, nullptr);
    while (n > 0 && (message[n - 1] == '\r' || message[n - 1] == '\n')) message[--n] = '\0';
    if (n == 0) qelt_snprintf(message, sizeof message, "unknown");
    qelt_snprintf(text, size, "%s (%d)", message, error);
}
