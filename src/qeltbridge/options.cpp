#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace qeltbridge {
namespace {

// Largest record count whose indexes still fit the client's signed 32-bit
// DUMP_RESULT reading.
constexpr uint64_t kMaxRecords = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

bool parseUnsigned(const std::string& text, uint64_t maxValue, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v > maxValue) return false;
    value = v;
    return true;
}

bool parseInt(const std::string& text, int minValue, int maxValue, int& value) {
    uint64_t v = 0;
    if (!parseUnsigned(text, static_cast<uint64_t>(maxValue), v)) return false;
    if (static_cast<int64_t>(v) < minValue) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

bool splitHostPort(const std::string& text, std::string& host, uint16_t& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        if (host.find(':') != std::string::npos) return false;  // bare IPv6 needs brackets
        portText = text.substr(colon + 1);
    }
    uint64_t p = 0;
    if (host.empty() || !parseUnsigned(portText, 65535, p)) return false;
    port = static_cast<uint16_t>(p);
    return true;
}

std::string usageText() {
    return "usage: qeltbridge [OPTION...]\n"
           "A simulated bridge: a telnet server that behaves like the device.\n"
           "\n"
           "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:2323; port 0 takes\n"
           "                         a free port; IPv6 as [::1]:PORT); prints \"listening on\n"
           "                         ADDR:PORT\" once listening\n"
           "  --login NAME           login name (default qelt)\n"
           "  --password TEXT        password (default /Tiled_K/J_Harbour/)\n"
           "  --max-sessions N       sessions at once, one more is refused (default 64)\n"
           "  --login-timeout-ms MS  time allowed to log in (default 30000)\n"
           "  --reboot-ms MS         time hwrst keeps the bridge off the network (default 2000)\n"
           "  --boot-ms MS           time after a reboot during which pwista reports INIT\n"
           "                         (default 0)\n"
           "  --page-size N          records per dump_dsata_trace page (default 64)\n"
           "  --trace FILE           serve the records of FILE, one line a record\n"
           "                         (default: the built-in trace)\n"
           "  --records N            serve N generated records instead (at most 2147483647)\n"
           "  --seed S               seed of the generated records (default 1)\n"
           "\n"
           "Faults, applied to every session:\n"
           "  --split BYTES          send in segments of at most BYTES, with short pauses\n"
           "  --split-pause-ms MS    pause between split segments (default 1)\n"
           "  --drop-after BYTES     close the session after BYTES bytes sent\n"
           "  --reset                close dropped sessions with RST instead of FIN\n"
           "  --stall-after BYTES    stop sending after BYTES bytes, keep the connection\n"
           "  --no-ga                send the prompt without IAC GA\n"
           "  --negotiate            offer and request telnet options at connect\n"
           "                         (WILL ECHO, WILL SGA, DO TTYPE, DO NAWS)\n"
           "  --line-delay-ms MS     pause between lines sent (default 0)\n"
           "  --version              print the version\n"
           "  --help                 show this text\n";
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
    constexpr int kMaxMs = 24 * 3600 * 1000;
    bool seedGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInlineValue = true;
        }
        auto flag = [&](bool& target) {
            if (hasInlineValue) {
                error = arg + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        auto needValue = [&]() {
            if (hasInlineValue) return true;
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&]() {
            error = "invalid value for " + arg + ": \"" + value + "\"";
            return ParseOutcome::Error;
        };

        if (arg == "--help" || arg == "-h") return ParseOutcome::Help;
        if (arg == "--version") return ParseOutcome::Version;
        if (arg == "--reset") {
            if (!flag(out.reset)) return ParseOutcome::Error;
            continue;
        }
        if (arg == "--no-ga") {
            if (!flag(out.noGa)) return ParseOutcome::Error;
            continue;
        }
        if (arg == "--negotiate") {
            if (!flag(out.negotiate)) return ParseOutcome::Error;
            continue;
        }

        uint64_t number = 0;
        if (arg == "--listen") {
            if (!needValue()) return ParseOutcome::Error;
            std::string host;
            uint16_t port = 0;
            if (!splitHostPort(value, host, port)) return bad();
            out.listen = value;
        } else if (arg == "--login") {
            if (!needValue()) return ParseOutcome::Error;
            if (value.empty()) return bad();
            out.login = value;
        } else if (arg == "--password") {
            if (!needValue()) return ParseOutcome::Error;
            out.password = value;
        } else if (arg == "--max-sessions") {
            if (!needValue() || !parseInt(value, 1, 100000, out.maxSessions)) return bad();
        } else if (arg == "--login-timeout-ms") {
            if (!needValue() || !parseInt(value, 1, kMaxMs, out.loginTimeoutMs)) return bad();
        } else if (arg == "--reboot-ms") {
            if (!needValue() || !parseInt(value, 0, kMaxMs, out.rebootMs)) return bad();
        } else if (arg == "--boot-ms") {
            if (!needValue() || !parseInt(value, 0, kMaxMs, out.bootMs)) return bad();
        } else if (arg == "--page-size") {
            if (!needValue() || !parseInt(value, 1, 1000000, out.pageSize)) return bad();
        } else if (arg == "--trace") {
            if (!needValue()) return ParseOutcome::Error;
            if (value.empty()) return bad();
            out.traceFile = value;
        } else if (arg == "--records") {
            if (!needValue() || !parseUnsigned(value, kMaxRecords, number)) return bad();
            out.records = number;
        } else if (arg == "--seed") {
            if (!needValue() || !parseUnsigned(value, std::numeric_limits<uint64_t>::max(), number))
                return bad();
            out.seed = number;
            seedGiven = true;
        } else if (arg == "--split") {
            if (!needValue() || !parseUnsigned(value, 1u << 20, number) || number == 0)
                return bad();
            out.split = static_cast<std::size_t>(number);
        } else if (arg == "--split-pause-ms") {
            if (!needValue() || !parseInt(value, 0, 10000, out.splitPauseMs)) return bad();
        } else if (arg == "--drop-after") {
            if (!needValue() || !parseUnsigned(value, kMaxRecords * 256, number)) return bad();
            out.dropAfter = number;
        } else if (arg == "--stall-after") {
            if (!needValue() || !parseUnsigned(value, kMaxRecords * 256, number)) return bad();
            out.stallAfter = number;
        } else if (arg == "--line-delay-ms") {
            if (!needValue() || !parseInt(value, 0, 60000, out.lineDelayMs)) return bad();
        } else {
            error = "unknown option: " + arg;
            return ParseOutcome::Error;
        }
    }
    if (!out.traceFile.empty() && out.records) {
        error = "--trace and --records exclude each other";
        return ParseOutcome::Error;
    }
    if (seedGiven && !out.records) {
        error = "--seed applies only with --records";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace qeltbridge
