#include "options.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "common/numbers.h"

namespace qelttrace {

namespace {

constexpr std::uint64_t kCountMax = 100000000;

enum class Takes { kNothing, kValue, kEqualsOnly };

enum class OptionId {
    kFormat,
    kEvent,
    kFrom,
    kTo,
    kErrors,
    kContext,
    kStats,
    kTop,
    kPair,
    kPerfetto,
    kHtml,
    kTransactions,
    kHelp,
    kVersion,
};

struct OptionRow {
    OptionId id;
    const char* name;
    const char* shortName;  // or null
    Takes takes;
    bool repeatable;
    const char* value;  // as --help shows it
    const char* help;
};

const OptionRow kOptions[] = {
    {OptionId::kFormat, "--format", nullptr, Takes::kValue, false, "text|csv|jsonl",
     "the records as the trace job prints them (text), CSV or JSON lines"},
    {OptionId::kEvent, "--event", nullptr, Takes::kValue, true, "PATTERN",
     "only records whose event matches the glob PATTERN (again: any of them)"},
    {OptionId::kFrom, "--from", nullptr, Takes::kValue, false, "SECONDS",
     "only records at or after this time"},
    {OptionId::kTo, "--to", nullptr, Takes::kValue, false, "SECONDS",
     "only records at or before this time"},
    {OptionId::kErrors, "--errors", nullptr, Takes::kNothing, false, nullptr,
     "only records that tell of trouble"},
    {OptionId::kContext, "--context", nullptr, Takes::kValue, false, "N",
     "also the N records before and after each record a filter selects"},
    {OptionId::kStats, "--stats", nullptr, Takes::kEqualsOnly, false, "[=json]",
     "a report of the dump instead of the records, readable or JSON"},
    {OptionId::kTop, "--top", nullptr, Takes::kValue, false, "N",
     "the N largest gaps and slowest transactions of each pair in the report and on the "
     "page (default 10)"},
    {OptionId::kPair, "--pair", nullptr, Takes::kValue, true, "START,END[,KEY[,KIND]]",
     "also measure the transactions from START to END, keyed and of a kind named by the "
     "qualifier, the argument or none (again: more pairs)"},
    {OptionId::kPerfetto, "--perfetto", nullptr, Takes::kValue, false, "FILE",
     "write a trace for ui.perfetto.dev or chrome://tracing (-: standard output)"},
    {OptionId::kHtml, "--html", nullptr, Takes::kValue, false, "FILE",
     "write a self-contained HTML report (-: standard output)"},
    {OptionId::kTransactions, "--transactions", nullptr, Takes::kValue, false, "FILE",
     "write every transaction of the pairs as CSV, or JSON lines when FILE ends in .jsonl "
     "(-: standard output)"},
    {OptionId::kHelp, "--help", "-h", Takes::kNothing, false, nullptr, "print this text and exit"},
    {OptionId::kVersion, "--version", nullptr, Takes::kNothing, false, nullptr,
     "print the version and exit"},
};
constexpr std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

const char kSynopsis[] =
    "usage: qelttrace [--format text|csv|jsonl] [--event PATTERN] [--from SECONDS]\n"
    "                 [--to SECONDS] [--errors] [--context N] [--stats[=json]]\n"
    "                 [--top N] [--pair START,END[,KEY[,KIND]]]\n"
    "                 [--perfetto FILE] [--html FILE] [--transactions FILE]\n"
    "                 [FILE...]\n"
    "       qelttrace --version | --help\n"
    "\n"
    "Decodes a SATA trace dump of a QELT bridge and prints it as the trace job of\n"
    "qelttelnet does: the banner, each record with its absolute time and the time\n"
    "since the previous record, error lines for records that do not decode, a\n"
    "span at each empty line, and the span of the whole dump at the end.\n"
    "\n"
    "The input is the bridge's dump as saved, a capture of \"qelttelnet -satatrace\n"
    "-raw\", the decoded output of \"qelttelnet -satatrace\", or a session log\n"
    "(PROBELINK_LOG) of the trace job, told apart per file from its content. With\n"
    "no FILE, or when FILE is -, standard input is read. Several files are read\n"
    "one after another as one dump, as cat joins them; each trace session of a\n"
    "log is a dump of its own.\n"
    "\n"
    "Each record has the fields record, time, time_ns, delta_ns, event,\n"
    "qualifier, argument, status and text. --stats, --perfetto, --html and\n"
    "--transactions combine in one pass; with any of them the records are\n"
    "printed only when --format is given.\n"
    "\n"
    "Options:\n";

const char kExitStatus[] =
    "\n"
    "Exit status: 0 on success; 2 on bad usage, when a file could not be read\n"
    "(the others are still decoded) or an output could not be written; 130 when\n"
    "interrupted.\n";

std::string nameOf(OptionId id) {
    for (const OptionRow& o : kOptions) {
        if (o.id == id) return o.name;
    }
    return {};
}

const OptionRow* find(const std::string& name) {
    for (const OptionRow& o : kOptions) {
        if (name == o.name || (o.shortName && name == o.shortName)) return &o;
    }
    return nullptr;
}

// What the command line said, before its meaning is checked.
struct Given {
    std::vector<std::string> values[kOptionCount];
    bool present[kOptionCount] = {};
    std::vector<std::string> inputs;

