#include "e2e_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "trace_source.h"

namespace e2e {

using namespace std::chrono_literals;

std::unique_ptr<qelttest::BridgeProcess> startBridge(std::vector<std::string> args) {
    auto bridge = std::make_unique<qelttest::BridgeProcess>(QELTBRIDGE_EXE, std::move(args));
    std::string error;
    if (!bridge->start(error)) {
        ADD_FAILURE() << "qeltbridge did not start: " << error;
        return nullptr;
    }
    return bridge;
}

TraceRun startTraceRun(std::vector<std::string> bridgeArgs, bool raw) {
    TraceRun run;
    run.bridge = startBridge(std::move(bridgeArgs));
    if (!run.bridge) return run;
    std::vector<std::string> argv = {QELTTELNET_EXE, "-satatrace"};
    if (raw) argv.push_back("-raw");
    argv.push_back(addressOf(*run.bridge));
    run.tool = std::make_unique<qelttest::ChildProcess>(argv);
    std::string error;
    if (!run.tool->start(error)) {
        ADD_FAILURE() << error;
        run.tool.reset();
    }
    return run;
}

std::string addressOf(const qelttest::BridgeProcess& bridge) {
    return bridge.host() + ":" + std::to_string(bridge.port());
}

ToolRun runTool(const std::vector<std::string>& args, const Env& env,
                std::chrono::milliseconds limit) {
    std::vector<std::string> argv{QELTTELNET_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = qelttest::runChild(argv, env, run.out, limit, &run.elapsed);
    return run;
}

std::string runQelttrace(const std::string& input) {
    char path[] = "/tmp/qelt-e2e-trace-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return {};
    }
    ::close(fd);
    std::ofstream(path, std::ios::binary) << input;
    std::string out;
    const int status = qelttest::runChild({QELTTRACE_EXE, path}, {}, out);
    ::unlink(path);
    EXPECT_EQ(status, 0) << "qelttrace failed";
    return out;
}

std::string wireExchange(uint16_t port, const std::string& input) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ADD_FAILURE() << "cannot connect to the bridge";
        if (fd >= 0) ::close(fd);
        return received;
    }
    EXPECT_EQ(::send(fd, input.data(), input.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(input.size()));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            ADD_FAILURE() << "the bridge did not close the exchange";
            break;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;
        }
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return received;
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
    std::ifstream in(QELT_SAMPLE_TRACE, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return qeltbridge::splitRecordLines(text.str());
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

TraceSession traceSession(const std::vector<std::string>& records, std::size_t pageSize) {
    const uint64_t prompt = std::string("INET> \xff\xf9").size();
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
    if (offset < 6) return 0;       // "login:"
    if (offset < 7 + 9) return 1;   // "login: " "password:"
    if (offset < 17 + 5) return 2;  // "INET>"
    return 5;
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
    return "qelttelnet.exe: About to collect stats from QELT at " + address + "\n";
}

std::string okLine(int rv) {
    return "qelttelnet.exe: Telnet session ok, rv=" + std::to_string(rv) + ", state=10\n";
}

}  // namespace e2e
