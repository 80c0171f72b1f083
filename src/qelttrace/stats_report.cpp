#include "stats_report.h"

#include <cmath>

#include "json.h"

namespace qelttrace {

namespace {

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

void writeCounts(JsonWriter& j, const Statistics& s) {
    j.memberUnsigned("records", s.records());
    j.memberUnsigned("decoded", s.decoded());
    j.memberUnsigned("parse_errors", s.withStatus(Status::kParseError));
    j.memberUnsigned("invalid_parameters", s.withStatus(Status::kInvalidParameter));
    j.key("statuses");
    j.beginObject();
    for (std::size_t i = 0; i < kStatusCount; ++i) {
        const auto status = static_cast<Status>(i);
        j.memberUnsigned(statusName(status), s.withStatus(status));
    }
    j.endObject();
    j.memberInteger("span_ns", s.spanNs());
    j.memberUnsigned("backwards", s.backwards());
    j.memberUnsigned("errors", s.errors());
}

void writeDelta(JsonWriter& j, const LogHistogram& d) {
    const bool any = d.count() > 0;
    j.key("delta");
    j.beginObject();
    j.memberUnsigned("count", d.count());
    j.memberMaybe("min_ns", any, d.min());
    j.memberMaybe("p50_ns", any, d.percentile(0.50));
    j.memberMaybe("p90_ns", any, d.percentile(0.90));
    j.memberMaybe("p99_ns", any, d.percentile(0.99));
    j.memberMaybe("p999_ns", any, d.percentile(0.999));
    j.memberMaybe("max_ns", any, d.max());
    j.memberMaybe("mean_ns", any, std::llround(d.mean()));
    j.endObject();
}

void writeLists(JsonWriter& j, const Statistics& s) {
    j.key("events");
    j.beginArray();
    for (const Statistics::EventCount& e : s.eventsByCount()) {
        j.beginObject();
        j.member("event", e.event);
        j.memberUnsigned("count", e.count);
        j.memberInteger("first_ns", e.firstNs);
        j.memberInteger("last_ns", e.lastNs);
        j.endObject();
    }
    j.endArray();
    writeDelta(j, s.deltas());
    j.key("top_gaps");
    j.beginArray();
    for (const Statistics::Gap& g : s.topGaps()) {
        j.beginObject();
        j.memberUnsigned("record", g.record);
        j.memberInteger("time_ns", g.timeNs);
        j.memberInteger("delta_ns", g.deltaNs);
        j.member("event", g.event);
        j.member("previous_event", g.previousEvent);
        j.endObject();
    }
    j.endArray();
    j.key("states");
    j.beginArray();
    for (const Statistics::StateTime& t : s.states()) {
        j.beginObject();
        j.member("state", t.state);
        j.memberUnsigned("entries", t.entries);
        j.memberInteger("time_ns", t.timeNs);
        j.endObject();
    }
    j.endArray();
}

void writePairs(JsonWriter& j, const Statistics& s) {
    j.key("pairs");
    j.beginArray();
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        const PairRule& rule = s.pairs()[i];
        const PairMatcher::RuleStats& p = s.pairStats()[i];
        const bool measured = p.count > 0;
        j.beginObject();
        j.member("start", rule.start);
        j.member("end", rule.end);
        j.member("key", pairKeyName(rule.key));
        j.memberUnsigned("count", p.count);
        j.memberUnsigned("unmatched_starts", p.unmatchedStarts);
        j.memberUnsigned("unmatched_ends", p.unmatchedEnds);
        j.memberMaybe("min_ns", measured, p.latency.min());
        j.memberMaybe("p50_ns", measured, p.latency.percentile(0.50));
        j.memberMaybe("p99_ns", measured, p.latency.percentile(0.99));
        j.memberMaybe("max_ns", measured, p.latency.max());
        j.endObject();
    }
    j.endArray();
}

}  // namespace

void writeStatsJson(const Statistics& s, std::string& out) {
    JsonWriter j(out);
    j.beginObject();
    writeCounts(j, s);
    writeLists(j, s);
    writePairs(j, s);
    j.endObject();
    out += '\n';
}

void writeStatsText(const Statistics& s, std::string& out) {
    appendLine(out, "records             ", count(s.records()));
    appendLine(out, "decoded             ", count(s.decoded()));
    appendLine(out, "parse errors        ", count(s.withStatus(Status::kParseError)));
    appendLine(out, "invalid parameters  ", count(s.withStatus(Status::kInvalidParameter)));
    appendLine(out, "no time             ", count(s.withStatus(Status::kNoTime)));
    appendLine(out, "no text             ", count(s.withStatus(Status::kNoText)));
    appendLine(out, "unknown tags        ", count(s.withStatus(Status::kUnknownTag)));
    appendLine(out, "backwards           ", count(s.backwards()));
    appendLine(out, "errors (--errors)   ", count(s.errors()));
    appendLine(out, "span                ", durationText(s.spanNs()));

    out +=
        "\ndelta (s)           min          p50          p90          p99        p99.9"
        "          max         mean\n";
    out += "                    ";
    if (s.deltas().count() == 0) {
        out += "none\n";
    } else {
        const std::int64_t values[] = {s.deltas().min(),
                                       s.deltas().percentile(0.50),
                                       s.deltas().percentile(0.90),
                                       s.deltas().percentile(0.99),
                                       s.deltas().percentile(0.999),
                                       s.deltas().max(),
                                       std::llround(s.deltas().mean())};
        for (const std::int64_t v : values) out += padded(durationText(v), 13);
        out += '\n';
    }

    out += "\nevents                                    count        first (s)         last (s)\n";
    for (const Statistics::EventCount& e : s.eventsByCount()) {
        out += "  " + padded(e.event, 34) + padded(count(e.count), 13) +
               padded(durationText(e.firstNs), 17) + durationText(e.lastNs) + "\n";
    }

    out += "\ntop gaps     record            time (s)         delta (s)  event (after)\n";
    for (const Statistics::Gap& g : s.topGaps()) {
        out += "  " + padded(count(g.record), 20) + padded(durationText(g.timeNs), 18) +
               padded(durationText(g.deltaNs), 16) + " " + g.event + " (after " + g.previousEvent +
               ")\n";
    }

    out += "\nSATA states          entries         time (s)\n";
    for (const Statistics::StateTime& t : s.states()) {
        out += "  " + padded(t.state, 18) + padded(count(t.entries), 10) + durationText(t.timeNs) +
               "\n";
    }

    out +=
        "\npairs                                                   count  unmatched      min (s)"
        "      p50 (s)      p99 (s)      max (s)\n";
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        const PairMatcher::RuleStats& p = s.pairStats()[i];
        const PairRule& rule = s.pairs()[i];
        std::string name = rule.start + " -> " + rule.end;
        if (rule.key != PairKey::kNone) name += " by " + std::string(pairKeyName(rule.key));
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

void StatsWriter::end(const Ending& ending) {
    if (!ending.statistics || format_ == StatsFormat::kNone) return;
    if (format_ == StatsFormat::kJson) {
        writeStatsJson(*ending.statistics, out_.buffer());
    } else {
        writeStatsText(*ending.statistics, out_.buffer());
    }
    out_.flush();
}

}  // namespace qelttrace
