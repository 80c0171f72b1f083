// qeltbridge: a telnet server that behaves like the bridge, for tests and
// benchmarks of the tool and its library.
#include <cstdio>
#include <string>

#include "bridge.h"
#include "common/exit_status.h"
#include "options.h"
#include "recording/log_reader.h"
#include "replay.h"
#include "trace_source.h"

using namespace qeltbridge;

namespace {

// The bridge could not get going: the reason, and the status.
int failure(const std::string& reason) {
    std::fprintf(stderr, "qeltbridge: %s\n", reason.c_str());
    return exit_status::kInputOutput;
}

// --replay: the recording is read whole before anything listens, so that a
// log that does not read is refused at once.
int replay(const Options& options) {
    recording::Log log;
    std::string error;
    if (!recording::readLogFile(options.replay, log, error)) {
        return failure(options.replay + ": " + error);
    }
    std::fprintf(stderr, "qeltbridge: replaying %zu session%s of %s at speed %g\n",
                 log.sessions.size(), log.sessions.size() == 1 ? "" : "s", options.replay.c_str(),
                 options.replaySpeed);
    return runReplay(options, std::move(log));
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    const ParseOutcome outcome = parseOptions(argc, argv, options, error);
    if (outcome != ParseOutcome::kRun) return cmdline::answer(commandLine(), outcome, error);
    if (!options.replay.empty()) return replay(options);

    std::unique_ptr<TraceSource> trace;
    if (options.records) {
        WorkloadSettings workload;
        workload.seed = options.seed;
        workload.queueDepth = options.queueDepth;
        workload.errorRate = options.errorRate;
        workload.scenarios = options.scenarios;
        trace = makeGeneratedTrace(*options.records, workload);
    } else if (!options.traceFile.empty()) {
        trace = loadTraceFile(options.traceFile, error);
        if (!trace) return failure(error);
    } else {
        trace = makeBuiltinTrace();
    }
    std::fprintf(stderr, "qeltbridge: serving %llu trace records\n",
                 static_cast<unsigned long long>(trace->size()));
    return runBridge(options, std::move(trace));
}
