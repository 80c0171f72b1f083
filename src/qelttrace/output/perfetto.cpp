#include "output/perfetto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "output/fields.h"

namespace qelttrace {

namespace {

constexpr int kPid = 1;
// Async events live on the process: their thread is none of the event tracks.
constexpr int kProcessTid = 0;
constexpr const char* kOverlapping = "overlapping";
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

PerfettoWriter::PerfettoWriter(Output& out, std::vector<PairRule> rules, FILE* diagnostics,
                               std::string target, std::uint64_t warnAt)
    : out_(out),
      rules_(std::move(rules)),
      json_(out.buffer()),
      diagnostics_(diagnostics),
      target_(std::move(target)),
      warnAt_(warnAt),
      asyncs_(rules_.size() + 1),
      open_(rules_.size()),
      depthShown_(rules_.size(), SIZE_MAX) {
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
    for (const PairRule& rule : rules_) {
        // Its one argument is the series: the viewer names the track "START depth".
        std::string prefix = ",\n{\"ph\":\"C\",\"name\":";
        appendJsonString(prefix, rule.start);
        prefix += ",\"pid\":" + std::to_string(kPid) + ",\"tid\":" + std::to_string(kProcessTid) +
                  ",\"ts\":";
        counters_.push_back(std::move(prefix));
    }
}

PerfettoWriter::Track& PerfettoWriter::track(std::string_view name) {
    const auto found = tracks_.find(name);
    if (found != tracks_.end()) return found->second;
    const int tid = nextTid_++;
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
    Track t;
    t.tid = tid;
    t.instant = ",\n{\"ph\":\"i\",\"name\":";
    appendJsonString(t.instant, name);
    t.instant +=
        ",\"pid\":" + std::to_string(kPid) + ",\"tid\":" + std::to_string(tid) + ",\"ts\":";
    names_.emplace_back(name);
    return tracks_.emplace(names_.back(), std::move(t)).first->second;
}

const std::string& PerfettoWriter::completePrefix(std::string_view name, int tid) {
    const auto found = completes_.find(name);
    if (found != completes_.end()) return found->second;
    std::string prefix = ",\n{\"ph\":\"X\",\"name\":";
    appendJsonString(prefix, name);
    prefix += ",\"pid\":" + std::to_string(kPid) + ",\"tid\":" + std::to_string(tid) + ",\"ts\":";
    names_.emplace_back(name);
    return completes_.emplace(names_.back(), std::move(prefix)).first->second;
}

const PerfettoWriter::Async& PerfettoWriter::asyncOf(std::size_t rule, std::string_view kind) {
    auto& kinds = asyncs_[rule];
    number_.assign(kind);
    const auto found = kinds.find(number_);
    if (found != kinds.end()) return found->second;
    Async a;
    if (rule < rules_.size()) {
        a.name = rules_[rule].start;
        if (!kind.empty()) a.name.append(" ").append(kind);
        a.cat = ruleName(rules_[rule]);
    } else {
        a.name = kind;
        a.cat = kOverlapping;
    }
    for (std::string* prefix : {&a.begin, &a.end}) {
        *prefix = prefix == &a.begin ? ",\n{\"ph\":\"b\",\"name\":" : ",\n{\"ph\":\"e\",\"name\":";
        appendJsonString(*prefix, a.name);
        *prefix += ",\"cat\":";
        appendJsonString(*prefix, a.cat);
        *prefix += ",\"pid\":" + std::to_string(kPid) + ",\"tid\":" + std::to_string(kProcessTid) +
                   ",\"id\":\"0x";
    }
    return kinds.emplace(number_, std::move(a)).first->second;
}

void PerfettoWriter::stamp(std::int64_t sinceFirstNs) {
    appendMicroseconds(out_.buffer(), sinceFirstNs);
}

void PerfettoWriter::id(std::size_t rule, std::uint64_t transaction) {
    // One id a transaction across the trace: the rule in the high bits.
    char text[24];
    const int n =
        std::snprintf(text, sizeof text, "%llx\",\"ts\":",
                      static_cast<unsigned long long>((std::uint64_t{rule} << 40) | transaction));
    out_.buffer().append(text, static_cast<std::size_t>(std::min<int>(n, sizeof text - 1)));
}

void PerfettoWriter::done() {
    if (!warned_ && out_.written() > warnAt_) {
        warned_ = true;
        if (diagnostics_) {
            const std::uint64_t gib = warnAt_ >> 30;
            const std::string size = gib > 0 && warnAt_ == gib << 30
                                         ? std::to_string(gib) + " GiB"
                                         : std::to_string(warnAt_) + " bytes";
            std::fprintf(diagnostics_,
                         "qelttrace: --perfetto %s: the trace passes %s, and its viewer holds all "
                         "of it in a browser's memory; --from and --to cut it to a window\n",
                         target_.c_str(), size.c_str());
        }
    }
    out_.maybeFlush();
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

void PerfettoWriter::startAsync(const TransactionPoint& p, const Record& r,
                                std::int64_t sinceFirstNs) {
    const Async& a = asyncOf(p.rule, p.kind);
    open_[p.rule][p.id] = &a;
    std::string& out = out_.buffer();
    out += a.begin;
    id(p.rule, p.id);
    stamp(sinceFirstNs);
    out += ",\"args\":{";
    JsonWriter args(out);
    writeJsonFields(args, r, true);
    args.member("key", p.key);
    args.member("kind", p.kind);
    out += "}}";
    done();
}

void PerfettoWriter::counter(const TransactionPoint& p, std::int64_t sinceFirstNs) {
    if (depthShown_[p.rule] == p.depth) return;
    depthShown_[p.rule] = p.depth;
    std::string& out = out_.buffer();
    out += counters_[p.rule];
    stamp(sinceFirstNs);
    out += ",\"args\":{\"depth\":";
    appendInt(out, static_cast<std::int64_t>(p.depth));
    out += "}}";
    done();
}

void PerfettoWriter::markErrors(const Record& r, const Observation& o) {
    const std::string_view name = r.status == Status::kOk ? o.counted : statusName(r.status);
    for (std::size_t rule = 0; rule < open_.size(); ++rule) {
        for (const auto& [transaction, a] : open_[rule]) {
            begin("n", name, kProcessTid, o.sinceFirstNs);
            json_.member("cat", a->cat);
            char text[24];
            std::snprintf(
                text, sizeof text, "0x%llx",
                static_cast<unsigned long long>((std::uint64_t{rule} << 40) | transaction));
            json_.member("id", text);
            json_.key("args");
            json_.beginObject();
            writeJsonFields(json_, r, true);
            json_.endObject();
            json_.endObject();
            done();
        }
    }
}

void PerfettoWriter::record(const Record& r, const Observation& o) {
    if (!any_) {
        firstTime_ = r.time;
        firstNs_ = r.timeNs;
        any_ = true;
    }
    // Drawn by its transactions unless it is an error or an end with no start.
    bool drawn = o.paired();
    for (const TransactionPoint& p : o.points) {
        if (p.id == 0) drawn = false;
        if (rules_[p.rule].key == PairKey::kNone) continue;
        if (p.start) startAsync(p, r, o.sinceFirstNs);
        counter(p, o.sinceFirstNs);
    }
    if (r.trouble) markErrors(r, o);
    for (const TransactionPoint& p : o.points) {
        if (!p.start && p.id != 0 && p.rule < open_.size()) open_[p.rule].erase(p.id);
    }
    if (!r.trouble && drawn) return;
    const std::string_view name = r.status == Status::kOk ? o.counted : statusName(r.status);
    if (r.trouble) {
        begin("i", name, 0, o.sinceFirstNs);
        json_.member("s", "g");
        json_.key("args");
        json_.beginObject();
        writeJsonFields(json_, r, true);
        json_.endObject();
        json_.endObject();
        done();
        return;
    }
    std::string& out = out_.buffer();
    out += track(name).instant;
    stamp(o.sinceFirstNs);
    out += ",\"args\":{";
    JsonWriter fields(out);
    writeJsonFields(fields, r, true);
    out += "}}";
    done();
}

void PerfettoWriter::complete(std::string_view name, int tid, std::int64_t startSinceFirstNs,
                              std::int64_t startNs, std::int64_t endNs) {
    const std::int64_t duration = std::max<std::int64_t>(0, endNs - startNs);
    const std::int64_t endSinceFirst = startSinceFirstNs + duration;
    std::string& out = out_.buffer();
    auto last = completeEnd_.find(tid);
    if (last != completeEnd_.end() && startSinceFirstNs < last->second) {
        // It would overlap the last complete slice of the thread.
        const Async& a = asyncOf(rules_.size(), name);
        const std::uint64_t transaction = ++overlapping_;
        out += a.end;
        id(rules_.size(), transaction);
        stamp(endSinceFirst);
        out += '}';
        out += a.begin;
        id(rules_.size(), transaction);
        stamp(startSinceFirstNs);
    } else {
        completeEnd_[tid] = endSinceFirst;
        out += completePrefix(name, tid);
        stamp(startSinceFirstNs);
        out += ",\"dur\":";
        stamp(duration);
    }
    out += ",\"args\":{";
    // A duration the slice cannot show: times that ran backwards.
    if (endNs < startNs) {
        out += "\"duration_ns\":";
        appendInt(out, endNs - startNs);
        out += ',';
    }
}

void PerfettoWriter::endArguments(const Transaction& t) {
    // Beside the start's: the slice holds both.
    std::string& out = out_.buffer();
    out += ",\"end_record\":";
    appendInt(out, static_cast<std::int64_t>(t.end.record));
    out += ",\"records\":";
    appendInt(out, static_cast<std::int64_t>(t.records));
    out += ",\"errors\":";
    appendInt(out, static_cast<std::int64_t>(t.errors));
}

void PerfettoWriter::endAsync(const Transaction& t) {
    const auto found = open_[t.rule].find(t.id);
    if (found == open_[t.rule].end()) return;
    // Where time ran backwards, the slice ends where it began.
    const std::int64_t ended = t.start.sinceFirstNs + std::max<std::int64_t>(0, t.durationNs());
    std::string& out = out_.buffer();
    out += found->second->end;
    id(t.rule, t.id);
    stamp(ended);
    out += ",\"args\":{\"duration_ns\":";
    appendInt(out, t.durationNs());
    endArguments(t);
    out += "}}";
    done();
}

void PerfettoWriter::transaction(const Transaction& t) {
    const PairRule& rule = rules_[t.rule];
    const bool keyed = rule.key != PairKey::kNone;
    if (!t.hasStart) return;  // an end with no start: drawn as its record's instant
    std::string& out = out_.buffer();
    const TraceWords start{t.start.record, rule.start, t.startQualifier, t.startArgument,
                           Status::kOk};
    if (!t.hasEnd) {
        if (keyed) {
            // Its async slice stays open: the viewer shows that it never ended.
            open_[t.rule].erase(t.id);
            return;
        }
        out += track(rule.start).instant;
        stamp(t.start.sinceFirstNs);
        out += ",\"args\":{";
        JsonWriter args(out);
        writeTraceFields(args, start);
        out += "}}";
        done();
        return;
    }
    if (keyed) {
        endAsync(t);
        return;
    }
    complete(rule.start, track(rule.start).tid, t.start.sinceFirstNs, t.start.timeNs, t.end.timeNs);
    JsonWriter args(out);
    writeTraceFields(args, start);
    endArguments(t);
    out += "}}";
    done();
}

void PerfettoWriter::state(const StateSpan& s) {
    if (stateTid_ == 0) stateTid_ = track("SATA state").tid;
    complete(s.state, stateTid_, s.start.sinceFirstNs, s.start.timeNs, s.endNs);
    JsonWriter args(out_.buffer());
    writeTraceFields(
        args, TraceWords{s.start.record, "SATAWakeup", s.qualifier, s.argument, Status::kOk});
    out_.buffer() += "}}";
    done();
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
