// qelttrace: decodes a saved SATA trace dump, a capture of the tool's -raw
// output, or the tool's decoded output, and prints it as the live trace job
// would have (the default), exports its records (csv, jsonl), filters them,
// and reports on them (statistics, a Perfetto trace, an HTML page), all in one
// pass over the input.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/version.h"
#include "options.h"
#include "output_file.h"
#include "pipeline.h"

namespace {

using namespace qelttrace;

constexpr std::size_t kOutputBuffer = 64 * 1024;

int usageError(const std::string& reason) {
    std::fprintf(stderr, "qelttrace: %s\nqelttrace --help lists the options.\n", reason.c_str());
    return 2;
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
    std::string error;
    switch (parseCommandLine(argc, argv, settings, error)) {
        case ParseOutcome::kHelp:
            std::fputs(helpText().c_str(), stdout);
            return 0;
        case ParseOutcome::kVersion:
            std::printf("qelttrace %s\n", QELT_VERSION);
            return 0;
        case ParseOutcome::kUsageError:
            return usageError(error);
        case ParseOutcome::kRun:
            break;
    }
    static char outputBuffer[kOutputBuffer];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    return run(settings);
}
