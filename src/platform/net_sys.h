// Private to net_common.cpp, net_posix.cpp and net_win32.cpp: the system's
// socket headers and the handle type its calls take.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h: the vendor controls such as SIO_TCP_SET_ACK_FREQUENCY.
#include <mstcpip.h>
typedef SOCKET QeltNativeSocket;
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
#endif

#include <stdio.h>
#include <string.h>

#include "platform/net.h"
#include "platform/platform.h"

// Copies a system address into a QeltAddress (net_common.cpp).
void qeltCopyAddress(QeltAddress* out, const sockaddr* address, size_t length);

// A QeltSocket as the system's calls take it (the value fits on both: a
// descriptor on POSIX, the SOCKET itself on Windows).
inline QeltNativeSocket asNative(QeltSocket s) {
    return static_cast<QeltNativeSocket>(s);
}
