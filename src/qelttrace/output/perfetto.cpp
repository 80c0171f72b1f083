#include "output/perfetto.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "output/record_fields.h"
#include "output/transaction_fields.h"

namespace qelttrace {

namespace {

constexpr int kPid = 1;
// Async events live on the process: their thread is none of the event tracks.
constexpr int kProcessTid = 0;
constexpr const char* kOverlapping = "overlapping";
constexpr const char* kStateTrack = "SATA state";
// A slice's duration as an argument: at an async slice's end, and where a complete
// slice's times ran backwards.
constexpr const TransactionField& kDuration = transactionField("duration_ns");
// Below this many nanoseconds a double holds every one exactly.
constexpr std::int64_t kExactDouble = std::int64_t{1} << 53;
// Beside a transaction's errors, where there are any.
constexpr JsonKey kFirstErrorRecord("first_error_record");

// An event's first members: its phase, name, category (async events only),
// process and thread, and the name of the member that follows them, its
// time or (async events) its id. One event a line, so that the file reads
// and diffs well.
void writeHead(JsonWriter& json, const char* phase, std::string_view name, std::string_view cat,
               int tid, const char* next) {
    json.breakLine();
    json.beginObject();
    json.member("ph", phase);
    json.member("name", name);
    if (!cat.empty()) json.member("cat", cat);
    json.memberInteger("pid", kPid);
    json.memberInteger("tid", tid);
    json.key(next);
}

JsonFragment head(const char* phase, std::string_view name, std::string_view cat, int tid,
                  const char* next) {
    return JsonFragment([&](JsonWriter& json) { writeHead(json, phase, name, cat, tid, next); });
}

}  // namespace

std::size_t formatMicroseconds(char* out, std::int64_t ns) {
    const bool negative = ns < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(ns)
                                             : static_cast<std::uint64_t>(ns);
    char* p = out;
    if (negative) *p++ = '-';
    p = std::to_chars(p, out + kMicrosecondsMax, magnitude / 1000).ptr;
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
        read = std::strtod(out, nullptr);
    }
    if (static_cast<std::int64_t>(read * 1000.0) != ns) *p++ = '5';
    return static_cast<std::size_t>(p - out);
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
    writeHead(json_, "M", "process_name", {}, 0, "args");
    json_.beginObject();
    json_.member("name", "SATA trace");
    json_.endObject();
    json_.endObject();
    // A counter's one argument is the series: the viewer names the track "START depth".
    for (const PairRule& rule : rules_) {
        counters_.push_back(head("C", rule.start, {}, kProcessTid, "ts"));
    }
}

PerfettoWriter::Track& PerfettoWriter::track(std::string_view name) {
    const auto found = tracks_.find(name);
    if (found != tracks_.end()) return found->second;
    const int tid = nextTid_++;
    writeHead(json_, "M", "thread_name", {}, tid, "args");
    json_.beginObject();
    json_.member("name", name);
    json_.endObject();
    json_.endObject();
    writeHead(json_, "M", "thread_sort_index", {}, tid, "args");
    json_.beginObject();
    json_.memberInteger("sort_index", tid);
    json_.endObject();
    json_.endObject();
    Track t;
    t.tid = tid;
    t.instant = head("i", name, {}, tid, "ts");
    t.complete = head("X", name, {}, tid, "ts");
    names_.emplace_back(name);
    return tracks_.emplace(names_.back(), std::move(t)).first->second;
}

const JsonFragment& PerfettoWriter::stateHead(std::string_view state) {
    const auto found = stateHeads_.find(state);
    if (found != stateHeads_.end()) return found->second;
    names_.emplace_back(state);
    return stateHeads_.emplace(names_.back(), head("X", state, {}, stateTid_, "ts")).first->second;
}

