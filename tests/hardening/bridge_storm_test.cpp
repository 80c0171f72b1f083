// One qeltbridge under a storm of hostile clients: 200 connections at once,
// half of them silent before login, the rest flooding garbage or resetting
// (SO_LINGER 0) mid-conversation. A real qelttelnet session still completes
// during the storm, the silent ones are dropped after the login grace time,
// the bridge gets every descriptor back, serves again afterwards and ends
// cleanly on SIGTERM.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process.h"
#include "child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kIdle = 100;
constexpr int kFlooding = 50;
constexpr int kResetting = 50;
constexpr int kLoginTimeoutMs = 1500;

int descriptorsOf(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

void closeWithReset(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

// Reads and discards until the peer ends the connection (true) or `deadline`.
bool endsBefore(int fd, Clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;  // FIN or reset
    }
}

// Sends what the socket takes at once of `bytes` (the bridge may stop
// reading, or close after failed logins).
void flood(int fd, const std::string& bytes) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
}

TEST(BridgeStorm, RealSessionsCompleteAndEveryDescriptorComesBack) {
    qelttest::BridgeProcess bridge(QELTBRIDGE_EXE, {"--max-sessions", "300", "--login-timeout-ms",
                                                    std::to_string(kLoginTimeoutMs)});
    std::string error;
    ASSERT_TRUE(bridge.start(error)) << error;
    const std::string address = bridge.host() + ":" + std::to_string(bridge.port());
    const int baseline = descriptorsOf(bridge.pid());
    ASSERT_GT(baseline, 0);

    std::string reference;
    ASSERT_EQ(qelttest::runChild({QELTTELNET_EXE, address}, {}, reference, 60000ms), 0);

    std::vector<int> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(connectTo(bridge.port()));
        ASSERT_GE(idle.back(), 0);
    }
    const auto idleSince = Clock::now();
    qelttest::ChildProcess during({QELTTELNET_EXE, address});
    ASSERT_TRUE(during.start(error)) << error;

    std::mt19937 random(20240607);
    std::string garbage(256 * 1024, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
    garbage += "\r\n\xff\xfa\x18";  // and an unfinished subnegotiation
    std::vector<int> flooding;
    for (int i = 0; i < kFlooding; ++i) {
        flooding.push_back(connectTo(bridge.port()));
        ASSERT_GE(flooding.back(), 0);
        flood(flooding.back(), garbage);
    }
    for (int i = 0; i < kResetting; ++i) {
        const int fd = connectTo(bridge.port());
        ASSERT_GE(fd, 0);
        char prompt[64];
        (void)::recv(fd, prompt, sizeof prompt, 0);  // "login: "
        const std::string half = i % 2 == 0 ? "qelt\r\n/Tiled_K/J_Har" : "qe";
        (void)::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
        closeWithReset(fd);
    }
    for (std::size_t i = 0; i < flooding.size(); ++i) {
        if (i % 2 == 0) {
            closeWithReset(flooding[i]);
        } else {
            ::close(flooding[i]);
        }
    }

    EXPECT_EQ(during.wait(60000ms), 0);
    EXPECT_EQ(during.output(), reference);

    // The silent ones are dropped once the grace time has passed, not before
    // it (the bound below is generous for a loaded machine).
    int dropped = 0;
    for (const int fd : idle) {
        if (endsBefore(fd, idleSince + std::chrono::milliseconds(kLoginTimeoutMs) + 20s)) ++dropped;
        ::close(fd);
    }
    EXPECT_EQ(dropped, kIdle);
    EXPECT_GE(Clock::now() - idleSince, std::chrono::milliseconds(kLoginTimeoutMs));

    // Every session's descriptor comes back once the bridge has seen the ends.
    int now = descriptorsOf(bridge.pid());
    for (int i = 0; i < 100 && now != baseline; ++i) {
        std::this_thread::sleep_for(100ms);
        now = descriptorsOf(bridge.pid());
    }
    EXPECT_EQ(now, baseline);

    std::string after;
    EXPECT_EQ(qelttest::runChild({QELTTELNET_EXE, address}, {}, after, 60000ms), 0);
    EXPECT_EQ(after, reference);
    EXPECT_EQ(bridge.stop(SIGTERM), 0) << bridge.log().substr(0, 2000);
}

}  // namespace
