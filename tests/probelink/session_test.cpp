// TelnetSession over real loopback sockets against the scripted server: the
// chunks the dialog gets, the bytes on the wire, and every result code.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/probelink.h"
#include "common/version.h"
#include "recording/log_reader.h"
#include "support/files.h"
#include "support/protocol.h"
#include "support/scripted_server.h"

namespace {

using qelttest::kGa;
using qelttest::kLoginLine;
using qelttest::kPrompt;
using qelttest::ScriptedServer;
using Clock = std::chrono::steady_clock;

constexpr int kTimeout = 1000;  // ms; short, as every test here ends by itself

struct Chunk {
    std::string text;
    int peek;
};

// A scripted dialog: each rule answers the first chunk containing its text
// (previews only when `onPreview`), once.
struct Dialog {
    struct Rule {
        std::string contains;
        std::string reply;
        bool onPreview = true;
        bool used = false;
    };
    std::vector<Rule> rules;
    std::vector<Chunk> chunks;
    std::vector<int> sendResults;
    int pauseBeforeSendMs = 0;
    // The dialog busy for busyMs on the first chunk containing busyOn.
    std::string busyOn;
    int busyMs = 0;
    Clock::time_point firstChunk{};

    Dialog& answer(const std::string& contains, const std::string& reply, bool onPreview = true) {
        rules.push_back({contains, reply, onPreview, false});
        return *this;
    }
    std::vector<std::string> finals() const {
        std::vector<std::string> out;
        for (const Chunk& c : chunks)
            if (!c.peek) out.push_back(c.text);
        return out;
    }
    int previews() const {
        int n = 0;
        for (const Chunk& c : chunks) n += c.peek ? 1 : 0;
        return n;
    }
};

int QELT_CDECL dialogCallback(char* text, int length, int peek, void* context, SendLineFn send,
                              void* handle) {
    Dialog& d = *static_cast<Dialog*>(context);
    EXPECT_NE(text, nullptr);
    EXPECT_GT(length, 0);
    EXPECT_LE(length, 4095);
    EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(length)) << "NUL inside a chunk";
    if (d.chunks.empty()) d.firstChunk = Clock::now();
    d.chunks.push_back({std::string(text, static_cast<std::size_t>(length)), peek});
    if (!d.busyOn.empty() && d.chunks.back().text.find(d.busyOn) != std::string::npos) {
        d.busyOn.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(d.busyMs));
    }
    for (Dialog::Rule& r : d.rules) {
        if (r.used || (peek && !r.onPreview)) continue;
        if (d.chunks.back().text.find(r.contains) == std::string::npos) continue;
        r.used = true;
        for (std::size_t i = 0; i < r.reply.size();) {
            // Several lines in one reply are sent one SendLine each, with a pause.
            std::size_t end = r.reply.find('\n', i);
            end = end == std::string::npos ? r.reply.size() : end + 1;
            if (d.pauseBeforeSendMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(d.pauseBeforeSendMs));
            d.sendResults.push_back(send(handle, r.reply.substr(i, end - i).c_str(), 0));
            i = end;
        }
        break;
    }
    text[0] = '#';  // writable, and nothing may depend on it afterwards
    return 0;
}

int run(const std::string& host, int port, Dialog& d, int timeoutMs = kTimeout) {
    return TelnetSession(host.c_str(), port, timeoutMs, dialogCallback, &d);
}

std::string local(const ScriptedServer& s) {
    return "127.0.0.1:" + std::to_string(s.port());
}

long elapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// ---- chunk rules ----------------------------------------------------------

TEST(SessionChunks, LineInOneByteSegmentsArrivesWhole) {
    ScriptedServer server;
    server.sendSplit("hello world\r\nsecond\r\n", 1, 1).closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"hello world\r\n", "second\r\n"}));
}

