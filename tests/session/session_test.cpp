// qelttelnet run as a process against scripted doubles of the telnet library:
// its standard output byte for byte, its exit status, and what it sent.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/e2e_support.h"
#include "support/files.h"
#include "support/protocol.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qelttest::kToolMessage;
using qelttest::shellStatus;
using qelttest::ToolRun;

// Bytes as the double's script spells them: %XX for all but printable ASCII.
std::string escaped(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '%') {
            text += static_cast<char>(c);
        } else {
            text += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return text;
}

const std::string kPrompt = escaped(qelttest::kPrompt);

// What the double logs for call `call` of a session that sends `lines` and
// ends with the bridge closing.
std::string sessionLog(int call, const std::string& host, const std::vector<std::string>& lines) {
    std::string log =
        "call " + std::to_string(call) + " host=[" + host + "] port=23 timeout=10000\n";
    for (const std::string& line : lines) log += "send [" + escaped(line) + "] flags=0 handle=ok\n";
    return log + "return 0\n";
}
const std::vector<std::string> kStatusLines = {qelttest::kLoginLine, qelttest::kPasswordLine,
                                               "pwista\r\n", "task_trace\r\n", "exit\r\n"};
const std::string kUsage = "usage: qelttelnet [-reboot] [<bridge_ip_address>]\n\n";

struct Chunk {
    std::string text;  // %XX escapes allowed
    int peek = 0;
};

struct Session {
    int result;
    std::vector<Chunk> chunks;
};

std::vector<Chunk> loginChunks() {
    return {{"login: ", 1}, {"password: ", 1}, {kPrompt}};
}

std::vector<Chunk> withLogin(std::vector<Chunk> rest) {
    std::vector<Chunk> all = loginChunks();
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

// pwista output, the prompt, task_trace output, the bare prompt.
std::vector<Chunk> statusChunks() {
    return withLogin(
        {{"[HTTP]: state = RUN, err = 0x00000000%0D%0A"}, {kPrompt}, {"task 1%0D%0A"}, {kPrompt}});
}
const std::string kStatusPrinted =
    "QELT telnet: [39][[HTTP]: state = RUN, err = 0x00000000\r\n] peek=0\n"
    "QELT telnet: [8][task 1\r\n] peek=0\n";

std::vector<Chunk> verifyChunks(const std::string& httpLine) {
    return withLogin({{httpLine + "%0D%0A"}, {"[SATA]: x%0D%0A"}, {kPrompt}});
}

std::vector<Chunk> traceChunks() {
    return withLogin({{"SATA history dump%0D%0A"},
                      {"  11.999999900 01 2 0%0D%0A"},
                      {"12.000000100 01", 1},
                      {"DUMP_RESULT=2%0D%0A"},
                      {kPrompt},
                      {kPrompt + "12.000000500 01 2 0%0D%0A"},
                      {"DUMP_RESULT=0%0D%0A"},
                      {kPrompt}});
}

class Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.ok());
        dir = temp.path();
        libraryDir = dir;
    }

    void installLibrary(const std::string& from, const std::string& into) {
        fs::create_directories(into);
        fs::copy_file(from, into + "/libProbeLinkServices.so",
                      fs::copy_options::overwrite_existing);
    }
    void useFake() { installLibrary(FAKE_LIBRARY_PATH, libraryDir); }

    void script(const std::vector<Session>& sessions) {
        std::ofstream file(dir + "/script");
        for (const Session& s : sessions) {
            file << "session " << s.result << "\n";
            for (const Chunk& c : s.chunks) file << "chunk " << c.peek << " " << c.text << "\n";
        }
    }

    std::string log() const { return qelttest::readFile(dir + "/log"); }

    // Runs `tool` with `args`; the environment is the test's own without the
    // variables the tool and the double read, plus `env`. The status is the
    // exit status as the shell sees it, -1 when the tool did not exit.
    ToolRun run(const std::vector<std::string>& args, const qelttest::Env& env = {},
                const std::string& tool = qelttest::qelttelnetPath()) {
        qelttest::Env variables{{"QELT_FAKE_SCRIPT", dir + "/script"},
                                {"QELT_FAKE_LOG", dir + "/log"}};
        if (useTools) variables.emplace_back("QELT_BRIDGE_TOOLS", libraryDir);
        variables.insert(variables.end(), env.begin(), env.end());
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun result =
            qelttest::runProgram(argv, variables, 60s, qelttest::StandardError::kOwnFile);
        if (result.status == -2) return result;
        EXPECT_TRUE(result.exited) << "stderr: " << result.err;
        if (!result.exited) result.status = -1;
        EXPECT_EQ(result.err, "") << "the tool writes nothing on standard error";
        return result;
    }

    std::string loading() const {
        return kToolMessage + "loading debug dll[" + libraryDir + "/libProbeLinkServices.so]\n";
    }
    static std::string collecting(const std::string& address) {
        return kToolMessage + "About to collect stats from QELT at " + address + "\n";
    }

    const qelttest::TempDir temp{"qelt-session"};
    std::string dir;
    std::string libraryDir;
    bool useTools = true;
};

