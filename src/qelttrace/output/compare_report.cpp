#include "output/compare_report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "output/json.h"
#include "output/report_figures.h"
#include "output/stats_report.h"
#include "output/text_columns.h"

namespace qelttrace {

namespace {

// A figure as printf writes it, its form a literal at each call that the
// compiler checks against the value.
__attribute__((format(printf, 1, 2))) std::string printed(const char* form, ...) {
    char text[48];
    va_list values;
    va_start(values, form);
    std::vsnprintf(text, sizeof text, form, values);
    va_end(values);
    return text;
}

std::string countText(std::uint64_t n) {
    return std::to_string(n);
}

// Whether both sides have transactions: only then are there ratios and a test.
bool bothSides(const LatencyRow& row) {
    return row.baseline.count > 0 && row.run.count > 0;
}

std::string optionalRatio(const std::optional<double>& ratio) {
    return ratio ? ratioText(*ratio) : std::string();
}

// The heads of a rule's table: its kind and outcome where it has them, then
// each figure of the baseline and the run side by side.
Columns kindColumns(bool kinds, bool outcomes) {
    std::vector<Columns::Head> heads;
    if (kinds) heads.push_back({"kind", false});
    if (outcomes) heads.push_back({"outcome", false});
    heads.insert(heads.end(), {{"verdict", false},
                               {"count base", true},
                               {"count run", true},
                               {"rate/s base", true},
                               {"rate/s run", true}});
    for (const SideFigure& f : kSideFigures) {
        heads.push_back({std::string(f.label) + " base (s)", true});
        heads.push_back({std::string(f.label) + " run (s)", true});
    }
    heads.insert(heads.end(), {{"p50 ratio", true}, {"p99 ratio", true}, {"p-value", true}});
    return Columns(heads);
}

std::vector<std::string> kindCells(const PairRule& rule, const LatencyRow& row, bool kinds,
                                   bool outcomes) {
    std::vector<std::string> cells;
    if (kinds) cells.push_back(row.kind);
    if (outcomes) cells.push_back(outcomeLabel(rule, row.outcome));
    cells.insert(cells.end(),
                 {verdictName(row.verdict), countText(row.baseline.count), countText(row.run.count),
                  rateText(row.baseline.perSecond), rateText(row.run.perSecond)});
    for (const SideFigure& f : kSideFigures) {
        for (const LatencySide* side : {&row.baseline, &row.run}) {
            cells.push_back(side->count ? durationText(side->*f.value) : std::string());
        }
    }
    cells.push_back(optionalRatio(row.p50Ratio));
    cells.push_back(optionalRatio(row.p99Ratio));
    cells.push_back(bothSides(row) ? pValueText(row.test.pValue) : std::string());
    return cells;
}

void writeRuleText(const RuleComparison& rule, std::string& out) {
    out += "\n" + rule.name + ruleWords(rule.rule, ", ") + "\n";
    out += "  " + ruleCounts(rule, " -> ") + "\n";
    if (rule.rows.empty()) return;
    const bool kinds = rule.rule.kind != PairWord::kNone;
    const bool outcomes = rule.rule.outcome != PairWord::kNone;
    Columns table = kindColumns(kinds, outcomes);
    for (const LatencyRow& row : rule.rows) table.row(kindCells(rule.rule, row, kinds, outcomes));
    table.write(out);
}

void writeCountsText(const char* title, const std::vector<CountRow>& rows, bool errors,
                     std::string& out) {
    out += std::string("\n") + title + "\n";
    std::vector<Columns::Head> heads;
    if (errors) heads.push_back({"status", false});
    heads.insert(heads.end(), {{"event", false},
                               {"verdict", false},
                               {"count base", true},
                               {"count run", true},
                               {"rate/s base", true},
                               {"rate/s run", true},
                               {"rate ratio", true}});
    Columns table(heads);
    for (const CountRow& row : rows) {
        std::vector<std::string> cells;
        if (errors) cells.push_back(row.status);
        cells.insert(cells.end(),
                     {row.event, verdictName(row.verdict), countText(row.baseline.count),
                      countText(row.run.count), rateText(row.baseline.perSecond),
                      rateText(row.run.perSecond), optionalRatio(row.rateRatio)});
        table.row(cells);
    }
    table.write(out);
}

void writeStatesText(const std::vector<StateRow>& rows, std::string& out) {
    out += "\nSATA states\n";
    Columns table({{"state", false},
                   {"share base (%)", true},
                   {"share run (%)", true},
                   {"change (points)", true},
                   {"entries base", true},
                   {"entries run", true},
                   {"time base (s)", true},
                   {"time run (s)", true}});
    for (const StateRow& row : rows) {
        table.row({row.state, shareText(row.baseline.share), shareText(row.run.share),
                   pointsText(row.changePoints), countText(row.baseline.entries),
                   countText(row.run.entries), durationText(row.baseline.timeNs),
                   durationText(row.run.timeNs)});
    }
    table.write(out);
}

// A fraction as JSON: a number, or null when it does not exist.
void jsonReal(JsonWriter& j, std::string_view key, std::optional<double> value) {
    j.key(key);
    if (value && std::isfinite(*value)) {
        j.number(printed("%.10g", *value));
    } else {
        j.null();
    }
}

void writeLatencySide(JsonWriter& j, std::string_view key, const LatencySide& side) {
    j.key(key);
    j.beginObject();
    j.memberUnsigned("count", side.count);
    jsonReal(j, "rate", side.perSecond);
    for (const SideFigure& f : kSideFigures) j.memberMaybe(f.key, side.count > 0, side.*f.value);
    j.endObject();
}

void writePairChanges(JsonWriter& j, const Comparison& c) {
    j.key("pairs");
    j.beginArray();
    for (const RuleComparison& rule : c.rules) {
        for (const LatencyRow& row : rule.rows) {
            j.beginObject();
            j.member("rule", rule.name);
            j.member("start", rule.rule.start);
            j.member("end", rule.rule.end);
            j.key("kind");
            if (rule.rule.kind == PairWord::kNone) {
                j.null();
            } else {
                j.string(row.kind);
            }
            j.key("outcome");
            if (row.outcome.empty()) {
                j.null();
            } else {
                j.string(row.outcome);
            }
            j.member("verdict", verdictName(row.verdict));
            writeLatencySide(j, "baseline", row.baseline);
            writeLatencySide(j, "run", row.run);
            jsonReal(j, "p50_ratio", row.p50Ratio);
            jsonReal(j, "p99_ratio", row.p99Ratio);
            jsonReal(j, "p_value",
                     bothSides(row) ? std::optional<double>(row.test.pValue) : std::nullopt);
            j.endObject();
        }
    }
    j.endArray();
}

void writeRuleSide(JsonWriter& j, std::string_view key, const RuleSide& side) {
    j.key(key);
    j.beginObject();
    for (const RuleCount& f : kRuleCounts) j.memberUnsigned(f.key, f.value(side));
    j.endObject();
}

void writeRuleChanges(JsonWriter& j, const Comparison& c) {
    j.memberObjects("rules", c.rules, [&j](const RuleComparison& rule) {
        j.member("rule", rule.name);
        j.member("start", rule.rule.start);
        j.member("end", rule.rule.end);
        writeRuleSide(j, "baseline", rule.baseline);
        writeRuleSide(j, "run", rule.run);
    });
}

void writeCountChanges(JsonWriter& j, const Comparison& c) {
    j.memberObjects("events", c.events, [&j](const CountRow& row) {
        j.member("event", row.event);
        j.member("verdict", verdictName(row.verdict));
        j.memberUnsigned("baseline_count", row.baseline.count);
        j.memberUnsigned("run_count", row.run.count);
        jsonReal(j, "baseline_rate", row.baseline.perSecond);
        jsonReal(j, "run_rate", row.run.perSecond);
    });
    j.memberObjects("errors", c.errors, [&j](const CountRow& row) {
        j.member("status", row.status);
        j.member("event", row.event);
        j.member("verdict", verdictName(row.verdict));
        j.memberUnsigned("baseline", row.baseline.count);
        j.memberUnsigned("run", row.run.count);
    });
    j.memberObjects("states", c.states, [&j](const StateRow& row) {
        j.member("state", row.state);
        jsonReal(j, "baseline_share", row.baseline.share);
        jsonReal(j, "run_share", row.run.share);
    });
}

}  // namespace

std::string rateText(double perSecond) {
    return printed("%.3f", perSecond);
}

std::string ratioText(double ratio) {
    return printed("%.3f", ratio);
}

std::string pValueText(double p) {
    return printed("%.2g", p);
}

std::string shareText(double share) {
    return printed("%.1f", share * 100);
}

std::string pointsText(double points) {
    return printed("%+.1f", points);
}

std::string ruleCounts(const RuleComparison& rule, const char* arrow) {
    std::string text;
    for (const RuleCount& f : kRuleCounts) {
        // Only a rule that reads outcomes tells the aborted apart.
        if (f.outcomesOnly && rule.rule.outcome == PairWord::kNone) continue;
        if (!text.empty()) text += ", ";
        text += std::string(f.label) + " " + countText(f.value(rule.baseline)) + arrow +
                countText(f.value(rule.run));
    }
    return text;
}

std::string tallyText(const VerdictTally& tally) {
    std::string text;
    for (std::size_t v = 0; v < kVerdictCount; ++v) {
        if (tally[v] == 0) continue;
        if (!text.empty()) text += ", ";
        text += countText(tally[v]) + " " + verdictName(static_cast<Verdict>(v));
    }
    return text.empty() ? "none" : text;
}

void writeComparisonText(const Comparison& c, const ComparedNames& names, std::string& out) {
    out += "baseline " + names.baseline + ": span " + durationText(c.baseline.spanNs) + " s, " +
           countText(c.baseline.records) + " records; run " + names.run + ": span " +
           durationText(c.run.spanNs) + " s, " + countText(c.run.records) + " records\n";
    out += "verdicts: transactions " + tallyText(c.latencyVerdicts) + "; events " +
           tallyText(c.eventVerdicts) + "; errors " + tallyText(c.errorVerdicts) + "\n";
    for (const RuleComparison& rule : c.rules) writeRuleText(rule, out);
    writeCountsText("events", c.events, false, out);
    writeCountsText("errors", c.errors, true, out);
    writeStatesText(c.states, out);
}

void writeComparisonJson(const Comparison& c, const Statistics& baseline, const Statistics& run,
                         std::string& out) {
    JsonWriter j(out);
    j.beginObject();
    j.key("baseline");
    writeStatsJson(j, baseline);
    j.key("run");
    writeStatsJson(j, run);
    j.key("changes");
    j.beginObject();
    writePairChanges(j, c);
    writeCountChanges(j, c);
    writeRuleChanges(j, c);
    j.endObject();
    j.endObject();
    out += '\n';
}

}  // namespace qelttrace
