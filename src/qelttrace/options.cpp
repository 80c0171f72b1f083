#include "options.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "common/exit_status.h"
#include "common/numbers.h"
#include "common/version.h"

namespace qelttrace {

namespace {

using cmdline::Given;
using cmdline::option;
using cmdline::setOf;

constexpr std::uint64_t kCountMax = 100000000;

enum class Id {
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
    kCompare,
    kHelp,
    kVersion,
    kCount
};

constexpr cmdline::OptionRow kRows[] = {
    option(Id::kFormat, "--format", "text|csv|jsonl",
           "the records as the trace job prints them (text), CSV or JSON lines"),
    option(Id::kEvent, "--event", "PATTERN",
           "only records whose event matches the glob PATTERN (again: any of them)")
        .each(),
    option(Id::kFrom, "--from", "SECONDS",
           "only records at or after this time, and transactions that end then"),
    option(Id::kTo, "--to", "SECONDS",
           "only records at or before this time, and transactions that end then; those "
           "open at it stay open"),
    cmdline::flag(Id::kErrors, "--errors", "only records that tell of trouble"),
    option(Id::kContext, "--context", "N",
           "also the N records before and after each record a filter selects")
        .needing(setOf(Id::kEvent, Id::kFrom, Id::kTo, Id::kErrors),
                 "shows the records around those a filter selects"),
    option(Id::kStats, "--stats", "[=json]",
           "a report of the dump instead of the records, readable or JSON")
        .inlineValue()
        .excluding(setOf(Id::kFormat), "prints its report instead of the records"),
    option(Id::kTop, "--top", "N",
           "the N largest gaps and slowest transactions of each pair in the report and on the "
           "page")
        .shows([] { return std::to_string(Settings{}.top); })
        .needing(setOf(Id::kStats, Id::kHtml, Id::kCompare),
                 "sets how many gaps and slowest transactions the report and the page list"),
    option(Id::kPair, "--pair", "START,END[,KEY[,KIND[,OUTCOME]]]",
           "also measure the transactions from START to END, keyed, of a kind and with an "
           "outcome (END's) named by the qualifier, the argument or none (again: more pairs)")
        .each()
        .needing(setOf(Id::kStats, Id::kPerfetto, Id::kHtml, Id::kTransactions, Id::kCompare),
                 "measures pairs for the reports"),
    option(Id::kPerfetto, "--perfetto", "FILE",
           "write a trace for ui.perfetto.dev or chrome://tracing (-: standard output)"),
    option(Id::kHtml, "--html", "FILE", "write a self-contained HTML report (-: standard output)"),
    option(Id::kTransactions, "--transactions", "FILE",
           "write every transaction of the pairs as CSV, or JSON lines when FILE ends in .jsonl "
           "(-: standard output)"),
    option(Id::kCompare, "--compare", "BASELINE",
           "judge what changed from the dump BASELINE to the FILEs, per pair rule and kind, "
           "events, errors and states: a text report, or --stats=json, or the page of --html")
        .excluding(setOf(Id::kFormat, Id::kPerfetto, Id::kTransactions),
                   "reports the comparison as text, --stats=json or --html"),
    cmdline::helpFlag(Id::kHelp),
    cmdline::versionFlag(Id::kVersion),
};
static_assert(cmdline::wellFormed(kRows) && std::size(kRows) == static_cast<size_t>(Id::kCount));

const char kDescription[] =
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
    "--compare BASELINE reads the dump BASELINE and then the FILEs (the run), each\n"
    "in one pass with the same filters and pair rules, and reports what changed:\n"
    "per pair rule and kind the latencies with a verdict (slower, faster, new,\n"
    "gone, too few, same) from a Kolmogorov-Smirnov test and the shift of the\n"
    "median or p99, then the events, errors and SATA states.\n";

constexpr cmdline::CommandLine kCommandLine =
    cmdline::commandLine("qelttrace", QELT_VERSION, kRows, "[FILE...]", "a FILE", kDescription,
                         exit_status::kRows, exit_status::kInterrupted);

// The option's name, as reasons begin with it.
std::string nameOf(Id id) {
    return kRows[static_cast<size_t>(id)].name;
}

// A count option: absent keeps `fallback`.
std::string parseCount(const Given& g, Id id, std::uint64_t fallback, std::uint64_t* value) {
    *value = fallback;
    if (!g.has(id)) return {};
    const std::string& text = g.value(id);
    if (!parseDecimal(text.data(), text.size(), kCountMax, value)) {
        return nameOf(id) + " " + text + ": not a count from 0 to 100000000";
    }
    return {};
}

std::string checkFormat(const Given& g, Settings& s) {
    const std::string& format = g.value(Id::kFormat);
    if (!g.has(Id::kFormat) || format == "text") {
        s.format = Format::kText;
    } else if (format == "csv") {
        s.format = Format::kCsv;
    } else if (format == "jsonl") {
        s.format = Format::kJsonl;
    } else {
        return "--format " + format + ": not text, csv or jsonl";
    }
    const bool reporting = g.has(Id::kStats) || g.has(Id::kPerfetto) || g.has(Id::kHtml) ||
                           g.has(Id::kTransactions) || g.has(Id::kCompare);
    s.printRecords = !reporting || g.has(Id::kFormat);
    return {};
}

std::string checkFilters(const Given& g, Settings& s) {
    for (const std::string& pattern : g.values(Id::kEvent)) {
        const std::string why = globError(pattern);
        if (!why.empty()) return "--event " + pattern + ": the pattern " + why;
    }
    s.filter.events = g.values(Id::kEvent);
    const std::pair<Id, std::int64_t*> times[] = {{Id::kFrom, &s.filter.fromNs},
                                                  {Id::kTo, &s.filter.toNs}};
    for (const auto& [id, ns] : times) {
        if (!g.has(id)) continue;
        const std::string why = parseSeconds(g.value(id), ns);
        if (!why.empty()) {
            return nameOf(id) + " " + g.value(id) + ": " + why;
        }
    }
    s.filter.hasFrom = g.has(Id::kFrom);
    s.filter.hasTo = g.has(Id::kTo);
    if (s.filter.hasFrom && s.filter.hasTo && s.filter.fromNs > s.filter.toNs) {
        return "--from " + g.value(Id::kFrom) + " is after --to " + g.value(Id::kTo);
    }
    s.filter.errors = g.has(Id::kErrors);
    return parseCount(g, Id::kContext, 0, &s.filter.context);
}

std::string checkReports(const Given& g, Settings& s) {
    const std::string& stats = g.value(Id::kStats);
    if (!g.values(Id::kStats).empty() && stats != "text" && stats != "json") {
        return "--stats=" + stats + ": the report is text (--stats) or json (--stats=json)";
    }
    s.stats = !g.has(Id::kStats) ? StatsFormat::kNone
              : stats == "json"  ? StatsFormat::kJson
                                 : StatsFormat::kText;
    std::uint64_t top = 0;
    std::string why = parseCount(g, Id::kTop, s.top, &top);
    if (!why.empty()) return why;
    s.top = static_cast<std::size_t>(top);
    for (const std::string& text : g.values(Id::kPair)) {
        PairRule pair;
        why = parsePair(text, &pair);
        if (!why.empty()) return "--pair " + text + ": " + why;
        s.pairs.push_back(pair);
    }
    const std::pair<Id, std::string*> targets[] = {
        {Id::kPerfetto, &s.perfetto}, {Id::kHtml, &s.html}, {Id::kTransactions, &s.transactions}};
    for (const auto& [id, target] : targets) {
        *target = g.value(id);
        if (g.has(id) && target->empty()) {
            return nameOf(id) + " needs a FILE";
        }
    }
    return {};
}

// A comparison reads two dumps with the same filters and pair rules, and
// reports as text (what --stats gives, the default), as JSON or as a page.
std::string checkCompare(const Given& g, Settings& s) {
    if (!g.has(Id::kCompare)) return {};
    s.compare = g.value(Id::kCompare);
    if (s.compare.empty()) return "--compare needs a BASELINE";
    for (const Id id : {Id::kFrom, Id::kTo}) {
        if (!g.has(id)) continue;
        return nameOf(id) +
               " does not go with --compare: the baseline and the run each have their own "
               "clock, so one window of time would cut them at unrelated places";
    }
    if (s.stats == StatsFormat::kNone && s.html.empty()) s.stats = StatsFormat::kText;
    return {};
}

// Two reports never go to one file, and standard output carries one output
// at most.
std::string checkTargets(const Settings& s) {
    const auto targets = s.targets();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        for (std::size_t j = i + 1; j < targets.size(); ++j) {
            const std::string& a = targets[i].file;
            if (a.empty() || a == "-" || a != targets[j].file) continue;
            return std::string(targets[i].option) + " and " + targets[j].option +
                   " name the same file " + a;
        }
    }
    std::vector<std::string> takers;
    if (s.printRecords) takers.emplace_back("the records");
    if (s.stats != StatsFormat::kNone) takers.emplace_back("--stats");
    for (const auto& [option, file] : targets) {
        if (file == "-") takers.push_back(std::string(option) + " -");
    }
    if (takers.size() < 2) return {};
    std::string list = takers[0];
    for (std::size_t i = 1; i < takers.size(); ++i) {
        list += (i + 1 == takers.size() ? " and " : ", ") + takers[i];
    }
    return "standard output takes one output, not " + list;
}

}  // namespace

