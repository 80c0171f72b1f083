#include "output/compare_page.h"

#include <algorithm>

#include "output/json.h"
#include "output/page_assets.h"
#include "output/page_parts.h"
#include "output/report_figures.h"

namespace qelttrace {

namespace {

std::string verdictCell(Verdict v) {
    // What changed stands out; the rest reads as plain text.
    const std::string name = verdictName(v);
    return v == Verdict::kSame || v == Verdict::kTooFew ? cell(name) : cell("<b>" + name + "</b>");
}

std::string textCell(const std::string& text) {
    return "<td class=n>" + text + "</td>";
}

std::string optionalCell(const std::optional<double>& ratio) {
    return ratio ? textCell(ratioText(*ratio)) : std::string("<td></td>");
}

// p50 ... max of the baseline and the run side by side, in microseconds.
std::string sideBySide(const LatencyRow& row) {
    std::string cells;
    for (const SideFigure& f : kSideFigures) {
        for (const LatencySide* side : {&row.baseline, &row.run}) {
            cells += side->count ? microsCell(side->*f.value) : std::string("<td></td>");
        }
    }
    return cells;
}

// Whether a row's densities are drawn: the first kComparisonChartsMax rows
// of all rules, in the rules' order and each rule's by importance.
struct ChartPlan {
    std::size_t drawn = 0, left = 0;
    bool take() {
        if (drawn < kComparisonChartsMax) return ++drawn, true;
        ++left;
        return false;
    }
};

std::string figures(const Comparison& c, const ComparedNames& names) {
    const DumpSide* sides[] = {&c.baseline, &c.run};
    std::string t = "<table>" + headRow({"", "baseline", "run"});
    t += "<tr><td>input</td>" + cell(html(names.baseline)) + cell(html(names.run)) + "</tr>";
    const struct {
        const char* label;
        std::uint64_t DumpSide::*count;
    } counts[] = {{"records", &DumpSide::records},
                  {"decoded", &DumpSide::decoded},
                  {"records that tell of trouble", &DumpSide::errors}};
    for (const auto& row : counts) {
        t += std::string("<tr><td>") + row.label + "</td>";
        for (const DumpSide* side : sides) t += numberCell(side->*row.count);
        t += "</tr>";
    }
    t += "<tr><td>span (s)</td>";
    for (const DumpSide* side : sides) t += timeCell(side->spanNs);
    return t + "</tr></table>";
}

// The rule's name, what reads its keys, kinds and outcomes, and its counts
// in each dump.
std::string ruleHead(const RuleComparison& rule) {
    // The words and counts are ours and plain numbers: nothing to escape.
    return "<h3>" + html(rule.name) + "</h3><p class=note>" + ruleWords(rule.rule, "", "; ") +
           ruleCounts(rule, " &rarr; ") + ".</p>";
}

// The columns a rule's table has beside the figures.
struct RuleColumns {
    bool kinds = false, outcomes = false;
    explicit RuleColumns(const RuleComparison& rule)
        : kinds(rule.rule.kind != PairWord::kNone),
          outcomes(rule.rule.outcome != PairWord::kNone) {}
};

std::string kindHeads(const RuleColumns& columns) {
    std::string s = "<tr>";
    if (columns.kinds) s += "<th>kind</th>";
    if (columns.outcomes) s += "<th>outcome</th>";
    s += "<th>verdict</th><th>count base</th><th>count run</th><th>rate/s base</th>"
         "<th>rate/s run</th>";
    for (const SideFigure& f : kSideFigures) {
        s += std::string("<th>") + f.label + " base (&micro;s)</th><th>" + f.label +
             " run (&micro;s)</th>";
    }
    return s + "<th>p50 ratio</th><th>p99 ratio</th><th>p-value</th></tr>";
}

// A row of the table, named `id` for its chart.
std::string kindRow(const PairRule& rule, const LatencyRow& row, const std::string& id,
                    const RuleColumns& columns) {
    std::string s = "<tr data-row=\"" + id + "\">";
    if (columns.kinds) s += cell(html(row.kind));
    if (columns.outcomes) s += cell(html(outcomeLabel(rule, row.outcome)));
    s += verdictCell(row.verdict) + numberCell(row.baseline.count) + numberCell(row.run.count) +
         textCell(rateText(row.baseline.perSecond)) + textCell(rateText(row.run.perSecond)) +
         sideBySide(row) + optionalCell(row.p50Ratio) + optionalCell(row.p99Ratio);
    const bool both = row.baseline.count > 0 && row.run.count > 0;
    s += both ? textCell(pValueText(row.test.pValue)) : std::string("<td></td>");
    return s + "</tr>";
}

// The chart of a row: its data, the two densities over the same bars (those
// of both sides' buckets), and its place on the page.
std::string kindChart(const PairRule& rule, const LatencyRow& row, const std::string& id,
                      const RuleColumns& columns, JsonWriter& data) {
    const LogHistogram none;
    const LogHistogram& b = row.baselineLatency ? *row.baselineLatency : none;
    const LogHistogram& r = row.runLatency ? *row.runLatency : none;
    const int first = std::min(b.count() ? b.firstBucket() : r.firstBucket(),
                               r.count() ? r.firstBucket() : b.firstBucket());
    const int last = std::max(b.lastBucket(), r.lastBucket());
    std::vector<std::int64_t> lows, widths;
    histogramGroups(first, last, lows, widths);
    data.beginObject();
    data.member("id", id);
    data.memberIntegers("x", lows);
    data.memberIntegers("w", widths);
    data.memberIntegers("baseline", groupCounts(b, first / kHistogramGroup, lows.size()));
    data.memberIntegers("run", groupCounts(r, first / kHistogramGroup, lows.size()));
    data.endObject();
    std::string title = columns.kinds ? "Kind " + html(row.kind) : std::string("Latency");
    if (columns.outcomes) title += ", " + html(outcomeLabel(rule, row.outcome));
    title += ": " + std::string(verdictName(row.verdict));
    return "<div class=chart-box><div class=chart-title>" + title + "</div><div id=chart-compare-" +
           id + " class=chart></div></div>";
}

std::string ruleSection(const RuleComparison& rule, std::size_t index, ChartPlan& plan,
                        JsonWriter& data) {
    std::string s = ruleHead(rule);
    if (rule.rows.empty()) return s;
    const RuleColumns columns(rule);
    s += "<table>" + kindHeads(columns);
    std::string charts;
    for (std::size_t k = 0; k < rule.rows.size(); ++k) {
        const std::string id = std::to_string(index) + "-" + std::to_string(k);
        s += kindRow(rule.rule, rule.rows[k], id, columns);
        if (plan.take()) charts += kindChart(rule.rule, rule.rows[k], id, columns, data);
    }
    s += "</table>";
    if (!charts.empty()) s += "<div class=charts>" + charts + "</div>";
    return s;
}

std::string countTable(const char* title, const std::vector<CountRow>& rows, bool errors) {
    std::string t = std::string("<h2>") + title + "</h2><table><tr>";
    if (errors) t += "<th>status</th>";
    t += "<th>event</th><th>verdict</th><th>count base</th><th>count run</th>"
         "<th>rate/s base</th><th>rate/s run</th><th>rate ratio</th></tr>";
    for (const CountRow& row : rows) {
        t += "<tr>";
        if (errors) t += cell(html(row.status));
        t += cell(html(row.event)) + verdictCell(row.verdict) + numberCell(row.baseline.count) +
             numberCell(row.run.count) + textCell(rateText(row.baseline.perSecond)) +
             textCell(rateText(row.run.perSecond)) + optionalCell(row.rateRatio) + "</tr>";
    }
    return t + "</table>";
}

std::string stateTable(const std::vector<StateRow>& rows) {
    std::string t = "<h2>SATA states</h2><table>" +
                    headRow({"state", "share base (%)", "share run (%)", "change (points)",
                             "entries base", "entries run", "time base (s)", "time run (s)"});
    for (const StateRow& row : rows) {
        t += "<tr>" + cell(html(row.state)) + textCell(shareText(row.baseline.share)) +
             textCell(shareText(row.run.share)) + textCell(pointsText(row.changePoints)) +
             numberCell(row.baseline.entries) + numberCell(row.run.entries) +
             timeCell(row.baseline.timeNs) + timeCell(row.run.timeNs) + "</tr>";
    }
    return t + "</table>";
}

}  // namespace

std::string comparisonPage(const Comparison& c, const ComparedNames& names) {
    std::string data;
    JsonWriter json(data);
    json.beginObject();
    json.key("comparison");
    json.beginObject();
    json.key("latency");
    json.beginArray();
    const std::string title = names.run + " against " + names.baseline;
    std::string body = "<h1>SATA trace comparison: " + html(title) + "</h1>" + figures(c, names);
    body += "<p>Verdicts: transactions " + html(tallyText(c.latencyVerdicts)) + "; events " +
            html(tallyText(c.eventVerdicts)) + "; errors " + html(tallyText(c.errorVerdicts)) +
            ".</p>";
    body +=
        "<h2>Transactions</h2><p class=note>Per kind the run's latencies against the "
        "baseline's: slower or faster when a two-sample Kolmogorov-Smirnov test rejects "
        "one distribution at p &lt; 0.001 and the p50 or the p99 moved by 10% or more one "
        "way (neither the other); too few below 20 a side. The densities overlaid: the "
        "baseline in grey, the run in colour, transactions per microsecond of latency. "
        "Drag on a chart to zoom, double-click to reset.</p>";
    ChartPlan plan;
    for (std::size_t i = 0; i < c.rules.size(); ++i) body += ruleSection(c.rules[i], i, plan, json);
    json.endArray();
    json.endObject();
    json.endObject();
    if (plan.left > 0) {
        body += "<p class=note>The densities of the first " + std::to_string(plan.drawn) +
                " rows are drawn, not those of the " + std::to_string(plan.left) + " others.</p>";
    }
    body += countTable("Events", c.events, false) + countTable("Errors", c.errors, true) +
            stateTable(c.states);
    return pageDocument(title, body, data, std::string_view(kCompareJs, kCompareJsSize));
}

}  // namespace qelttrace
