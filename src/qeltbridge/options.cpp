#include "options.h"

#include <CLI/CLI.hpp>
#include <limits>

#include "common/numbers.h"
#include "common/version.h"

namespace qeltbridge {
namespace {

// Largest record count whose indexes still fit the client's signed 32-bit
// DUMP_RESULT reading.
constexpr uint64_t kMaxRecords = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr uint64_t kMaxMs = 24 * 3600 * 1000;

// Plain decimal digits only. CLI11's own integer reading (strtoull with base
// 0) would take "010" for eight, "0x10", " 1" and "-1".
bool parseUnsigned(const std::string& text, uint64_t maxValue, uint64_t& value) {
    return parseDecimal(text.data(), text.size(), maxValue, &value);
}

// A plain decimal with at most `digits` places after the point ("0.001", "1",
// ".5", "2."), as a whole count of 10^-digits: exact, and the same on every
// machine. False above `maxScaled`.
bool parseFixed(const std::string& text, std::size_t digits, uint64_t maxScaled, uint64_t& scaled) {
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || fraction.size() > digits) return false;
    uint64_t scale = 1;
    for (std::size_t i = 0; i < digits; ++i) scale *= 10;
    uint64_t units = 0;
    uint64_t parts = 0;
    if (!whole.empty() && !parseUnsigned(whole, maxScaled / scale, units)) return false;
    if (!fraction.empty() &&
        !parseUnsigned(fraction + std::string(digits - fraction.size(), '0'), scale - 1, parts))
        return false;
    if (units * scale + parts > maxScaled) return false;
    scaled = units * scale + parts;
    return true;
}

// A rate from 0 to 1, at most nine places after the point, as records per
// kErrorRateScale.
bool parseRate(const std::string& text, uint32_t& value) {
    uint64_t rate = 0;
    if (!parseFixed(text, 9, kErrorRateScale, rate)) return false;
    value = static_cast<uint32_t>(rate);
    return true;
}

// The default rate as parseRate reads it.
std::string rateText(uint32_t rate) {
    std::string text = std::to_string(rate / kErrorRateScale);
    uint32_t parts = rate % kErrorRateScale;
    if (parts == 0) return text;
    std::string digits = std::to_string(parts);
    digits.insert(0, 9 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    return text + "." + digits;
}

// A replay speed from 0 to 1000, at most six places after the point.
bool parseSpeed(const std::string& text, double& value) {
    constexpr uint64_t kMicro = 1000000;
    uint64_t speed = 0;
    if (!parseFixed(text, 6, 1000 * kMicro, speed)) return false;
    value = static_cast<double>(speed) / static_cast<double>(kMicro);
    return true;
}

[[noreturn]] void invalid(const std::string& name, const std::string& value) {
    throw CLI::ValidationError("invalid value for " + name + ": \"" + value + "\"");
}

// The help text as it has always begun, "usage: qeltbridge [OPTIONS]" on its
// first line, then the description and the options.
class HelpFormatter final : public CLI::Formatter {
  public:
    HelpFormatter() {
        label("Usage", "usage");
        column_width(34);
    }
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        return make_usage(app, name) + make_description(app) + make_groups(app, mode) +
               make_footer(app);
    }
};

// Every option once: what it sets, how its value is checked, its help line
// and default. Parsing and --help both come from here. The values land in
// the Options given, which must outlive the App.
class OptionTable {
  public:
    OptionTable(CLI::App& app, Options& out) : app_(app) {
        app.formatter(std::make_shared<HelpFormatter>());
        app.description("A simulated bridge: a telnet server that behaves like the device.");
        // As before CLI11: a repeated option takes its last value.
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.set_help_flag("-h,--help", "show this text");
        app.set_version_flag("--version", versionText(), "show the version");

        const Options defaults;
        text("--listen", "ADDR:PORT",
             "address to listen on (port 0 takes a free\nport; IPv6 as [::1]:PORT); prints\n"
             "\"listening on ADDR:PORT\" once listening",
             [&out](const std::string& v) {
                 std::string host;
                 uint16_t port = 0;
                 if (!splitHostPort(v, host, port)) invalid("--listen", v);
                 out.listen = v;
             })
            ->default_str(defaults.listen);
        text("--login", "NAME", "login name", [&out](const std::string& v) {
            if (v.empty()) invalid("--login", v);
            out.login = v;
        })->default_str(defaults.login);
        text("--password", "TEXT", "password", [&out](const std::string& v) {
            out.password = v;
        })->default_str(defaults.password);
        number("--max-sessions", "N", "sessions at once, one more is refused", 1, 100000,
               out.maxSessions)
            ->default_str(std::to_string(defaults.maxSessions));
        number("--login-timeout-ms", "MS", "time allowed to log in", 1, kMaxMs, out.loginTimeoutMs)
            ->default_str(std::to_string(defaults.loginTimeoutMs));
        number("--reboot-ms", "MS", "time hwrst keeps the bridge off the\nnetwork", 0, kMaxMs,
               out.rebootMs)
            ->default_str(std::to_string(defaults.rebootMs));
        number("--boot-ms", "MS", "time after a reboot during which pwista\nreports INIT", 0,
               kMaxMs, out.bootMs)
            ->default_str(std::to_string(defaults.bootMs));
        number("--page-size", "N", "records per dump_dsata_trace page", 1, 1000000, out.pageSize)
            ->default_str(std::to_string(defaults.pageSize));
        CLI::Option* trace = text("--trace", "FILE",
                                  "serve the records of FILE, one line a record\n"
                                  "(default: the built-in trace)",
                                  [&out](const std::string& v) {
                                      if (v.empty()) invalid("--trace", v);
                                      out.traceFile = v;
                                  });
        CLI::Option* records =
            number("--records", "N", "serve N generated records instead\n(at most 2147483647)", 0,
                   kMaxRecords, out.records);
        trace->excludes(records);
        number("--seed", "S", "seed of the generated records", 0,
               std::numeric_limits<uint64_t>::max(), out.seed)
            ->default_str(std::to_string(defaults.seed))
            ->needs(records);
        number("--queue-depth", "D",
               "most transactions open at once in the\ngenerated records (1 to 32)", 1,
               kMaxQueueDepth, out.queueDepth)
            ->default_str(std::to_string(defaults.queueDepth))
            ->needs(records);
        text("--error-rate", "R", "share of generated records that fail to\ndecode (0 to 1)",
             [&out](const std::string& v) {
                 if (!parseRate(v, out.errorRate)) invalid("--error-rate", v);
             })
            ->default_str(rateText(defaults.errorRate))
            ->needs(records);
        text("--scenario", "LIST",
             "failures in the generated records: a comma\nlist of hang, resets, storm, each as\n"
             "NAME[@FIRST[+COUNT]] (from record FIRST,\nfor COUNT records; default all)",
             [&out](const std::string& v) {
                 if (!parseScenarios(v, out.scenarios)) invalid("--scenario", v);
             })
            ->needs(records);

        const std::string faults = "Faults, applied to every session";
        number("--split", "BYTES", "send in segments of at most BYTES, with\nshort pauses", 1,
               1u << 20, out.split)
            ->group(faults);
        number("--split-pause-ms", "MS", "pause between split segments", 0, 10000, out.splitPauseMs)
            ->default_str(std::to_string(defaults.splitPauseMs))
            ->group(faults);
        number("--drop-after", "BYTES", "close the session after BYTES bytes\nsent", 0,
               kMaxRecords * 256, out.dropAfter)
            ->group(faults);
        flag("--reset", "close dropped sessions with RST instead\nof FIN", out.reset)
            ->group(faults);
        number("--stall-after", "BYTES", "stop sending after BYTES bytes, keep the\nconnection", 0,
               kMaxRecords * 256, out.stallAfter)
            ->group(faults);
        flag("--no-ga", "send the prompt without IAC GA", out.noGa)->group(faults);
        flag("--negotiate",
             "offer and request telnet options at\n"
             "connect (WILL ECHO, WILL SGA, DO TTYPE,\n"
             "DO NAWS)",
             out.negotiate)
            ->group(faults);
        number("--line-delay-ms", "MS", "pause between lines sent", 0, 60000, out.lineDelayMs)
            ->default_str(std::to_string(defaults.lineDelayMs))
            ->group(faults);

        const std::string replaying = "Playing back a session log";
        CLI::Option* replay = text("--replay", "LOG",
                                   "play back the sessions of a PROBELINK_LOG\n"
                                   "recording, one per connection, checking\n"
                                   "what the tool sends; exit once all are\n"
                                   "played (1 if any diverged or was not)",
                                   [&out](const std::string& v) {
                                       if (v.empty()) invalid("--replay", v);
                                       out.replay = v;
                                   })
                                  ->group(replaying);
        text("--replay-speed", "X",
             "divide the recorded delays by X (2: twice\nas fast; 0: none, the order kept)",
             [&out](const std::string& v) {
                 if (!parseSpeed(v, out.replaySpeed)) invalid("--replay-speed", v);
             })
            ->default_str("1")
            ->needs(replay)
            ->group(replaying);
    }

