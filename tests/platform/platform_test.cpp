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

std::string addressText(const QeltAddress& address) {
    char text[96];
    qelt_net_address_text(&address, text, sizeof text);
    return text;
}

// What a server learns from the socket layer: the address it listens on
// after a bind to port 0, the peer of each connection it accepts (the very
// address the client connected from), and the system's words for an error,
// as the text with its number gives them.
TEST(QeltNetServer, KnowsWhereItListensAndWhoConnected) {
    ASSERT_EQ(qelt_net_startup(), 0);
    const QeltAddress any = qelt_net_loopback(4, 0);
    const QeltSocket listener = qelt_net_listen(&any, 4);
    ASSERT_NE(listener, QELT_INVALID_SOCKET);
    QeltAddress bound;
    ASSERT_EQ(qelt_net_local_address(listener, &bound), 0);
    const int port = qelt_net_local_port(listener);
    ASSERT_GT(port, 0);
    EXPECT_EQ(addressText(bound), "127.0.0.1:" + std::to_string(port));

    // Nobody has connected yet.
    QeltAddress peer;
    EXPECT_EQ(qelt_net_accept_peer(listener, &peer), QELT_INVALID_SOCKET);
    EXPECT_TRUE(qelt_net_would_block(qelt_net_last_error()));

    const QeltSocket client = qelt_net_socket(bound.family);
    ASSERT_NE(client, QELT_INVALID_SOCKET);
    const int started = qelt_net_connect(client, &bound);
    ASSERT_GE(started, 0);
    if (started == 1) {
        ASSERT_EQ(qelt_net_poll(client, QELT_POLL_OUT, 10000), QELT_POLL_OUT);
    }
    ASSERT_EQ(qelt_net_poll(listener, QELT_POLL_IN, 10000), QELT_POLL_IN);
    const QeltSocket accepted = qelt_net_accept_peer(listener, &peer);
    ASSERT_NE(accepted, QELT_INVALID_SOCKET);
    QeltAddress clientSide;
    ASSERT_EQ(qelt_net_local_address(client, &clientSide), 0);
    EXPECT_EQ(addressText(peer), addressText(clientSide));
    EXPECT_NE(addressText(peer), "127.0.0.1:" + std::to_string(port));
    // The accepted socket is non-blocking like every other one.
    char byte = 0;
    EXPECT_EQ(qelt_net_recv(accepted, &byte, 1), -1);
    EXPECT_TRUE(qelt_net_would_block(qelt_net_last_error()));

    // A second listener on the same port fails; its error has words.
    EXPECT_EQ(qelt_net_listen(&bound, 4), QELT_INVALID_SOCKET);
    const int error = qelt_net_last_error();
    char message[256];
    char text[300];
    qelt_net_error_message(error, message, sizeof message);
    qelt_net_error_text(error, text, sizeof text);
    EXPECT_GT(strlen(message), 0u);
    EXPECT_EQ(std::string(text), std::string(message) + " (" + std::to_string(error) + ")");

    qelt_net_close(accepted);
    qelt_net_close(client);
    qelt_net_close(listener);
    qelt_net_cleanup();
}

}  // namespace
