#include "stats.h"

#include <algorithm>
#include <cmath>

#include "export.h"
#include "filter.h"
#include "trace/sata_names.h"

namespace qelttrace {

namespace {

constexpr std::string_view kWakeup = "SATAWakeup";
constexpr std::string_view kStatePrefix = "state=";

int highestBit(std::uint64_t v) {
    int bit = 0;
    while (v >>= 1) ++bit;
    return bit;
}

void appendKey(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

// An integer field, or null when there is nothing to measure.
void appendMaybe(std::string& out, const char* key, bool present, std::int64_t value) {
    appendKey(out, key);
    if (present) {
        appendInt(out, value);
    } else {
        out += "null";
    }
}

void appendLine(std::string& out, const char* label, const std::string& value) {
    out += label;
    out += value;
    out += '\n';
}

std::string count(std::uint64_t n) {
    return std::to_string(n);
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

int LogHistogram::indexOf(std::int64_t value) {
    if (value < kSub) return value < 0 ? 0 : static_cast<int>(value);
    const auto v = static_cast<std::uint64_t>(value);
    const int shift = highestBit(v) - 7;
    const auto mantissa = static_cast<int>(v >> shift);
    return kSub + shift * kSub + (mantissa - kSub);
}

void LogHistogram::bounds(int index, std::int64_t* low, std::int64_t* high) {
    if (index < kSub) {
        *low = *high = index;
        return;
    }
    const int shift = (index - kSub) / kSub;
    const std::int64_t mantissa = kSub + (index - kSub) % kSub;
    *low = mantissa << shift;
    *high = ((mantissa + 1) << shift) - 1;
}

void LogHistogram::add(std::int64_t value) {
    if (count_ == 0 || value < min_) min_ = value;
    if (count_ == 0 || value > max_) max_ = value;
    ++count_;
    sum_ += static_cast<double>(value);
    ++counts_[static_cast<std::size_t>(indexOf(value))];
}

std::int64_t LogHistogram::percentile(double q) const {
    if (count_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
    rank = std::max<std::uint64_t>(1, std::min(rank, count_));
    std::uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
        seen += counts_[static_cast<std::size_t>(i)];
        if (seen < rank) continue;
        std::int64_t low = 0, high = 0;
        bounds(i, &low, &high);
        const std::int64_t middle = low + (high - low) / 2;
        return std::max(min_, std::min(max_, middle));
    }
    return max_;
}

const char* pairKeyName(PairKey key) {
    switch (key) {
        case PairKey::kQualifier:
            return "qualifier";
        case PairKey::kArgument:
            return "argument";
        case PairKey::kNone:
            break;
    }
    return "";
}

std::string parsePair(const std::string& text, PairRule* pair) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = text.find(',', begin);
        parts.push_back(text.substr(begin, comma == std::string::npos ? comma : comma - begin));
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) return "not START,END or START,END,KEY";
    if (parts[0].empty() || parts[1].empty()) return "START and END are event names";
    if (parts[0] == parts[1]) return "START and END are one event";
    pair->start = parts[0];
    pair->end = parts[1];
    pair->key = PairKey::kNone;
    if (parts.size() == 3) {
        if (parts[2] == "qualifier") {
            pair->key = PairKey::kQualifier;
        } else if (parts[2] == "argument") {
            pair->key = PairKey::kArgument;
        } else {
            return "the key is qualifier or argument";
        }
    }
    return {};
}

std::vector<PairRule> defaultPairs() {
    return {
        {"DMA Start", "DMA End", PairKey::kNone},
        {"FPGA_DMARXStart", "FPGA_DMARXStop", PairKey::kNone},
        {"ActivateTransaction", "CompleteTransation", PairKey::kArgument},
    };
}

Statistics::Statistics(std::vector<PairRule> pairs, std::size_t top)
    : pairs_(std::move(pairs)),
      pairStats_(pairs_.size()),
      open_(pairs_.size()),
      keyed_(pairs_.size()),
      top_(top) {}

bool Statistics::inPair(const Record& r) const {
    if (r.status != Status::kOk) return false;
    for (const PairRule& pair : pairs_) {
        if (r.event == pair.start || r.event == pair.end) return true;
    }
    return false;
}

std::string_view Statistics::eventName(std::string_view event) const {
    return events_.count(event) ? event : std::string_view(kOtherEvents);
}

Statistics::EventCount& Statistics::countOf(std::string_view event) {
    auto found = events_.find(event);
    if (found != events_.end()) return found->second;
    if (events_.size() >= kEventsMax) {
        found = events_.find(kOtherEvents);
        if (found != events_.end()) return found->second;
        event = kOtherEvents;
    }
    names_.emplace_back(event);
    EventCount& added = events_[names_.back()];
    added.event = names_.back();
    added.order = events_.size();
    return added;
}

void Statistics::record(const Record& r) {
    if (records_ == 0) firstNs_ = r.timeNs;
    lastNs_ = r.timeNs;
    ++records_;
    if (r.held) ++backwards_;
    if (isError(r)) ++errors_;
    if (r.status == Status::kParseError) ++parseErrors_;
    if (r.status == Status::kInvalidParameter) ++invalidParameters_;
    if (r.status != Status::kOk) return;

    if (decoded_ == 0) firstDecodedNs_ = r.timeNs;
    lastDecodedNs_ = r.timeNs;
    EventCount& event = countOf(r.event);
    if (event.count == 0) event.firstNs = r.timeNs;
    event.lastNs = r.timeNs;
    ++event.count;
    gapRecord(r);
    ++decoded_;
    pairRecord(r);
    stateRecord(r);
}

void Statistics::gapRecord(const Record& r) {
    // Deltas of the decoded records but the first.
    if (decoded_ > 0) {
        deltas_.add(r.deltaNs);
        const bool enters = gaps_.size() < top_ || (top_ > 0 && r.deltaNs > gaps_.top().deltaNs);
        if (enters) {
            gaps_.push(Gap{r.number, r.timeNs, r.deltaNs, std::string(r.event), previousEvent_});
            if (gaps_.size() > top_) gaps_.pop();
        }
    }
    previousEvent_.assign(r.event);
}

void Statistics::pairRecord(const Record& r) {
    const PairPoint point{r.number, r.timeNs};
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const PairRule& pair = pairs_[i];
        const bool start = r.event == pair.start;
        if (!start && r.event != pair.end) continue;
        const std::string_view key = pair.key == PairKey::kQualifier  ? r.qualifier
                                     : pair.key == PairKey::kArgument ? r.argument
                                                                      : std::string_view();
        if (start) {
            pairStart(i, key, point);
        } else {
            pairEnd(i, key, point);
        }
    }
}

PairPoint* Statistics::openStart(std::size_t i, std::string_view key) {
    if (pairs_[i].key == PairKey::kNone) return open_[i].open ? &open_[i].point : nullptr;
    const auto found = keyed_[i].find(std::string(key));
    return found == keyed_[i].end() ? nullptr : &found->second;
}

void Statistics::pairStart(std::size_t i, std::string_view key, const PairPoint& point) {
    PairPoint* open = openStart(i, key);
    if (open) {
        // A second start first counts the open one unmatched.
        ++pairStats_[i].unmatchedStarts;
        if (observer_) observer_->unmatched(i, *open, true);
        *open = point;
    } else if (pairs_[i].key == PairKey::kNone) {
        open_[i] = Open{point, true};
    } else {
        keyed_[i].emplace(std::string(key), point);
    }
}

void Statistics::pairEnd(std::size_t i, std::string_view key, const PairPoint& point) {
    PairStats& stats = pairStats_[i];
    PairPoint* open = openStart(i, key);
    if (!open) {
        ++stats.unmatchedEnds;
        if (observer_) observer_->unmatched(i, point, false);
        return;
    }
    ++stats.count;
    stats.latency.add(point.timeNs - open->timeNs);
    if (observer_) observer_->matched(i, *open, point, key);
    if (pairs_[i].key == PairKey::kNone) {
        open_[i].open = false;
    } else {
        keyed_[i].erase(std::string(key));
    }
}

void Statistics::stateRecord(const Record& r) {
    if (r.event != kWakeup) return;
    const std::size_t at = r.argument.rfind(kStatePrefix);
    if (at == std::string_view::npos) return;
    const std::string_view name = r.argument.substr(at + kStatePrefix.size());
    if (inState_) {
        StateTime& held = states_[state_];
        held.timeNs += r.timeNs - stateSince_.timeNs;
        if (observer_) observer_->state(state_, stateSince_, r.timeNs);
    }
    if (!inState_ || name != state_) {
        auto found = states_.find(std::string(name));
        if (found == states_.end()) {
            stateOrder_.emplace_back(name);
            found = states_.emplace(std::string(name), StateTime{std::string(name), 0, 0}).first;
        }
        ++found->second.entries;
        state_.assign(name);
    }
    stateSince_ = PairPoint{r.number, r.timeNs};
    inState_ = true;
}

void Statistics::end(bool) {
    // The last state lasts until the last record; open starts stay unmatched.
    if (inState_) {
        states_[state_].timeNs += lastNs_ - stateSince_.timeNs;
        if (observer_) observer_->state(state_, stateSince_, lastNs_);
        inState_ = false;
    }
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        if (open_[i].open) {
            ++pairStats_[i].unmatchedStarts;
            if (observer_) observer_->unmatched(i, open_[i].point, true);
            open_[i].open = false;
        }
        // In record order, so that what is drawn does not depend on hashing.
        std::vector<PairPoint> left;
        for (const auto& entry : keyed_[i]) left.push_back(entry.second);
        std::sort(left.begin(), left.end(),
                  [](const PairPoint& a, const PairPoint& b) { return a.record < b.record; });
        pairStats_[i].unmatchedStarts += left.size();
        if (observer_) {
            for (const PairPoint& point : left) observer_->unmatched(i, point, true);
        }
        keyed_[i].clear();
    }
}

