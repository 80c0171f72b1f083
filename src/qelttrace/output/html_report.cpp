#include "output/html_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "output/page_parts.h"
#include "output/record_fields.h"
#include "output/report_figures.h"
#include "output/transaction_fields.h"
#include "trace/sata_names.h"

namespace qelttrace {

namespace {

// The latency cells of a histogram (empty when it holds nothing), and their heads.
std::string latencyCells(const LogHistogram& h) {
    std::string cells;
    for (const LatencyColumn& c : kLatencyColumns) {
        cells += h.count() == 0 ? std::string("<td></td>") : microsCell(c.value(h));
    }
    return cells;
}

std::string latencyHeads() {
    std::string heads;
    for (const LatencyColumn& c : kLatencyColumns) {
        heads += "<th>" + std::string(c.label) + " (&micro;s)</th>";
    }
    return heads;
}

// A transaction field's cell, and its head with its unit.
std::string cellOf(const TransactionField& f, const TransactionView& t) {
    const TransactionValue v = f.value(t);
    switch (f.unit) {
        case Unit::kText:
            return cell(html(v.text));
        case Unit::kCount:
            return numberCell(static_cast<std::uint64_t>(v.number));
        case Unit::kTime:
            return timeCell(v.number);
        case Unit::kDuration:
            break;
    }
    return microsCell(v.number);
}

std::string headOf(const TransactionField& f) {
    std::string head = "<th>" + std::string(f.label);
    if (f.unit == Unit::kTime) head += " (s)";
    if (f.unit == Unit::kDuration) head += " (&micro;s)";
    return head + "</th>";
}

// {"x":[lows],"w":[widths],"n":[counts]}: a density is the count over the width.
void writeHistogram(JsonWriter& json, const LogHistogram& h) {
    std::vector<std::int64_t> lows, widths;
    histogramGroups(h, lows, widths);
    json.beginObject();
    json.memberIntegers("x", lows);
    json.memberIntegers("w", widths);
    json.memberIntegers("n", groupCounts(h, h.firstBucket() / kHistogramGroup, lows.size()));
    json.endObject();
}

// A row that shows the records around it when clicked: its item in the
// page's data is `item`, the records it is about `marked`.
std::string clickableRow(const std::string& item, bool withContext, const std::string& marked) {
    return withContext ? "<tr class=ctx data-ctx=\"" + item + "\" data-mark=\"" + marked + "\">"
                       : std::string("<tr>");
}

}  // namespace

HtmlReport::HtmlReport(Output& out, std::string title, std::vector<PairRule> rules)
    : out_(out),
      title_(std::move(title)),
      rules_(std::move(rules)),
      depths_(rules_.size(), LevelSeries(kDepthIntervals)),
      startWindows_(rules_.size()),
      slowWindows_(rules_.size()) {
    // The states chart steps at each change: the decoder's state names in
    // the order of its table, then its name for a state not in it, then any
    // other name seen.
    for (int i = 0; i < sataStateLen; ++i) stateNames_.emplace_back(SATA_STATE[i]);
    stateNames_.emplace_back(SATA_STATE_UNKNOWN);
}

int HtmlReport::stateIndex(std::string_view name) {
    for (std::size_t i = 0; i < stateNames_.size(); ++i) {
        if (stateNames_[i] == name) return static_cast<int>(i);
    }
    stateNames_.emplace_back(name);
    return static_cast<int>(stateNames_.size() - 1);
}

void HtmlReport::release(Handle& window) {
    if (window != kNone) windows_.release(window);
    window = kNone;
}

void HtmlReport::troubleRecord(const Record& r, const Observation& o) {
    ++errorCount_;
    if (errorMarks_.size() < kErrorMarks) errorMarks_.emplace_back(o.sinceFirstNs, r.deltaNs);
    std::string status(statusName(r.status));
    if (r.held) status += ", held at the time before";
    auto group = errorGroups_.find({status, std::string(r.event())});
    if (group == errorGroups_.end()) {
        if (errorGroups_.size() >= kErrorGroupsMax) {
            status = "(other)";
            group = errorGroups_.emplace(std::make_pair(status, std::string()), 0).first;
        } else {
            group = errorGroups_.emplace(std::make_pair(status, std::string(r.event())), 0).first;
        }
    }
    ++group->second;
    if (errors_.size() >= kErrorsShown) return;
    std::string what;
    if (r.status != Status::kOk) {
        what = std::string(statusName(r.status)) + ": " + std::string(r.text());
    } else {
        what = std::string(r.event()) + " " + std::string(r.qualifier()) + " " +
               std::string(r.argument());
    }
    if (r.held) what += " (shown at the held time: its own went backwards)";
    errors_.push_back(ErrorRow{r.number, r.timeNs, what, windows_.open()});
}

void HtmlReport::record(const Record& r, const Observation& o) {
    windows_.record(r);
    // The windows around what this record starts and ends, or where it is.
    for (const auto& [rule, id] : pendingEnds_) {
        const auto found = slowWindows_[rule].find(id);
        if (found != slowWindows_[rule].end()) found->second.end = windows_.open();
    }
    pendingEnds_.clear();
    for (const TransactionPoint& p : o.points) {
        if (p.start) startWindows_[p.rule][p.id] = windows_.open();
        if (rules_[p.rule].key != PairWord::kNone) {
            depths_[p.rule].add(o.sinceFirstNs, static_cast<std::int64_t>(p.depth));
        }
    }
    if (o.topGap) gapWindows_[r.number] = windows_.open();
    if (o.gapLeft != 0) {
        const auto left = gapWindows_.find(o.gapLeft);
        if (left != gapWindows_.end()) {
            windows_.release(left->second);
            gapWindows_.erase(left);
        }
    }
    deltas_.add(o.sinceFirstNs, r.deltaNs);
    rate_.add(o.sinceFirstNs);
    if (r.trouble) troubleRecord(r, o);
}

void HtmlReport::transaction(const Transaction& t) {
    if (!t.hasStart) return;
    auto& starts = startWindows_[t.rule];
    const auto started = starts.find(t.id);
    Handle start = started != starts.end() ? started->second : kNone;
    if (started != starts.end()) starts.erase(started);
    if (!t.matched() || !t.slowest) {
        release(start);
    } else {
        slowWindows_[t.rule][t.id] = SlowWindows{start, kNone};
        pendingEnds_.emplace_back(t.rule, t.id);
    }
    if (t.slowestLeft == 0) return;
    auto& slow = slowWindows_[t.rule];
    const auto left = slow.find(t.slowestLeft);
    if (left == slow.end()) return;
    release(left->second.start);
    release(left->second.end);
    slow.erase(left);
}

void HtmlReport::state(const StateSpan& s) {
    lastState_ = stateIndex(s.state);
    lastStateEnd_ = s.start.sinceFirstNs + (s.endNs - s.start.timeNs);
    states_.add(s.start.sinceFirstNs, lastState_);
}

void HtmlReport::ruleData(JsonWriter& json, const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    json.beginObject();
    json.member("name", ruleName(rule));
    // The kinds drawn: the most frequent, the rest as one series.
    std::vector<std::int64_t> lows, widths;
    histogramGroups(p.latency, lows, widths);
    const int firstGroup = p.latency.firstBucket() / kHistogramGroup;
    json.key("latency");
    json.beginObject();
    json.memberIntegers("x", lows);
    json.memberIntegers("w", widths);
    json.key("kinds");
    json.beginArray();
    const std::vector<PairMatcher::KindStats> kinds = p.kindsByCount();
    std::vector<std::int64_t> rest(lows.size(), 0);
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::vector<std::int64_t> counts =
            groupCounts(kinds[k].latency, firstGroup, lows.size());
        if (k + 1 >= kKindsDrawn && kinds.size() > kKindsDrawn) {
            for (std::size_t g = 0; g < rest.size(); ++g) rest[g] += counts[g];
            continue;
        }
        json.beginObject();
        json.member("kind", rule.kind == PairWord::kNone ? std::string_view() : kinds[k].kind);
        json.memberIntegers("n", counts);
        json.endObject();
    }
    if (kinds.size() > kKindsDrawn) {
        json.beginObject();
        json.member("kind", PairMatcher::kOtherKinds);
        json.memberIntegers("n", rest);
        json.endObject();
    }
    json.endArray();
    json.endObject();
    json.key("depth");
    if (rule.key == PairWord::kNone || depths_[i].empty()) {
        json.null();
    } else {
        depths_[i].write(json);
    }
    json.endObject();
}