// ---- command line ----------------------------------------------------------

TEST_F(Driver, HelpWinsOverEverythingAndLoadsNothing) {
    useFake();
    script({{PROBELINK_CLOSED, statusChunks()}});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-h", "-reboot", "x"}, {"x", "-?"}, {"/?"}, {"-raw", "-satatrace", "/h"}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Driver, LaterJobSwitchWins) {
    useFake();
    script({{PROBELINK_BAD_ARGUMENTS, loginChunks()}, {PROBELINK_BAD_ARGUMENTS, loginChunks()}});
    ToolRun r = run({"-satatrace", "-reboot", "10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + kToolMessage +
                         "ERROR 1 from TelnetSession, state=4\n");
    EXPECT_EQ(r.status, shellStatus(DriverSessionFailed));
    r = run({"-reboot", "-satatrace", "10.0.0.5"});
    // The trace job prints its span before the session is judged.
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + "\t     0.000000000\n" + kToolMessage +
                         "ERROR 1 from TelnetSession, state=5\n");
    EXPECT_EQ(r.status, shellStatus(DriverSessionFailed));
    const std::string sent = log();
    EXPECT_NE(sent.find("send [hwrst%0D%0A]"), std::string::npos) << sent;
    EXPECT_NE(sent.find("send [dump_dsata_trace%0D%0A]"), std::string::npos) << sent;
}

struct AddressCase {
    const char* name;
    std::vector<std::string> args;
    qelttest::Env env;
    std::string host;
};

