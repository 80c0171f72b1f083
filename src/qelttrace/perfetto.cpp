#include "perfetto.h"

#include <cstdlib>

#include "filter.h"

namespace qelttrace {

namespace {

constexpr std::size_t kLanesMax = 64;
constexpr int kPid = 1;

}  // namespace

void appendMicroseconds(std::string& out, std::int64_t ns) {
    const bool negative = ns < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(ns)
                                             : static_cast<std::uint64_t>(ns);
    char text[40];
    int length = std::snprintf(text, sizeof text, "%s%llu.%03u", negative ? "-" : "",
                               static_cast<unsigned long long>(magnitude / 1000),
                               static_cast<unsigned>(magnitude % 1000));
    // The nearest double to the decimal may lie just below it; half a
    // nanosecond more keeps the truncated product on the nanosecond.
    const double read = std::strtod(text, nullptr) * 1000.0;
    if (static_cast<std::int64_t>(read) != ns && length + 1 < static_cast<int>(sizeof text)) {
        text[length++] = '5';
        text[length] = '\0';
    }
    out.append(text, static_cast<std::size_t>(length));
}

PerfettoWriter::PerfettoWriter(FILE* out, const Statistics& stats)
    : writer_(out), stats_(stats), lanes_(stats.pairs().size()) {
    writer_.buffer() += "{\"traceEvents\":[\n";
    writer_.buffer() +=
        "{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":1,\"tid\":0,"
        "\"args\":{\"name\":\"SATA trace\"}}";
}

int PerfettoWriter::track(std::string_view name) {
    const auto found = tracks_.find(std::string(name));
    if (found != tracks_.end()) return found->second;
    const int tid = nextTid_++;
    tracks_.emplace(std::string(name), tid);
    std::string& b = writer_.buffer();
    b += ",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":1,\"tid\":";
    appendInt(b, tid);
    b += ",\"args\":{\"name\":";
    appendJsonString(b, name);
    b += "}},\n{\"ph\":\"M\",\"name\":\"thread_sort_index\",\"pid\":1,\"tid\":";
    appendInt(b, tid);
    b += ",\"args\":{\"sort_index\":";
    appendInt(b, tid);
    b += "}}";
    return tid;
}

void PerfettoWriter::begin(const char* phase, std::string_view name, int tid, std::int64_t ns) {
    std::string& b = writer_.buffer();
    b += ",\n{\"ph\":\"";
    b += phase;
    b += "\",\"name\":";
    appendJsonString(b, name);
    b += ",\"pid\":";
    appendInt(b, kPid);
    b += ",\"tid\":";
    appendInt(b, tid);
    b += ",\"ts\":";
    appendMicroseconds(b, ns - stats_.firstNs());
}

void PerfettoWriter::finishEvent(std::uint64_t record) {
    std::string& b = writer_.buffer();
    b += ",\"args\":{\"record\":";
    appendInt(b, static_cast<std::int64_t>(record));
    b += "}}";
    writer_.maybeFlush();
}

void PerfettoWriter::record(const Record& r) {
    if (!any_) baseTime_ = r.time;
    any_ = true;
    if (isError(r)) {
        const std::string_view name =
            r.status == Status::kOk ? stats_.eventName(r.event) : statusName(r.status);
        begin("i", name, 0, r.timeNs);
        writer_.buffer() += ",\"s\":\"g\"";
        finishEvent(r.number);
        return;
    }
    // Pair ends and starts are drawn as slices, or as instants once known
    // unmatched.
    if (stats_.inPair(r)) return;
    const std::string_view name = stats_.eventName(r.event);
    begin("i", name, track(name), r.timeNs);
    writer_.buffer() += ",\"s\":\"t\"";
    finishEvent(r.number);
}

int PerfettoWriter::laneTrack(std::size_t pair, const PairPoint& start, std::int64_t endNs) {
    std::vector<std::int64_t>& lanes = lanes_[pair];
    std::size_t lane = 0;
    while (lane < lanes.size() && lanes[lane] > start.timeNs) ++lane;
    if (lane == lanes.size()) {
        if (lanes.size() < kLanesMax) {
            lanes.push_back(endNs);
        } else {
            lane = lanes.size() - 1;
        }
    }
    lanes[lane] = std::max(lanes[lane], endNs);
    const std::string& name = stats_.pairs()[pair].start;
    return track(lane == 0 ? name : name + " #" + std::to_string(lane + 1));
}

void PerfettoWriter::matched(std::size_t pair, const PairPoint& start, const PairPoint& end,
                             std::string_view key) {
    const std::string& name = stats_.pairs()[pair].start;
    begin("X", name, laneTrack(pair, start, end.timeNs), start.timeNs);
    std::string& b = writer_.buffer();
    b += ",\"dur\":";
    appendMicroseconds(b, end.timeNs - start.timeNs);
    b += ",\"args\":{\"record\":";
    appendInt(b, static_cast<std::int64_t>(start.record));
    b += ",\"end_record\":";
    appendInt(b, static_cast<std::int64_t>(end.record));
    if (!key.empty()) {
        b += ",\"key\":";
        appendJsonString(b, key);
    }
    b += "}}";
    writer_.maybeFlush();
}

void PerfettoWriter::unmatched(std::size_t pair, const PairPoint& point, bool isStart) {
    const PairRule& rule = stats_.pairs()[pair];
    const std::string& name = isStart ? rule.start : rule.end;
    begin("i", name, track(name), point.timeNs);
    writer_.buffer() += ",\"s\":\"t\"";
    finishEvent(point.record);
}

void PerfettoWriter::state(std::string_view name, const PairPoint& start, std::int64_t endNs) {
    begin("X", name, track("SATA state"), start.timeNs);
    writer_.buffer() += ",\"dur\":";
    appendMicroseconds(writer_.buffer(), endNs - start.timeNs);
    finishEvent(start.record);
}

void PerfettoWriter::end(bool) {
    std::string& b = writer_.buffer();
    b += "\n],\"displayTimeUnit\":\"ns\",\"otherData\":{\"source\":\"qelttrace\",";
    b += "\"time_unit\":\"microseconds since the first record\",\"first_record_time\":";
    if (any_) {
        b += '"';
        appendTime(b, baseTime_);
        b += "\",\"first_record_time_ns\":";
        appendInt(b, stats_.firstNs());
    } else {
        b += "null,\"first_record_time_ns\":null";
    }
    b += "}}\n";
    writer_.flush();
}

}  // namespace qelttrace