    bool has(OptionId id) const { return present[static_cast<std::size_t>(id)]; }
    const std::string& value(OptionId id) const {
        static const std::string none;
        const auto& v = values[static_cast<std::size_t>(id)];
        return v.empty() ? none : v.front();
    }
    const std::vector<std::string>& all(OptionId id) const {
        return values[static_cast<std::size_t>(id)];
    }
};

// One option at argv[*i]; moves *i past its value. Empty on success.
std::string takeOption(int argc, const char* const* argv, int* i, Given& given) {
    const std::string arg = argv[*i];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionRow* row = find(name);
    if (!row) return "unknown option " + name;
    const auto index = static_cast<std::size_t>(row->id);
    if (given.present[index] && !row->repeatable) return name + " is given twice";
    given.present[index] = true;
    if (equals != std::string::npos) {
        if (row->takes == Takes::kNothing) return name + " takes no value";
        given.values[index].push_back(arg.substr(equals + 1));
        return {};
    }
    if (row->takes != Takes::kValue) return {};
    // The next argument is the value, unless it is another option: a value
    // that begins with "--" is given as --name=value.
    if (*i + 1 >= argc || std::strncmp(argv[*i + 1], "--", 2) == 0) {
        return name + " needs a value: " + row->value;
    }
    given.values[index].push_back(argv[++*i]);
    return {};
}

// A count option: empty text keeps `fallback`.
std::string parseCount(const char* name, const std::string& text, bool given,
                       std::uint64_t fallback, std::uint64_t* value) {
    *value = fallback;
    if (!given) return {};
    if (!parseDecimal(text.data(), text.size(), kCountMax, value)) {
        return std::string(name) + " " + text + ": not a count from 0 to 100000000";
    }
    return {};
}

std::string checkFormat(const Given& g, Settings& s) {
    const std::string& format = g.value(OptionId::kFormat);
    if (!g.has(OptionId::kFormat) || format == "text") {
        s.format = Format::kText;
    } else if (format == "csv") {
        s.format = Format::kCsv;
    } else if (format == "jsonl") {
        s.format = Format::kJsonl;
    } else {
        return "--format " + format + ": not text, csv or jsonl";
    }
    if (g.has(OptionId::kStats) && g.has(OptionId::kFormat)) {
        return "--stats prints its report instead of the records: it takes no --format";
    }
    const bool reporting = g.has(OptionId::kStats) || g.has(OptionId::kPerfetto) ||
                           g.has(OptionId::kHtml) || g.has(OptionId::kTransactions);
    s.printRecords = !reporting || g.has(OptionId::kFormat);
    return {};
}

std::string checkFilters(const Given& g, Settings& s) {
    for (const std::string& pattern : g.all(OptionId::kEvent)) {
        const std::string why = globError(pattern);
        if (!why.empty()) return "--event " + pattern + ": the pattern " + why;
    }
    s.filter.events = g.all(OptionId::kEvent);
    const std::string& from = g.value(OptionId::kFrom);
    const std::string& to = g.value(OptionId::kTo);
    std::string why;
    s.filter.hasFrom = g.has(OptionId::kFrom);
    s.filter.hasTo = g.has(OptionId::kTo);
    if (s.filter.hasFrom && !(why = parseSeconds(from, &s.filter.fromNs)).empty()) {
        return "--from " + from + ": " + why;
    }
    if (s.filter.hasTo && !(why = parseSeconds(to, &s.filter.toNs)).empty()) {
        return "--to " + to + ": " + why;
    }
    if (s.filter.hasFrom && s.filter.hasTo && s.filter.fromNs > s.filter.toNs) {
        return "--from " + from + " is after --to " + to;
    }
    s.filter.errors = g.has(OptionId::kErrors);
    why = parseCount("--context", g.value(OptionId::kContext), g.has(OptionId::kContext), 0,
                     &s.filter.context);
    if (!why.empty()) return why;
    if (g.has(OptionId::kContext) && !s.filter.active()) {
        return "--context shows the records around those a filter selects: it needs --event, "
               "--from, --to or --errors";
    }
    return {};
}

std::string checkReports(const Given& g, Settings& s) {
    const std::string& stats = g.value(OptionId::kStats);
    if (g.has(OptionId::kStats) && !g.all(OptionId::kStats).empty() && stats != "text" &&
        stats != "json") {
        return "--stats=" + stats + ": the report is text (--stats) or json (--stats=json)";
    }
    s.stats = !g.has(OptionId::kStats) ? StatsFormat::kNone
              : stats == "json"        ? StatsFormat::kJson
                                       : StatsFormat::kText;
    std::uint64_t top = 0;
    std::string why = parseCount("--top", g.value(OptionId::kTop), g.has(OptionId::kTop), 10, &top);
    if (!why.empty()) return why;
    if (g.has(OptionId::kTop) && !g.has(OptionId::kStats) && !g.has(OptionId::kHtml)) {
        return "--top sets how many gaps and slowest transactions --stats and --html list: it "
               "needs one of them";
    }
    s.top = static_cast<std::size_t>(top);
    for (const std::string& text : g.all(OptionId::kPair)) {
        PairRule pair;
        why = parsePair(text, &pair);
        if (!why.empty()) return "--pair " + text + ": " + why;
        s.pairs.push_back(pair);
    }
    if (!s.pairs.empty() && !g.has(OptionId::kStats) && !g.has(OptionId::kPerfetto) &&
        !g.has(OptionId::kHtml) && !g.has(OptionId::kTransactions)) {
        return "--pair measures pairs for --stats, --perfetto, --html and --transactions: it "
               "needs one of them";
    }
    s.perfetto = g.value(OptionId::kPerfetto);
    s.html = g.value(OptionId::kHtml);
    s.transactions = g.value(OptionId::kTransactions);
    const std::pair<OptionId, const std::string*> targets[] = {
        {OptionId::kPerfetto, &s.perfetto},
        {OptionId::kHtml, &s.html},
        {OptionId::kTransactions, &s.transactions}};
    for (const auto& [id, target] : targets) {
        if (g.has(id) && target->empty()) return nameOf(id) + " needs a FILE";
    }
    for (std::size_t i = 0; i < std::size(targets); ++i) {
        for (std::size_t j = i + 1; j < std::size(targets); ++j) {
            const std::string& a = *targets[i].second;
            if (a.empty() || a == "-" || a != *targets[j].second) continue;
            return nameOf(targets[i].first) + " and " + nameOf(targets[j].first) +
                   " name the same file " + a;
        }
    }
    return {};
}

// Standard output carries one output at most.
std::string checkStandardOutput(const Settings& s) {
    std::vector<std::string> takers;
    if (s.printRecords) takers.emplace_back("the records");
    if (s.stats != StatsFormat::kNone) takers.emplace_back("--stats");
    if (s.perfetto == "-") takers.emplace_back("--perfetto -");
    if (s.html == "-") takers.emplace_back("--html -");
    if (s.transactions == "-") takers.emplace_back("--transactions -");
    if (takers.size() < 2) return {};
    std::string list = takers[0];
    for (std::size_t i = 1; i < takers.size(); ++i) {
        list += (i + 1 == takers.size() ? " and " : ", ") + takers[i];
    }
    return "standard output takes one output, not " + list;
}

}  // namespace

std::string parseSeconds(const std::string& text, std::int64_t* ns) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    constexpr std::uint64_t kSecondsMax = 999999999999;
    std::uint64_t seconds = 0;
    bool over = false;
    const std::size_t digits =
        readDecimalDigits(text.data() + i, text.size() - i, kSecondsMax, &seconds, &over);
    if (over) return "is too large";
    i += digits;
    std::uint64_t fraction = 0;
    std::size_t decimals = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        decimals =
            readDecimalDigits(text.data() + i, text.size() - i, UINT64_MAX, &fraction, &over);
        if (decimals > 9) return "has more than nine decimals";
        i += decimals;
    }
    if (i != text.size() || digits + decimals == 0) return "is not a number of seconds";
    for (std::size_t d = decimals; d < 9; ++d) fraction *= 10;
    const auto value = static_cast<std::int64_t>(seconds * 1000000000 + fraction);
    *ns = negative ? -value : value;
    return {};
}

