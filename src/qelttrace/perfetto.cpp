#include "perfetto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fields.h"

namespace qelttrace {

namespace {

constexpr std::size_t kLanesMax = 64;
constexpr int kPid = 1;
// Below this many nanoseconds a double holds every one exactly.
constexpr std::int64_t kExactDouble = std::int64_t{1} << 53;

}  // namespace

void appendMicroseconds(std::string& out, std::int64_t ns) {
    const bool negative = ns < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(ns)
                                             : static_cast<std::uint64_t>(ns);
    char text[40];
    char* p = text;
    if (negative) *p++ = '-';
    std::uint64_t whole = magnitude / 1000;
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    while (n > 0) *p++ = digits[--n];
    const auto fraction = static_cast<unsigned>(magnitude % 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + fraction / 100);
    *p++ = static_cast<char>('0' + fraction / 10 % 10);
    *p++ = static_cast<char>('0' + fraction % 10);
    // The nearest double to the decimal may lie just below it; half a
    // nanosecond more keeps the truncated product on the nanosecond. Within
    // 2^53 that double is ns / 1000 correctly rounded, as a reader's is.
    double read = 0;
    if (ns > -kExactDouble && ns < kExactDouble) {
        read = static_cast<double>(ns) / 1000.0;
    } else {
        *p = '\0';
        read = std::strtod(text, nullptr);
    }
    if (static_cast<std::int64_t>(read * 1000.0) != ns) *p++ = '5';
    out.append(text, static_cast<std::size_t>(p - text));
}

PerfettoWriter::PerfettoWriter(Output& out, std::vector<PairRule> rules)
    : out_(out), rules_(std::move(rules)), json_(out.buffer()), lanes_(rules_.size()) {
    json_.beginObject();
    json_.key("traceEvents");
    json_.beginArray();
    json_.breakLine();
    json_.beginObject();
    json_.member("ph", "M");
    json_.member("name", "process_name");
    json_.memberInteger("pid", kPid);
    json_.memberInteger("tid", 0);
    json_.key("args");
    json_.beginObject();
    json_.member("name", "SATA trace");
    json_.endObject();
    json_.endObject();
}

int PerfettoWriter::track(std::string_view name) {
    const auto found = tracks_.find(std::string(name));
    if (found != tracks_.end()) return found->second;
    const int tid = nextTid_++;
    tracks_.emplace(std::string(name), tid);
    for (const char* meta : {"thread_name", "thread_sort_index"}) {
        json_.breakLine();
        json_.beginObject();
        json_.member("ph", "M");
        json_.member("name", meta);
        json_.memberInteger("pid", kPid);
        json_.memberInteger("tid", tid);
        json_.key("args");
        json_.beginObject();
        if (meta[7] == 'n') {
            json_.member("name", name);
        } else {
            json_.memberInteger("sort_index", tid);
        }
        json_.endObject();
        json_.endObject();
    }
    return tid;
}

void PerfettoWriter::time(std::string_view key, std::int64_t ns) {
    number_.clear();
    appendMicroseconds(number_, ns);
    json_.key(key);
    json_.number(number_);
}

void PerfettoWriter::begin(const char* phase, std::string_view name, int tid,
                           std::int64_t sinceFirstNs) {
    // One event a line, so that the file reads and diffs well.
    json_.breakLine();
    json_.beginObject();
    json_.member("ph", phase);
    json_.member("name", name);
    json_.memberInteger("pid", kPid);
    json_.memberInteger("tid", tid);
    time("ts", sinceFirstNs);
}

void PerfettoWriter::finish() {
    json_.endObject();
    out_.maybeFlush();
}

void PerfettoWriter::record(const Record& r, const Observation& o) {
    if (!any_) {
        firstTime_ = r.time;
        firstNs_ = r.timeNs;
        any_ = true;
    }
    const bool error = r.trouble;
    // Pair starts and ends are drawn with their transactions.
    if (!error && o.paired()) return;
    const std::string_view name = r.status == Status::kOk ? o.counted : statusName(r.status);
    begin("i", name, error ? 0 : track(name), o.sinceFirstNs);
    json_.member("s", error ? "g" : "t");
    json_.key("args");
    json_.beginObject();
    writeJsonFields(json_, r, true);
    json_.endObject();
    finish();
}

int PerfettoWriter::laneTrack(std::size_t rule, const PairPoint& start, std::int64_t endNs) {
    std::vector<std::int64_t>& lanes = lanes_[rule];
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
    const std::string& name = rules_[rule].start;
    return track(lane == 0 ? name : name + " #" + std::to_string(lane + 1));
}

void PerfettoWriter::transaction(const Transaction& t) {
    const PairRule& rule = rules_[t.rule];
    if (!t.hasStart || !t.hasEnd) {
        // Left unmatched: an instant on its event's track.
        const std::string& name = t.hasStart ? rule.start : rule.end;
        const PairPoint& at = t.hasStart ? t.start : t.end;
        begin("i", name, track(name), at.sinceFirstNs);
        json_.member("s", "t");
        json_.key("args");
        json_.beginObject();
        json_.memberUnsigned("record", at.record);
        json_.endObject();
        finish();
        return;
    }
    begin("X", rule.start, laneTrack(t.rule, t.start, t.end.timeNs), t.start.sinceFirstNs);
    time("dur", t.end.timeNs - t.start.timeNs);
    json_.key("args");
    json_.beginObject();
    json_.memberUnsigned("record", t.start.record);
    json_.memberUnsigned("end_record", t.end.record);
    if (!t.key.empty()) json_.member("key", t.key);
    json_.endObject();
    finish();
}

void PerfettoWriter::state(const StateSpan& s) {
    begin("X", s.state, track("SATA state"), s.start.sinceFirstNs);
    time("dur", s.endNs - s.start.timeNs);
    json_.key("args");
    json_.beginObject();
    json_.memberUnsigned("record", s.start.record);
    json_.endObject();
    finish();
}

void PerfettoWriter::end(const Ending&) {
    out_.buffer() += '\n';
    json_.endArray();
    json_.member("displayTimeUnit", "ns");
    json_.key("otherData");
    json_.beginObject();
    json_.member("source", "qelttrace");
    json_.member("time_unit", "microseconds since the first record");
    if (any_) {
        json_.member("first_record_time", timeText(firstTime_));
        json_.memberInteger("first_record_time_ns", firstNs_);
    } else {
        json_.key("first_record_time");
        json_.null();
        json_.key("first_record_time_ns");
        json_.null();
    }
    json_.endObject();
    json_.endObject();
    out_.buffer() += '\n';
    out_.flush();
}

}  // namespace qelttrace