TEST(SessionChunks, GaPromptAloneAndFollowedByText) {
    ScriptedServer server;
    server.send(kPrompt).pause(60).send(kPrompt + "[HTTP]: state = RUN\r\n");
    server.send(kGa).closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(),
              (std::vector<std::string>{kPrompt, kPrompt, "[HTTP]: state = RUN\r\n", kGa}));
    EXPECT_EQ(d.previews(), 0) << "a finished prompt is never previewed";
}

TEST(SessionChunks, PromptsWithoutGaArriveAsPreviewsAndAreConsumedOnceAnswered) {
    ScriptedServer server;
    server.send("login: ").expectLine(kLoginLine).send("password: ").expectLine("pw\xFF\xFF\r\n");
    server.send("\r\n" + kPrompt).expectLine("exit\r\n").closeFin().start();
    Dialog d;
    d.answer("login:", kLoginLine).answer("password:", "pw\xFF\r\n").answer("INET>", "exit\r\n");
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(server.failures(), "");
    EXPECT_EQ(server.received(), kLoginLine + "pw\xFF\xFF\r\nexit\r\n")
        << "0xFF escaped on the wire";
    ASSERT_EQ(d.chunks.size(), 4u);
    EXPECT_EQ(d.chunks[0].text, "login: ");
    EXPECT_EQ(d.chunks[0].peek, 1);
    EXPECT_EQ(d.chunks[1].text, "password: ");
    EXPECT_EQ(d.chunks[1].peek, 1);
    EXPECT_EQ(d.chunks[2].text, "\r\n") << "the answered prompt is not glued to what follows";
    EXPECT_EQ(d.chunks[3].text, kPrompt);
    EXPECT_EQ(d.sendResults, (std::vector<int>{0, 0, 0}));
}

TEST(SessionChunks, StalledTraceLineIsPreviewedThenDeliveredOnceWhole) {
    ScriptedServer server;
    server.send("  12.000000001 8").pause(150).send("1 2 3\r\n").closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"  12.000000001 81 2 3\r\n"}));
    ASSERT_EQ(d.previews(), 1) << "an unchanged pending text is previewed once";
    EXPECT_EQ(d.chunks[0].text, "  12.000000001 8");
}

// The rest of a line that arrived while the dialog was busy with the line
// before waited in the socket: the bridge was not silent, so nothing of it is
// previewed, however long the dialog took.
TEST(SessionChunks, LineWhoseRestWaitedWhileTheDialogWasBusyIsNotPreviewed) {
    ScriptedServer server;
    server.send("first\r\npart").pause(5).send("ial\r\n").pause(100).closeFin().start();
    Dialog d;
    d.busyOn = "first";
    d.busyMs = 80;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"first\r\n", "partial\r\n"}));
    EXPECT_EQ(d.previews(), 0);
}

TEST(SessionChunks, IacIacIsFfAndNulIsDropped) {
    ScriptedServer server;
    server.send(std::string("a\xFF\xFF\0b\r\0\n", 8)).closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"a\xFF"
                                                    "b\r\n"}));
}

TEST(SessionChunks, TenThousandByteLineComesInPiecesOf4095) {
    std::string line;
    for (int i = 0; i < 10000; ++i) line += static_cast<char>('a' + i % 26);
    line += '\n';
    ScriptedServer server;
    server.send(line).closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    std::vector<std::string> f = d.finals();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].size(), 4095u);
    EXPECT_EQ(f[1].size(), 4095u);
    EXPECT_EQ(f[0] + f[1] + f[2], line);
}

TEST(SessionChunks, UnfinishedLineIsPreviewedWhenTheBridgeCloses) {
    // The bridge never finished "partial": it must not pass for a whole line.
    ScriptedServer server;
    server.send("bye\r\npartial").closeNow().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"bye\r\n"}));
    ASSERT_EQ(d.chunks.size(), 2u);
    EXPECT_EQ(d.chunks[1].text, "partial");
    EXPECT_EQ(d.chunks[1].peek, 1);
}

