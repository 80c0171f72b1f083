// qeltbridge command line: every option of the simulated bridge, parsed into
// one plain struct from one table of rows (the project's one command-line
// style, common/command_line.h), which the synopsis and --help come from too.
// parseOptions() never exits or prints; main() decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/bridge_words.h"
#include "common/command_line.h"
#include "workload.h"

namespace qeltbridge {

struct Options {
    std::string listen = "127.0.0.1:2323";  // ADDR:PORT, "[v6]:PORT" for IPv6
    std::string login = QELT_LOGIN_NAME;
    std::string password = QELT_LOGIN_PASSWORD;
    int maxSessions = 64;
    int loginTimeoutMs = 30000;
    int rebootMs = 2000;
    int bootMs = 0;
    int pageSize = 64;

    std::string traceFile;            // empty: the built-in trace
    std::optional<uint64_t> records;  // generated trace of this many records
    uint64_t seed = 1;
    unsigned queueDepth = kDefaultQueueDepth;
    uint32_t errorRate = kDefaultErrorRate;  // records per kErrorRateScale that fail to decode
    WorkloadScenarios scenarios;             // failures in the generated records

    // Faults, applied to every session.
    std::size_t split = 0;  // 0: no splitting
    int splitPauseMs = 1;
    std::optional<uint64_t> dropAfter;
    bool reset = false;
    std::optional<uint64_t> stallAfter;
    bool noGa = false;
    bool negotiate = false;
    int lineDelayMs = 0;

    // Playing back a PROBELINK_LOG recording instead of the conversation:
    // its sessions, their recorded delays divided by replaySpeed (0: none).
    std::string replay;
    double replaySpeed = 1;
};

using ParseOutcome = cmdline::Outcome;

// The rows, the prose of --help and the exit statuses.
const cmdline::CommandLine& commandLine();

// Parses argv[1..argc-1]. Options take their value as the next argument or
// after "=" ("--page-size 8", "--page-size=8"); a flag takes none. Numbers
// are plain decimal and range-checked; a repeated option is checked each time
// and takes its last value, so that a script may override what it was given;
// the bridge takes no operands. On kUsageError, `error` holds a one-line
// reason.
ParseOutcome parseOptions(int argc, const char* const* argv, Options& out, std::string& error);

// The --help text, every option with its default.
std::string usageText();

// Splits a listen address, "HOST:PORT" or "[IPV6]:PORT" (common/host_port.h,
// with the port required), into its parts; false if malformed or without a
// port. Port 0 takes a free port.
bool splitHostPort(const std::string& text, std::string& host, uint16_t& port);

}  // namespace qeltbridge