void HtmlReport::contextData(JsonWriter& json, const Statistics& stats) const {
    std::vector<Handle> shown;
    json.key("items");
    json.beginObject();
    const auto item = [&](const std::string& name, std::initializer_list<Handle> windows) {
        json.key(name);
        json.beginArray();
        for (const Handle h : windows) {
            if (h == kNone) continue;
            json.unsignedInteger(windows_.first(h));
            json.unsignedInteger(windows_.last(h));
            shown.push_back(h);
        }
        json.endArray();
    };
    const std::vector<Statistics::Gap> gaps = stats.topGaps();
    for (std::size_t g = 0; g < gaps.size() && g < kGapsShown; ++g) {
        const auto found = gapWindows_.find(gaps[g].record);
        if (found != gapWindows_.end()) item("g" + std::to_string(g), {found->second});
    }
    for (std::size_t e = 0; e < errors_.size(); ++e) {
        item("e" + std::to_string(e), {errors_[e].window});
    }
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
        const auto& slowest = stats.pairStats()[i].slowest;
        for (std::size_t s = 0; s < slowest.size() && s < kSlowShown; ++s) {
            const auto found = slowWindows_[i].find(slowest[s].id);
            if (found == slowWindows_[i].end()) continue;
            item("s" + std::to_string(i) + "-" + std::to_string(s),
                 {found->second.start, found->second.end});
        }
    }
    json.endObject();
    json.key("fields");
    json.beginArray();
    for (const Field& f : kFields) json.string(f.name);
    json.endArray();
    json.key("rows");
    windows_.writeRows(json, shown);
}