TEST(SessionChunks, LineAlreadyPreviewedIsNotDeliveredAgainWhenTheBridgeCloses) {
    ScriptedServer server;
    server.send("bye\r\npartial").pause(150).closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    ASSERT_EQ(d.chunks.size(), 2u);
    EXPECT_EQ(d.chunks[1].text, "partial");
    EXPECT_EQ(d.chunks[1].peek, 1) << "previewed in the silence, and only then";
}

// ---- negotiation ------------------------------------------------------------

TEST(SessionNegotiation, OptionsAreRefusedOnTheWireAndNeverDelivered) {
    ScriptedServer server;
    server.send("\xFF\xFB\x01\xFF\xFD\x18\xFF\xFC\x03\xFF\xFE\x05\xFF\xFA\x18\x01\xFF\xF0ok\r\n")
        .pause(100)
        .closeFin()
        .start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(server.received(), "\xFF\xFE\x01\xFF\xFC\x18");
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"ok\r\n"}));
}

TEST(SessionNegotiation, FloodOverAllOptionsGetsNoMoreRepliesThanRequests) {
    std::string flood;
    int willOrDo = 0;
    for (int i = 0; i < 100000; ++i) {
        const unsigned char verb = static_cast<unsigned char>(251 + i % 4);  // WILL WONT DO DONT
        flood += '\xFF';
        flood += static_cast<char>(verb);
        flood += static_cast<char>(i % 256);
        if (verb == 251 || verb == 253) ++willOrDo;
    }
    ScriptedServer server;
    server.send(flood).send("end\r\n").closeFin().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d, 5000), PROBELINK_CLOSED);
    server.join();
    const std::string got = server.received();
    ASSERT_EQ(got.size() % 3, 0u);
    EXPECT_EQ(static_cast<int>(got.size() / 3), willOrDo);
    for (std::size_t i = 0; i < got.size(); i += 3) {
        ASSERT_EQ(static_cast<unsigned char>(got[i]), 0xFF);
        ASSERT_TRUE(got[i + 1] == '\xFE' || got[i + 1] == '\xFC') << "only DONT and WONT";
    }
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"end\r\n"}));
}

// ---- bad input ----------------------------------------------------------------

struct BadInput {
    const char* name;
    std::string bytes;
    std::size_t segment;  // 0: one send
    std::string expectedJoined;
};

TEST(SessionBadInput, IsHarmlessAndDeliveredAsData) {
    std::string ffs(100000, '\xFF');
    std::string noLf(3 * 1024 * 1024, 'm');
    const BadInput cases[] = {
        {"iac at a segment end",
         "a\xFF\xFF"
         "b\xFF\xF9"
         "c\r\n",
         2,
         "a\xFF"
         "b\xFF\xF9"
         "c\r\n"},
        {"iac + unknown command", "x\xFF\x01y\xFF\xEFz\r\n", 0, "xyz\r\n"},
        {"0xff everywhere", ffs, 0, std::string(50000, '\xFF')},
        {"megabytes without lf", noLf, 0, noLf},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        if (c.segment)
            server.sendSplit(c.bytes, c.segment, 5);
        else
            server.send(c.bytes);
        server.closeFin().start();
        Dialog d;
        EXPECT_EQ(run(local(server), 23, d, 5000), PROBELINK_CLOSED);
        server.join();
        // Every byte is delivered once: as whole chunks, then the unfinished
        // rest as the last (previewed) text.
        std::string joined;
        std::string lastPreview;
        for (const Chunk& ch : d.chunks) {
            EXPECT_LE(ch.text.size(), 4095u);
            if (ch.peek) {
                lastPreview = ch.text;
            } else {
                EXPECT_EQ(ch.text.compare(0, lastPreview.size(), lastPreview), 0)
                    << "a preview is followed by its whole line";
                lastPreview.clear();
                joined += ch.text;
            }
        }
        joined += lastPreview;
        EXPECT_TRUE(joined == c.expectedJoined) << "delivered " << joined.size() << " bytes";
    }
}

