// The real qelttelnet against a hostile bridge played by a ScriptedServer over
// loopback: format directives in every text the tool prints, 0xFF and NUL in
// every position of a line, a 1 MB line, a subnegotiation that never ends and
// a storm of negotiation. The tool prints received text as data, stays within
// its buffers (the sanitizer build checks) and ends within its time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/scripted_server.h"

namespace {

using namespace std::chrono_literals;
using qelttest::kPrompt;
using qelttest::ScriptedServer;
using qelttest::ToolRun;

const std::string kDirectives = "%n%s%x%p%%";

std::string libraryDir() {
    const std::string path = qelttest::probelinkLibraryPath();
    return path.substr(0, path.rfind('/'));
}

// The tool with `options` against `server`, the library named by directory.
ToolRun runAgainst(const ScriptedServer& server, std::vector<std::string> options = {}) {
    options.push_back("127.0.0.1:" + std::to_string(server.port()));
    return qelttest::runTool(options, {{"QELT_BRIDGE_TOOLS", libraryDir()}}, 60000ms);
}

ScriptedServer& login(ScriptedServer& server) {
    return server.send("login: ")
        .expectLine(qelttest::kLoginLine)
        .send("password: ")
        .expectLine(qelttest::kPasswordLine);
}

// The status job: `pwista` answered with `status`, `task_trace` with `tasks`.
void playStatus(ScriptedServer& server, const std::string& status, const std::string& tasks) {
    login(server)
        .send(kPrompt)
        .expectLine("pwista\r\n")
        .send(status)
        .send(kPrompt)
        .expectLine("task_trace\r\n")
        .send(tasks)
        .send(kPrompt)
        .expectLine("exit\r\n")
        .closeFin();
}

// How the status job prints a whole line it received.
std::string printed(const std::string& line) {
    return "QELT telnet: [" + std::to_string(line.size()) + "][" + line + "] peek=0\n";
}

const std::vector<std::string> kHostileLines = {
    "[HTTP]: state = RUN, err = " + kDirectives + "\r\n",
    kDirectives + kDirectives + "%99999999s%*d%hhn\r\n",
    "[SATA]: %s\r\n",
};

TEST(HostileBridge, DirectivesInStatusOutputArePrintedAsText) {
    ScriptedServer server;
    playStatus(server, kHostileLines[0] + kHostileLines[1], kHostileLines[2]);
    server.start();
    const ToolRun run = runAgainst(server);
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    for (const std::string& line : kHostileLines) {
        EXPECT_NE(run.out.find(printed(line)), std::string::npos) << line << "\n" << run.out;
    }
}

// The trace job's pages: records with directives, a DUMP_RESULT followed by
// letters (a next page of 12), and a last result that is letters only.
const std::string kPage1 = "SATA history dump\r\n000001.000000001 " + kDirectives +
                           " 3 %s\r\n000002.000000002 1 %n 0x%x\r\nDUMP_RESULT%n=5\r\n"
                           "DUMP_RESULT=12" +
                           kDirectives + "\r\n";
const std::string kPage2 = "000003.000000003 %p %p %p\r\nDUMP_RESULT=" + kDirectives + "\r\n";

void playTrace(ScriptedServer& server) {
    login(server)
        .send(kPrompt)
        .expectLine("dump_dsata_trace\r\n")
        .send(kPage1 + kPrompt)
        .expectLine("dump_dsata_trace 12\r\n")
        .send(kPage2 + kPrompt)
        .expectLine("exit\r\n")
        .closeFin();
}

TEST(HostileBridge, DirectivesInRawRecordsArePrintedAsReceived) {
    ScriptedServer server;
    playTrace(server);
    server.start();
    const ToolRun run = runAgainst(server, {"-satatrace", "-raw"});
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    for (const std::string& line :
         {"000001.000000001 " + kDirectives + " 3 %s\r\n", std::string("DUMP_RESULT%n=5\r\n"),
          std::string("000003.000000003 %p %p %p\r\n")}) {
        EXPECT_NE(run.out.find(line + "\n"), std::string::npos) << line << "\n" << run.out;
    }
    EXPECT_EQ(run.out.find("DUMP_RESULT=12"), std::string::npos);
}

TEST(HostileBridge, DirectivesInDecodedRecordsArePrintedAsText) {
    ScriptedServer server;
    playTrace(server);
    server.start();
    const ToolRun run = runAgainst(server, {"-satatrace"});
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    EXPECT_NE(run.out.find(kDirectives + " 3 %s"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("%p %p %p"), std::string::npos) << run.out;
}

// 0xFF (as IAC IAC) and NUL inserted before every byte of a line and at its
// end: the 0xFF arrives as a data byte, the NUL is dropped.
TEST(HostileBridge, FfAndNulInEveryPositionOfALine) {
    const std::string base = "[SATA]: " + kDirectives + "\r\n";
    std::string wire;
    std::string expected;
    for (std::size_t at = 0; at < base.size(); ++at) {
        wire += base.substr(0, at) + "\xff\xff" + base.substr(at);
        expected += printed(base.substr(0, at) + "\xff" + base.substr(at));
        wire += base.substr(0, at) + std::string(1, '\0') + base.substr(at);
        expected += printed(base);
    }
    // A lone 0xFF before each byte starts a telnet command: whatever it eats,
    // the session goes on (a plain line after it closes anything left open).
    std::string loneFf;
    for (std::size_t at = 0; at < base.size(); ++at) {
        loneFf += base.substr(0, at) + "\xff" + base.substr(at);
    }
    ScriptedServer server;
    playStatus(server, wire + loneFf + "end\r\n", "[SATA]: done\r\n");
    server.start();
    const ToolRun run = runAgainst(server);
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(printed("[SATA]: done\r\n")), std::string::npos);
}

TEST(HostileBridge, AMegabyteLineIsPrintedInPieces) {
    std::string huge = "[SATA]: ";
    while (huge.size() < (1u << 20)) huge += kDirectives;
    huge += "\r\n";
    ScriptedServer server;
    playStatus(server, huge, "[SATA]: done\r\n");
    server.start();
    const ToolRun run = runAgainst(server);
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    // Pieces of at most 4095 bytes: every one printed, none longer.
    std::size_t pieces = 0;
    std::size_t at = 0;
    while ((at = run.out.find("QELT telnet: [", at)) != std::string::npos) {
        at += 14;
        EXPECT_LE(std::stoul(run.out.substr(at, 8)), 4095u);
        ++pieces;
    }
    EXPECT_GE(pieces, (1u << 20) / 4095);
    EXPECT_NE(run.out.find(printed("[SATA]: done\r\n")), std::string::npos);
}

// A subnegotiation that never ends, then silence: nothing of it is printed,
// and the tool gives up after its 10 s time-out with the failed-session result.
TEST(HostileBridge, EndlessSubnegotiationThenSilenceEndsWithinTheTimeOut) {
    ScriptedServer server;
    login(server).send("\xff\xfa\x18").sendRepeated("SB" + kDirectives + "\r\n", 200000).silent();
    server.start();
    const ToolRun run = runAgainst(server);
    server.stop();
    server.join();
    EXPECT_EQ(run.status, qelttest::shellStatus(DriverSessionFailed));
    EXPECT_EQ(run.out.find("SB%n"), std::string::npos);
    EXPECT_GE(run.elapsed, 9s);
    EXPECT_LT(run.elapsed, 40s);
}

// 100,000 negotiation requests before the login prompt: each WILL draws one
// DONT and each DO one WONT, in order; WONT and DONT draw nothing; the job then
// completes.
TEST(HostileBridge, NegotiationStormIsAnsweredOnceAndWithoutALoop) {
    constexpr long kRounds = 25000;  // four requests a round
    std::string refusals;
    for (long i = 0; i < kRounds; ++i) refusals += "\xff\xfe\x01\xff\xfc\x03";
    ScriptedServer server;
    server.sendRepeated("\xff\xfb\x01\xff\xfd\x03\xff\xfc\x18\xff\xfe\x1f", kRounds)
        .send("login: ")
        .expectLine(refusals + qelttest::kLoginLine)
        .send("password: ")
        .expectLine(qelttest::kPasswordLine)
        .send(kPrompt)
        .expectLine("pwista\r\n")
        .send("[HTTP]: state = RUN, err = 0x00000000\r\n" + kPrompt)
        .expectLine("task_trace\r\n")
        .send("[SATA]: done\r\n" + kPrompt)
        .expectLine("exit\r\n")
        .closeFin();
    server.start();
    const ToolRun run = runAgainst(server);
    server.join();
    EXPECT_EQ(run.status, 0);
    // Only the size of a mismatch: the bytes would flood the log.
    EXPECT_TRUE(server.failures().empty()) << server.failures().size() << " bytes of failures";
    EXPECT_NE(run.out.find(printed("[SATA]: done\r\n")), std::string::npos);
}

// A peer that prints its status bit by bit with Nagle's algorithm on: each
// small write waits for the acknowledgement of the one before. A delayed
// acknowledgement on our side would show as a silence mid-line, and the line
// would be previewed half-way before arriving whole.
TEST(HostileBridge, SmallWritesUnderNagleAreNeverPreviewed) {
    const std::string status =
        "[HTTP]: state = RUN, err = 0x00000000\r\n[SATA]: state = RUN, err = 0x00000000\r\n"
        "[ETHER]: state = RUN, err = 0x00000000\r\n[USB]: state = RUN, err = 0x00000000\r\n";
    const std::string tasks =
        "task  prio  state   stack\r\nhttp    10  ready    1024\r\nsata    20  wait     2048\r\n"
        "ether   30  ready    1024\r\nidle   255  run       512\r\n";
    ScriptedServer server;
    server.nagle();
    login(server)
        .sendPieces(kPrompt, 3)
        .expectLine("pwista\r\n")
        .sendPieces(status + kPrompt, 64)
        .expectLine("task_trace\r\n")
        .sendPieces(tasks + kPrompt, 64)
        .expectLine("exit\r\n")
        .closeFin();
    server.start();
    const ToolRun run = runAgainst(server);
    server.join();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.failures(), "");
    EXPECT_EQ(run.out.find("peek=1"), std::string::npos) << run.out;
    for (const std::string& text : {status, tasks}) {
        for (std::size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1)
            EXPECT_NE(run.out.find(printed(text.substr(at, lf + 1 - at))), std::string::npos);
    }
}

}  // namespace
