// The string helpers of the platform layer at their boundaries, and the
// server side of its sockets. The same cases run natively and, in the Windows
// build, under Wine, where qelt_snprintf stands on _vsnprintf, which leaves no
// terminator when it cuts.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "platform/net.h"

namespace {

struct SnprintfCase {
    const char* text;
    size_t size;
    const char* expected;
    int count;
};

TEST(QeltSnprintf, CutsAndAlwaysTerminates) {
    const SnprintfCase cases[] = {
        {"", 1, "", 0},       {"abc", 1, "", 0},
        {"abc", 3, "ab", 2},   // one short: cut, terminated
        {"abc", 4, "abc", 3},  // exact fit
        {"abc", 5, "abc", 3}, {"abcdefgh", 6, "abcde", 5},
    };
    for (const SnprintfCase& c : cases) {
        char buffer[16];
        memset(buffer, 'X', sizeof buffer);
        int n = qelt_snprintf(buffer, c.size, "%s", c.text);
        EXPECT_STREQ(buffer, c.expected) << c.text << " in " << c.size;
        EXPECT_EQ(n, c.count) << c.text << " in " << c.size;
        // Nothing written past the given size.
        for (size_t i = c.size; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 'X');
    }
}

TEST(QeltSnprintf, NoRoomIsRefused) {
    char buffer[1] = {'X'};
    EXPECT_EQ(qelt_snprintf(buffer, 0, "%d", 7), -1);
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_EQ(qelt_snprintf(nullptr, 4, "%d", 7), -1);
}

TEST(QeltSnprintf, FormatsTheTimeOfATraceLine) {
    char buffer[32];
    EXPECT_EQ(qelt_snprintf(buffer, sizeof buffer, "\t%6d.%09d", 1523, 104233120), 17);
    EXPECT_STREQ(buffer, "\t  1523.104233120");
    EXPECT_EQ(qelt_snprintf(buffer, 8, "\t%6d.%09d", 1523, 104233120), 7);
    EXPECT_STREQ(buffer, "\t  1523");
}

TEST(QeltStricmp, IgnoresTheCaseOfAsciiLettersOnly) {
    EXPECT_EQ(qelt_stricmp("INET>", "inet>"), 0);
    EXPECT_EQ(qelt_stricmp("", ""), 0);
    EXPECT_LT(qelt_stricmp("abc", "ABD"), 0);
    EXPECT_GT(qelt_stricmp("abd", "ABC"), 0);
    EXPECT_LT(qelt_stricmp("ab", "ABC"), 0);
    EXPECT_NE(qelt_stricmp("a[", "A{"), 0);
}

TEST(LibraryName, LeavesRoomForA237CharacterDirectory) {
    // The driver's 260-character path holds the directory, the separator, the
    // file name and a terminator; on Windows exactly 237 characters remain.
    const size_t name = strlen(qeltDirSeparator) + strlen(qeltLibraryFileName);
    EXPECT_EQ(name, static_cast<size_t>(QELT_EXPECTED_NAME_LENGTH));
}

using qelt::addressText;

// Connects a client to `address` and returns it with the server's side of the
// connection in `accepted` (accepted with its peer's address into `peer`
// when one is given).
qelt::Socket connectTo(const qelt::Socket& listener, const QeltAddress& address,
                       qelt::Socket& accepted, QeltAddress* peer = nullptr) {
    qelt::Socket client(qelt_net_socket(address.family));
    EXPECT_TRUE(client);
    const int started = qelt_net_connect(client.get(), &address);
    EXPECT_GE(started, 0);
    if (started == 1) {
        EXPECT_EQ(qelt_net_poll(client.get(), QELT_POLL_OUT, 10000), QELT_POLL_OUT);
    }
    EXPECT_EQ(qelt_net_poll(listener.get(), QELT_POLL_IN, 10000), QELT_POLL_IN);
    accepted = qelt::Socket(peer ? qelt_net_accept_peer(listener.get(), peer)
                                 : qelt_net_accept(listener.get()));
    EXPECT_TRUE(accepted);
    return client;
}

// What a peer reads within `waitMs` once the other side is gone: 0 for a FIN,
// or an error that says the connection was reset.
std::string endSeenBy(const qelt::Socket& peer, int waitMs = 10000) {
    if (qelt_net_poll(peer.get(), QELT_POLL_IN, waitMs) <= 0) return "nothing";
    char byte = 0;
    const long n = qelt_net_recv(peer.get(), &byte, 1);
    if (n == 0) return "fin";
    if (n < 0 && qelt_net_reset_by_peer(qelt_net_last_error())) return "rst";
    return "other";
}

// The socket layer started, and a listener on an ephemeral port of the IPv4
// loopback, the address it is bound to in `bound`, for each test.
class QeltNetServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        const QeltAddress any = qelt_net_loopback(4, 0);
        listener = qelt::Socket(qelt_net_listen(&any, 4));
        ASSERT_TRUE(listener);
        ASSERT_EQ(qelt_net_local_address(listener.get(), &bound), 0);
    }

    qelt::NetScope net;
    QeltAddress bound{};
    qelt::Socket listener;
};