std::string HtmlReport::chartData(const Statistics& stats) const {
    std::string data;
    JsonWriter json(data);
    json.beginObject();
    json.key("delta");
    deltas_.write(json);
    std::vector<std::int64_t> xs, ys;
    for (const auto& [x, y] : errorMarks_) {
        xs.push_back(x);
        ys.push_back(y);
    }
    json.key("errors");
    json.beginObject();
    json.memberIntegers("x", xs);
    json.memberIntegers("y", ys);
    json.memberUnsigned("count", errorCount_);
    json.endObject();
    json.key("states");
    states_.write(json);
    json.key("stateNames");
    json.beginArray();
    for (const std::string& name : stateNames_) json.string(name);
    json.endArray();
    json.key("histogram");
    writeHistogram(json, stats.deltas());
    json.key("rate");
    rate_.write(json);
    json.key("rules");
    json.beginArray();
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) ruleData(json, stats, i);
    json.endArray();
    json.key("context");
    json.beginObject();
    if (withContext_) contextData(json, stats);
    json.endObject();
    json.endObject();
    return data;
}

std::string HtmlReport::ruleSection(const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    const bool keyed = rule.key != PairWord::kNone, kinds = rule.kind != PairWord::kNone;
    std::string s = "<h3>" + html(rule.start) + " &rarr; " + html(rule.end) + "</h3><p class=note>";
    s += std::to_string(p.count) + " transactions";
    if (keyed) s += ", keyed by the " + std::string(pairWordName(rule.key));
    if (kinds) s += ", kinds by the " + std::string(pairWordName(rule.kind));
    s += "; " + std::to_string(p.unmatchedStarts) + " starts and " +
         std::to_string(p.unmatchedEnds) + " ends unmatched.";
    if (keyed) {
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.2f", p.depth.mean());
        s += " Depth: at most " + std::to_string(p.depth.max) + " open, " + mean + " on average.";
    }
    s += "</p>";
    if (p.count == 0) return s;
    const std::string id = std::to_string(i);
    s += "<div class=charts><div class=chart-box><div class=chart-title>Latency density" +
         std::string(kinds ? " by kind" : "") + "</div><div id=chart-latency-" + id +
         " class=chart></div></div>";
    if (keyed) {
        s += "<div class=chart-box><div class=chart-title>Transactions open (queue depth)</div>"
             "<div id=chart-depth-" +
             id + " class=chart></div></div>";
    }
    s += "</div>";
    if (kinds) {
        s += "<table><tr><th>kind</th><th>count</th>" + latencyHeads() + "</tr>";
        for (const PairMatcher::KindStats& k : p.kindsByCount()) {
            s += "<tr>" + cell(html(k.kind)) + numberCell(k.latency.count()) +
                 latencyCells(k.latency) + "</tr>";
        }
        s += "</table>";
    }
    if (p.slowest.empty()) return s;
    s += "<table class=slowest><caption>Slowest</caption><tr>";
    for (const TransactionField& f : kTransactionFields) {
        if ((f.outputs & kInSlowest) && shownFor(f, rule)) s += headOf(f);
    }
    s += "</tr>";
    for (std::size_t n = 0; n < p.slowest.size() && n < kSlowShown; ++n) {
        const KeptTransaction& t = p.slowest[n];
        s += clickableRow("s" + id + "-" + std::to_string(n), withContext_,
                          std::to_string(t.startRecord) + " " + std::to_string(t.endRecord));
        const TransactionView view(t, {});
        for (const TransactionField& f : kTransactionFields) {
            if ((f.outputs & kInSlowest) && shownFor(f, rule)) s += cellOf(f, view);
        }
        s += "</tr>";
    }
    return s + "</table>";
}

