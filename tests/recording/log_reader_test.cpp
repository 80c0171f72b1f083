// The session log read back: its escaping and times at their edges, the
// sessions of runs and threads sorted out, how each ended, the older form,
// and for a log that does not read, the line and the reason.
#include "recording/log_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording/log_format.h"

namespace {

using recording::Ending;
using K = recording::Event::Kind;

TEST(LogFormat, EveryByteEscapesAndReadsBack) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    const std::string text = recording::escaped(all);
    EXPECT_EQ(recording::escaped("a<b\r\n\xFF"), "a<3C>b<0D><0A><FF>");
    std::string back;
    ASSERT_TRUE(recording::unescape(text, back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(recording::unescape("<ff><0a>", back)) << "lower case hex reads too";
    EXPECT_EQ(back, "\xFF\n");
    for (const char* bad : {"<", "<F", "<FF", "<FG>", "******** <password line>", "a<0>"})
        EXPECT_FALSE(recording::unescape(bad, back)) << bad;
}

TEST(LogFormat, TimesAtTheirEdgesReadBack) {
    const struct {
        std::int64_t us;
        const char* text;
    } walls[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {951782400000000 + 1, "2000-02-29T00:00:00.000001Z"},
        {1709251199999999, "2024-02-29T23:59:59.999999Z"},
        {4102444800000000, "2100-01-01T00:00:00.000000Z"},
    };
    for (const auto& w : walls) {
        EXPECT_EQ(recording::wallTimeText(w.us), w.text);
        std::int64_t us = -1;
        int digits = 0;
        ASSERT_TRUE(recording::readWallTime(w.text, us, digits)) << w.text;
        EXPECT_EQ(us, w.us);
        EXPECT_EQ(digits, 6);
    }
    std::int64_t us = 0;
    int digits = 0;
    ASSERT_TRUE(recording::readWallTime("2026-12-08T16:26:12.123Z", us, digits));
    EXPECT_EQ(digits, 3);
    EXPECT_EQ(us % 1000000, 123000);
    for (const char* bad :
         {"2026-12-08T16:26:12Z", "2026-12-08T16:26:12.1234Z", "2026-13-08T16:26:12.123Z",
          "2026-12-08 16:26:12.123Z", "2026-12-08T16:26:12.123", "x026-12-08T16:26:12.123Z"})
        EXPECT_FALSE(recording::readWallTime(bad, us, digits)) << bad;
    EXPECT_EQ(recording::monotonicText(8123456789), "8123.456789");
    EXPECT_EQ(recording::monotonicText(5), "0.000005");
    ASSERT_TRUE(recording::readMonotonic("8123.456789", us));
    EXPECT_EQ(us, 8123456789);
    for (const char* bad : {"8123.45678", ".000001", "8123", "81x3.456789", "1.0000001"})
        EXPECT_FALSE(recording::readMonotonic(bad, us)) << bad;
    EXPECT_EQ(recording::sessionIdentifier(4711, 3), "4711:3");
    EXPECT_EQ(recording::sessionIdentifier(-2, 18446744073709551615u), "-2:18446744073709551615");
}

// A line of this version's form for session `id` at `us` microseconds.
std::string line(const std::string& id, std::int64_t us, const std::string& event) {
    return recording::wallTimeText(1700000000000000 + us) + " " + recording::monotonicText(us) +
           " " + id + " " + event + "\n";
}

// Two threads of process 7 and a second run (process 8) in one file, their
// lines interleaved, with a carriage return and a blank line from an editor.
TEST(LogReader, SessionsOfThreadsAndRunsAreToldApart) {
    const std::string a = "7:aaa0", b = "7:bbb0", c = "8:aaa0";
    const std::string text =
        line(a, 100, "start ProbeLinkServices 0.1.0") +
        line(b, 110, "start ProbeLinkServices 0.1.0") +
        line(a, 120, "open bridge.example port 23 timeout 10000 ms") +
        line(a, 130, "attempt 10.0.0.5:23 failed: Connection refused (111)") +
        line(b, 140, "open 127.0.0.1 port 2323 timeout 10000 ms") +
        line(a, 150, "connected 10.0.0.5:23") + line(b, 160, "connected 127.0.0.1:2323") +
        line(a, 170, "recv 9 login: <FF><F9>") + "\n" + line(b, 180, "recv 3 ab<3C>") +
        line(a, 190, "chunk peek=1 len=9 login: <FF><F9>") +
        line(a, 200, "send 21 ******** <password line>") + line(b, 210, "send 6 qelt<0D><0A>") +
        line(b, 220, "send-failed send: Broken pipe (32)") +
        line(a, 230, "error recv: Connection reset by peer (104)") +
        line(b, 240, "end 9 reset: the bridge reset the connection") +
        line(a, 250, "end 9 reset: the bridge reset the connection") +
        line(c, 900, "start ProbeLinkServices 0.1.0") +
        line(c, 910, "end 1 invalid: invalid arguments");
    std::string crlf = text;
    crlf.insert(crlf.find('\n'), "\r");
    recording::Log log;
    std::string error;
    ASSERT_TRUE(recording::readLog(crlf, log, error)) << error;
    ASSERT_EQ(log.sessions.size(), 3u);
    const recording::Session& first = log.sessions[0];
    EXPECT_EQ(first.number, 1);
    EXPECT_EQ(first.id, a);
    EXPECT_EQ(first.run, "7");
    EXPECT_EQ(first.host, "bridge.example");
    EXPECT_EQ(first.port, 23);
    EXPECT_EQ(first.timeoutMs, 10000);
    EXPECT_EQ(first.startUs, 100);
    EXPECT_EQ(first.endUs, 250);
    EXPECT_EQ(first.result, 9);
    EXPECT_EQ(first.ending, Ending::kReset);
    ASSERT_NE(first.connection(), nullptr);
    EXPECT_EQ(first.connection()->us, 150);
    std::vector<K> kinds;
    for (const auto& e : first.events) kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<K>{K::kAttemptFailed, K::kConnected, K::kReceived, K::kChunk,
                                     K::kSentPassword, K::kNote}));
    EXPECT_EQ(first.events[0].bytes, "10.0.0.5:23");
    EXPECT_EQ(first.events[0].why, "Connection refused (111)");
    EXPECT_EQ(first.events[2].bytes, "login: \xFF\xF9");
    EXPECT_EQ(first.events[3].peek, 1);
    EXPECT_EQ(first.events[4].length, 21u);
    const recording::Session& second = log.sessions[1];
    EXPECT_EQ(second.run, "7") << "two threads of one run";
    EXPECT_EQ(second.events[1].bytes, "ab<");
    EXPECT_EQ(second.events[3].kind, K::kSendFailed);
    EXPECT_EQ(log.sessions[2].run, "8");
    EXPECT_EQ(log.sessions[2].ending, Ending::kInvalid);
    EXPECT_EQ(log.sessions[2].connection(), nullptr);
}