std::vector<Statistics::EventCount> Statistics::eventsByCount() const {
    std::vector<EventCount> list;
    for (const auto& entry : events_) list.push_back(entry.second);
    std::sort(list.begin(), list.end(), [](const EventCount& a, const EventCount& b) {
        return a.count != b.count ? a.count > b.count : a.order < b.order;
    });
    return list;
}

std::vector<Statistics::Gap> Statistics::topGaps() const {
    auto heap = gaps_;
    std::vector<Gap> list;
    while (!heap.empty()) {
        list.push_back(heap.top());
        heap.pop();
    }
    std::reverse(list.begin(), list.end());
    return list;
}

std::vector<Statistics::StateTime> Statistics::states() const {
    // The SATA states in the table's order, then any other name in the order seen.
    std::vector<StateTime> list;
    for (int i = 0; i < sataStateLen; ++i) {
        const auto found = states_.find(SATA_STATE[i]);
        if (found != states_.end()) list.push_back(found->second);
    }
    for (const std::string& name : stateOrder_) {
        const bool known = std::find_if(list.begin(), list.end(), [&](const StateTime& s) {
                               return s.state == name;
                           }) != list.end();
        if (!known) list.push_back(states_.at(name));
    }
    return list;
}

void Statistics::writeJson(std::string& out) const {
    out += '{';
    appendKey(out, "records");
    appendInt(out, static_cast<std::int64_t>(records_));
    out += ',';
    appendKey(out, "decoded");
    appendInt(out, static_cast<std::int64_t>(decoded_));
    out += ',';
    appendKey(out, "parse_errors");
    appendInt(out, static_cast<std::int64_t>(parseErrors_));
    out += ',';
    appendKey(out, "invalid_parameters");
    appendInt(out, static_cast<std::int64_t>(invalidParameters_));
    out += ',';
    appendKey(out, "span_ns");
    appendInt(out, spanNs());
    out += ',';
    appendKey(out, "backwards");
    appendInt(out, static_cast<std::int64_t>(backwards_));
    out += ',';
    appendKey(out, "errors");
    appendInt(out, static_cast<std::int64_t>(errors_));
    out += ",\"events\":[";
    bool first = true;
    for (const EventCount& e : eventsByCount()) {
        out += first ? "{" : ",{";
        first = false;
        appendKey(out, "event");
        appendJsonString(out, e.event);
        out += ",\"count\":";
        appendInt(out, static_cast<std::int64_t>(e.count));
        out += ",\"first_ns\":";
        appendInt(out, e.firstNs);
        out += ",\"last_ns\":";
        appendInt(out, e.lastNs);
        out += '}';
    }
    out += "],\"delta\":{";
    const bool any = deltas_.count() > 0;
    appendKey(out, "count");
    appendInt(out, static_cast<std::int64_t>(deltas_.count()));
    out += ',';
    appendMaybe(out, "min_ns", any, deltas_.min());
    out += ',';
    appendMaybe(out, "p50_ns", any, deltas_.percentile(0.50));
    out += ',';
    appendMaybe(out, "p90_ns", any, deltas_.percentile(0.90));
    out += ',';
    appendMaybe(out, "p99_ns", any, deltas_.percentile(0.99));
    out += ',';
    appendMaybe(out, "p999_ns", any, deltas_.percentile(0.999));
    out += ',';
    appendMaybe(out, "max_ns", any, deltas_.max());
    out += ',';
    appendMaybe(out, "mean_ns", any, std::llround(deltas_.mean()));
    out += "},\"top_gaps\":[";
    first = true;
    for (const Gap& g : topGaps()) {
        out += first ? "{" : ",{";
        first = false;
        appendKey(out, "record");
        appendInt(out, static_cast<std::int64_t>(g.record));
        out += ",\"time_ns\":";
        appendInt(out, g.timeNs);
        out += ",\"delta_ns\":";
        appendInt(out, g.deltaNs);
        out += ",\"event\":";
        appendJsonString(out, g.event);
        out += ",\"previous_event\":";
        appendJsonString(out, g.previousEvent);
        out += '}';
    }
    out += "],\"states\":[";
    first = true;
    for (const StateTime& s : states()) {
        out += first ? "{" : ",{";
        first = false;
        appendKey(out, "state");
        appendJsonString(out, s.state);
        out += ",\"entries\":";
        appendInt(out, static_cast<std::int64_t>(s.entries));
        out += ",\"time_ns\":";
        appendInt(out, s.timeNs);
        out += '}';
    }
    out += "],\"pairs\":[";
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const PairStats& p = pairStats_[i];
        const bool measured = p.count > 0;
        out += i == 0 ? "{" : ",{";
        appendKey(out, "start");
        appendJsonString(out, pairs_[i].start);
        out += ",\"end\":";
        appendJsonString(out, pairs_[i].end);
        out += ",\"key\":";
        appendJsonString(out, pairKeyName(pairs_[i].key));
        out += ",\"count\":";
        appendInt(out, static_cast<std::int64_t>(p.count));
        out += ",\"unmatched_starts\":";
        appendInt(out, static_cast<std::int64_t>(p.unmatchedStarts));
        out += ",\"unmatched_ends\":";
        appendInt(out, static_cast<std::int64_t>(p.unmatchedEnds));
        out += ',';
        appendMaybe(out, "min_ns", measured, p.latency.min());
        out += ',';
        appendMaybe(out, "p50_ns", measured, p.latency.percentile(0.50));
        out += ',';
        appendMaybe(out, "p99_ns", measured, p.latency.percentile(0.99));
        out += ',';
        appendMaybe(out, "max_ns", measured, p.latency.max());
        out += '}';
    }
    out += "]}\n";
}