std::string HtmlReport::tables(const Statistics& stats) const {
    std::string t = "<h2>Events</h2><table>" + headRow({"event", "count", "first (s)", "last (s)"});
    for (const Statistics::EventCount& e : stats.eventsByCount()) {
        t += "<tr>" + cell(html(e.event)) + numberCell(e.count) + timeCell(e.firstNs) +
             timeCell(e.lastNs) + "</tr>";
    }
    t += "</table><h2>Top gaps</h2><table>" +
         headRow({"record", "time (s)", "delta (s)", "event", "after"});
    const std::vector<Statistics::Gap> gaps = stats.topGaps();
    for (std::size_t g = 0; g < gaps.size() && g < kGapsShown; ++g) {
        t += clickableRow("g" + std::to_string(g), withContext_, std::to_string(gaps[g].record)) +
             numberCell(gaps[g].record) + timeCell(gaps[g].timeNs) + timeCell(gaps[g].deltaNs) +
             cell(html(gaps[g].event)) + cell(html(gaps[g].previousEvent)) + "</tr>";
    }
    t += "</table><h2>SATA states</h2><table>" + headRow({"state", "entries", "time (s)"});
    for (const Statistics::StateTime& s : stats.states()) {
        t += "<tr>" + cell(html(s.state)) + numberCell(s.entries) + timeCell(s.timeNs) + "</tr>";
    }
    t += "</table><h2>Errors</h2><p class=note>" + std::to_string(errorCount_) +
         " records tell of trouble (what --errors selects), by status and event:</p><table>" +
         headRow({"status", "event", "records"});
    std::vector<std::pair<std::pair<std::string, std::string>, std::uint64_t>> groups(
        errorGroups_.begin(), errorGroups_.end());
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [what, n] : groups) {
        t += "<tr>" + cell(html(what.first)) + cell(html(what.second)) + numberCell(n) + "</tr>";
    }
    t += "</table><p class=note>";
    if (errorCount_ > errors_.size()) {
        t += "The first " + std::to_string(errors_.size()) + " of them:";
    } else {
        t += "Each of them:";
    }
    t += "</p><table>" + headRow({"record", "time (s)", "what"});
    for (std::size_t e = 0; e < errors_.size(); ++e) {
        t +=
            clickableRow("e" + std::to_string(e), withContext_, std::to_string(errors_[e].record)) +
            numberCell(errors_[e].record) + timeCell(errors_[e].timeNs) +
            cell(html(errors_[e].what)) + "</tr>";
    }
    return t + "</table>";
}

