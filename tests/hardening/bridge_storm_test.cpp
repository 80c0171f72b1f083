// One qeltbridge under a storm of hostile clients: 200 connections at once,
// half of them silent before login, the rest flooding garbage or resetting
// (SO_LINGER 0) mid-conversation. A real qelttelnet session still completes
// during the storm, the silent ones are dropped after the login grace time,
// the bridge gets every descriptor back, serves again afterwards and ends
// cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e_support.h"
#include "support/raw_client.h"

namespace {

using namespace std::chrono_literals;
using qelttest::RawClient;
using Clock = std::chrono::steady_clock;

constexpr int kIdle = 100;
constexpr int kFlooding = 50;
constexpr int kResetting = 50;
constexpr int kLoginTimeoutMs = 1500;

// A client connected to the bridge on loopback, or null.
std::unique_ptr<RawClient> connectTo(uint16_t port) {
    auto client = std::make_unique<RawClient>();
    std::string error;
    if (!client->connect("127.0.0.1", port, error)) return nullptr;
    return client;
}

TEST(BridgeStorm, RealSessionsCompleteAndEveryDescriptorComesBack) {
    qelttest::BridgeProcess bridge(
        qelttest::qeltbridgePath(),
        {"--max-sessions", "300", "--login-timeout-ms", std::to_string(kLoginTimeoutMs)});
    std::string error;
    ASSERT_TRUE(bridge.start(error)) << error;
    const std::string address = qelttest::addressOf(bridge);
    const int baseline = qelttest::descriptorsOf(bridge.pid());
    ASSERT_GT(baseline, 0);

    const qelttest::ToolRun reference = qelttest::runTool({address}, {}, 60000ms);
    ASSERT_EQ(reference.status, 0);

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(connectTo(bridge.port()));
        ASSERT_TRUE(idle.back());
    }
    const auto idleSince = Clock::now();
    qelttest::ChildProcess during({qelttest::qelttelnetPath(), address});
    ASSERT_TRUE(during.start(error)) << error;

    std::mt19937 random(20240607);
    std::string garbage(256 * 1024, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
    garbage += "\r\n\xff\xfa\x18";  // and an unfinished subnegotiation
    // Each sends what its socket takes at once: the bridge may stop reading,
    // or close after failed logins.
    std::vector<std::unique_ptr<RawClient>> flooding;
    for (int i = 0; i < kFlooding; ++i) {
        flooding.push_back(connectTo(bridge.port()));
        ASSERT_TRUE(flooding.back());
        flooding.back()->sendNow(garbage);
    }
    // Half way through the login line or through the password.
    const std::string halfPassword = qelttest::kLoginLine + qelttest::kPassword.substr(0, 14);
    for (int i = 0; i < kResetting; ++i) {
        const auto client = connectTo(bridge.port());
        ASSERT_TRUE(client);
        client->readUntil("login: ");
        client->send(i % 2 == 0 ? halfPassword : qelttest::kUser.substr(0, 2));
        client->closeWithReset();
    }
    for (std::size_t i = 0; i < flooding.size(); ++i) {
        if (i % 2 == 0) {
            flooding[i]->closeWithReset();
        } else {
            flooding[i]->close();
        }
    }

    EXPECT_EQ(during.wait(60000ms), 0);
    EXPECT_EQ(during.output(), reference.out);

    // The silent ones are dropped once the grace time has passed, not before
    // it (the bound below is generous for a loaded machine).
    const auto idleDeadline = idleSince + std::chrono::milliseconds(kLoginTimeoutMs) + 20s;
    int dropped = 0;
    for (const auto& client : idle) {
        // Ended by FIN or by a reset, not by the deadline.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(idleDeadline - Clock::now());
        if (client->readToEnd(left) != -1) ++dropped;
        client->close();
    }
    EXPECT_EQ(dropped, kIdle);
    EXPECT_GE(Clock::now() - idleSince, std::chrono::milliseconds(kLoginTimeoutMs));

    // Every session's descriptor comes back once the bridge has seen the ends.
    int now = qelttest::descriptorsOf(bridge.pid());
    for (int i = 0; i < 100 && now != baseline; ++i) {
        std::this_thread::sleep_for(100ms);
        now = qelttest::descriptorsOf(bridge.pid());
    }
    EXPECT_EQ(now, baseline);

    const qelttest::ToolRun after = qelttest::runTool({address}, {}, 60000ms);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.out, reference.out);
    EXPECT_EQ(bridge.stop(SIGTERM), 0) << bridge.log().substr(0, 2000);
}

}  // namespace
