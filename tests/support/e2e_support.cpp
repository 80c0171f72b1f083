#include "support/e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dialog/dialog.h"
#include "support/files.h"
#include "support/raw_client.h"
#include "trace_source.h"

namespace qelttest {

using namespace std::chrono_literals;

const char* qelttelnetPath() {
    return QELTTELNET_EXE;
}
const char* qeltbridgePath() {
    return QELTBRIDGE_EXE;
}
const char* qelttracePath() {
    return QELTTRACE_EXE;
}
const char* probelinkLibraryPath() {
    return PROBELINK_LIBRARY;
}
const char* sampleTracePath() {
    return QELT_SAMPLE_TRACE;
}

std::unique_ptr<BridgeProcess> startBridge(std::vector<std::string> args) {
    auto bridge = std::make_unique<BridgeProcess>(qeltbridgePath(), std::move(args));
    std::string error;
    if (!bridge->start(error)) {
        ADD_FAILURE() << "qeltbridge did not start: " << error;
        return nullptr;
    }
    return bridge;
}

TraceRun startTraceRun(std::vector<std::string> bridgeArgs, bool raw, const Env& env) {
    TraceRun run;
    run.bridge = startBridge(std::move(bridgeArgs));
    if (!run.bridge) return run;
    std::vector<std::string> argv = {qelttelnetPath(), "-satatrace"};
    if (raw) argv.push_back("-raw");
    argv.push_back(addressOf(*run.bridge));
    run.tool = std::make_unique<ChildProcess>(argv, env);
    std::string error;
    if (!run.tool->start(error)) {
        ADD_FAILURE() << error;
        run.tool.reset();
    }
    return run;
}

std::string addressOf(const BridgeProcess& bridge) {
    return bridge.host() + ":" + std::to_string(bridge.port());
}

ToolRun runTool(const std::vector<std::string>& args, const Env& env,
                std::chrono::milliseconds limit) {
    std::vector<std::string> argv{qelttelnetPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, env, limit);
}

std::string runQelttrace(const std::string& input) {
    TempFile file("qelt-e2e-trace", input);
    if (!file.ok()) {
        ADD_FAILURE() << file.error();
        return {};
    }
    const ToolRun run = runProgram({qelttracePath(), file.path()});
    EXPECT_EQ(run.status, 0) << "qelttrace failed";
    return run.out;
}

std::string wireExchange(uint16_t port, const std::string& input) {
    RawClient client;
    std::string error;
    if (!client.connect("127.0.0.1", port, error)) {
        ADD_FAILURE() << "cannot connect to the bridge: " << error;
        return {};
    }
    EXPECT_TRUE(client.send(input));
    if (client.readToEnd(10s) == -1) ADD_FAILURE() << "the bridge did not close the exchange";
    return client.take();
}

std::vector<std::string> splitKeepingNewlines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto newline = text.find('\n', begin);
        const auto end = newline == std::string::npos ? text.size() : newline + 1;
        lines.push_back(text.substr(begin, end - begin));
        begin = end;
    }
    return lines;
}

std::vector<std::string> sampleRecords() {
    return qeltbridge::splitRecordLines(readFile(sampleTracePath()));
}

std::vector<std::string> generatedRecords(uint64_t count, uint64_t seed) {
    const auto source = qeltbridge::makeGeneratedTrace(count, seed);
    std::vector<std::string> records;
    for (uint64_t i = 0; i < source->size(); ++i) records.push_back(source->record(i));
    return records;
}

std::string dumpLines(const std::vector<std::string>& records) {
    std::string text = "SATA history dump\r\n";
    for (const auto& record : records) text += record + "\r\n";
    return text;
}

std::size_t TraceSession::wholeLines(uint64_t offset) const {
    std::size_t whole = 0;
    while (whole + 1 < lineEnds.size() && lineEnds[whole + 1] <= offset) ++whole;
    return whole;
}

TraceSession traceSession(const std::vector<std::string>& records, std::size_t pageSize) {
    const uint64_t prompt = kPrompt.size();
    TraceSession session;
    session.total = std::string("login: password: ").size() + prompt;
    session.lineEnds.push_back(0);
    session.total += std::string("SATA history dump\r\n").size();
    session.lineEnds.push_back(session.total);
    for (std::size_t first = 0;; first += pageSize) {
        const std::size_t end = std::min(records.size(), first + pageSize);
        for (std::size_t i = first; i < end; ++i) {
            session.total += records[i].size() + 2;
            session.lineEnds.push_back(session.total);
        }
        const std::size_t next = end < records.size() ? end : 0;
        session.total += ("DUMP_RESULT=" + std::to_string(next) + "\r\n").size() + prompt;
        if (next == 0) return session;
    }
}

int stateReachable(uint64_t offset) {
    if (offset < 6) return WaitLogin;         // "login:"
    if (offset < 7 + 9) return WaitPassword;  // "login: " "password:"
    if (offset < 17 + 5) return WaitPrompt;   // "INET>"
    return TraceOutput;
}

std::vector<std::string> decodedPrefixes(const std::vector<std::string>& records) {
    const auto lines = splitKeepingNewlines(dumpLines(records));
    std::vector<std::string> outputs;
    std::string input;
    outputs.push_back(runQelttrace(input));
    for (const auto& line : lines) {
        input += line;
        outputs.push_back(runQelttrace(input));
    }
    return outputs;
}

std::vector<std::string> rawPrefixes(const std::vector<std::string>& records) {
    std::vector<std::string> outputs{std::string()};
    for (const auto& line : splitKeepingNewlines(dumpLines(records)))
        outputs.push_back(outputs.back() + line + "\n");
    return outputs;
}

std::string aboutLine(const std::string& address) {
    return kToolMessage + "About to collect stats from QELT at " + address + "\n";
}

std::string okLine(int rv) {
    return kToolMessage + "Telnet session ok, rv=" + std::to_string(rv) + ", state=10\n";
}

const std::regex& failedSessionLine() {
    static const std::regex line(
        "qelttelnet\\.exe: ERROR (-?[0-9]+) from TelnetSession, state=([0-9]+)\n");
    return line;
}

const std::regex& okSessionLine() {
    static const std::regex line("qelttelnet\\.exe: Telnet session ok, rv=([0-9]+), state=10\n");
    return line;
}

}  // namespace qelttest