const PerfettoWriter::Async& PerfettoWriter::asyncOf(std::size_t rule, std::string_view kind) {
    auto& kinds = asyncs_[rule];
    kindLookup_.assign(kind);
    const auto found = kinds.find(kindLookup_);
    if (found != kinds.end()) return found->second;
    Async a;
    std::string name;
    if (rule < rules_.size()) {
        name = rules_[rule].start;
        if (!kind.empty()) name.append(" ").append(kind);
        a.cat = ruleName(rules_[rule]);
    } else {
        name = kind;
        a.cat = kOverlapping;
    }
    a.begin = head("b", name, a.cat, kProcessTid, "id");
    a.end = head("e", name, a.cat, kProcessTid, "id");
    return kinds.emplace(kindLookup_, std::move(a)).first->second;
}

void PerfettoWriter::time(std::int64_t sinceFirstNs) {
    char text[kMicrosecondsMax];
    json_.number(std::string_view(text, formatMicroseconds(text, sinceFirstNs)));
}

void PerfettoWriter::asyncHead(const JsonFragment& head, std::size_t rule,
                               std::uint64_t transaction, std::int64_t sinceFirstNs) {
    json_.fragment(head);
    // One id a transaction across the trace: the rule in the high bits.
    char text[24] = {'0', 'x'};
    const auto end =
        std::to_chars(text + 2, text + sizeof text, (std::uint64_t{rule} << 40) | transaction, 16)
            .ptr;
    json_.plainString(std::string_view(text, static_cast<std::size_t>(end - text)));
    json_.key("ts");
    time(sinceFirstNs);
}

void PerfettoWriter::written() {
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

void PerfettoWriter::beginArguments() {
    json_.key("args");
    json_.beginObject();
}

void PerfettoWriter::endEvent() {
    json_.endObject();
    json_.endObject();
    written();
}

void PerfettoWriter::recordArguments(const Record& r) {
    beginArguments();
    writeJsonFields(json_, r, true);
    endEvent();
}

void PerfettoWriter::startAsync(const TransactionPoint& p, const Record& r,
                                std::int64_t sinceFirstNs) {
    const Async& a = asyncOf(p.rule, p.kind);
    open_[p.rule][p.id].async = &a;
    asyncHead(a.begin, p.rule, p.id, sinceFirstNs);
    beginArguments();
    writeJsonFields(json_, r, true);
    TransactionView started;
    started.key = p.key;
    started.kind = p.kind;
    writeTransactionMembers(json_, started, kInSliceStart);
    endEvent();
}

void PerfettoWriter::counter(const TransactionPoint& p, std::int64_t sinceFirstNs) {
    if (depthShown_[p.rule] == p.depth) return;
    depthShown_[p.rule] = p.depth;
    json_.fragment(counters_[p.rule]);
    time(sinceFirstNs);
    beginArguments();
    json_.memberUnsigned("depth", p.depth);
    endEvent();
}

void PerfettoWriter::opened(std::size_t rule, std::uint64_t id) {
    // Its first error is the next one this trace sees: this record, if it is one.
    const std::uint64_t ordinal = errorsSeen_ + 1;
    open_[rule][id].firstError = ordinal;
    ++firstErrors_[ordinal].waiting;
}

PerfettoWriter::Closed PerfettoWriter::close(const Transaction& t) {
    Closed closed;
    auto& open = open_[t.rule];
    const auto found = open.find(t.id);
    if (found == open.end()) return closed;
    closed.seen = true;
    closed.async = found->second.async;
    const std::uint64_t ordinal = found->second.firstError;
    open.erase(found);
    closed.errorsSeen = errorsSeen_ + 1 - ordinal;
    const auto first = firstErrors_.find(ordinal);
    if (first == firstErrors_.end()) return closed;
    closed.firstErrorRecord = first->second.record;
    if (--first->second.waiting == 0) firstErrors_.erase(first);
    return closed;
}

std::uint64_t PerfettoWriter::firstError(const Transaction& t, const Closed& closed) {
    if (!closed.seen || t.errors == 0) return 0;
    // Its end's record follows it: the end may be the first.
    if (closed.errorsSeen + (t.end.trouble ? 1 : 0) != t.errors) {
        return 0;  // some of them were not selected: which came first is not known here
    }
    return closed.firstErrorRecord != 0 ? closed.firstErrorRecord : t.end.record;
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
        if (p.start) opened(p.rule, p.id);
        if (rules_[p.rule].key == PairWord::kNone) continue;
        if (p.start) startAsync(p, r, o.sinceFirstNs);
        counter(p, o.sinceFirstNs);
    }
    if (r.trouble) {
        const auto waited = firstErrors_.find(++errorsSeen_);
        if (waited != firstErrors_.end()) waited->second.record = r.number;
    }
    if (!r.trouble && drawn) return;
    // An error once, on its event's track (a record that did not decode: its
    // status's); the transactions it falls in count it.
    json_.fragment(track(r.status == Status::kOk ? o.counted : statusName(r.status)).instant);
    time(o.sinceFirstNs);
    recordArguments(r);
}

