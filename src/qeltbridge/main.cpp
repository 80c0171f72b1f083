// qeltbridge: a telnet server that behaves like the bridge, for tests and
// benchmarks of the tool and its library.
#include <cstdio>
#include <string>

#include "bridge.h"
#include "options.h"
#include "recording/log_reader.h"
#include "replay.h"
#include "trace_source.h"

namespace {

// --replay: the recording is read whole before anything listens, so that a
// log that does not read is refused at once.
int replay(const qeltbridge::Options& options) {
    recording::Log log;
    std::string error;
    if (!recording::readLogFile(options.replay, log, error)) {
        std::fprintf(stderr, "qeltbridge: %s: %s\n", options.replay.c_str(), error.c_str());
        return 2;
    }
    std::fprintf(stderr, "qeltbridge: replaying %zu session%s of %s at speed %g\n",
                 log.sessions.size(), log.sessions.size() == 1 ? "" : "s", options.replay.c_str(),
                 options.replaySpeed);
    if (!qeltbridge::Bridge::installSignalHandlers(error)) {
        std::fprintf(stderr, "qeltbridge: %s\n", error.c_str());
        return 1;
    }
    qeltbridge::Replay player(options, std::move(log));
    if (!player.start(error)) {
        std::fprintf(stderr, "qeltbridge: %s\n", error.c_str());
        return 1;
    }
    return player.run();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qeltbridge;
    Options options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
        case ParseOutcome::Help:
            std::fputs(usageText().c_str(), stdout);
            return 0;
        case ParseOutcome::Version:
            std::printf("%s\n", versionText().c_str());
            return 0;
        case ParseOutcome::Error:
            std::fprintf(stderr, "qeltbridge: %s\n(qeltbridge --help lists the options)\n",
                         error.c_str());
            return 2;
        case ParseOutcome::Run:
            break;
    }
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
        if (!trace) {
            std::fprintf(stderr, "qeltbridge: %s\n", error.c_str());
            return 2;
        }
    } else {
        trace = makeBuiltinTrace();
    }
    std::fprintf(stderr, "qeltbridge: serving %llu trace records\n",
                 static_cast<unsigned long long>(trace->size()));

    if (!Bridge::installSignalHandlers(error)) {
        std::fprintf(stderr, "qeltbridge: %s\n", error.c_str());
        return 1;
    }
    Bridge bridge(options, std::move(trace));
    if (!bridge.start(error)) {
        std::fprintf(stderr, "qeltbridge: %s\n", error.c_str());
        return 1;
    }
    return bridge.run();
}