TEST(SessionBadInput, NeverEndingSubnegotiationEndsInSilenceTimeout) {
    std::string sb = "\xFF\xFA\x18";
    sb += std::string(1024 * 1024, 'q');
    ScriptedServer server;
    server.send(sb).silent().start();
    Dialog d;
    const auto start = Clock::now();
    EXPECT_EQ(run(local(server), 23, d, 500), PROBELINK_SILENT);
    EXPECT_LT(elapsedMs(start), 500 + 3000);
    server.stop();
    server.join();
    EXPECT_TRUE(d.chunks.empty());
}

// ---- results --------------------------------------------------------------------

TEST(SessionResults, InvalidArgumentsGiveOne) {
    Dialog d;
    EXPECT_EQ(TelnetSession(nullptr, 23, kTimeout, dialogCallback, &d), PROBELINK_BAD_ARGUMENTS);
    EXPECT_EQ(TelnetSession("127.0.0.1", 23, kTimeout, nullptr, &d), PROBELINK_BAD_ARGUMENTS);
    EXPECT_EQ(run("127.0.0.1", 23, d, 0), 1) << "a time-out must be positive";
    const struct {
        const char* host;
        int port;
    } bad[] = {{"", 23},        {"127.0.0.1", 0}, {"127.0.0.1", 65536}, {"127.0.0.1", -1},
               {"host:", 23},   {":23", 23},      {"host:abc", 23},     {"host:70000", 23},
               {"host:0", 23},  {"host:+23", 23}, {"[::1", 23},         {"[::1]x", 23},
               {"[::1]:", 23},  {"[]:23", 23},    {"a]b", 23},          {"bad\nhost", 23},
               {"[::1]:0", 23}, {"host: 23", 23}};
    for (const auto& b : bad) EXPECT_EQ(run(b.host, b.port, d), 1) << b.host << " " << b.port;
    EXPECT_TRUE(d.chunks.empty());
}

TEST(SessionResults, UnknownNameGivesTwo) {
    Dialog d;
    EXPECT_EQ(run("nonexistent.invalid", 23, d), PROBELINK_UNRESOLVED);
}

TEST(SessionResults, NobodyListeningGivesFiveAfterTheTimeout) {
    ScriptedServer reserved(4, false);  // bound, not listening: connections are refused
    Dialog d;
    const auto start = Clock::now();
    EXPECT_EQ(run(local(reserved), 23, d, 300), PROBELINK_NO_CONNECTION);
    const long took = elapsedMs(start);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 300 + 2000);
}

TEST(SessionResults, ListenerAppearingDuringTheCallIsFoundPromptly) {
    ScriptedServer server(4, false);
    server.send("hi\r\n").closeFin();
    Dialog d;
    int result = -1;
    std::thread client([&] { result = run(local(server), 23, d, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto listening = Clock::now();
    server.startListening();
    server.start();
    client.join();
    server.join();
    EXPECT_EQ(result, PROBELINK_CLOSED);
    ASSERT_EQ(d.finals(), (std::vector<std::string>{"hi\r\n"}));
    // Retries run every 100 ms; the bound is generous for a loaded machine.
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::milliseconds>(d.firstChunk - listening).count(),
        1000);
}

TEST(SessionResults, ResetGivesNineAfterDeliveringWhatCame) {
    ScriptedServer server;
    server.send("line\r\npartial").pause(50).closeRst().start();
    Dialog d;
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_BROKEN);
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"line\r\n"}));
    ASSERT_EQ(d.chunks.size(), 2u);
    EXPECT_EQ(d.chunks[1].text, "partial") << "what came before the reset is not lost";
    EXPECT_EQ(d.chunks[1].peek, 1) << "nor passed off as a finished line";
}

