// Winsock side of net.h: what BSD sockets do differently (the rest is in
// net_common.cpp). Not built on Linux.
#include "platform/net_sys.h"

namespace {

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

QeltSocket qeltAdopt(QeltNativeSocket s) {
    if (!makeNonBlocking(s)) {
        qeltCloseKeepingError(static_cast<QeltSocket>(s));
        return QELT_INVALID_SOCKET;
    }
    return static_cast<QeltSocket>(s);
}

void qeltCloseKeepingError(QeltSocket s) {
    const int saved = WSAGetLastError();
    closesocket(asNative(s));
    WSASetLastError(saved);
}

int qelt_net_connect(QeltSocket s, const QeltAddress* address) {
    if (connect(asNative(s), reinterpret_cast<const sockaddr*>(address->bytes), address->length) ==
        0)
        return 0;
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? 1 : -1;
}

long qelt_net_send(QeltSocket s, const void* data, size_t length) {
    int n = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    return send(asNative(s), static_cast<const char*>(data), n, 0);
}

long qelt_net_recv(QeltSocket s, void* data, size_t length) {
    int n = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    return recv(asNative(s), static_cast<char*>(data), n, 0);
}

int qelt_net_ack_at_once(QeltSocket s) {
#ifdef SIO_TCP_SET_ACK_FREQUENCY
    DWORD frequency = 1;
    DWORD returned = 0;
    if (WSAIoctl(asNative(s), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0,
                 &returned, nullptr, nullptr) == 0)
        return 0;
    // Systems without the control (older Windows, Wine) answer with one of
    // these: the delayed acknowledgement then stays, nothing is wrong.
    const int error = WSAGetLastError();
    return error == WSAEOPNOTSUPP || error == WSAEINVAL || error == WSAENOPROTOOPT ? 0 : -1;
#else
    (void)s;
    return 0;
#endif
}

int qelt_net_rearm_quick_ack(QeltSocket) {
    return 0;
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
    if (events & QELT_POLL_IN) FD_SET(asNative(s), &readable);
    if (events & QELT_POLL_OUT) FD_SET(asNative(s), &writable);
    FD_SET(asNative(s), &failed);
    timeval limit;
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    int rc = select(0, &readable, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (rc <= 0) return rc < 0 ? -1 : 0;
    int out = 0;
    if (FD_ISSET(asNative(s), &readable)) out |= QELT_POLL_IN;
    if (FD_ISSET(asNative(s), &writable)) out |= QELT_POLL_OUT;
    if (FD_ISSET(asNative(s), &failed)) out |= QELT_POLL_ERROR;
    return out;
}

// Nothing to set: Winsock's SO_REUSEADDR would let another socket take the
// port over, and an IPv6 socket there is IPv6 only already.
bool qeltPrepareBind(QeltSocket, int) {
    return true;
}

void qelt_net_close(QeltSocket s) {
    if (s != QELT_INVALID_SOCKET) closesocket(asNative(s));
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

bool qelt_net_reset_by_peer(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED;
}

bool qelt_net_family_unsupported(int error) {
    return error == WSAEAFNOSUPPORT || error == WSAEPFNOSUPPORT || error == WSAEPROTONOSUPPORT;
}

void qelt_net_error_message(int error, char* text, size_t size) {
    if (size == 0) return;
    char message[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, message, sizeof message, nullptr);
    while (n > 0 && (message[n - 1] == '\r' || message[n - 1] == '\n')) message[--n] = '\0';
    if (n == 0) qelt_snprintf(message, sizeof message, "unknown");
    qelt_snprintf(text, size, "%s", message);
}

// WSAECONNRESET: the peer gave up before the accept; take the next one.
bool qeltAcceptAgain(int error) {
    return error == WSAECONNRESET;
}