void PerfettoWriter::complete(std::string_view name, const JsonFragment& head, int tid,
                              std::int64_t startSinceFirstNs, std::int64_t startNs,
                              std::int64_t endNs) {
    const std::int64_t duration = std::max<std::int64_t>(0, endNs - startNs);
    const std::int64_t endSinceFirst = startSinceFirstNs + duration;
    auto last = completeEnd_.find(tid);
    if (last != completeEnd_.end() && startSinceFirstNs < last->second) {
        // It would overlap the last complete slice of the thread.
        const Async& a = asyncOf(rules_.size(), name);
        const std::uint64_t transaction = ++overlapping_;
        asyncHead(a.end, rules_.size(), transaction, endSinceFirst);
        json_.endObject();
        asyncHead(a.begin, rules_.size(), transaction, startSinceFirstNs);
    } else {
        completeEnd_[tid] = endSinceFirst;
        json_.fragment(head);
        time(startSinceFirstNs);
        json_.key("dur");
        time(duration);
    }
    beginArguments();
    // A duration the slice cannot show: times that ran backwards.
    if (endNs < startNs) json_.memberInteger(kDuration.name, endNs - startNs);
}

void PerfettoWriter::endArguments(const Transaction& t, std::uint64_t firstErrorRecord) {
    // Beside the start's: the slice holds both.
    writeTransactionMembers(json_, TransactionView(t, {}), kInSliceEnd);
    if (firstErrorRecord == 0) return;
    json_.key(kFirstErrorRecord);
    json_.unsignedInteger(firstErrorRecord);
}

void PerfettoWriter::endAsync(const Transaction& t, const Async& a,
                              std::uint64_t firstErrorRecord) {
    // Where time ran backwards, the slice ends where it began.
    const std::int64_t ended = t.start.sinceFirstNs + std::max<std::int64_t>(0, t.durationNs());
    asyncHead(a.end, t.rule, t.id, ended);
    beginArguments();
    json_.memberInteger(kDuration.name, t.durationNs());
    endArguments(t, firstErrorRecord);
    endEvent();
}

void PerfettoWriter::transaction(const Transaction& t) {
    const PairRule& rule = rules_[t.rule];
    const bool keyed = rule.key != PairWord::kNone;
    if (!t.hasStart) return;  // an end with no start: drawn as its record's instant
    const Closed closed = close(t);
    if (!t.hasEnd) {
        // Its async slice stays open: the viewer shows that it never ended.
        if (keyed) return;
        json_.fragment(track(rule.start).instant);
        time(t.start.sinceFirstNs);
        recordArguments(*t.startRecord);
        return;
    }
    if (keyed) {
        // Not drawn where this trace did not see it start.
        if (closed.async) endAsync(t, *closed.async, firstError(t, closed));
        return;
    }
    const Track& on = track(rule.start);
    complete(rule.start, on.complete, on.tid, t.start.sinceFirstNs, t.start.timeNs, t.end.timeNs);
    writeJsonFields(json_, *t.startRecord, true);
    endArguments(t, firstError(t, closed));
    endEvent();
}

void PerfettoWriter::state(const StateSpan& s) {
    if (stateTid_ == 0) stateTid_ = track(kStateTrack).tid;
    complete(s.state, stateHead(s.state), stateTid_, s.start.sinceFirstNs, s.start.timeNs, s.endNs);
    writeJsonFields(json_, *s.entered, true);
    endEvent();
}

void PerfettoWriter::end(const Ending&) {
    json_.endLine();
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
    json_.endLine();
    out_.flush();
}

}  // namespace qelttrace
