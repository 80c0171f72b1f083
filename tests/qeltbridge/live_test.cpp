// The real qeltbridge process on a free loopback port, checked byte by byte
// with a raw client: prompts, IAC GA, CR LF, paging, reboot and the faults.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/exit_status.h"
#include "common/version.h"
#include "support/e2e_support.h"
#include "support/files.h"
#include "support/raw_client.h"

namespace {

using namespace std::chrono_literals;
using qelttest::BridgeProcess;
using qelttest::kLoginLine;
using qelttest::kPassword;
using qelttest::kPasswordLine;
using qelttest::kPrompt;
using qelttest::kUser;
using qelttest::RawClient;
using qelttest::startBridge;

const std::string kIac = "\xff";
const std::string kWill = "\xfb", kWont = "\xfc", kDo = "\xfd", kDont = "\xfe";
const std::string kSb = "\xfa", kSe = "\xf0";
const std::string kEcho = "\x01", kSga = "\x03", kTtype = "\x18", kNaws = "\x1f";

std::unique_ptr<RawClient> connectTo(const BridgeProcess& bridge) {
    auto client = std::make_unique<RawClient>();
    std::string error;
    EXPECT_TRUE(client->connect(bridge.host(), bridge.port(), error)) << error;
    return client;
}

std::unique_ptr<RawClient> loggedIn(const BridgeProcess& bridge) {
    auto client = connectTo(bridge);
    EXPECT_TRUE(client->login()) << client->buffer();
    return client;
}

// Splits a reply at CR LF; the text after the last CR LF (the prompt) is
// returned in `rest`. Fails the test on a bare LF.
std::vector<std::string> crlfLines(const std::string& text, std::string* rest = nullptr) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const auto end = text.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    for (const auto& l : lines) EXPECT_EQ(l.find('\n'), std::string::npos) << l;
    if (rest) *rest = text.substr(start);
    return lines;
}

struct Page {
    bool banner = false;
    std::vector<std::string> records;
    long long result = -1;
};

Page dump(RawClient& client, const std::string& argument) {
    const std::string reply =
        client.command(argument.empty() ? "dump_dsata_trace" : "dump_dsata_trace " + argument);
    std::string rest;
    auto lines = crlfLines(reply, &rest);
    EXPECT_EQ(rest, kPrompt);
    Page page;
    if (!lines.empty() && lines.front() == "SATA history dump") {
        page.banner = true;
        lines.erase(lines.begin());
    }
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return page;
    const std::string last = lines.back();
    lines.pop_back();
    EXPECT_EQ(last.rfind("DUMP_RESULT=", 0), 0u) << last;
    page.result = std::stoll(last.substr(12));
    page.records = lines;
    return page;
}

// Pages through the whole dump as the tool's trace job does.
std::vector<std::string> dumpAll(RawClient& client) {
    std::vector<std::string> all;
    Page page = dump(client, "");
    EXPECT_TRUE(page.banner);
    all = page.records;
    while (page.result > 0) {
        page = dump(client, std::to_string(page.result));
        EXPECT_FALSE(page.banner);
        all.insert(all.end(), page.records.begin(), page.records.end());
    }
    EXPECT_EQ(page.result, 0);
    return all;
}

TEST(BridgeConversation, PromptsLoginAndPromptBytes) {
    auto bridge = startBridge({});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->readUntil("login: "));
    EXPECT_EQ(client->take(), "login: ");
    ASSERT_TRUE(client->send(kLoginLine));
    ASSERT_TRUE(client->readUntil("password: "));
    EXPECT_EQ(client->take(), "password: ");
    ASSERT_TRUE(client->send(kPasswordLine));
    ASSERT_TRUE(client->readUntil(kPrompt));
    EXPECT_EQ(client->take(), "INET> \xff\xf9");
    // An empty line just gives the prompt again; nothing is echoed.
    EXPECT_EQ(client->command(""), kPrompt);
}

