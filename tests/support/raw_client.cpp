#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/protocol.h"

namespace qelttest {

using Clock = std::chrono::steady_clock;

RawClient::~RawClient() {
    close();
}

bool RawClient::connect(const std::string& host, uint16_t port, std::string& error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        length = sizeof *in4;
    } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
    } else {
        error = "not an address: " + host;
        return false;
    }
    fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        error = std::string("connect: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool RawClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

std::size_t RawClient::sendNow(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawClient::closeWithReset() {
    if (fd_ < 0) return;
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

int RawClient::receiveOnce(std::chrono::milliseconds timeout) {
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
    if (ready == 0) return -1;
    if (ready < 0) return errno == EINTR ? -1 : -errno;
    char chunk[8192];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got < 0) return -errno;
    if (got == 0) {
        closed_ = true;
        return 0;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
    total_ += static_cast<uint64_t>(got);
    return static_cast<int>(got);
}

bool RawClient::readUntil(std::string_view needle, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (buffer_.find(needle) == std::string::npos) {
        if (closed_) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        const int r = receiveOnce(left);
        if (r == 0 || r < -1) return buffer_.find(needle) != std::string::npos;
    }
    return true;
}

int RawClient::readToEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return -1;
        const int r = receiveOnce(left);
        if (r < -1) return -r;
    }
    return 0;
}

bool RawClient::readFor(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (!closed_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return true;
        const int r = receiveOnce(left);
        if (r < -1) return false;
    }
    return false;
}

std::string RawClient::take() {
    std::string all;
    all.swap(buffer_);
    return all;
}

std::string RawClient::takeThrough(std::string_view needle) {
    const auto at = buffer_.find(needle);
    if (at == std::string::npos) return take();
    std::string head = buffer_.substr(0, at + needle.size());
    buffer_.erase(0, at + needle.size());
    return head;
}

bool RawClient::login() {
    if (!readUntil("login: ")) return false;
    takeThrough("login: ");
    if (!send(kLoginLine) || !readUntil("password: ")) return false;
    takeThrough("password: ");
    if (!send(kPasswordLine) || !readUntil(kPrompt)) return false;
    takeThrough(kPrompt);
    return true;
}

std::string RawClient::command(const std::string& line) {
    if (!send(line + "\r\n") || !readUntil(kPrompt)) return "";
    return takeThrough(kPrompt);
}

}  // namespace qelttest