// The log of the older version: a status run and a trace run of it.
TEST(LogReader, TheOlderFormReadsAsFarAsItCarriesTheFacts) {
    recording::Log log;
    std::string error;
    ASSERT_TRUE(recording::readLogFile(QELT_RECORDING_CASES "/older_form.log", log, error))
        << error;
    ASSERT_EQ(log.sessions.size(), 2u);
    for (const recording::Session& s : log.sessions) {
        EXPECT_EQ(s.format, 1);
        EXPECT_EQ(s.ending, Ending::kClosed);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.run, s.id) << "the older form names no process";
        EXPECT_EQ(s.startUs % 1000, 0) << "milliseconds";
        std::size_t masked = 0;
        std::string received;
        for (const auto& e : s.events) {
            if (e.kind == K::kSentPassword) masked = e.length;
            if (e.kind == K::kReceived) received += e.bytes;
        }
        EXPECT_EQ(masked, 21u) << "\"********\" is the password line";
        EXPECT_EQ(received.compare(0, 7, "login: "), 0);
        EXPECT_EQ(received.substr(received.size() - 8), "INET> \xFF\xF9");
    }
}

// How the older form's result numbers read as endings, and the cut sessions
// of either form.
TEST(LogReader, EndingsOfTheOlderFormAndCutSessions) {
    const std::string id = "0x55d0c7a8e2a0";
    auto older = [&](const std::string& event) {
        return "2026-12-08T16:26:12.123Z " + id + " " + event + "\n";
    };
    const struct {
        std::string result;
        Ending ending;
    } cases[] = {
        {"0 the bridge closed the connection", Ending::kClosed},
        {"9 connection reset or broken, or a send failed", Ending::kReset},
        {"12 nothing received within the time-out", Ending::kTimeout},
        {"5 no connection within the time-out", Ending::kNoConnection},
        {"2 the host name could not be resolved", Ending::kUnresolved},
        {"1 invalid arguments", Ending::kInvalid},
        {"3 local system error", Ending::kLocalError},
    };
    for (const auto& c : cases) {
        recording::Log log;
        std::string error;
        ASSERT_TRUE(recording::readLog(
            older("version ProbeLinkServices 0.1.0") + older("result " + c.result), log, error))
            << error;
        EXPECT_EQ(log.sessions[0].ending, c.ending) << c.result;
    }
    // The same identifier starting again before its end: the program ended
    // without a word (the older form reuses addresses); and a log that ends
    // inside a session.
    recording::Log log;
    std::string error;
    ASSERT_TRUE(recording::readLog(
        older("version A") + older("recv 1 x") + older("version B") + older("recv 1 y"), log,
        error))
        << error;
    ASSERT_EQ(log.sessions.size(), 2u);
    EXPECT_EQ(log.sessions[0].ending, Ending::kCut);
    EXPECT_EQ(log.sessions[0].result, -1);
    EXPECT_EQ(log.sessions[1].version, "B");
    EXPECT_EQ(log.sessions[1].ending, Ending::kCut);
}