std::string HtmlReport::figures(const Statistics& stats) const {
    std::vector<const HeadlineFigure*> shown;
    for (const HeadlineFigure& f : kHeadlineFigures) {
        if (!f.pageLabel.empty()) shown.push_back(&f);
    }
    std::sort(shown.begin(), shown.end(), [](const HeadlineFigure* a, const HeadlineFigure* b) {
        return a->pagePlace < b->pagePlace;
    });
    // Two figures a row, so that the charts come soon.
    std::string b = "<table class=figures>";
    for (std::size_t i = 0; i < shown.size(); i += 2) {
        b += "<tr>";
        for (std::size_t j = i; j < i + 2 && j < shown.size(); ++j) {
            b += "<td>" + std::string(shown[j]->pageLabel) + "</td><td class=n>" +
                 shown[j]->value(stats) + "</td>";
        }
        b += "</tr>";
    }
    return b + "</table>";
}

std::string HtmlReport::body(const Statistics& stats) const {
    std::string b = "<h1>SATA trace: " + html(title_) + "</h1>" + figures(stats);
    b += "<h2>Transactions</h2><table><tr><th>from</th><th>to</th><th>count</th>"
         "<th>unmatched starts</th><th>unmatched ends</th>" +
         latencyHeads() + "</tr>";
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
        const PairRule& rule = stats.pairs()[i];
        const PairMatcher::RuleStats& p = stats.pairStats()[i];
        b += "<tr>" + cell(html(rule.start)) + cell(html(rule.end)) + numberCell(p.count) +
             numberCell(p.unmatchedStarts) + numberCell(p.unmatchedEnds) + latencyCells(p.latency) +
             "</tr>";
    }
    b += "</table><p class=note>Latencies as a density: transactions per microsecond of "
         "latency, so that the widening buckets of the log scale show no false bump. Drag on a "
         "chart to zoom, double-click to reset.";
    if (withContext_)
        b += " Click a row of a table of slowest, gaps or errors for the records "
             "around it.";
    b += "</p>";
    // The keyed rules first: the commands an engineer looks for.
    for (const bool keyed : {true, false}) {
        for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
            if ((stats.pairs()[i].key != PairWord::kNone) == keyed) b += ruleSection(stats, i);
        }
    }
    b += "<h2>Records</h2><div class=charts>";
    b += "<div class=chart-box><div class=chart-title>Delta of every record over time</div>"
         "<p class=note>Log scale; a delta of 0 is drawn at 1 ns; red marks: the records that "
         "tell of trouble";
    if (errorMarks_.size() < errorCount_) {
        b += " (the first " + std::to_string(errorMarks_.size()) + ")";
    }
    b += ".";
    if (deltas_.reduced()) b += " Reduced to the minimum and maximum of each time bucket.";
    b += "</p><div id=chart-delta class=chart></div></div>";
    b += "<div class=chart-box><div class=chart-title>SATA state over time</div><p class=note>"
         "From each SATAWakeup.";
    if (states_.reduced()) b += " Reduced to the highest and lowest state of each time bucket.";
    b += "</p><div id=chart-states class=chart></div></div>";
    b += "<div class=chart-box><div class=chart-title>Delta density</div><p class=note>Records "
         "per microsecond of delta.</p><div id=chart-histogram class=chart></div></div>";
    b += "<div class=chart-box><div class=chart-title>Records per interval</div><p class=note>"
         "&nbsp;</p><div id=chart-rate class=chart></div></div></div>";
    return b + tables(stats);
}

std::string HtmlReport::page(const Statistics& stats) const {
    return pageDocument(title_, body(stats), chartData(stats));
}

void HtmlReport::end(const Ending& ending) {
    if (!ending.statistics) return;
    const Statistics& stats = *ending.statistics;
    // The last state holds until the last record.
    if (lastState_ >= 0) states_.add(lastStateEnd_, lastState_);
    std::string p = page(stats);
    // Every input fits the bound: the charts lose resolution until it does,
    // and at last the records around the listed items go.
    for (int i = 0; i < 64 && p.size() > kPageMax; ++i) {
        deltas_.coarsen();
        states_.coarsen();
        if (i == 8) withContext_ = false;
        p = page(stats);
    }
    out_.buffer() += p;
    out_.flush();
}

}  // namespace qelttrace
