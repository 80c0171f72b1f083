// What the end-to-end tests share: the programs under test, a live qeltbridge,
// the real qelttelnet run as a process, and the references its output is held
// against (the bridge's own bytes, and qelttrace run on the same records).
// POSIX only.
#pragma once

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/bridge_process.h"
#include "support/child_process.h"
#include "support/protocol.h"

namespace qelttest {

// The programs under test as this build made them, the telnet library, and
// the sample capture the bridge serves by default.
const char* qelttelnetPath();
const char* qeltbridgePath();
const char* qelttracePath();
const char* probelinkLibraryPath();
const char* sampleTracePath();

// The tool waits 10 s for a silent bridge; a run that ends later than this
// has hung. Generous, for a loaded machine running the sanitizers.
constexpr std::chrono::milliseconds kToolLimit{40000};

// Starts qeltbridge with `args` on a free loopback port; fails the test (and
// returns null) when it does not come up.
std::unique_ptr<BridgeProcess> startBridge(std::vector<std::string> args);

// A bridge started with `bridgeArgs` and, against it, qelttelnet -satatrace
// (with -raw when `raw`, with `env` added to its environment) left running.
// Fails the test and leaves `tool` null when either does not start.
struct TraceRun {
    std::unique_ptr<BridgeProcess> bridge;
    std::unique_ptr<ChildProcess> tool;
};
TraceRun startTraceRun(std::vector<std::string> bridgeArgs, bool raw, const Env& env = {});

// "127.0.0.1:PORT" of a running bridge, as the tool takes it.
std::string addressOf(const BridgeProcess& bridge);

// Runs qelttelnet with `args`, waiting at most `limit`.
ToolRun runTool(const std::vector<std::string>& args, const Env& env = {},
                std::chrono::milliseconds limit = kToolLimit);

// Runs qelttrace on `input` (written to a temporary file); its standard output.
std::string runQelttrace(const std::string& input);

// A plain TCP exchange with the bridge, no telnet processing: sends `input`
// at once and returns every byte received until the bridge closes (10 s at
// most).
std::string wireExchange(uint16_t port, const std::string& input);

// The lines of `text` split after each "\n" (each line keeps its "\n").
std::vector<std::string> splitKeepingNewlines(const std::string& text);

// The records of the sample trace that the bridge serves by default.
std::vector<std::string> sampleRecords();
// The records `qeltbridge --records count --seed seed` serves.
std::vector<std::string> generatedRecords(uint64_t count, uint64_t seed);

// The dump as it crosses the wire, without prompts and results: the banner
// and the records, each with the bridge's CR LF.
std::string dumpLines(const std::vector<std::string>& records);

// Where the bytes of a trace session fall: what the bridge sends, in order,
// for `records` served `pageSize` to a page (the two login prompts, the
// prompt, the banner, then per page its records, its result line and a prompt).
struct TraceSession {
    uint64_t total = 0;              // bytes of the whole session
    std::vector<uint64_t> lineEnds;  // [k]: bytes sent once k dump lines are whole ([0] = 0)

    // How many dump lines the first `offset` bytes hold whole.
    std::size_t wholeLines(uint64_t offset) const;
};
TraceSession traceSession(const std::vector<std::string>& records, std::size_t pageSize);

// The furthest dialog state that the first `offset` bytes of a session allow:
// the dialog needs "login:", "password:" and "INET>" in full.
int stateReachable(uint64_t offset);

// What the trace job prints when the first k lines of the dump (the banner
// first) reached it whole, for every k from 0 to all: decoded, qelttrace's
// output for those lines (the span included); raw, each line as puts writes it.
std::vector<std::string> decodedPrefixes(const std::vector<std::string>& records);
std::vector<std::string> rawPrefixes(const std::vector<std::string>& records);

// The message lines the driver writes around a job.
std::string aboutLine(const std::string& address);
std::string okLine(int rv = 0);
// The driver's last line after a session: failed, with the library's result
// and the dialog's state as groups 1 and 2; ok, with the result as group 1.
const std::regex& failedSessionLine();
const std::regex& okSessionLine();

}  // namespace qelttest
