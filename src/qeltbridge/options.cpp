#include "options.h"

#include <cmath>
#include <iterator>
#include <limits>

#include "common/exit_status.h"
#include "common/host_port.h"
#include "common/numbers.h"
#include "common/version.h"

namespace qeltbridge {
namespace {

using cmdline::Given;
using cmdline::option;
using cmdline::setOf;

// Largest record count whose indexes still fit the client's signed 32-bit
// DUMP_RESULT reading.
constexpr uint64_t kMaxRecords = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr uint64_t kMaxMs = 24 * 3600 * 1000;
constexpr unsigned kRatePlaces = 9;  // kErrorRateScale is 10^9
constexpr unsigned kSpeedPlaces = 6;
constexpr uint64_t kSpeedScale = 1000000;
constexpr uint64_t kMaxSpeed = 1000;

enum class Id {
    kListen,
    kLogin,
    kPassword,
    kMaxSessions,
    kLoginTimeoutMs,
    kRebootMs,
    kBootMs,
    kPageSize,
    kTrace,
    kRecords,
    kSeed,
    kQueueDepth,
    kErrorRate,
    kScenario,
    kHelp,
    kVersion,
    kSplit,
    kSplitPauseMs,
    kDropAfter,
    kReset,
    kStallAfter,
    kNoGa,
    kNegotiate,
    kLineDelayMs,
    kReplay,
    kReplaySpeed,
    kCount
};

// `scaled` units of 10^-places as plain decimals: "0.001", "1".
std::string decimalText(uint64_t scaled, unsigned places) {
    uint64_t scale = 1;
    for (unsigned i = 0; i < places; ++i) scale *= 10;
    std::string text = std::to_string(scaled / scale);
    if (scaled % scale == 0) return text;
    std::string digits = std::to_string(scaled % scale);
    digits.insert(0, places - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    return text + "." + digits;
}

constexpr char kFaults[] = "Faults, applied to every session";
constexpr char kReplaying[] = "Playing back a session log";
constexpr char kGenerated[] = "shapes the generated records";

// Every option once, in the order of --help. Each one's value is checked and
// stored by apply() below; each default is shown from a default Options.
constexpr cmdline::OptionRow kRows[] = {
    option(Id::kListen, "--listen", "ADDR:PORT",
           "address to listen on (port 0 takes a free port; IPv6 as [::1]:PORT); prints "
           "\"listening on ADDR:PORT\" once listening")
        .last()
        .shows([] { return Options{}.listen; }),
    option(Id::kLogin, "--login", "NAME", "login name").last().shows([] {
        return Options{}.login;
    }),
    option(Id::kPassword, "--password", "TEXT", "password").last().shows([] {
        return Options{}.password;
    }),
    option(Id::kMaxSessions, "--max-sessions", "N", "sessions at once, one more is refused")
        .last()
        .shows([] { return std::to_string(Options{}.maxSessions); }),
    option(Id::kLoginTimeoutMs, "--login-timeout-ms", "MS", "time allowed to log in")
        .last()
        .shows([] { return std::to_string(Options{}.loginTimeoutMs); }),
    option(Id::kRebootMs, "--reboot-ms", "MS", "time hwrst keeps the bridge off the network")
        .last()
        .shows([] { return std::to_string(Options{}.rebootMs); }),
    option(Id::kBootMs, "--boot-ms", "MS", "time after a reboot during which pwista reports INIT")
        .last()
        .shows([] { return std::to_string(Options{}.bootMs); }),
    option(Id::kPageSize, "--page-size", "N", "records per dump_dsata_trace page").last().shows([] {
        return std::to_string(Options{}.pageSize);
    }),
    option(Id::kTrace, "--trace", "FILE",
           "serve the records of FILE, one line a record, instead of the built-in trace")
        .last()
        .excluding(setOf(Id::kRecords), "serves the records of a file"),
    option(Id::kRecords, "--records", "N", "serve N generated records instead (at most 2147483647)")
        .last(),
    option(Id::kSeed, "--seed", "S", "seed of the generated records")
        .last()
        .shows([] { return std::to_string(Options{}.seed); })
        .needing(setOf(Id::kRecords), kGenerated),
    option(Id::kQueueDepth, "--queue-depth", "D",
           "most transactions open at once in the generated records, 1 to 32")
        .last()
        .shows([] { return std::to_string(Options{}.queueDepth); })
        .needing(setOf(Id::kRecords), kGenerated),
    option(Id::kErrorRate, "--error-rate", "R",
           "share of generated records that fail to decode, 0 to 1")
        .last()
        .shows([] { return decimalText(Options{}.errorRate, kRatePlaces); })
        .needing(setOf(Id::kRecords), kGenerated),
    option(Id::kScenario, "--scenario", "LIST",
           "failures in the generated records: a comma list of hang, resets, storm, each as "
           "NAME[@FIRST[+COUNT]] (from record FIRST, for COUNT records; default all)")
        .last()
        .needing(setOf(Id::kRecords), kGenerated),
    cmdline::helpFlag(Id::kHelp).last(),
    cmdline::versionFlag(Id::kVersion).last(),

    option(Id::kSplit, "--split", "BYTES", "send in segments of at most BYTES, with short pauses")
        .last()
        .in(kFaults),
    option(Id::kSplitPauseMs, "--split-pause-ms", "MS", "pause between split segments")
        .last()
        .in(kFaults)
        .shows([] { return std::to_string(Options{}.splitPauseMs); }),
    option(Id::kDropAfter, "--drop-after", "BYTES", "close the session after BYTES bytes sent")
        .last()
        .in(kFaults),
    cmdline::flag(Id::kReset, "--reset", "close dropped sessions with RST instead of FIN")
        .last()
        .in(kFaults),
    option(Id::kStallAfter, "--stall-after", "BYTES",
           "stop sending after BYTES bytes, keep the connection")
        .last()
        .in(kFaults),
    cmdline::flag(Id::kNoGa, "--no-ga", "send the prompt without IAC GA").last().in(kFaults),
    cmdline::flag(Id::kNegotiate, "--negotiate",
                  "offer and request telnet options at connect (WILL ECHO, WILL SGA, DO TTYPE, "
                  "DO NAWS)")
        .last()
        .in(kFaults),
    option(Id::kLineDelayMs, "--line-delay-ms", "MS", "pause between lines sent")
        .last()
        .in(kFaults)
        .shows([] { return std::to_string(Options{}.lineDelayMs); }),

    option(Id::kReplay, "--replay", "LOG",
           "play back the sessions of a PROBELINK_LOG recording, one per connection, checking "
           "what the tool sends; exit once all are played (1 if any diverged or was not)")
        .last()
        .in(kReplaying)
        .excluding(setOf(Id::kTrace, Id::kRecords, Id::kSplit, Id::kDropAfter, Id::kStallAfter,
                         Id::kNoGa, Id::kNegotiate, Id::kLineDelayMs),
                   "plays the recorded conversation with its pace and its faults"),
    option(Id::kReplaySpeed, "--replay-speed", "X",
           "divide the recorded delays by X (2: twice as fast; 0: none, the order kept)")
        .last()
        .in(kReplaying)
        .shows([] {
            return decimalText(static_cast<uint64_t>(std::llround(
                                   Options{}.replaySpeed * static_cast<double>(kSpeedScale))),
                               kSpeedPlaces);
        })
        .needing(setOf(Id::kReplay), "paces the replay"),
};
static_assert(cmdline::wellFormed(kRows) && std::size(kRows) == static_cast<size_t>(Id::kCount));

constexpr cmdline::CommandLine kCommandLine =
    cmdline::commandLine("qeltbridge", QELT_VERSION, kRows, nullptr, nullptr,
                         "A simulated bridge: a telnet server that behaves like the device.\n",
                         exit_status::kRows, nullptr);

// Plain decimal digits only, from `min` to `max`: no sign, blank, "0x" or
// exponent, and leading zeros are decimal.
template <typename T>
std::string number(const std::string& text, uint64_t min, uint64_t max, T& target) {
    uint64_t n = 0;
    if (!parseDecimal(text.data(), text.size(), max, &n) || n < min) {
        return "not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    }
    target = static_cast<T>(n);
    return {};
}

std::string listenAddress(const std::string& text, std::string& target) {
    std::string host;
    uint16_t port = 0;
    if (!splitHostPort(text, host, port)) return "not ADDR:PORT (an IPv6 address as [::1]:PORT)";
    target = text;
    return {};
}

std::string errorRate(const std::string& text, uint32_t& target) {
    int64_t rate = 0;
    if (readFixedDecimal(text.data(), text.size(), kRatePlaces, false, kErrorRateScale, &rate) !=
        kFixedRead) {
        return "not a share from 0 to 1 with at most nine decimals";
    }
    target = static_cast<uint32_t>(rate);
    return {};
}

std::string replaySpeed(const std::string& text, double& target) {
    int64_t speed = 0;
    if (readFixedDecimal(text.data(), text.size(), kSpeedPlaces, false, kMaxSpeed * kSpeedScale,
                         &speed) != kFixedRead) {
        return "not a number from 0 to 1000 with at most six decimals";
    }
    target = static_cast<double>(speed) / static_cast<double>(kSpeedScale);
    return {};
}

// Checks one value of option `id` (empty for a flag) and stores it: empty,
// or why it is refused.
std::string apply(Id id, const std::string& v, Options& o) {
    switch (id) {
        case Id::kListen:
            return listenAddress(v, o.listen);
        case Id::kLogin:
            o.login = v;
            return {};
        case Id::kPassword:
            o.password = v;
            return {};
        case Id::kMaxSessions:
            return number(v, 1, 100000, o.maxSessions);
        case Id::kLoginTimeoutMs:
            return number(v, 1, kMaxMs, o.loginTimeoutMs);
        case Id::kRebootMs:
            return number(v, 0, kMaxMs, o.rebootMs);
        case Id::kBootMs:
            return number(v, 0, kMaxMs, o.bootMs);
        case Id::kPageSize:
            return number(v, 1, 1000000, o.pageSize);
        case Id::kTrace:
            o.traceFile = v;
            return {};
        case Id::kRecords:
            return number(v, 0, kMaxRecords, o.records);
        case Id::kSeed:
            return number(v, 0, std::numeric_limits<uint64_t>::max(), o.seed);
        case Id::kQueueDepth:
            return number(v, 1, kMaxQueueDepth, o.queueDepth);
        case Id::kErrorRate:
            return errorRate(v, o.errorRate);
        case Id::kScenario:
            if (!parseScenarios(v, o.scenarios)) {
                return "not a comma list of hang, resets and storm, each as NAME[@FIRST[+COUNT]] "
                       "and once";
            }
            return {};
        case Id::kSplit:
            return number(v, 1, 1u << 20, o.split);
        case Id::kSplitPauseMs:
            return number(v, 0, 10000, o.splitPauseMs);
        case Id::kDropAfter:
            return number(v, 0, kMaxRecords * 256, o.dropAfter);
        case Id::kReset:
            o.reset = true;
            return {};
        case Id::kStallAfter:
            return number(v, 0, kMaxRecords * 256, o.stallAfter);
        case Id::kNoGa:
            o.noGa = true;
            return {};
        case Id::kNegotiate:
            o.negotiate = true;
            return {};
        case Id::kLineDelayMs:
            return number(v, 0, 60000, o.lineDelayMs);
        case Id::kReplay:
            o.replay = v;
            return {};
        case Id::kReplaySpeed:
            return replaySpeed(v, o.replaySpeed);
        case Id::kHelp:
        case Id::kVersion:
        case Id::kCount:
            break;
    }
    return {};
}

// Every value given, in the order of the rows; for a repeated option each
// one, the last one counting.
std::string applyAll(const Given& g, Options& o) {
    for (const cmdline::OptionRow& row : kRows) {
        const auto id = static_cast<Id>(row.id);
        if (!g.has(id)) continue;
        if (row.takes == cmdline::Takes::kNothing) {
            apply(id, {}, o);
            continue;
        }
        for (const std::string& v : g.values(id)) {
            // An empty password is a password; an empty name or file is none.
            if (v.empty() && id != Id::kPassword) {
                return std::string(row.name) + " needs a value: " + row.value;
            }
            const std::string why = apply(id, v, o);
            if (!why.empty()) return std::string(row.name) + " " + v + ": " + why;
        }
    }
    return {};
}

}  // namespace

const cmdline::CommandLine& commandLine() {
    return kCommandLine;
}

bool splitHostPort(const std::string& text, std::string& host, uint16_t& port) {
    HostPort parsed;
    if (!parseHostPort(text.data(), text.size(), &parsed) || !parsed.hasPort) return false;
    host = text.substr(parsed.hostStart, parsed.hostLength);
    port = parsed.port;
    return true;
}

std::string usageText() {
    return cmdline::helpText(kCommandLine);
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
    Given given;
    return cmdline::parse(kCommandLine, argc, argv, given, error,
                          [&out](const Given& g) { return applyAll(g, out); });
}

}  // namespace qeltbridge
