// Private to net_common.cpp, net_posix.cpp and net_win32.cpp: the system's
// socket headers, the handle type its calls take, and the few calls that
// net_common.cpp builds on and each platform makes its own way.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h: the vendor controls such as SIO_TCP_SET_ACK_FREQUENCY.
#include <mstcpip.h>
typedef SOCKET QeltNativeSocket;
const QeltNativeSocket kQeltNativeInvalid = INVALID_SOCKET;
const int kQeltStreamType = SOCK_STREAM;
const int kQeltShutdownSend = SD_SEND;
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int QeltNativeSocket;
const QeltNativeSocket kQeltNativeInvalid = -1;
const int kQeltStreamType = SOCK_STREAM | SOCK_CLOEXEC;
const int kQeltShutdownSend = SHUT_WR;
#endif

#include <stdio.h>
#include <string.h>

#include "platform/net.h"
#include "platform/platform.h"

// Each platform's own (net_posix.cpp, net_win32.cpp):
// Makes a new socket what every socket here is (non-blocking, not inherited,
// no SIGPIPE); when it cannot, closes it keeping the error and returns
// QELT_INVALID_SOCKET.
QeltSocket qeltAdopt(QeltNativeSocket s);
// Closes `s`, keeping the error of the call that failed before.
void qeltCloseKeepingError(QeltSocket s);
// What a socket about to listen on `family` needs before its bind; false
// with the error.
bool qeltPrepareBind(QeltSocket s, int family);
// Whether a failed accept is worth doing again at once: it was interrupted,
// or the peer gave up before it was accepted.
bool qeltAcceptAgain(int error);

// A QeltSocket as the system's calls take it (the value fits on both: a
// descriptor on POSIX, the SOCKET itself on Windows).
inline QeltNativeSocket asNative(QeltSocket s) {
    return static_cast<QeltNativeSocket>(s);
}