std::string helpText() {
    constexpr std::size_t kIndent = 28;
    constexpr std::size_t kWidth = 79;
    std::string text = kSynopsis;
    for (const OptionRow& o : kOptions) {
        std::string line = "  ";
        if (o.shortName) line += std::string(o.shortName) + ", ";
        line += o.name;
        if (o.value) line += (o.takes == Takes::kEqualsOnly ? "" : " ") + std::string(o.value);
        // The description from column kIndent (on a line of its own after a
        // longer option), its words wrapped at kWidth.
        if (line.size() >= kIndent) {
            text += line + "\n";
            line.clear();
        }
        std::string_view help = o.help;
        while (!help.empty()) {
            line.resize(kIndent, ' ');
            std::size_t take = help.size();
            if (kIndent + take > kWidth) take = help.rfind(' ', kWidth - kIndent);
            text += line + std::string(help.substr(0, take)) + "\n";
            help.remove_prefix(std::min(help.size(), take + 1));
            line.clear();
        }
    }
    text += "  --                        every argument after it is a FILE\n";
    return text + kExitStatus;
}

ParseOutcome parseCommandLine(int argc, const char* const* argv, Settings& s, std::string& error) {
    Given given;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            error = takeOption(argc, argv, &i, given);
            if (!error.empty()) return ParseOutcome::kUsageError;
        } else {
            given.inputs.push_back(arg);
        }
    }
    if (given.has(OptionId::kHelp)) return ParseOutcome::kHelp;
    if (given.has(OptionId::kVersion)) return ParseOutcome::kVersion;
    error = checkFormat(given, s);
    if (error.empty()) error = checkFilters(given, s);
    if (error.empty()) error = checkReports(given, s);
    if (error.empty()) error = checkStandardOutput(s);
    if (!error.empty()) return ParseOutcome::kUsageError;
    s.inputsNamed = given.inputs.size();
    s.inputs = given.inputs.empty() ? std::vector<std::string>{"-"} : given.inputs;
    s.title.clear();
    for (const std::string& name : s.inputs) {
        if (!s.title.empty()) s.title += " ";
        s.title += name == "-" ? "standard input" : name;
    }
    return ParseOutcome::kRun;
}

}  // namespace qelttrace
