#include "output/stats_report.h"

#include <cmath>
#include <cstdio>

#include "output/json.h"

namespace qelttrace {

namespace {

std::string count(std::uint64_t n) {
    return std::to_string(n);
}

// A table of text in aligned columns: each as wide as its widest cell, text
// to the left, numbers to the right, two blanks between, no trailing blanks.
class Columns {
  public:
    struct Head {
        const char* name;
        bool number;
    };
    explicit Columns(std::vector<Head> heads) : heads_(std::move(heads)) {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void write(std::string& out) const {
        std::vector<std::size_t> width(heads_.size(), 0);
        for (std::size_t c = 0; c < heads_.size(); ++c) {
            width[c] = std::char_traits<char>::length(heads_[c].name);
            for (const auto& cells : rows_) {
                if (c < cells.size()) width[c] = std::max(width[c], cells[c].size());
            }
        }
        std::vector<std::string> heads;
        for (const Head& h : heads_) heads.emplace_back(h.name);
        line(out, heads, width);
        for (const auto& cells : rows_) line(out, cells, width);
    }

  private:
    void line(std::string& out, const std::vector<std::string>& cells,
              const std::vector<std::size_t>& width) const {
        std::string text = "  ";
        for (std::size_t c = 0; c < heads_.size(); ++c) {
            const std::string& cell = c < cells.size() ? cells[c] : std::string();
            const std::string pad(width[c] - std::min(width[c], cell.size()), ' ');
            if (c > 0) text += "  ";
            text += heads_[c].number ? pad + cell : cell + pad;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + '\n';
    }

    std::vector<Head> heads_;
    std::vector<std::vector<std::string>> rows_;
};

// The latency columns of a histogram, as text: min, mean, p50, p90, p99,
// p99.9, max (empty when it holds nothing).
std::vector<std::string> latencyCells(const LogHistogram& h) {
    if (h.count() == 0) return std::vector<std::string>(7);
    return {durationText(h.min()),
            durationText(std::llround(h.mean())),
            durationText(h.percentile(0.50)),
            durationText(h.percentile(0.90)),
            durationText(h.percentile(0.99)),
            durationText(h.percentile(0.999)),
            durationText(h.max())};
}

const std::vector<Columns::Head> kLatencyHeads = {
    {"min (s)", true}, {"mean (s)", true},  {"p50 (s)", true}, {"p90 (s)", true},
    {"p99 (s)", true}, {"p99.9 (s)", true}, {"max (s)", true}};

std::vector<Columns::Head> withLatencies(std::vector<Columns::Head> heads) {
    heads.insert(heads.end(), kLatencyHeads.begin(), kLatencyHeads.end());
    return heads;
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

// min_ns, mean_ns, p50_ns ... max_ns of a histogram, null when it is empty.
void writeLatencies(JsonWriter& j, const LogHistogram& h) {
    const bool any = h.count() > 0;
    j.memberMaybe("min_ns", any, h.min());
    j.memberMaybe("mean_ns", any, std::llround(h.mean()));
    j.memberMaybe("p50_ns", any, h.percentile(0.50));
    j.memberMaybe("p90_ns", any, h.percentile(0.90));
    j.memberMaybe("p99_ns", any, h.percentile(0.99));
    j.memberMaybe("p999_ns", any, h.percentile(0.999));
    j.memberMaybe("max_ns", any, h.max());
}

std::string depthMean(const PairMatcher::Depth& depth) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", depth.mean());
    return text;
}

void writeRule(JsonWriter& j, const PairRule& rule, const PairMatcher::RuleStats& p) {
    j.member("start", rule.start);
    j.member("end", rule.end);
    j.member("key", pairKeyName(rule.key));
    j.member("kind", pairKeyName(rule.kind));
    j.memberUnsigned("count", p.count);
    j.memberUnsigned("unmatched_starts", p.unmatchedStarts);
    j.memberUnsigned("unmatched_ends", p.unmatchedEnds);
    writeLatencies(j, p.latency);
    j.key("kinds");
    j.beginArray();
    for (const PairMatcher::KindStats& k : p.kindsByCount()) {
        j.beginObject();
        j.member("kind", k.kind);
        j.memberUnsigned("count", k.latency.count());
        writeLatencies(j, k.latency);
        j.endObject();
    }
    j.endArray();
    j.key("slowest");
    j.beginArray();
    for (const PairMatcher::Slow& t : p.slowest) {
        j.beginObject();
        j.member("key", t.key);
        j.member("kind", t.kind);
        j.memberUnsigned("start_record", t.startRecord);
        j.memberUnsigned("end_record", t.endRecord);
        j.memberInteger("start_ns", t.startNs);
        j.memberInteger("duration_ns", t.durationNs);
        j.endObject();
    }
    j.endArray();
    if (rule.key == PairKey::kNone) return;
    j.key("depth");
    j.beginObject();
    j.memberUnsigned("max", p.depth.max);
    j.key("mean");
    j.number(depthMean(p.depth));
    j.key("time_ns");
    j.beginArray();
    for (const std::int64_t t : p.depth.timeNs) j.integer(t);
    j.endArray();
    j.endObject();
}

void writePairs(JsonWriter& j, const Statistics& s) {
    j.key("pairs");
    j.beginArray();
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        j.beginObject();
        writeRule(j, s.pairs()[i], s.pairStats()[i]);
        j.endObject();
    }
    j.endArray();
}

void writeFigures(const Statistics& s, std::string& out) {
    const std::pair<const char*, std::string> figures[] = {
        {"records", count(s.records())},
        {"decoded", count(s.decoded())},
        {"parse errors", count(s.withStatus(Status::kParseError))},
        {"invalid parameters", count(s.withStatus(Status::kInvalidParameter))},
        {"no time", count(s.withStatus(Status::kNoTime))},
        {"no text", count(s.withStatus(Status::kNoText))},
        {"unknown tags", count(s.withStatus(Status::kUnknownTag))},
        {"backwards", count(s.backwards())},
        {"errors (--errors)", count(s.errors())},
        {"span (s)", durationText(s.spanNs())},
    };
    for (const auto& [label, value] : figures) {
        out += label;
        out += std::string(20 - std::char_traits<char>::length(label), ' ') + value + '\n';
    }
}

void writeTables(const Statistics& s, std::string& out) {
    out += "\ndelta (s)\n";
    Columns delta({{"count", true},
                   {"min", true},
                   {"mean", true},
                   {"p50", true},
                   {"p90", true},
                   {"p99", true},
                   {"p99.9", true},
                   {"max", true}});
    std::vector<std::string> cells = latencyCells(s.deltas());
    cells.insert(cells.begin(), count(s.deltas().count()));
    delta.row(cells);
    delta.write(out);

    out += "\nevents\n";
    Columns events({{"event", false}, {"count", true}, {"first (s)", true}, {"last (s)", true}});
    for (const Statistics::EventCount& e : s.eventsByCount()) {
        events.row({e.event, count(e.count), durationText(e.firstNs), durationText(e.lastNs)});
    }
    events.write(out);

    out += "\ntop gaps\n";
    Columns gaps({{"record", true},
                  {"time (s)", true},
                  {"delta (s)", true},
                  {"event", false},
                  {"after", false}});
    for (const Statistics::Gap& g : s.topGaps()) {
        gaps.row({count(g.record), durationText(g.timeNs), durationText(g.deltaNs), g.event,
                  g.previousEvent});
    }
    gaps.write(out);

    out += "\nSATA states\n";
    Columns states({{"state", false}, {"entries", true}, {"time (s)", true}});
    for (const Statistics::StateTime& t : s.states()) {
        states.row({t.state, count(t.entries), durationText(t.timeNs)});
    }
    states.write(out);
}

void writeSlowestText(const PairRule& rule, const std::vector<PairMatcher::Slow>& list,
                      std::string& out) {
    // The key and the kind only for a rule that has them.
    const bool keyed = rule.key != PairKey::kNone, kinds = rule.kind != PairKey::kNone;
    std::vector<Columns::Head> heads;
    if (keyed) heads.push_back({"key", false});
    if (kinds) heads.push_back({"kind", false});
    heads.insert(heads.end(), {{"start record", true},
                               {"end record", true},
                               {"start (s)", true},
                               {"duration (s)", true}});
    Columns slow(heads);
    for (const PairMatcher::Slow& t : list) {
        std::vector<std::string> cells;
        if (keyed) cells.push_back(t.key);
        if (kinds) cells.push_back(t.kind);
        cells.insert(cells.end(), {count(t.startRecord), count(t.endRecord),
                                   durationText(t.startNs), durationText(t.durationNs)});
        slow.row(cells);
    }
    slow.write(out);
}

void writeRuleText(const PairRule& rule, const PairMatcher::RuleStats& p, std::string& out) {
    out += "\n" + ruleName(rule);
    if (rule.key != PairKey::kNone) out += ", keyed by the " + std::string(pairKeyName(rule.key));
    if (rule.kind != PairKey::kNone) {
        out += ", kinds by the " + std::string(pairKeyName(rule.kind));
        out += "\n  kinds\n";
        Columns kinds(withLatencies({{"kind", false}, {"count", true}}));
        for (const PairMatcher::KindStats& k : p.kindsByCount()) {
            std::vector<std::string> cells = latencyCells(k.latency);
            cells.insert(cells.begin(), {k.kind, count(k.latency.count())});
            kinds.row(cells);
        }
        kinds.write(out);
    } else {
        out += "\n";
    }
    if (!p.slowest.empty()) {
        out += "  slowest\n";
        writeSlowestText(rule, p.slowest, out);
    }
    if (rule.key == PairKey::kNone) return;
    out += "  depth: max " + count(p.depth.max) + ", mean " + depthMean(p.depth) + "\n";
    Columns depth({{"depth", true}, {"time (s)", true}});
    for (std::size_t d = 0; d < p.depth.timeNs.size(); ++d) {
        depth.row({count(d), durationText(p.depth.timeNs[d])});
    }
    depth.write(out);
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
    writeFigures(s, out);
    writeTables(s, out);
    out += "\npairs\n";
    Columns pairs(withLatencies({{"rule", false},
                                 {"key", false},
                                 {"kind", false},
                                 {"count", true},
                                 {"unmatched starts", true},
                                 {"unmatched ends", true}}));
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        const PairMatcher::RuleStats& p = s.pairStats()[i];
        const PairRule& rule = s.pairs()[i];
        std::vector<std::string> cells = latencyCells(p.latency);
        cells.insert(cells.begin(),
                     {ruleName(rule), pairKeyName(rule.key), pairKeyName(rule.kind), count(p.count),
                      count(p.unmatchedStarts), count(p.unmatchedEnds)});
        pairs.row(cells);
    }
    pairs.write(out);
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        writeRuleText(s.pairs()[i], s.pairStats()[i], out);
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