TEST(BridgeConversation, StatusAndTaskTable) {
    auto bridge = startBridge({});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    std::string rest;
    const auto status = crlfLines(client->command("pwista"), &rest);
    EXPECT_EQ(rest, kPrompt);
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[0], "[HTTP]: state = RUN, err = 0x00000000");
    const std::regex form(R"(\[[A-Z]+\]: state = RUN, err = 0x00000000)");
    for (const auto& line : status) EXPECT_TRUE(std::regex_match(line, form)) << line;
    EXPECT_EQ(status[1].rfind("[SATA]: ", 0), 0u);
    EXPECT_EQ(status[2].rfind("[ETHER]: ", 0), 0u);

    const auto tasks = crlfLines(client->command("task_trace"), &rest);
    EXPECT_EQ(rest, kPrompt);
    EXPECT_GE(tasks.size(), 2u);
    for (const auto& line : tasks) EXPECT_EQ(line.find("]: state ="), std::string::npos);

    EXPECT_EQ(client->command("reboot_now"), "Unknown command\r\n" + kPrompt);
    EXPECT_EQ(client->command("PWISTA"), "Unknown command\r\n" + kPrompt);
    ASSERT_TRUE(client->send("exit\r\n"));
    EXPECT_EQ(client->readToEnd(), 0);
    EXPECT_EQ(client->buffer(), "");
}

TEST(BridgeConversation, AcceptsEveryInputLineEndSplitAnywhere) {
    auto bridge = startBridge({});
    ASSERT_TRUE(bridge);
    const std::vector<std::pair<std::string, std::string>> endings = {
        {"\n", "\n"}, {std::string("\r\0", 2), std::string("\r\0", 2)}, {"\r", "\r\n"}};
    for (const auto& [userEnd, passEnd] : endings) {
        auto client = connectTo(*bridge);
        ASSERT_TRUE(client->readUntil("login: "));
        client->take();
        // One byte at a time, so every line end is cut across segments.
        for (char c : kUser + userEnd) ASSERT_TRUE(client->send(std::string(1, c)));
        ASSERT_TRUE(client->readUntil("password: "));
        client->take();
        for (char c : kPassword + passEnd) ASSERT_TRUE(client->send(std::string(1, c)));
        ASSERT_TRUE(client->readUntil(kPrompt)) << client->buffer();
        EXPECT_EQ(client->take(), kPrompt);
        // "\r" then "\n" in separate segments is one line end, not two.
        EXPECT_EQ(client->command("pwista").rfind("[HTTP]", 0), 0u);
        EXPECT_TRUE(client->readFor(100ms));
        EXPECT_EQ(client->buffer(), "");
    }
}

TEST(BridgeConversation, LoginFailuresAndThreeStrikes) {
    auto bridge = startBridge({"--login", "admin", "--password", "s3cret"});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->readUntil("login: "));
    client->take();
    // The default credentials are wrong here; two failures, then success.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client->send(kLoginLine));
        ASSERT_TRUE(client->readUntil("password: "));
        client->take();
        ASSERT_TRUE(client->send(kPasswordLine));
        ASSERT_TRUE(client->readUntil("login: "));
        EXPECT_EQ(client->take(), "Login incorrect\r\nlogin: ");
    }
    ASSERT_TRUE(client->send("admin\r\n"));
    ASSERT_TRUE(client->readUntil("password: "));
    client->take();
    ASSERT_TRUE(client->send("s3cret\r\n"));
    ASSERT_TRUE(client->readUntil(kPrompt));
    EXPECT_EQ(client->take(), kPrompt);

    auto loser = connectTo(*bridge);
    ASSERT_TRUE(loser->readUntil("login: "));
    loser->take();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(loser->send("admin\r\n"));
        ASSERT_TRUE(loser->readUntil("password: "));
        loser->take();
        ASSERT_TRUE(loser->send("wrong\r\n"));
        ASSERT_TRUE(loser->readUntil("Login incorrect\r\n"));
    }
    EXPECT_EQ(loser->readToEnd(), 0);
    EXPECT_EQ(loser->buffer(), "Login incorrect\r\n");  // no fourth "login: "
}

