#include "output/stats_report.h"

#include <cmath>
#include <cstdio>

#include "output/json.h"
#include "output/report_figures.h"
#include "output/text_columns.h"
#include "output/transaction_fields.h"

namespace qelttrace {

namespace {

std::string countText(std::uint64_t n) {
    return std::to_string(n);
}

// The latency columns of a histogram, as text (empty when it holds nothing).
std::vector<std::string> latencyCells(const LogHistogram& h) {
    std::vector<std::string> cells;
    for (const LatencyColumn& c : kLatencyColumns) {
        cells.push_back(h.count() == 0 ? std::string() : durationText(c.value(h)));
    }
    return cells;
}

// `heads`, then the latency columns headed by their labels and `unit`.
std::vector<Columns::Head> withLatencies(std::vector<Columns::Head> heads, const char* unit) {
    for (const LatencyColumn& c : kLatencyColumns) {
        heads.push_back({std::string(c.label) + unit, true});
    }
    return heads;
}

// A transaction field's value as text, and its head with its unit.
std::string cellOf(const TransactionField& f, const TransactionView& t) {
    const TransactionValue v = f.value(t);
    switch (f.unit) {
        case Unit::kText:
            return std::string(v.text);
        case Unit::kCount:
            return countText(static_cast<std::uint64_t>(v.number));
        case Unit::kTime:
        case Unit::kDuration:
            break;
    }
    return durationText(v.number);
}

Columns::Head headOf(const TransactionField& f) {
    const bool seconds = f.unit == Unit::kTime || f.unit == Unit::kDuration;
    return {std::string(f.label) + (seconds ? " (s)" : ""), f.unit != Unit::kText};
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
    j.key("delta");
    j.beginObject();
    j.memberUnsigned("count", d.count());
    writeLatencyMembers(j, d, true);
    j.endObject();
}

void writeLists(JsonWriter& j, const Statistics& s) {
    j.memberObjects("events", s.eventsByCount(), [&j](const Statistics::EventCount& e) {
        j.member("event", e.event);
        j.memberUnsigned("count", e.count);
        j.memberInteger("first_ns", e.firstNs);
        j.memberInteger("last_ns", e.lastNs);
    });
    writeDelta(j, s.deltas());
    j.memberObjects("top_gaps", s.topGaps(), [&j](const Statistics::Gap& g) {
        j.memberUnsigned("record", g.record);
        j.memberInteger("time_ns", g.timeNs);
        j.memberInteger("delta_ns", g.deltaNs);
        j.member("event", g.event);
        j.member("previous_event", g.previousEvent);
    });
    j.memberObjects("states", s.states(), [&j](const Statistics::StateTime& t) {
        j.member("state", t.state);
        j.memberUnsigned("entries", t.entries);
        j.memberInteger("time_ns", t.timeNs);
    });
}

std::string depthMean(const PairMatcher::Depth& depth) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", depth.mean());
    return text;
}

void writeOpenAtEnd(JsonWriter& j, const PairMatcher::OpenAtEnd& open) {
    j.key("open_at_end");
    j.beginObject();
    j.memberUnsigned("count", open.count);
    j.memberObjects("oldest", open.oldest, [&j](const PairMatcher::OpenTransaction& t) {
        j.member("key", t.key);
        j.member("kind", t.kind);
        j.memberUnsigned("start_record", t.startRecord);
        j.memberInteger("start_ns", t.startNs);
        j.memberInteger("age_ns", t.ageNs);
    });
    j.endObject();
}

void writeRule(JsonWriter& j, const PairRule& rule, const PairMatcher::RuleStats& p) {
    j.member("rule", ruleName(rule));
    j.member("start", rule.start);
    j.member("end", rule.end);
    j.member("key", pairWordName(rule.key));
    j.member("kind", pairWordName(rule.kind));
    j.member("outcome", pairWordName(rule.outcome));
    j.memberUnsigned("count", p.count);
    j.memberUnsigned("unmatched_starts", p.unmatchedStarts);
    j.memberUnsigned("unmatched_ends", p.unmatchedEnds);
    writeLatencyMembers(j, p.latency);
    j.memberObjects("kinds", p.kindsByCount(), [&j](const PairMatcher::KindStats& k) {
        j.member("kind", k.kind);
        j.memberUnsigned("count", k.latency.count());
        writeLatencyMembers(j, k.latency);
    });
    j.memberObjects("outcomes", p.outcomesInOrder(), [&j](const PairMatcher::OutcomeStats& o) {
        j.member("kind", o.kind);
        j.member("outcome", o.outcome);
        j.memberUnsigned("count", o.latency.count());
        writeLatencyMembers(j, o.latency);
    });
    j.memberObjects("slowest", p.slowest, [&j](const KeptTransaction& t) {
        writeTransactionMembers(j, TransactionView(t, {}), kInSlowest);
    });
    writeOpenAtEnd(j, p.openAtEnd);
    if (rule.key == PairWord::kNone) return;
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
    for (const HeadlineFigure& f : kHeadlineFigures) {
        if (f.label.empty()) continue;
        out.append(f.label);
        out.append(kFigureLabelWidth - f.label.size(), ' ');
        out += f.value(s) + '\n';
    }
}

void writeTables(const Statistics& s, std::string& out) {
    out += "\ndelta (s)\n";
    Columns delta(withLatencies({{"count", true}}, ""));
    std::vector<std::string> cells = latencyCells(s.deltas());
    cells.insert(cells.begin(), countText(s.deltas().count()));
    delta.row(cells);
    delta.write(out);

    out += "\nevents\n";
    Columns events({{"event", false}, {"count", true}, {"first (s)", true}, {"last (s)", true}});
    for (const Statistics::EventCount& e : s.eventsByCount()) {
        events.row({e.event, countText(e.count), durationText(e.firstNs), durationText(e.lastNs)});
    }
    events.write(out);

    out += "\ntop gaps\n";
    Columns gaps({{"record", true},
                  {"time (s)", true},
                  {"delta (s)", true},
                  {"event", false},
                  {"after", false}});
    for (const Statistics::Gap& g : s.topGaps()) {
        gaps.row({countText(g.record), durationText(g.timeNs), durationText(g.deltaNs), g.event,
                  g.previousEvent});
    }
    gaps.write(out);

    out += "\nSATA states\n";
    Columns states({{"state", false}, {"entries", true}, {"time (s)", true}});
    for (const Statistics::StateTime& t : s.states()) {
        states.row({t.state, countText(t.entries), durationText(t.timeNs)});
    }
    states.write(out);
}

void writeSlowestText(const PairRule& rule, const std::vector<KeptTransaction>& list,
                      std::string& out) {
    std::vector<Columns::Head> heads;
    for (const TransactionField& f : kTransactionFields) {
        if ((f.outputs & kInSlowest) && shownFor(f, rule)) heads.push_back(headOf(f));
    }
    Columns slow(heads);
    for (const KeptTransaction& t : list) {
        const TransactionView view(t, {});
        std::vector<std::string> cells;
        for (const TransactionField& f : kTransactionFields) {
            if ((f.outputs & kInSlowest) && shownFor(f, rule)) cells.push_back(cellOf(f, view));
        }
        slow.row(cells);
    }
    slow.write(out);
}

// "N open at the end, the oldest EVENT KIND key KEY from record R, AGE s":
// what is left hanging, first, as a hung device shows.
void writeOpenLine(const PairRule& rule, const PairMatcher::OpenAtEnd& open, std::string& out) {
    const char* when = open.atTo ? "--to" : "the end";
    if (open.count == 0) {
        out += std::string("  none open at ") + when + "\n";
        return;
    }
    out += "  " + countText(open.count) + " open at " + when;
    if (!open.oldest.empty()) {
        const PairMatcher::OpenTransaction& t = open.oldest.front();
        out += ", the oldest " + rule.start;
        if (rule.kind != PairWord::kNone) out += " " + t.kind;
        if (rule.key != PairWord::kNone) out += " key " + t.key;
        out += " from record " + countText(t.startRecord) + ", " + durationText(t.ageNs) + " s";
    }
    out += "\n";
}

void writeOldestText(const PairRule& rule, const PairMatcher::OpenAtEnd& open, std::string& out) {
    if (open.oldest.empty()) return;
    out += open.atTo ? "  oldest open at --to\n" : "  oldest open at the end\n";
    std::vector<Columns::Head> heads;
    if (rule.key != PairWord::kNone) heads.push_back({"key", false});
    if (rule.kind != PairWord::kNone) heads.push_back({"kind", false});
    heads.insert(heads.end(), {{"start record", true}, {"start (s)", true}, {"age (s)", true}});
    Columns oldest(heads);
    for (const PairMatcher::OpenTransaction& t : open.oldest) {
        std::vector<std::string> cells;
        if (rule.key != PairWord::kNone) cells.push_back(t.key);
        if (rule.kind != PairWord::kNone) cells.push_back(t.kind);
        cells.insert(cells.end(),
                     {countText(t.startRecord), durationText(t.startNs), durationText(t.ageNs)});
        oldest.row(cells);
    }
    oldest.write(out);
}

void writeOutcomesText(const PairRule& rule, const PairMatcher::RuleStats& p, std::string& out) {
    if (rule.outcome == PairWord::kNone) return;
    out += "  outcomes\n";
    const bool kinds = rule.kind != PairWord::kNone;
    std::vector<Columns::Head> heads;
    if (kinds) heads.push_back({"kind", false});
    heads.insert(heads.end(), {{"outcome", false}, {"count", true}});
    Columns outcomes(withLatencies(heads, " (s)"));
    for (const PairMatcher::OutcomeStats& o : p.outcomesInOrder()) {
        std::vector<std::string> cells;
        if (kinds) cells.push_back(o.kind);
        cells.push_back(outcomeLabel(rule, o.outcome));
        cells.push_back(countText(o.latency.count()));
        const std::vector<std::string> latencies = latencyCells(o.latency);
        cells.insert(cells.end(), latencies.begin(), latencies.end());
        outcomes.row(cells);
    }
    outcomes.write(out);
}

void writeRuleText(const PairRule& rule, const PairMatcher::RuleStats& p, std::string& out) {
    out += "\n" + ruleName(rule) + ruleWords(rule, ", ") + "\n";
    writeOpenLine(rule, p.openAtEnd, out);
    if (rule.kind != PairWord::kNone) {
        out += "  kinds\n";
        Columns kinds(withLatencies({{"kind", false}, {"count", true}}, " (s)"));
        for (const PairMatcher::KindStats& k : p.kindsByCount()) {
            std::vector<std::string> cells = latencyCells(k.latency);
            cells.insert(cells.begin(), {k.kind, countText(k.latency.count())});
            kinds.row(cells);
        }
        kinds.write(out);
    }
    writeOutcomesText(rule, p, out);
    if (!p.slowest.empty()) {
        out += "  slowest\n";
        writeSlowestText(rule, p.slowest, out);
    }
    writeOldestText(rule, p.openAtEnd, out);
    if (rule.key == PairWord::kNone) return;
    out += "  depth: max " + countText(p.depth.max) + ", mean " + depthMean(p.depth) + "\n";
    Columns depth({{"depth", true}, {"time (s)", true}});
    for (std::size_t d = 0; d < p.depth.timeNs.size(); ++d) {
        depth.row({countText(d), durationText(p.depth.timeNs[d])});
    }
    depth.write(out);
}

}  // namespace

