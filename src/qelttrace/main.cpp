// qelttrace: decodes a saved SATA trace dump, a capture of the tool's -raw
// output, or the tool's decoded output, and prints it as the live trace job
// would have (the default), exports its records (csv, jsonl), filters them,
// and reports on them (statistics, a Perfetto trace, an HTML page), all in one
// pass over the input.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/version.h"
#include "output_file.h"
#include "pipeline.h"

namespace {

using namespace qelttrace;

constexpr std::size_t kOutputBuffer = 64 * 1024;

const char kUsage[] =
    "usage: qelttrace [FILE...]\n"
    "       qelttrace [--format text|csv|jsonl] [--event GLOB]... [--from SECONDS]\n"
    "                 [--to SECONDS] [--errors [--context N]] [--stats[=json]] [--top N]\n"
    "                 [--pair START,END[,qualifier|argument]]... [--perfetto FILE]\n"
    "                 [--html FILE] [FILE...]\n"
    "\n"
    "Decodes a SATA trace dump of a QELT bridge and prints it as the trace job\n"
    "of qelttelnet does: each record with its absolute time and the time since\n"
    "the previous record, the banner, error lines for records that do not\n"
    "decode, a span at each empty line, and the span of the whole dump at the\n"
    "end.\n"
    "\n"
    "Input, told apart per file from its content: the bridge's dump lines\n"
    "(\"SSSSSS.NNNNNNNNN CODE TAG ARG\", LF or CR LF line ends), as saved from the\n"
    "bridge or captured from \"qelttelnet -satatrace -raw\" (the line break that\n"
    "-raw adds after each line is recognised and skipped, as are the tool's own\n"
    "messages), and the decoded output of \"qelttelnet -satatrace\". Prompts and\n"
    "DUMP_RESULT= lines are handled as the live session handles them.\n"
    "\n"
    "With no FILE, or when FILE is -, standard input is read. Several files are\n"
    "read one after another as one dump, as cat would join them.\n"
    "\n"
    "Records (one per line with a timestamp and a record text) can be exported\n"
    "with their fields record, time, time_ns, delta_ns, event, qualifier,\n"
    "argument, status and text, filtered, and reported on. --stats, --perfetto\n"
    "and --html combine in one run; with any of them the records are printed\n"
    "only when --format is given (--stats prints its report instead of them).\n"
    "\n"
    "Exit status: 0 on success, 2 on bad usage, when a file could not be read\n"
    "(the others are still decoded) or an output could not be written.\n";

// The usage text above, in place of CLI11's generated usage line.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_usage(const CLI::App*, std::string) const override { return kUsage; }
    std::string make_description(const CLI::App*) const override { return ""; }
};

struct CommandLine {
    std::vector<std::string> inputs;
    std::string format;
    std::vector<std::string> events;
    std::string from, to;
    bool errors = false;
    std::string context;
    std::string stats;
    std::string top;
    std::vector<std::string> pairs;
    std::string perfetto, html;
    bool help = false;
    bool version = false;
};

void addOptions(CLI::App& app, CommandLine& c) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag();
    app.allow_extras();
    app.add_flag("-h,--help", c.help, "Print this help and exit");
    app.add_flag("--version", c.version, "Print the version and exit");
    app.add_option("--format", c.format, "Records as text (the trace job's output), csv or jsonl")
        ->type_name("text|csv|jsonl");
    app.add_option("--event", c.events, "Only events matching GLOB (repeatable)")
        ->type_name("GLOB");
    app.add_option("--from", c.from, "Only records at or after this time")->type_name("SECONDS");
    app.add_option("--to", c.to, "Only records at or before this time")->type_name("SECONDS");
    app.add_flag("--errors", c.errors, "Only records that tell of trouble");
    app.add_option("--context", c.context, "Also N records before and after each match")
        ->type_name("N");
    app.add_flag("--stats{text}", c.stats, "A report instead of the records (--stats=json: JSON)");
    app.add_option("--top", c.top, "The N largest gaps in the report (default 10)")->type_name("N");
    app.add_option("--pair", c.pairs, "Also pair START with END (keyed by qualifier or argument)")
        ->type_name("START,END[,KEY]");
    app.add_option("--perfetto", c.perfetto, "Write a Chrome trace-event JSON for Perfetto")
        ->type_name("FILE");
    app.add_option("--html", c.html, "Write a self-contained HTML report")->type_name("FILE");
    app.add_option("FILE", c.inputs, "Inputs; - is standard input");
}

std::string parseSeconds(const std::string& text, std::int64_t* ns) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    std::int64_t seconds = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (seconds > 999999999999) return "is too large";
        seconds = seconds * 10 + (text[i] - '0');
    }
    std::int64_t fraction = 0;
    std::size_t decimals = 0;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++decimals) {
            if (decimals == 9) return "has more than nine decimals";
            fraction = fraction * 10 + (text[i] - '0');
        }
    }
    if (i != text.size() || digits + decimals == 0) return "is not a number of seconds";
    for (std::size_t d = decimals; d < 9; ++d) fraction *= 10;
    const std::int64_t value = seconds * 1000000000 + fraction;
    *ns = negative ? -value : value;
    return {};
}

// A count option: empty text keeps `fallback`.
std::string parseCount(const std::string& name, const std::string& text, std::uint64_t fallback,
                       std::uint64_t* value) {
    *value = fallback;
    if (text.empty()) return {};
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || parsed > 100000000ULL) {
        return name + " " + text + ": not a count from 0 to 100000000";
    }
    *value = parsed;
    return {};
}