class Address : public Driver, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(Address, SettlesTheBridgeAddress) {
    const AddressCase& c = GetParam();
    useFake();
    script({{PROBELINK_CLOSED, statusChunks()}});
    const ToolRun r = run(c.args, c.env);
    EXPECT_EQ(r.out, loading() + collecting(c.host) + kStatusPrinted + kToolMessage +
                         "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
    EXPECT_EQ(log(), "load\n" + sessionLog(0, c.host, kStatusLines));
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Address,
    ::testing::Values(
        AddressCase{"FirstArgument", {"10.0.0.5", "10.0.0.6"}, {}, "10.0.0.5"},
        AddressCase{"SwitchesAreCaseSensitive", {"-REBOOT", "-reboot2"}, {}, "-REBOOT"},
        AddressCase{"FromEnvironment", {}, {{"BRIDGE_CURRENT_IP_ADDRESS", "10.1.1.1"}}, "10.1.1.1"},
        AddressCase{"EmptyArgumentFallsBack", {""}, {{"BRIDGE_CURRENT_IP_ADDRESS", "::1"}}, "::1"},
        AddressCase{"EmptyEnvironmentAccepted", {}, {{"BRIDGE_CURRENT_IP_ADDRESS", ""}}, ""},
        AddressCase{"CutTo99", {std::string(150, 'a')}, {}, std::string(99, 'a')},
        AddressCase{"RawWithoutTraceChangesNothing", {"-raw", "10.0.0.5"}, {}, "10.0.0.5"}),
    [](const ::testing::TestParamInfo<AddressCase>& param) { return param.param.name; });

TEST_F(Driver, NoAddressAnywhere) {
    useFake();
    const ToolRun r = run({"-satatrace"});
    EXPECT_EQ(r.out, kToolMessage + "ERROR: dump_qelt_stats can't get bridge IP address\n");
    EXPECT_EQ(r.status, shellStatus(DriverNoAddress));
    EXPECT_EQ(log(), "");
}

// ---- binding the library ---------------------------------------------------

TEST_F(Driver, MissingLibrary) {
    const ToolRun r = run({"10.0.0.5"});
    const std::regex expected("qelttelnet\\.exe: loading debug dll\\[" + libraryDir +
                              "/libProbeLinkServices\\.so\\]\n"
                              "qelttelnet\\.exe: ERROR -?[0-9]+ opening probelinkservices lib\n"
                              "qelttelnet\\.exe: " +
                              libraryDir +
                              "/libProbeLinkServices\\.so: cannot open shared object file[^\n]*\n");
    EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
    EXPECT_EQ(r.status, shellStatus(DriverLoadFailed));
}

TEST_F(Driver, LibraryWithoutEntryPoint) {
    installLibrary(NO_ENTRY_LIBRARY_PATH, libraryDir);
    const ToolRun r = run({"10.0.0.5"});
    const std::regex expected(
        "qelttelnet\\.exe: loading debug dll\\[[^\n]*\\]\n"
        "qelttelnet\\.exe: ERROR -?[0-9]+ trying to get address of TelnetSession API\n"
        "qelttelnet\\.exe: [^\n]*undefined symbol: TelnetSession\n");
    EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
    EXPECT_EQ(r.status, shellStatus(DriverNoEntryPoint));
}

TEST_F(Driver, LibraryDirectoryLengthLimit) {
    // 260 characters hold the directory, "/libProbeLinkServices.so" and a NUL.
    const size_t longest = 260 - 24 - 1;
    ASSERT_LT(dir.size() + 1, longest);
    libraryDir = dir + "/" + std::string(longest - dir.size() - 1, 'd');
    ASSERT_EQ(libraryDir.size(), longest);
    useFake();
    script({{PROBELINK_CLOSED, statusChunks()}});
    ToolRun r = run({"10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + kStatusPrinted + kToolMessage +
                         "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));

    const std::string accepted = libraryDir;
    libraryDir = accepted + "e";
    useFake();
    r = run({"10.0.0.5"});
    EXPECT_EQ(r.out, kToolMessage + "ERROR: QELT path too long\n");
    EXPECT_EQ(r.status, shellStatus(DriverPathTooLong));
    libraryDir = accepted + "/" + std::string(300, 'f');  // beyond the buffer: cut, then refused
    r = run({"10.0.0.5"});
    EXPECT_EQ(r.out, kToolMessage + "ERROR: QELT path too long\n");
    EXPECT_EQ(log(), "load\n" + sessionLog(0, "10.0.0.5", kStatusLines));
}

TEST_F(Driver, BareNameFindsTheLibraryBesideTheTool) {
    // Without QELT_BRIDGE_TOOLS the library is found beside the program, and
    // not in the current directory.
    const std::string programDir = dir + "/bin";
    fs::create_directories(programDir);
    fs::copy_file(qelttest::qelttelnetPath(), programDir + "/qelttelnet");
    fs::permissions(programDir + "/qelttelnet", fs::perms::owner_all);
    script({{PROBELINK_CLOSED, statusChunks()}});
    useTools = false;
    installLibrary(FAKE_LIBRARY_PATH, programDir);
    const ToolRun r = run({"10.0.0.5"}, {}, programDir + "/qelttelnet");
    EXPECT_EQ(r.out, collecting("10.0.0.5") + kStatusPrinted + kToolMessage +
                         "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
}

// ---- judging the first session ---------------------------------------------

struct JudgeCase {
    int result;
    bool complete;  // the whole status conversation, or one cut before the last prompt
    int status;
};

class FirstSession : public Driver, public ::testing::WithParamInterface<JudgeCase> {};

TEST_P(FirstSession, IsJudgedByResultAndState) {
    const JudgeCase& c = GetParam();
    useFake();
    std::vector<Chunk> chunks = statusChunks();
    if (!c.complete) chunks.resize(4);  // ends in state 3
    script({{c.result, chunks}});
    const ToolRun r = run({"10.0.0.5"}, {{"QELT_FAKE_MARK", "1"}});
    const std::string state = c.complete ? "10" : "3";
    const std::string printed = c.complete ? kStatusPrinted
                                           : "QELT telnet: [39][[HTTP]: state = RUN, err = "
                                             "0x00000000\r\n] peek=0\n";
    const std::string verdict =
        c.status == 0 ? "Telnet session ok, rv=" + std::to_string(c.result) + ", state=" + state
                      : "ERROR " + std::to_string(c.result) + " from TelnetSession, state=" + state;
    // The collecting line is flushed before the session starts.
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + "<session 0>\n" + printed + kToolMessage +
                         verdict + "\n");
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, FirstSession,
    ::testing::Values(JudgeCase{PROBELINK_CLOSED, true, shellStatus(DriverOk)},
                      JudgeCase{PROBELINK_BROKEN, true, shellStatus(DriverOk)},
                      JudgeCase{PROBELINK_SILENT, true, shellStatus(DriverOk)},
                      JudgeCase{PROBELINK_BAD_ARGUMENTS, true, shellStatus(DriverSessionFailed)},
                      JudgeCase{PROBELINK_UNRESOLVED, true, shellStatus(DriverSessionFailed)},
                      JudgeCase{PROBELINK_SYSTEM_ERROR, true, shellStatus(DriverSessionFailed)},
                      JudgeCase{PROBELINK_NO_CONNECTION, true, shellStatus(DriverSessionFailed)},
                      JudgeCase{-1, true, shellStatus(DriverSessionFailed)},
                      JudgeCase{PROBELINK_CLOSED, false, shellStatus(DriverSessionFailed)},
                      JudgeCase{PROBELINK_SILENT, false, shellStatus(DriverSessionFailed)}),
    [](const ::testing::TestParamInfo<JudgeCase>& param) {
        const JudgeCase& c = param.param;
        return std::string(c.complete ? "Complete" : "Cut") + "Result" +
               (c.result < 0 ? "Minus" : "") + std::to_string(c.result < 0 ? -c.result : c.result);
    });

// ---- the trace job ---------------------------------------------------------

TEST_F(Driver, TraceJobDecodesAndPrintsTheSpan) {
    useFake();
    script({{PROBELINK_CLOSED, traceChunks()}});
    const ToolRun r = run({"-satatrace", "10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") +
                         "SATA history dump\r\n\n"
                         "\n    11.999999900\t     0.000000000\tCancelAll 01 0"
                         "\n    12.000000500\t     0.000000600\tCancelAll 01 0"
                         "\t     0.000000600\n" +
                         kToolMessage + "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
    const std::string sent = log();
    EXPECT_NE(sent.find("send [dump_dsata_trace 2%0D%0A]"), std::string::npos) << sent;
}

TEST_F(Driver, TraceJobRawPrintsLinesAndNoSpan) {
    useFake();
    script({{PROBELINK_CLOSED, traceChunks()}});
    const ToolRun r = run({"-raw", "-satatrace", "10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") +
                         "SATA history dump\r\n\n"
                         "  11.999999900 01 2 0\r\n\n"
                         "12.000000500 01 2 0\r\n\n" +
                         kToolMessage + "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
}

TEST_F(Driver, TraceJobWithoutRecordsPrintsAZeroSpan) {
    useFake();
    script({{PROBELINK_CLOSED, withLogin({{"DUMP_RESULT=0%0D%0A"}, {kPrompt}})}});
    const ToolRun r = run({"-satatrace", "10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + "\t     0.000000000\n" + kToolMessage +
                         "Telnet session ok, rv=0, state=10\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
}

// ---- the reboot job (each waits the bridge's 5 s restart) ------------------

TEST_F(Driver, RebootConfirmedAfterThreeTimeouts) {
    useFake();
    script({{PROBELINK_SILENT, loginChunks()},
            {PROBELINK_NO_CONNECTION, {{"login: ", 1}}},
            {PROBELINK_NO_CONNECTION, {}},
            {PROBELINK_NO_CONNECTION, {}},
            {PROBELINK_CLOSED, verifyChunks("[HTTP]: state = RUN, err = 0x00000000")}});
    const ToolRun r = run({"-reboot", "10.0.0.5"}, {{"QELT_FAKE_MARK", "1"}});
    // The verify line and each retry line stay buffered until the next
    // session has returned.
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") +
                         "<session 0>\n"
                         "<session 1>\n" +
                         kToolMessage + "About to verify that QELT at 10.0.0.5 rebooted\n" +
                         "<session 2>\n" + kToolMessage +
                         "QELT reboot connection timeout, will retry, att=0\n" + "<session 3>\n" +
                         kToolMessage + "QELT reboot connection timeout, will retry, att=1\n" +
                         "<session 4>\n" + kToolMessage +
                         "QELT reboot connection timeout, will retry, att=2\n" + kToolMessage +
                         "Succeeded in rebooting QELT, attempts 3\n");
    EXPECT_EQ(r.status, shellStatus(DriverOk));
    EXPECT_GE(r.elapsed, 4900ms);  // the bridge is given its restart time
    const std::string sent = log();
    EXPECT_NE(sent.find("send [hwrst%0D%0A]"), std::string::npos) << sent;
    EXPECT_NE(sent.find(sessionLog(
                  4, "10.0.0.5",
                  {qelttest::kLoginLine, qelttest::kPasswordLine, "pwista\r\n", "exit\r\n"})),
              std::string::npos)
        << sent;
}

TEST_F(Driver, RebootNotConfirmedInEightSessions) {
    useFake();
    std::vector<Session> sessions{{PROBELINK_CLOSED, loginChunks()}};
    for (int i = 0; i < 9; ++i) sessions.push_back({PROBELINK_NO_CONNECTION, {}});
    script(sessions);
    const ToolRun r = run({"-reboot", "10.0.0.5"});
    std::string expected = loading() + collecting("10.0.0.5") + kToolMessage +
                           "About to verify that QELT at 10.0.0.5 rebooted\n";
    for (int i = 0; i < 8; ++i) {
        expected += kToolMessage +
                    "QELT reboot connection timeout, will retry, att=" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, shellStatus(DriverRebootNotConfirmed));
    const std::string sent = log();
    EXPECT_NE(sent.find("call 8 "), std::string::npos);
    EXPECT_EQ(sent.find("call 9 "), std::string::npos) << "no ninth verification session";
}

TEST_F(Driver, RebootVerificationFails) {
    useFake();
    script({{PROBELINK_CLOSED, loginChunks()},
            {PROBELINK_NO_CONNECTION, {}},
            {PROBELINK_CLOSED, verifyChunks("[HTTP]: state = INIT, err = 0x00000000")}});
    const ToolRun r = run({"-reboot", "10.0.0.5"});
    EXPECT_EQ(r.out, loading() + collecting("10.0.0.5") + kToolMessage +
                         "About to verify that QELT at 10.0.0.5 rebooted\n" + kToolMessage +
                         "QELT reboot connection timeout, will retry, att=0\n" + kToolMessage +
                         "ERROR 0 from TelnetSession2, state=11, att=1\n");
    EXPECT_EQ(r.status, shellStatus(DriverVerifyFailed));
}

}  // namespace