void Statistics::writeText(std::string& out) const {
    appendLine(out, "records             ", count(records_));
    appendLine(out, "decoded             ", count(decoded_));
    appendLine(out, "parse errors        ", count(parseErrors_));
    appendLine(out, "invalid parameters  ", count(invalidParameters_));
    appendLine(out, "backwards           ", count(backwards_));
    appendLine(out, "errors (--errors)   ", count(errors_));
    appendLine(out, "span                ", durationText(spanNs()));

    out +=
        "\ndelta (s)           min          p50          p90          p99        p99.9"
        "          max         mean\n";
    out += "                    ";
    if (deltas_.count() == 0) {
        out += "none\n";
    } else {
        const std::int64_t values[] = {deltas_.min(),
                                       deltas_.percentile(0.50),
                                       deltas_.percentile(0.90),
                                       deltas_.percentile(0.99),
                                       deltas_.percentile(0.999),
                                       deltas_.max(),
                                       std::llround(deltas_.mean())};
        for (const std::int64_t v : values) out += padded(durationText(v), 13);
        out += '\n';
    }

    out += "\nevents                                    count        first (s)         last (s)\n";
    for (const EventCount& e : eventsByCount()) {
        out += "  " + padded(e.event, 34) + padded(count(e.count), 13) +
               padded(durationText(e.firstNs), 17) + durationText(e.lastNs) + "\n";
    }

    out += "\ntop gaps     record            time (s)         delta (s)  event (after)\n";
    for (const Gap& g : topGaps()) {
        out += "  " + padded(count(g.record), 20) + padded(durationText(g.timeNs), 18) +
               padded(durationText(g.deltaNs), 16) + " " + g.event + " (after " + g.previousEvent +
               ")\n";
    }

    out += "\nSATA states          entries         time (s)\n";
    for (const StateTime& s : states()) {
        out += "  " + padded(s.state, 18) + padded(count(s.entries), 10) + durationText(s.timeNs) +
               "\n";
    }

    out +=
        "\npairs                                                   count  unmatched      min (s)"
        "      p50 (s)      p99 (s)      max (s)\n";
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const PairStats& p = pairStats_[i];
        std::string name = pairs_[i].start + " -> " + pairs_[i].end;
        if (pairs_[i].key != PairKey::kNone)
            name += " by " + std::string(pairKeyName(pairs_[i].key));
        out += "  " + padded(name, 52) + padded(count(p.count), 7) +
               padded(count(p.unmatchedStarts) + "/" + count(p.unmatchedEnds), 11);
        if (p.count > 0) {
            out += padded(durationText(p.latency.min()), 13) +
                   padded(durationText(p.latency.percentile(0.50)), 13) +
                   padded(durationText(p.latency.percentile(0.99)), 13) +
                   durationText(p.latency.max());
        }
        out += '\n';
    }
}

}  // namespace qelttrace