  private:
    CLI::Option* text(const std::string& name, const std::string& valueName,
                      const std::string& help, std::function<void(const std::string&)> set) {
        return app_.add_option_function<std::string>(name, std::move(set), help)
            ->type_name(valueName)
            ->trigger_on_parse();
    }

    template <typename T>
    CLI::Option* number(const std::string& name, const std::string& valueName,
                        const std::string& help, uint64_t minValue, uint64_t maxValue, T& target) {
        return text(name, valueName, help,
                    [name, minValue, maxValue, &target](const std::string& v) {
                        uint64_t n = 0;
                        if (!parseUnsigned(v, maxValue, n) || n < minValue) invalid(name, v);
                        target = static_cast<T>(n);
                    });
    }

    CLI::Option* flag(const std::string& name, const std::string& help, bool& target) {
        return app_.add_flag(name, target, help)->disable_flag_override();
    }

    CLI::App& app_;
};

// CLI11 words a value given to a flag as "reset was given a disallowed flag
// override"; say it as the option is written.
std::string mismatchText(const std::string& what) {
    const std::string tail = " was given a disallowed flag override";
    if (what.size() > tail.size() &&
        what.compare(what.size() - tail.size(), tail.size(), tail) == 0)
        return "--" + what.substr(0, what.size() - tail.size()) + " takes no value";
    return what;
}

// The recording is the conversation, its pace and its faults: an option that
// would change them has no place beside --replay. The one given, or "".
const char* besideReplay(const Options& o) {
    if (o.replay.empty()) return "";
    if (!o.traceFile.empty()) return "--trace";
    if (o.records) return "--records";
    if (o.split) return "--split";
    if (o.dropAfter) return "--drop-after";
    if (o.stallAfter) return "--stall-after";
    if (o.noGa) return "--no-ga";
    if (o.negotiate) return "--negotiate";
    if (o.lineDelayMs) return "--line-delay-ms";
    return "";
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
    CLI::App app("", "qeltbridge");
    Options scratch;
    const OptionTable table(app, scratch);
    return app.help();
}

std::string versionText() {
    return "qeltbridge " QELT_VERSION;
}

ParseOutcome parseOptions(int argc, const char* const* argv, Options& out, std::string& error) {
    CLI::App app("", "qeltbridge");
    const OptionTable table(app, out);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome::Help;
    } catch (const CLI::CallForVersion&) {
        return ParseOutcome::Version;
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extra = app.remaining();
        error = "unknown option: " + (extra.empty() ? std::string("?") : extra.front());
        return ParseOutcome::Error;
    } catch (const CLI::ArgumentMismatch& e) {
        error = mismatchText(e.what());
        return ParseOutcome::Error;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return ParseOutcome::Error;
    }
    if (*besideReplay(out)) {
        error = std::string(besideReplay(out)) +
                " does not go with --replay: the recording sets the conversation and its faults";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace qeltbridge