TEST(BridgeDump, PagesAndResultsWithGeneratedRecords) {
    auto bridge = startBridge({"--records", "10", "--page-size", "4", "--seed", "9"});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    const std::regex record(R"( *\d+\.\d{9} \S{1,3} \d{1,3} \S{1,30})");

    Page first = dump(*client, "");
    EXPECT_TRUE(first.banner);
    EXPECT_EQ(first.records.size(), 4u);
    EXPECT_EQ(first.result, 4);
    Page second = dump(*client, "4");
    EXPECT_FALSE(second.banner);
    EXPECT_EQ(second.records.size(), 4u);
    EXPECT_EQ(second.result, 8);
    Page last = dump(*client, "8");
    EXPECT_EQ(last.records.size(), 2u);
    EXPECT_EQ(last.result, 0);
    for (const auto* page : {&first, &second, &last})
        for (const auto& r : page->records) EXPECT_TRUE(std::regex_match(r, record)) << r;

    // A page may start anywhere; it always ends at the next page boundary or
    // the end of the trace.
    Page middle = dump(*client, "3");
    EXPECT_EQ(middle.records.size(), 4u);
    EXPECT_EQ(middle.records[0], first.records[3]);
    EXPECT_EQ(middle.result, 7);
    EXPECT_EQ(dump(*client, "9").records, std::vector<std::string>{last.records[1]});

    // Beyond the end, negative or not a number: no records, a finished dump.
    for (const char* bad : {"10", "11", "99999999999", "-1", "abc", "4x", "1 2"}) {
        Page p = dump(*client, bad);
        EXPECT_TRUE(p.records.empty()) << bad;
        EXPECT_EQ(p.result, 0) << bad;
        EXPECT_FALSE(p.banner);
    }

    // Same seed, same records, from another process.
    auto twin = startBridge({"--records", "10", "--page-size", "4", "--seed", "9"});
    ASSERT_TRUE(twin);
    auto other = loggedIn(*twin);
    EXPECT_EQ(dump(*other, "").records, first.records);
}

TEST(BridgeDump, LastFullPageEndsTheDump) {
    auto bridge = startBridge({"--records", "8", "--page-size", "4"});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    EXPECT_EQ(dump(*client, "").result, 4);
    Page last = dump(*client, "4");
    EXPECT_EQ(last.records.size(), 4u);
    EXPECT_EQ(last.result, 0);

    auto empty = startBridge({"--records", "0"});
    ASSERT_TRUE(empty);
    auto c2 = loggedIn(*empty);
    Page none = dump(*c2, "");
    EXPECT_TRUE(none.banner);
    EXPECT_TRUE(none.records.empty());
    EXPECT_EQ(none.result, 0);
}

TEST(BridgeDump, WalksThousandsOfRecordsInRisingOrder) {
    auto bridge = startBridge({"--records", "3000", "--seed", "5"});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    const auto all = dumpAll(*client);
    ASSERT_EQ(all.size(), 3000u);
    double previous = -1;
    for (const auto& r : all) {
        const double t = std::stod(r);
        EXPECT_GT(t, previous) << r;
        previous = t;
    }
}

// A failing device's dump, paged as the trace job pages it, is the dump the
// same options give in one page, and up to its first scenario the healthy
// one; its error storm is where it was asked for.
TEST(BridgeDump, ScenarioRecordsPageByPage) {
    const std::vector<std::string> options = {
        "--records", "3000", "--seed", "4", "--scenario", "hang@300,resets@300,storm@2000+400"};
    auto run = [](std::vector<std::string> args, const char* pageSize) {
        args.insert(args.end(), {"--page-size", pageSize});
        auto bridge = startBridge(args);
        EXPECT_TRUE(bridge);
        if (!bridge) return std::vector<std::string>{};
        auto client = loggedIn(*bridge);
        return dumpAll(*client);
    };
    const auto paged = run(options, "64");
    ASSERT_EQ(paged.size(), 3000u);
    EXPECT_EQ(run(options, "5000"), paged);
    const auto healthy = run({"--records", "3000", "--seed", "4"}, "5000");
    ASSERT_EQ(healthy.size(), 3000u);
    EXPECT_TRUE(std::equal(paged.begin(), paged.begin() + 300, healthy.begin()));

    const std::regex fatal(R"( *\d+\.\d{9} [0-9A-F] 0 [0-9A-F]{4})");
    std::size_t inStorm = 0;
    double previous = -1;
    for (std::size_t i = 0; i < paged.size(); ++i) {
        if (std::regex_match(paged[i], fatal)) {
            EXPECT_TRUE(i >= 2000 && i < 2400) << i << ": " << paged[i];
            ++inStorm;
        }
        const double t = std::stod(paged[i]);
        EXPECT_GT(t, previous) << paged[i];
        previous = t;
    }
    EXPECT_GT(inStorm, 100u);
}