TEST(SessionResults, SilenceGivesTwelveWithinTheTimeout) {
    ScriptedServer server;
    server.send("hello\r\n").silent().start();
    Dialog d;
    const auto start = Clock::now();
    EXPECT_EQ(run(local(server), 23, d, 300), PROBELINK_SILENT);
    const long took = elapsedMs(start);
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 300 + 2000);
    server.stop();
    server.join();
    EXPECT_EQ(d.finals(), (std::vector<std::string>{"hello\r\n"}));
}

TEST(SessionResults, SendRefusedByAClosedPeerGivesNine) {
    // The bridge closes at once; the dialog answers late, twice: the first line
    // still leaves (the close is only half known), the peer's RST fails the second.
    ScriptedServer server;
    server.send("bye\r\n").closeNow().start();
    Dialog d;
    d.pauseBeforeSendMs = 100;
    d.answer("bye", "one\r\ntwo\r\n");
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_BROKEN);
    server.join();
    ASSERT_EQ(d.sendResults.size(), 2u);
    EXPECT_EQ(d.sendResults[1], -1);
}

TEST(SessionResults, SendDuringTheFinalFlushFailsButTheCloseStaysZero) {
    ScriptedServer server;
    // The prompt cut off by the close comes as a preview, which a login
    // dialog answers as any prompt; the connection is gone by then.
    server.send("login: ").closeNow().start();
    Dialog d;
    d.answer("login:", kLoginLine);
    EXPECT_EQ(run(local(server), 23, d), PROBELINK_CLOSED);
    server.join();
    ASSERT_EQ(d.chunks.size(), 1u);
    EXPECT_EQ(d.chunks[0].text, "login: ");
    EXPECT_EQ(d.chunks[0].peek, 1);
    EXPECT_EQ(d.sendResults, (std::vector<int>{-1}));
}