TEST(LogReader, ALogThatDoesNotReadNamesTheLineAndWhy) {
    const std::string s = "1:a";
    const std::string start = line(s, 1, "start ProbeLinkServices 0.1.0");
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "no session in it"},
        {"\n\n", "no session in it"},
        {"login: qelt\n", "line 1: not a session log line"},
        {start + "\n2026-12-09T11:06:33.811690Z " + s + " recv 1 x\n", "line 3: no monotonic time"},
        {start + line(s, 2, "recieve 1 x"), "line 2: unknown event \"recieve\""},
        {start + line(s, 2, "recv 5 abcd"), "line 2: 5 bytes announced, 4 written"},
        {start + line(s, 2, "recv x abcd"), "line 2: no byte count"},
        {start + line(s, 2, "send 2 a<G0>"), "line 2: a \"<\" that starts no <XX> escape"},
        {start + line(s, 2, "chunk peek=2 len=1 x"), "line 2: chunk:"},
        {start + line(s, 2, "chunk peek=0 len=2 x"), "line 2: chunk:"},
        {start + line(s, 2, "open bridge port 23"), "line 2: open:"},
        {start + line(s, 2, "attempt 10.0.0.5:23 refused"), "line 2: attempt:"},
        {start + line(s, 2, "end 0 vanished: ?"), "line 2: end: unknown way to end \"vanished\""},
        {start + line(s, 2, "end zero closed: x"), "line 2: no result number"},
        {start + line("1:b", 2, "recv 1 x"), "line 2: session 1:b was not started"},
        {start + line(s, 2, "end 0 closed: x") + line(s, 3, "recv 1 x"),
         "line 3: session 1:a was not started"},
        {"2026-12-08T16:26:12.123Z 0x1 version A\n2026-12-08T16:26:12.124Z 0x1 result 7 ?\n",
         "line 2: unknown result 7"},
    };
    for (const auto& c : cases) {
        recording::Log log;
        std::string error;
        EXPECT_FALSE(recording::readLog(c.text, log, error)) << c.text;
        EXPECT_EQ(error.compare(0, std::string(c.error).size(), c.error), 0)
            << "got \"" << error << "\" for\n"
            << c.text;
    }
}

}  // namespace