TEST(BridgeDump, ServesATraceFileAsItStands) {
    const qelttest::TempFile trace("qeltbridge-trace",
                                   "    12.000000500 01 2 0\r\n"
                                   "    12.000000600 5 8 3/7+1\n"
                                   "\n"
                                   "not a record at all\n"
                                   "    13.000000000 FF 41 x");
    ASSERT_TRUE(trace.ok()) << trace.error();
    auto bridge = startBridge({"--trace", trace.path(), "--page-size", "2"});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    const auto all = dumpAll(*client);
    EXPECT_EQ(all,
              (std::vector<std::string>{"    12.000000500 01 2 0", "    12.000000600 5 8 3/7+1", "",
                                        "not a record at all", "    13.000000000 FF 41 x"}));
}

TEST(BridgeDump, BuiltinTraceIsTheSampleCapture) {
    const std::string sample = qelttest::readFile(qelttest::sampleTracePath());
    if (sample.empty()) GTEST_SKIP() << "no sample capture in this tree";
    std::vector<std::string> expected;
    std::istringstream lines(sample);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        expected.push_back(line);
    }
    auto bridge = startBridge({});
    ASSERT_TRUE(bridge);
    auto client = loggedIn(*bridge);
    EXPECT_EQ(dumpAll(*client), expected);
}

TEST(BridgeReboot, HwrstClosesEverySessionAndComesBackInInit) {
    auto bridge = startBridge({"--reboot-ms", "1500", "--boot-ms", "3000"});
    ASSERT_TRUE(bridge);
    auto a = loggedIn(*bridge);
    auto b = loggedIn(*bridge);
    auto waiting = connectTo(*bridge);  // not yet logged in
    ASSERT_TRUE(waiting->readUntil("login: "));
    ASSERT_TRUE(a->send("hwrst\r\n"));
    EXPECT_EQ(a->readToEnd(), 0);
    EXPECT_EQ(b->readToEnd(), 0);
    EXPECT_EQ(waiting->readToEnd(), 0);

    // Off the network: nothing listens until the reboot time has passed.
    RawClient early;
    std::string error;
    EXPECT_FALSE(early.connect(bridge->host(), bridge->port(), error));

    std::string line;
    ASSERT_TRUE(bridge->readLine(line, 10s));
    EXPECT_EQ(line, "listening on " + bridge->address());

    auto after = loggedIn(*bridge);
    const auto booting = crlfLines(after->command("pwista"));
    ASSERT_FALSE(booting.empty());
    EXPECT_EQ(booting[0], "[HTTP]: state = INIT, err = 0x00000000");
    // Running again once the boot time is over.
    bool running = false;
    for (int i = 0; i < 100 && !running; ++i) {
        std::this_thread::sleep_for(100ms);
        running = crlfLines(after->command("pwista"))[0] == "[HTTP]: state = RUN, err = 0x00000000";
    }
    EXPECT_TRUE(running);
}