TEST(SessionResults, SendLineOutsideItsCallbackFails) {
    ScriptedServer server;
    server.send("x\r\n").closeFin().start();
    struct Keep {
        SendLineFn send = nullptr;
        void* handle = nullptr;
    } keep;
    auto cb = [](char*, int, int, void* context, SendLineFn send, void* handle) -> int {
        static_cast<Keep*>(context)->send = send;
        static_cast<Keep*>(context)->handle = handle;
        EXPECT_EQ(send(handle, nullptr, 0), -1) << "a null line";
        return 0;
    };
    EXPECT_EQ(TelnetSession(local(server).c_str(), 23, kTimeout, cb, &keep), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(server.received(), "");
    ASSERT_NE(keep.send, nullptr);
    EXPECT_EQ(keep.send(nullptr, "x\r\n", 0), -1);
}

// ---- host texts -------------------------------------------------------------------

TEST(SessionHosts, PortInTheHostTextOverridesThePortArgument) {
    ScriptedServer server;
    server.send("a\r\n").closeFin().connections(2).start();
    Dialog d1, d2;
    EXPECT_EQ(run("127.0.0.1:" + std::to_string(server.port()), 1, d1), PROBELINK_CLOSED);
    EXPECT_EQ(run("localhost:" + std::to_string(server.port()), 65535, d2), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d1.finals().size(), 1u);
    EXPECT_EQ(d2.finals().size(), 1u);
}

TEST(SessionHosts, Ipv6BracketedWithPortAndBareWithThePortArgument) {
    ScriptedServer server(6);
    if (!server.ok()) GTEST_SKIP() << "no IPv6 loopback here";
    server.send("six\r\n").closeFin().connections(2).start();
    Dialog d1, d2;
    EXPECT_EQ(run("[::1]:" + std::to_string(server.port()), 23, d1), PROBELINK_CLOSED);
    EXPECT_EQ(run("::1", server.port(), d2), PROBELINK_CLOSED);
    server.join();
    EXPECT_EQ(d1.finals(), (std::vector<std::string>{"six\r\n"}));
    EXPECT_EQ(d2.finals(), (std::vector<std::string>{"six\r\n"}));
}

// ---- concurrency and resources ------------------------------------------------------

// Two sessions at once on two threads of one process, each sending `lines`
// lines in pieces; what each dialog was handed and what each bridge sent.
struct TwoSessions {
    int ra = -1, rb = -1;
    std::string sentA, sentB, gotA, gotB, failures;
};

TwoSessions runTwoAtOnce(int lines, size_t pieceA, size_t pieceB, int pauseMs) {
    TwoSessions t;
    for (int i = 0; i < lines; ++i) {
        t.sentA += "A line " + std::to_string(i) + "\r\n";
        t.sentB += "B line " + std::to_string(i) + "\r\n";
    }
    ScriptedServer sa, sb;
    sa.sendSplit(t.sentA, pieceA, pauseMs).send(kPrompt).expectLine("exit\r\n").closeFin().start();
    sb.sendSplit(t.sentB, pieceB, pauseMs).send(kPrompt).expectLine("exit\r\n").closeFin().start();
    t.sentA += kPrompt;
    t.sentB += kPrompt;
    Dialog da, db;
    da.answer("INET>", "exit\r\n");
    db.answer("INET>", "exit\r\n");
    std::thread ta([&] { t.ra = run(local(sa), 23, da, 5000); });
    std::thread tb([&] { t.rb = run(local(sb), 23, db, 5000); });
    ta.join();
    tb.join();
    sa.join();
    sb.join();
    for (const std::string& f : da.finals()) t.gotA += f;
    for (const std::string& f : db.finals()) t.gotB += f;
    t.failures = sa.failures() + sb.failures();
    return t;
}

TEST(SessionResources, TwoSessionsAtOnceOnTwoThreads) {
    const TwoSessions t = runTwoAtOnce(300, 700, 500, 2);
    EXPECT_EQ(t.ra, PROBELINK_CLOSED);
    EXPECT_EQ(t.rb, PROBELINK_CLOSED);
    EXPECT_EQ(t.gotA, t.sentA);
    EXPECT_EQ(t.gotB, t.sentB);
    EXPECT_EQ(t.failures, "");
}

int openDescriptors() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(SessionResources, NoDescriptorLeftAfterAThousandSessions) {
    const int before = openDescriptors();
    {
        ScriptedServer server;
        server.send("x\r\n").closeNow().connections(1000).start();
        for (int i = 0; i < 1000; ++i) {
            Dialog d;
            ASSERT_EQ(run(local(server), 23, d), 0) << "session " << i;
        }
        server.join();
        ScriptedServer reserved(4, false);
        for (int i = 0; i < 3; ++i) {
            Dialog d;
            EXPECT_EQ(run(local(reserved), 23, d, 120), PROBELINK_NO_CONNECTION);
            EXPECT_EQ(run("nonexistent.invalid", 23, d), PROBELINK_UNRESOLVED);
            EXPECT_EQ(run("bad:port", 23, d), PROBELINK_BAD_ARGUMENTS);
        }
    }
    EXPECT_EQ(openDescriptors(), before);
}

// ---- session log ---------------------------------------------------------------------

// PROBELINK_LOG set to a fresh file for the life of the object.
class LogFile {
  public:
    LogFile() : file_("probelink_log") { setenv("PROBELINK_LOG", file_.path().c_str(), 1); }
    ~LogFile() { unsetenv("PROBELINK_LOG"); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    std::string text() const { return file_.read(); }
    recording::Log read() const {
        recording::Log log;
        std::string error;
        EXPECT_TRUE(recording::readLog(text(), log, error)) << error << "\n" << text();
        return log;
    }

  private:
    qelttest::TempFile file_;
};

std::size_t countOf(const recording::Session& s, recording::Event::Kind kind) {
    return static_cast<std::size_t>(std::count_if(
        s.events.begin(), s.events.end(), [kind](const auto& e) { return e.kind == kind; }));
}

TEST(SessionLog, RecordsBytesChunksAndResultAndMasksThePasswordLine) {
    ScriptedServer server;
    server.send("\xFF\xFB\x01password: ").expectLine("Secret\r\n").send(kPrompt);
    server.expectLine("exit\r\n").closeFin().start();
    Dialog d;
    d.answer("password:", "Secret\r\n").answer("INET>", "exit\r\n");
    LogFile file;
    const int result = run(local(server), 23, d);
    Dialog refused;
    const int invalid = run("bad:port", 23, refused);
    server.join();
    EXPECT_EQ(result, PROBELINK_CLOSED);
    EXPECT_EQ(invalid, PROBELINK_BAD_ARGUMENTS);
    const std::string log = file.text();
    // Each session, even one refused at once, starts with the library's version.
    const std::string start = " start ProbeLinkServices " QELT_VERSION "\n";
    EXPECT_EQ(log.find(start), log.find('\n') - start.size() + 1) << log;
    EXPECT_NE(log.find(" recv 13 <FF><FB><01>password: \n"), std::string::npos) << log;
    EXPECT_NE(log.find(" send 3 <FF><FE><01>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" chunk peek=1 len=10 password: \n"), std::string::npos) << log;
    // A six-character password line is 8 bytes, as long as "********": the
    // marker says what it is.
    EXPECT_NE(log.find(" send 8 ******** <password line>\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Secret"), std::string::npos) << "the password never reaches the log";
    EXPECT_NE(log.find(" chunk peek=0 len=8 INET> <FF><F9>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" send 6 exit<0D><0A>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" end 0 closed: the bridge closed the connection\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" end 1 invalid: invalid arguments\n"), std::string::npos) << log;

    const recording::Log read = file.read();
    ASSERT_EQ(read.sessions.size(), 2u);
    const recording::Session& s = read.sessions[0];
    EXPECT_EQ(s.version, "ProbeLinkServices " QELT_VERSION);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, server.port());
    EXPECT_EQ(s.timeoutMs, kTimeout);
    EXPECT_EQ(s.run, std::to_string(::getpid()));
    std::string received, sent;
    std::size_t masked = 0;
    for (const auto& e : s.events) {
        if (e.kind == recording::Event::Kind::kReceived) received += e.bytes;
        if (e.kind == recording::Event::Kind::kSent) sent += e.bytes;
        if (e.kind == recording::Event::Kind::kSentPassword) masked = e.length;
    }
    EXPECT_EQ(received, "\xFF\xFB\x01password: " + kPrompt) << "every byte, in order";
    EXPECT_EQ(sent,
              "\xFF\xFE\x01"
              "exit\r\n");
    EXPECT_EQ(masked, 8u);
    EXPECT_LE(s.startUs, s.connection()->us);
    EXPECT_LE(s.connection()->us, s.endUs);
    EXPECT_EQ(read.sessions[1].ending, recording::Ending::kInvalid);
    EXPECT_EQ(read.sessions[1].number, 2);
}

// Every way a session ends, as the log says it and as it reads back: the
// result, how the connection ended, and every connection attempt.
TEST(SessionLog, EveryEndAndEveryAttemptIsLogged) {
    using recording::Ending;
    using K = recording::Event::Kind;
    struct Case {
        const char* name;
        int result;
        Ending ending;
        std::function<int(Dialog&)> play;
        bool connects;
        std::size_t minFailedAttempts;
    };
    const std::vector<Case> cases = {
        {"closed", PROBELINK_CLOSED, Ending::kClosed,
         [](Dialog& d) {
             ScriptedServer server;
             server.send("x\r\n").closeFin().start();
             return run(local(server), 23, d);
         },
         true, 0},
        {"reset", PROBELINK_BROKEN, Ending::kReset,
         [](Dialog& d) {
             ScriptedServer server;
             server.send("x\r\n").pause(50).closeRst().start();
             return run(local(server), 23, d);
         },
         true, 0},
        {"silent", PROBELINK_SILENT, Ending::kTimeout,
         [](Dialog& d) {
             ScriptedServer server;
             server.send("x\r\n").silent().start();
             const int r = run(local(server), 23, d, 300);
             server.stop();
             return r;
         },
         true, 0},
        {"send refused after a close", PROBELINK_BROKEN, Ending::kReset,
         [](Dialog& d) {
             ScriptedServer server;
             server.send("bye\r\n").closeNow().start();
             d.pauseBeforeSendMs = 100;
             d.answer("bye", "one\r\ntwo\r\n");
             return run(local(server), 23, d);
         },
         true, 0},
        {"refused throughout", PROBELINK_NO_CONNECTION, Ending::kNoConnection,
         [](Dialog& d) {
             ScriptedServer reserved(4, false);
             return run(local(reserved), 23, d, 250);
         },
         false, 2},
        {"refused, then listening", PROBELINK_CLOSED, Ending::kClosed,
         [](Dialog& d) {
             ScriptedServer server(4, false);
             server.send("hi\r\n").closeFin();
             int result = -1;
             std::thread client([&] { result = run(local(server), 23, d, 5000); });
             std::this_thread::sleep_for(std::chrono::milliseconds(250));
             server.startListening();
             server.start();
             client.join();
             return result;
         },
         true, 2},
        {"unresolved", PROBELINK_UNRESOLVED, Ending::kUnresolved,
         [](Dialog& d) { return run("nonexistent.invalid", 23, d); }, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogFile file;
        Dialog d;
        EXPECT_EQ(c.play(d), c.result);
        const recording::Log log = file.read();
        ASSERT_EQ(log.sessions.size(), 1u);
        const recording::Session& s = log.sessions[0];
        EXPECT_EQ(s.result, c.result);
        EXPECT_EQ(s.ending, c.ending) << file.text();
        EXPECT_EQ(s.connection() != nullptr, c.connects) << file.text();
        EXPECT_GE(countOf(s, K::kAttemptFailed), c.minFailedAttempts) << file.text();
        if (c.minFailedAttempts == 0) {
            EXPECT_EQ(countOf(s, K::kAttemptFailed), 0u);
        }
        EXPECT_EQ(countOf(s, K::kSendFailed),
                  std::string(c.name) == "send refused after a close" ? 1u : 0u)
            << file.text();
        // Attempts come before the connection, each with its address and reason.
        for (const auto& e : s.events) {
            if (e.kind == K::kConnected) break;
            if (e.kind != K::kAttemptFailed) continue;
            EXPECT_EQ(e.bytes, "127.0.0.1:" + std::to_string(s.port));
            EXPECT_FALSE(e.why.empty());
        }
    }
}

// Two sessions at once on two threads of one process write into one file:
// their lines interleave, and each reads back whole as its own session.
TEST(SessionLog, TwoSessionsAtOnceReadBackApart) {
    LogFile file;
    const TwoSessions t = runTwoAtOnce(200, 300, 200, 1);
    EXPECT_EQ(t.ra, PROBELINK_CLOSED);
    EXPECT_EQ(t.rb, PROBELINK_CLOSED);
    const recording::Log log = file.read();
    ASSERT_EQ(log.sessions.size(), 2u);
    EXPECT_NE(log.sessions[0].id, log.sessions[1].id);
    EXPECT_EQ(log.sessions[0].run, log.sessions[1].run) << "one process, one run";
    std::vector<std::string> streams;
    for (const auto& s : log.sessions) {
        std::string received;
        for (const auto& e : s.events)
            if (e.kind == recording::Event::Kind::kReceived) received += e.bytes;
        streams.push_back(received);
        EXPECT_EQ(s.ending, recording::Ending::kClosed);
    }
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(streams, (std::vector<std::string>{t.sentA, t.sentB}));
}

}  // namespace