void writeStatsJson(JsonWriter& j, const Statistics& s) {
    j.beginObject();
    writeCounts(j, s);
    writeLists(j, s);
    writePairs(j, s);
    j.endObject();
}

void writeStatsJson(const Statistics& s, std::string& out) {
    JsonWriter j(out);
    writeStatsJson(j, s);
    out += '\n';
}

void writeStatsText(const Statistics& s, std::string& out) {
    writeFigures(s, out);
    writeTables(s, out);
    out += "\npairs\n";
    Columns pairs(withLatencies({{"rule", false},
                                 {"key", false},
                                 {"kind", false},
                                 {"outcome", false},
                                 {"count", true},
                                 {"unmatched starts", true},
                                 {"unmatched ends", true}},
                                " (s)"));
    for (std::size_t i = 0; i < s.pairs().size(); ++i) {
        const PairMatcher::RuleStats& p = s.pairStats()[i];
        const PairRule& rule = s.pairs()[i];
        std::vector<std::string> cells = latencyCells(p.latency);
        cells.insert(cells.begin(),
                     {ruleName(rule), pairWordName(rule.key), pairWordName(rule.kind),
                      pairWordName(rule.outcome), countText(p.count), countText(p.unmatchedStarts),
                      countText(p.unmatchedEnds)});
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