TEST(BridgeFaults, NoGaSendsTheBarePrompt) {
    auto bridge = startBridge({"--no-ga"});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->readUntil("login: "));
    client->take();
    ASSERT_TRUE(client->send(kLoginLine + kPasswordLine + "pwista\r\n"));
    ASSERT_TRUE(client->readUntil("[FPGA]: state = RUN, err = 0x00000000\r\nINET> "));
    const std::string all = client->take();
    EXPECT_EQ(all.rfind("password: INET> [HTTP]", 0), 0u) << all;
    EXPECT_EQ(all.find('\xff'), std::string::npos);
}

// The same conversation through a split, delayed bridge arrives as the same
// bytes as through a plain one.
TEST(BridgeFaults, SplitAndLineDelayReassembleToTheSameBytes) {
    auto conversation = [](std::vector<std::string> faults) {
        std::vector<std::string> args = {"--records", "40", "--page-size", "16"};
        args.insert(args.end(), faults.begin(), faults.end());
        auto bridge = startBridge(args);
        if (!bridge) return std::string();
        auto client = connectTo(*bridge);
        std::string wire;
        EXPECT_TRUE(client->readUntil("login: "));
        wire += client->take();
        for (const std::string& line : {kLoginLine, kPasswordLine}) {
            const bool user = line == kLoginLine;
            client->send(line);
            EXPECT_TRUE(client->readUntil(user ? "password: " : qelttest::kPromptText));
            EXPECT_TRUE(client->readUntil(user ? "password: " : kPrompt));
            wire += client->take();
        }
        for (const char* cmd :
             {"pwista", "dump_dsata_trace", "dump_dsata_trace 16", "dump_dsata_trace 32"})
            wire += client->command(cmd);
        return wire;
    };
    const std::string plain = conversation({});
    ASSERT_GT(plain.size(), 1000u);
    EXPECT_EQ(conversation({"--split", "3"}), plain);
    EXPECT_EQ(conversation({"--split", "1", "--split-pause-ms", "0"}), plain);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conversation({"--line-delay-ms", "10"}), plain);
    // 4 + 3 pages of at most 18 lines each: at least ~60 pauses of 10 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

TEST(BridgeFaults, DropAfterClosesAtTheExactByte) {
    for (const uint64_t limit : {0u, 7u, 100u, 1000u}) {
        auto bridge = startBridge({"--drop-after", std::to_string(limit), "--records", "500"});
        ASSERT_TRUE(bridge);
        auto client = connectTo(*bridge);
        if (limit > 7) {
            ASSERT_TRUE(client->login());
            client->send("dump_dsata_trace\r\n");
        }
        EXPECT_EQ(client->readToEnd(), 0) << limit;
        EXPECT_EQ(client->totalReceived(), limit);
    }
}

TEST(BridgeFaults, ResetDropsWithRst) {
    auto bridge = startBridge({"--drop-after", "200", "--reset", "--records", "500"});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->login());
    client->send("dump_dsata_trace\r\n");
    EXPECT_EQ(client->readToEnd(), ECONNRESET);
    EXPECT_LE(client->totalReceived(), 200u);
}

TEST(BridgeFaults, StallAfterKeepsTheConnectionAndKeepsReading) {
    auto bridge = startBridge({"--stall-after", "150", "--records", "500"});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->login());
    client->send("dump_dsata_trace\r\n");
    EXPECT_TRUE(client->readFor(500ms));  // still open after the stall
    EXPECT_EQ(client->totalReceived(), 150u);
    // It still listens: "exit" ends the session.
    client->send("pwista\r\nexit\r\n");
    EXPECT_EQ(client->readToEnd(), 0);
    EXPECT_EQ(client->totalReceived(), 150u);
}

