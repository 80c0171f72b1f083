// Records fed straight into a stage of qelttrace (the statistics, usually),
// numbered from 1 with their deltas, as the input reader would hand them on.
#pragma once

#include <cstdint>

#include "input/record.h"
#include "stages.h"

namespace qelttest {

struct Feed {
    explicit Feed(qelttrace::RecordSink& s) : sink(s) {}
    void operator()(std::int64_t timeNs, const char* event, const char* qualifier = "",
                    const char* argument = "", bool trouble = false,
                    qelttrace::Status status = qelttrace::Status::kOk, bool held = false) {
        qelttrace::Record r;
        r.trouble = trouble;
        r.status = status;
        r.held = held;
        r.number = ++number;
        r.timeNs = timeNs;
        r.deltaNs = number == 1 ? 0 : timeNs - last;
        r.time = DBGTime{static_cast<int32_t>(timeNs / 1000000000),
                         static_cast<int32_t>(timeNs % 1000000000)};
        r.setWords(event, qualifier, argument, "");
        last = timeNs;
        sink.record(r);
    }
    qelttrace::RecordSink& sink;
    std::uint64_t number = 0;
    std::int64_t last = 0;
};

}  // namespace qelttest
