// qelttrace: decodes a saved SATA trace dump, a capture of the tool's -raw
// output, or the tool's decoded output, and prints it as the live trace job
// would have (the default), exports its records (csv, jsonl), filters them,
// and reports on them (statistics, a Perfetto trace, an HTML page), all in one
// pass over the input; or compares a run with its baseline (--compare), one
// pass over each.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/exit_status.h"
#include "compare_run.h"
#include "input/byte_source.h"
#include "options.h"
#include "output/output_file.h"
#include "output/transaction_listing.h"
#include "pipeline.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace {

using namespace qelttrace;

constexpr std::size_t kOutputBuffer = 64 * 1024;

// An input or output that failed, or was refused: the reason, and the status.
int failure(const std::string& reason) {
    std::fprintf(stderr, "qelttrace: %s\n", reason.c_str());
    return exit_status::kInputOutput;
}

// What each report file begins with, so that an existing file is replaced
// only when it holds such a report.
constexpr char kPerfettoSignature[] = "{\"traceEvents\":[";
constexpr char kHtmlSignature[] = "<!DOCTYPE html>";

// Writes the targets named; false (after saying why) if one could not be.
bool commitTargets(std::vector<std::unique_ptr<OutputTarget>>& targets) {
    bool ok = true;
    // A rename is not interrupted half-way through the set.
    qelt_hold_interrupts(1);
    for (const auto& target : targets) {
        std::string error;
        if (!target->commit(error)) {
            std::fprintf(stderr, "qelttrace: %s\n", error.c_str());
            ok = false;
        }
    }
    qelt_hold_interrupts(0);
    return ok;
}

// Whether the run may begin: the dump not forgotten on the command line, no
// output over an input, every named input opening (a run that would lack one
// writes nothing at all). Otherwise the status, after saying why.
std::optional<int> refusal(const Settings& s) {
    if (s.inputs.size() == 1 && s.inputs[0] == "-" && s.inputsNamed == 0 &&
        qelt_is_terminal(stdin)) {
        // Bad usage, nothing failed.
        std::fputs(
            "qelttrace: no input file, and standard input is a terminal: name the dump "
            "(or - to type it)\n",
            stderr);
        return exit_status::kUsage;
    }
    std::vector<std::pair<std::string, std::string>> named;
    for (const auto& [option, file] : s.targets()) {
        if (!file.empty()) named.emplace_back(option, file);
    }
    // A comparison's baseline is an input like the others.
    std::vector<std::string> inputs = s.inputs;
    if (!s.compare.empty()) inputs.insert(inputs.begin(), s.compare);
    const std::string clash = targetClash(inputs, named);
    if (!clash.empty()) return failure(clash);
    bool unreadable = false;
    for (const std::string& name : inputs) {
        const std::string reason = name == "-" ? std::string() : cannotRead(name);
        if (reason.empty()) continue;
        std::fprintf(stderr, "qelttrace: %s: %s\n", name.c_str(), reason.c_str());
        unreadable = true;
    }
    if (unreadable) return exit_status::kInputOutput;
    return std::nullopt;
}

// The report files being written, and the outputs into them.
struct Reports {
    std::vector<std::unique_ptr<OutputTarget>> targets;
    std::vector<std::unique_ptr<Output>> streams;
};

// Opens the targets of the reports named and points `outputs` at them; false
// after saying why one could not be.
bool openReports(const Settings& s, Reports& reports, Outputs& outputs) {
    const struct {
        const char* option;
        const std::string& target;
        const char* signature;
        Output** output;
    } named[] = {{"--perfetto", s.perfetto, kPerfettoSignature, &outputs.perfetto},
                 {"--html", s.html, kHtmlSignature, &outputs.html},
                 {"--transactions", s.transactions,
                  transactionsAsJsonl(s.transactions) ? kTransactionsJsonlSignature
                                                      : kTransactionsCsvSignature,
                  &outputs.transactions}};
    for (const auto& report : named) {
        if (report.target.empty()) continue;
        reports.targets.push_back(std::make_unique<OutputTarget>());
        std::string error;
        if (!reports.targets.back()->open(report.option, report.target, report.signature, error)) {
            failure(error);
            return false;
        }
        reports.streams.push_back(std::make_unique<Output>(reports.targets.back()->stream()));
        *report.output = reports.streams.back().get();
    }
    return true;
}

// A reader of standard output that has gone ends the run as an interrupt
// does. Where a broken pipe raises no signal (it is ignored, or Windows has
// none), the writes fail: reading stops at the next block, and the reports
// are not put in place.
bool outputBroken() {
    return qelt_output_broken(stdout) != 0;
}

// Every input through one pipeline into `outputs`: the status.
int decodeInputs(const Settings& s, const Outputs& outputs) {
    Pipeline pipeline(s, outputs, stderr);
    return pipeline.input().readAll(s.inputs, outputBroken) ? exit_status::kSuccess
                                                            : exit_status::kInputOutput;
}

// Puts the reports in place, unless the run failed: a report that lacks an
// input is not put where a whole one is expected. The run's final status.
int finishReports(Reports& reports, int status) {
    reports.streams.clear();  // their last bytes into the files
    std::fflush(stdout);
    if (outputBroken()) {
        for (const auto& target : reports.targets) target->discard();
        std::fprintf(stderr, "qelttrace: standard output: %s\n", std::strerror(EPIPE));
        return exit_status::kInputOutput;
    }
    if (status != exit_status::kSuccess) {
        for (const auto& target : reports.targets) {
            if (!target->replaces()) continue;
            std::fprintf(stderr, "qelttrace: %s: not written, as an input could not be read\n",
                         target->name().c_str());
            target->discard();
        }
    }
    if (!commitTargets(reports.targets)) status = exit_status::kInputOutput;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        status = failure(std::string("standard output: ") + std::strerror(errno));
    }
    return status;
}

int run(const Settings& s) {
    if (const std::optional<int> refused = refusal(s)) return *refused;
    removeTemporariesOnInterrupt();
    Reports reports;
    Output standard(stdout);
    Outputs outputs;
    if (s.printRecords) {
        Output** records[] = {&outputs.text, &outputs.csv, &outputs.jsonl};
        *records[static_cast<int>(s.format)] = &standard;
    }
    if (s.stats != StatsFormat::kNone) outputs.stats = &standard;
    if (!openReports(s, reports, outputs)) return exit_status::kInputOutput;
    int status = exit_status::kSuccess;
    if (s.compare.empty()) {
        status = decodeInputs(s, outputs);
    } else if (!runComparison(s, outputs, stderr, outputBroken)) {
        status = exit_status::kInputOutput;
    }
    return finishReports(reports, status);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string error;
    const cmdline::Outcome outcome = parseCommandLine(argc, argv, settings, error);
    if (outcome != cmdline::Outcome::kRun) return cmdline::answer(commandLine(), outcome, error);
    static char outputBuffer[kOutputBuffer];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    return run(settings);
}