std::string parseFormat(const CommandLine& c, Settings& s) {
    if (c.format.empty() || c.format == "text") {
        s.format = Format::kText;
    } else if (c.format == "csv") {
        s.format = Format::kCsv;
    } else if (c.format == "jsonl") {
        s.format = Format::kJsonl;
    } else {
        return "--format " + c.format + ": not text, csv or jsonl";
    }
    if (!c.stats.empty() && !c.format.empty()) {
        return "--stats prints its report instead of the records: it takes no --format";
    }
    const bool reporting = !c.stats.empty() || !c.perfetto.empty() || !c.html.empty();
    s.printRecords = !reporting || !c.format.empty();
    return {};
}

std::string parseFilters(const CommandLine& c, Settings& s) {
    for (const std::string& pattern : c.events) {
        const std::string why = globError(pattern);
        if (!why.empty()) return "--event " + pattern + ": the pattern " + why;
    }
    s.filter.events = c.events;
    std::string why;
    if (!c.from.empty() && !(why = parseSeconds(c.from, &s.filter.fromNs)).empty()) {
        return "--from " + c.from + ": " + why;
    }
    if (!c.to.empty() && !(why = parseSeconds(c.to, &s.filter.toNs)).empty()) {
        return "--to " + c.to + ": " + why;
    }
    s.filter.hasFrom = !c.from.empty();
    s.filter.hasTo = !c.to.empty();
    if (s.filter.hasFrom && s.filter.hasTo && s.filter.fromNs > s.filter.toNs) {
        return "--from " + c.from + " is after --to " + c.to;
    }
    s.filter.errors = c.errors;
    return parseCount("--context", c.context, 0, &s.filter.context);
}

std::string parseReports(const CommandLine& c, Settings& s) {
    if (!c.stats.empty() && c.stats != "text" && c.stats != "json") {
        return "--stats=" + c.stats + ": the report is text (--stats) or json (--stats=json)";
    }
    s.stats = c.stats == "json" ? StatsFormat::kJson
              : c.stats.empty() ? StatsFormat::kNone
                                : StatsFormat::kText;
    std::uint64_t top = 0;
    std::string why = parseCount("--top", c.top, 10, &top);
    if (!why.empty()) return why;
    s.top = static_cast<std::size_t>(top);
    for (const std::string& text : c.pairs) {
        PairRule pair;
        why = parsePair(text, &pair);
        if (!why.empty()) return "--pair " + text + ": " + why;
        s.pairs.push_back(pair);
    }
    s.perfetto = c.perfetto;
    s.html = c.html;
    if (!c.perfetto.empty() && c.perfetto == c.html) {
        return "--perfetto and --html name the same file " + c.html;
    }
    return {};
}

int usageError(const std::string& reason) {
    std::fprintf(stderr, "qelttrace: %s\nqelttrace --help lists the options.\n", reason.c_str());
    return 2;
}

// Parses the command line into `s`. Returns -1 to go on, else the exit status.
int parseCommandLine(int argc, char** argv, Settings& s) {
    CLI::App app;
    CommandLine c;
    addOptions(app, c);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (c.help) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    if (c.version) {
        std::printf("qelttrace %s\n", QELT_VERSION);
        return 0;
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') return usageError("unknown option " + extra);
        c.inputs.push_back(extra);
    }
    std::string why = parseFormat(c, s);
    if (why.empty()) why = parseFilters(c, s);
    if (why.empty()) why = parseReports(c, s);
    if (!why.empty()) return usageError(why);
    s.inputs = c.inputs.empty() ? std::vector<std::string>{"-"} : c.inputs;
    for (const std::string& name : s.inputs) {
        if (!s.title.empty()) s.title += " ";
        s.title += name == "-" ? "standard input" : name;
    }
    return -1;
}

int run(const Settings& s) {
    OutputFile perfettoFile, htmlFile;
    std::string error;
    if (!s.perfetto.empty() && !perfettoFile.open(s.perfetto, error)) return usageError(error);
    if (!s.html.empty() && !htmlFile.open(s.html, error)) return usageError(error);
    Output standard(stdout);
    std::unique_ptr<Output> perfetto, html;
    Outputs outputs;
    if (s.printRecords) outputs.records = &standard;
    if (s.stats != StatsFormat::kNone) outputs.stats = &standard;
    if (perfettoFile.stream()) {
        perfetto = std::make_unique<Output>(perfettoFile.stream());
        outputs.perfetto = perfetto.get();
    }
    if (htmlFile.stream()) {
        html = std::make_unique<Output>(htmlFile.stream());
        outputs.html = html.get();
    }
    int status = 0;
    {
        Pipeline pipeline(s, outputs, stderr);
        for (const std::string& name : s.inputs) {
            // Like cat, a file that cannot be read does not stop the others.
            if (!pipeline.input().read(name)) status = 2;
        }
        pipeline.finish();
    }
    perfetto.reset();
    html.reset();
    bool ok = true;
    if (perfettoFile.stream()) ok = perfettoFile.commit(error);
    if (htmlFile.stream()) {
        std::string htmlError;
        if (!htmlFile.commit(htmlError) && ok) {
            error = htmlError;
            ok = false;
        }
    }
    if (!ok) {
        std::fprintf(stderr, "qelttrace: %s\n", error.c_str());
        status = 2;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qelttrace: standard output: %s\n", std::strerror(errno));
        status = 2;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    const int parsed = parseCommandLine(argc, argv, settings);
    if (parsed >= 0) return parsed;
    static char outputBuffer[kOutputBuffer];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    return run(settings);
}