const cmdline::CommandLine& commandLine() {
    return kCommandLine;
}

std::string parseSeconds(const std::string& text, std::int64_t* ns) {
    switch (readFixedDecimal(text.data(), text.size(), 9, true, INT64_MAX, ns)) {
        case kFixedRead:
            return {};
        case kFixedTooPrecise:
            return "has more than nine decimals";
        case kFixedTooLarge:
            return "is out of range (at most 9223372036.854775807 seconds either side of 0)";
        case kFixedMalformed:
            break;
    }
    return "is not a number of seconds";
}

cmdline::Outcome parseCommandLine(int argc, const char* const* argv, Settings& s,
                                  std::string& error) {
    Given given;
    const cmdline::Outcome outcome =
        cmdline::parse(kCommandLine, argc, argv, given, error, [&s](const Given& g) {
            std::string why = checkFormat(g, s);
            if (why.empty()) why = checkFilters(g, s);
            if (why.empty()) why = checkReports(g, s);
            if (why.empty()) why = checkCompare(g, s);
            return why;
        });
    if (outcome != cmdline::Outcome::kRun) return outcome;
    error = checkTargets(s);
    if (!error.empty()) return cmdline::Outcome::kUsageError;
    s.inputsNamed = given.operands().size();
    s.inputs = given.operands().empty() ? std::vector<std::string>{"-"} : given.operands();
    if (s.compare == "-" && std::find(s.inputs.begin(), s.inputs.end(), "-") != s.inputs.end()) {
        error =
            "--compare -: the baseline and the run cannot both be standard input (name the "
            "run's FILEs)";
        return cmdline::Outcome::kUsageError;
    }
    s.title.clear();
    for (const std::string& name : s.inputs) {
        if (!s.title.empty()) s.title += " ";
        s.title += name == "-" ? "standard input" : name;
    }
    return cmdline::Outcome::kRun;
}

}  // namespace qelttrace
