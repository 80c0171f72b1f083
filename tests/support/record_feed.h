// Records made up for the tests of qelttrace's stages (the filter, the
// statistics, the pair matcher, the writers), numbered from 1 in the order
// made, each with its delta to the one before, as the input reader numbers
// and times them. Header only: a test that uses it links qelttrace_core.
//
//   RecordFeed feed(stats);  feed(100, "DMA Start");  feed(150, "DMA End", "", "", true);
#pragma once

#include <cstdint>

#include "input/record.h"
#include "stages.h"

namespace qelttest {

class RecordFeed {
  public:
    RecordFeed() = default;
    explicit RecordFeed(qelttrace::RecordSink& sink) : sink_(&sink) {}

    // The next record, at `timeNs`, decoded into the three words (`status`
    // other than kOk: a record that did not decode, its text `text`).
    qelttrace::Record make(std::int64_t timeNs, const char* event, const char* qualifier = "",
                           const char* argument = "", bool trouble = false,
                           qelttrace::Status status = qelttrace::Status::kOk,
                           const char* text = "") {
        qelttrace::Record r;
        r.trouble = trouble;
        r.status = status;
        r.number = ++number_;
        r.timeNs = timeNs;
        r.deltaNs = number_ == 1 ? 0 : timeNs - last_;
        r.time = ::DBGTime{static_cast<std::int32_t>(timeNs / 1000000000),
                           static_cast<std::int32_t>(timeNs % 1000000000)};
        r.delta = ::DBGTime{static_cast<std::int32_t>(r.deltaNs / 1000000000),
                            static_cast<std::int32_t>(r.deltaNs % 1000000000)};
        r.setWords(event, qualifier, argument, text);
        last_ = timeNs;
        return r;
    }
    // Makes the next record and hands it to the sink (`held`: shown at the
    // time before, its own having gone backwards).
    void operator()(std::int64_t timeNs, const char* event, const char* qualifier = "",
                    const char* argument = "", bool trouble = false,
                    qelttrace::Status status = qelttrace::Status::kOk, bool held = false) {
        qelttrace::Record r = make(timeNs, event, qualifier, argument, trouble, status);
        r.held = held;
        sink_->record(r);
    }
    std::uint64_t count() const { return number_; }

  private:
    qelttrace::RecordSink* sink_ = nullptr;
    std::uint64_t number_ = 0;
    std::int64_t last_ = 0;
};

}  // namespace qelttest