TEST(BridgeFaults, NegotiateOffersAndRequestsOptions) {
    auto bridge = startBridge({"--negotiate"});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    const std::string offers =
        kIac + kWill + kEcho + kIac + kWill + kSga + kIac + kDo + kTtype + kIac + kDo + kNaws;
    ASSERT_TRUE(client->readUntil("login: "));
    EXPECT_EQ(client->take(), offers + "login: ");
    // Refusing everything must not start another round.
    ASSERT_TRUE(client->send(kIac + kDont + kEcho + kIac + kDont + kSga + kIac + kWont + kTtype +
                             kIac + kWont + kNaws));
    EXPECT_TRUE(client->readFor(200ms));
    EXPECT_EQ(client->buffer(), "");
    ASSERT_TRUE(client->send(kLoginLine));
    ASSERT_TRUE(client->readUntil("password: "));
    client->take();
    ASSERT_TRUE(client->send(kPasswordLine));
    ASSERT_TRUE(client->readUntil(kPrompt));
    EXPECT_EQ(client->take(), kPrompt);

    // A client that agrees to TTYPE is asked for its terminal type.
    auto agreeing = connectTo(*bridge);
    ASSERT_TRUE(agreeing->readUntil("login: "));
    agreeing->take();
    ASSERT_TRUE(agreeing->send(kIac + kWill + kTtype));
    ASSERT_TRUE(agreeing->readUntil(kIac + kSe));
    EXPECT_EQ(agreeing->take(), kIac + kSb + kTtype + "\x01" + kIac + kSe);
}

TEST(BridgeFaults, OptionsAskedByTheClientAreRefused) {
    auto bridge = startBridge({});
    ASSERT_TRUE(bridge);
    auto client = connectTo(*bridge);
    ASSERT_TRUE(client->readUntil("login: "));
    client->take();
    ASSERT_TRUE(client->send(kIac + kWill + kNaws + kIac + kDo + kEcho));
    ASSERT_TRUE(client->readUntil(kIac + kWont + kEcho));
    EXPECT_EQ(client->take(), kIac + kDont + kNaws + kIac + kWont + kEcho);
    // IAC IAC inside a line is a data byte, not a command.
    ASSERT_TRUE(client->send("qe" + kIac + kIac + "lt\r\n"));
    ASSERT_TRUE(client->readUntil("password: "));
    client->take();
    ASSERT_TRUE(client->send(kPasswordLine));
    ASSERT_TRUE(client->readUntil("login: "));
    EXPECT_EQ(client->take(), "Login incorrect\r\nlogin: ");
}

