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
    return ParseOutcome::Run;
}

}  // namespace qeltbridge