// What a server learns from the socket layer: the address it listens on
// after a bind to port 0, the peer of each connection it accepts (the very
// address the client connected from), and the system's words for an error,
// as the text with its number gives them.
TEST_F(QeltNetServer, KnowsWhereItListensAndWhoConnected) {
    const int port = qelt_net_local_port(listener.get());
    ASSERT_GT(port, 0);
    EXPECT_EQ(addressText(bound), "127.0.0.1:" + std::to_string(port));

    // Nobody has connected yet.
    QeltAddress peer;
    EXPECT_EQ(qelt_net_accept_peer(listener.get(), &peer), QELT_INVALID_SOCKET);
    EXPECT_TRUE(qelt_net_would_block(qelt_net_last_error()));

    qelt::Socket accepted;
    const qelt::Socket client = connectTo(listener, bound, accepted, &peer);
    ASSERT_TRUE(client);
    ASSERT_TRUE(accepted);
    QeltAddress clientSide;
    ASSERT_EQ(qelt_net_local_address(client.get(), &clientSide), 0);
    EXPECT_EQ(addressText(peer), addressText(clientSide));
    EXPECT_NE(addressText(peer), "127.0.0.1:" + std::to_string(port));
    // The accepted socket is non-blocking like every other one.
    char byte = 0;
    EXPECT_EQ(qelt_net_recv(accepted.get(), &byte, 1), -1);
    EXPECT_TRUE(qelt_net_would_block(qelt_net_last_error()));

    // A second listener on the same port fails, and the error of the failing
    // call survives the socket's close; it has words.
    EXPECT_EQ(qelt_net_listen(&bound, 4), QELT_INVALID_SOCKET);
    const int error = qelt_net_last_error();
    const std::string message = qelt::errorMessage(error);
    EXPECT_GT(message.size(), 0u);
    EXPECT_NE(message, qelt::errorMessage(0)) << message;
    EXPECT_EQ(qelt::errorText(error), message + " (" + std::to_string(error) + ")");
}

// An owned socket closes exactly once: with FIN when it goes or is replaced,
// with RST when aborted, never after it was moved away.
TEST_F(QeltNetServer, AnOwnedSocketClosesOnceAsAsked) {
    qelt::Socket server;
    qelt::Socket client = connectTo(listener, bound, server);
    {
        qelt::Socket moved(std::move(server));
        EXPECT_FALSE(server);
        server = std::move(moved);  // back: the one left empty closes nothing
    }
    EXPECT_EQ(endSeenBy(client, 100), "nothing");
    qelt::Socket other;
    qelt::Socket otherClient = connectTo(listener, bound, other);
    server = std::move(other);  // replaces, and so closes, the first
    EXPECT_EQ(endSeenBy(client), "fin");
    server.abort();
    EXPECT_FALSE(server);
    EXPECT_EQ(endSeenBy(otherClient), QELT_ABORT_SEEN_AS);
    server.reset();  // nothing left to close
}

}  // namespace