TEST(BridgeSessions, MaxSessionsRefusesOneMore) {
    auto bridge = startBridge({"--max-sessions", "2"});
    ASSERT_TRUE(bridge);
    auto a = loggedIn(*bridge);
    auto b = loggedIn(*bridge);
    auto third = connectTo(*bridge);
    EXPECT_EQ(third->readToEnd(), 0);
    EXPECT_EQ(third->buffer(), "Too many sessions, try again later\r\n");
    // The two sessions are unharmed; once one ends, a new one is welcome.
    EXPECT_EQ(crlfLines(a->command("pwista"))[0], "[HTTP]: state = RUN, err = 0x00000000");
    ASSERT_TRUE(b->send("exit\r\n"));
    bool admitted = false;
    for (int i = 0; i < 100 && !admitted; ++i) {
        auto next = connectTo(*bridge);
        admitted = next->readUntil("login: ", 5s);
        if (!admitted) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(admitted);
}

TEST(BridgeSessions, LoginMustCompleteInTime) {
    auto bridge = startBridge({"--login-timeout-ms", "300"});
    ASSERT_TRUE(bridge);
    auto idle = connectTo(*bridge);
    auto halfway = connectTo(*bridge);
    auto done = loggedIn(*bridge);
    ASSERT_TRUE(halfway->readUntil("login: "));
    halfway->send(kLoginLine);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(idle->readToEnd(), 0);
    EXPECT_EQ(idle->buffer(), "login: \r\nLogin timed out\r\n");
    EXPECT_EQ(halfway->readToEnd(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    // A session that logged in is not subject to it.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(crlfLines(done->command("pwista"))[0], "[HTTP]: state = RUN, err = 0x00000000");
}

TEST(BridgeSessions, ManyConcurrentSessionsEachGetTheirOwnDump) {
    auto bridge = startBridge({"--records", "400", "--page-size", "25", "--split", "200"});
    ASSERT_TRUE(bridge);
    auto reference = loggedIn(*bridge);
    const auto expected = dumpAll(*reference);
    ASSERT_EQ(expected.size(), 400u);
    constexpr int kClients = 40;
    std::atomic<int> matching{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&] {
            RawClient client;
            std::string error;
            if (!client.connect(bridge->host(), bridge->port(), error) || !client.login()) return;
            // Interleave other commands so the conversations differ.
            if (client.command("pwista").rfind("[HTTP]", 0) != 0) return;
            std::vector<std::string> all;
            std::string reply = client.command("dump_dsata_trace");
            for (;;) {
                auto lines = crlfLines(reply);
                if (lines.empty()) return;
                const std::string last = lines.back();
                lines.pop_back();
                for (const auto& l : lines)
                    if (l != "SATA history dump") all.push_back(l);
                if (last.rfind("DUMP_RESULT=", 0) != 0) return;
                const std::string next = last.substr(12);
                if (next == "0") break;
                reply = client.command("dump_dsata_trace " + next);
            }
            if (all == expected) ++matching;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(matching.load(), kClients);
}

TEST(BridgeProcessLife, SignalsEndItCleanly) {
    for (int signal : {SIGTERM, SIGINT}) {
        auto bridge = startBridge({});
        ASSERT_TRUE(bridge);
        auto client = loggedIn(*bridge);
        EXPECT_EQ(bridge->stop(signal), 0);
        EXPECT_EQ(client->readToEnd(), 0);
    }
}

TEST(BridgeProcessLife, ListensOnIpv6Loopback) {
    BridgeProcess bridge(qelttest::qeltbridgePath(), {"--listen", "[::1]:0"});
    std::string error;
    if (!bridge.start(error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
    EXPECT_EQ(bridge.address(), "[::1]:" + std::to_string(bridge.port()));
    RawClient client;
    ASSERT_TRUE(client.connect("::1", bridge.port(), error)) << error;
    EXPECT_TRUE(client.login());
}

// A usage error and a failed input or output end with statuses of their own.
TEST(BridgeProcessLife, BadOptionsFilesAddressesAndHelp) {
    namespace status = qeltbridge::exit_status;
    {
        BridgeProcess bridge(qelttest::qeltbridgePath(), {"--page-size", "0"});
        std::string error;
        EXPECT_FALSE(bridge.start(error));
        EXPECT_EQ(bridge.wait(10s), status::kUsage);
        EXPECT_EQ(bridge.log(),
                  "qeltbridge: --page-size 0: not a whole number from 1 to 1000000\n"
                  "qeltbridge --help lists the options.\n");
    }
    {
        BridgeProcess bridge(qelttest::qeltbridgePath(), {"--trace", "/nonexistent/trace.txt"});
        std::string error;
        EXPECT_FALSE(bridge.start(error));
        EXPECT_EQ(bridge.wait(10s), status::kInputOutput);
        EXPECT_NE(bridge.log().find("/nonexistent/trace.txt"), std::string::npos);
    }
    {
        // The port of a bridge that is listening: taken.
        auto first = startBridge({});
        ASSERT_TRUE(first);
        BridgeProcess bridge(qelttest::qeltbridgePath(), {"--listen", first->address()});
        std::string error;
        EXPECT_FALSE(bridge.start(error));
        EXPECT_EQ(bridge.wait(10s), status::kInputOutput) << bridge.log();
    }
    {
        BridgeProcess bridge(qelttest::qeltbridgePath(), {"--help"});
        std::string error;
        EXPECT_FALSE(bridge.start(error));  // prints the help, not "listening on"
        EXPECT_NE(error.find("usage: qeltbridge"), std::string::npos);
        EXPECT_EQ(bridge.wait(10s), 0);
    }
    {
        BridgeProcess bridge(qelttest::qeltbridgePath(), {"--version"});
        std::string error;
        EXPECT_FALSE(bridge.start(error));
        EXPECT_NE(error.find("(got \"qeltbridge " QELT_VERSION "\")"), std::string::npos) << error;
        EXPECT_EQ(bridge.wait(10s), 0);
    }
}

}  // namespace
