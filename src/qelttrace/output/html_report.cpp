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
      ages_(rules_.size(), AgeSeries(kDepthIntervals)),
      startWindows_(rules_.size()),
      slowWindows_(rules_.size(), RankedWindows(kSlowShown)),
      openWindows_(rules_.size(), RankedWindows(kOpenShown)) {
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

void HtmlReport::openStart(std::size_t rule, std::uint64_t id) {
    StartWindow start;
    if (firstStarts_ < kFirstStartWindows) {
        ++firstStarts_;
    } else {
        if (newestStarts_.size() >= kNewestStartWindows) {
            const auto oldest = newestStarts_.begin();
            Handle gone = takeStart(oldest->second.first, oldest->second.second);
            release(gone);
        }
        start.newest = ++startsSeen_;
        newestStarts_.emplace(start.newest, std::make_pair(rule, id));
    }
    start.window = windows_.open();
    startWindows_[rule][id] = start;
}

HtmlReport::Handle HtmlReport::takeStart(std::size_t rule, std::uint64_t id) {
    auto& starts = startWindows_[rule];
    const auto found = starts.find(id);
    if (found == starts.end()) return kNone;
    const StartWindow start = found->second;
    starts.erase(found);
    if (start.newest == 0) {
        --firstStarts_;
    } else {
        newestStarts_.erase(start.newest);
    }
    return start.window;
}

void HtmlReport::troubleRecord(const Record& r, const Observation& o) {
    errorMarks_.add(o.sinceFirstNs, r.deltaNs);
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
        RankedWindows::Handles* slow = slowWindows_[rule].find(id);
        if (slow) (*slow)[1] = windows_.open();
    }
    pendingEnds_.clear();
    for (const TransactionPoint& p : o.points) {
        if (p.start) openStart(p.rule, p.id);
        if (rules_[p.rule].key != PairWord::kNone) {
            depths_[p.rule].add(o.sinceFirstNs, static_cast<std::int64_t>(p.depth));
            // On the clock of the times since the first record.
            ages_[p.rule].set(o.sinceFirstNs, p.depth > 0,
                              p.oldestStartNs - (r.timeNs - o.sinceFirstNs));
        }
    }
    if (o.topGap && gapWindows_.admits(r.deltaNs, r.number)) {
        gapWindows_.offer(windows_, r.number, r.deltaNs, r.number, {windows_.open(), kNone});
    }
    if (o.gapLeft != 0) gapWindows_.drop(windows_, o.gapLeft);
    deltas_.add(o.sinceFirstNs, r.deltaNs);
    rate_.add(o.sinceFirstNs);
    lastSinceFirst_ = std::max(lastSinceFirst_, o.sinceFirstNs);
    if (r.trouble) troubleRecord(r, o);
}

void HtmlReport::transaction(const Transaction& t) {
    if (!t.hasStart) return;
    Handle start = takeStart(t.rule, t.id);
    if (t.openAtEnd) {
        // Listed oldest first, as the statistics list them.
        if (start != kNone) {
            openWindows_[t.rule].offer(windows_, t.start.record, -t.start.timeNs, t.start.record,
                                       {start, kNone});
        }
        return;
    }
    if (!t.matched() || !t.slowest) {
        release(start);
    } else if (slowWindows_[t.rule].offer(windows_, t.id, t.durationNs(), t.start.record,
                                          {start, kNone})) {
        // Its end's window opens at its record, which follows.
        pendingEnds_.emplace_back(t.rule, t.id);
    }
    if (t.slowestLeft != 0) slowWindows_[t.rule].drop(windows_, t.slowestLeft);
}

void HtmlReport::state(const StateSpan& s) {
    lastState_ = stateIndex(s.state);
    lastStateEnd_ = s.start.sinceFirstNs + (s.endNs - s.start.timeNs);
    states_.add(s.start.sinceFirstNs, lastState_);
}

// The usual outcome of a rule's transactions (the most frequent), when
// they have more than one: the others are drawn apart. Empty otherwise.
namespace {

std::string_view usualOutcome(const PairMatcher::RuleStats& p) {
    std::map<std::string_view, std::uint64_t> counts;
    for (const PairMatcher::OutcomeStats& o : p.outcomes) counts[o.outcome] += o.latency.count();
    if (counts.size() < 2) return {};
    const auto most =
        std::max_element(counts.begin(), counts.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    return most->first;
}

}  // namespace

void HtmlReport::latencyData(JsonWriter& json, const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    // The kinds drawn: the most frequent, the rest as one series; each kind
    // by outcome, the usual one first, when there are several.
    std::vector<std::int64_t> lows, widths;
    histogramGroups(p.latency, lows, widths);
    const int firstGroup = p.latency.firstBucket() / kHistogramGroup;
    const std::string_view usual = usualOutcome(p);
    json.beginObject();
    json.memberIntegers("x", lows);
    json.memberIntegers("w", widths);
    if (!usual.empty()) json.member("usual", outcomeLabel(rule, usual));
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
        if (!usual.empty()) {
            std::vector<const PairMatcher::OutcomeStats*> outcomes;
            for (const PairMatcher::OutcomeStats& o : p.outcomes) {
                if (o.kind == kinds[k].kind) outcomes.push_back(&o);
            }
            std::stable_sort(outcomes.begin(), outcomes.end(),
                             [usual](const auto* a, const auto* b) {
                                 return (a->outcome == usual) > (b->outcome == usual);
                             });
            json.key("outcomes");
            json.beginArray();
            for (const PairMatcher::OutcomeStats* o : outcomes) {
                json.beginObject();
                json.member("outcome", outcomeLabel(rule, o->outcome));
                json.memberIntegers("n", groupCounts(o->latency, firstGroup, lows.size()));
                json.endObject();
            }
            json.endArray();
        }
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
}

void HtmlReport::ruleData(JsonWriter& json, const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    json.beginObject();
    json.member("name", ruleName(rule));
    json.key("latency");
    latencyData(json, stats, i);
    const bool keyed = rule.key != PairWord::kNone;
    json.key("depth");
    if (!keyed || depths_[i].empty()) {
        json.null();
    } else {
        depths_[i].write(json);
    }
    json.key("age");
    if (!keyed || ages_[i].empty()) {
        json.null();
    } else {
        ages_[i].write(json);
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
        const RankedWindows::Handles* found = gapWindows_.find(gaps[g].record);
        if (found) item("g" + std::to_string(g), {(*found)[0]});
    }
    for (std::size_t e = 0; e < errors_.size(); ++e) {
        item("e" + std::to_string(e), {errors_[e].window});
    }
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
        const auto& oldest = stats.pairStats()[i].openAtEnd.oldest;
        for (std::size_t n = 0; n < oldest.size() && n < kOpenShown; ++n) {
            const RankedWindows::Handles* found = openWindows_[i].find(oldest[n].startRecord);
            if (found) item("o" + std::to_string(i) + "-" + std::to_string(n), {(*found)[0]});
        }
        const auto& slowest = stats.pairStats()[i].slowest;
        for (std::size_t s = 0; s < slowest.size() && s < kSlowShown; ++s) {
            const RankedWindows::Handles* found = slowWindows_[i].find(slowest[s].id);
            if (!found) continue;
            item("s" + std::to_string(i) + "-" + std::to_string(s), {(*found)[0], (*found)[1]});
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
    json.key("errors");
    errorMarks_.write(json);
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

std::string HtmlReport::ruleCharts(const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    const std::string id = std::to_string(i);
    const auto box = [&id](const std::string& title, const char* chart) {
        return "<div class=chart-box><div class=chart-title>" + title + "</div><div id=chart-" +
               chart + "-" + id + " class=chart></div></div>";
    };
    std::string s = "<div class=charts>";
    if (p.count > 0) {
        s += box(std::string("Latency density") + (rule.kind != PairWord::kNone ? " by kind" : "") +
                     (usualOutcome(p).empty() ? "" : " and outcome (dashed: not the usual one)"),
                 "latency");
    }
    if (rule.key != PairWord::kNone) {
        s += box("Transactions open (queue depth)", "depth");
        s += box("Age of the oldest transaction open", "age");
    }
    return s + "</div>";
}

std::string HtmlReport::openTable(const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::OpenAtEnd& open = stats.pairStats()[i].openAtEnd;
    if (open.oldest.empty()) return {};
    const std::string id = std::to_string(i);
    const bool keyed = rule.key != PairWord::kNone, kinds = rule.kind != PairWord::kNone;
    std::string s = "<table class=open><caption>Open at " +
                    std::string(open.atTo ? "--to" : "the end") +
                    ", the oldest first</caption><tr>";
    if (keyed) s += "<th>key</th>";
    if (kinds) s += "<th>kind</th>";
    s += "<th>start record</th><th>start (s)</th><th>age (s)</th></tr>";
    for (std::size_t n = 0; n < open.oldest.size() && n < kOpenShown; ++n) {
        const PairMatcher::OpenTransaction& t = open.oldest[n];
        // The records around its start, where they were kept.
        const bool around = openWindows_[i].find(t.startRecord) != nullptr;
        s += clickableRow("o" + id + "-" + std::to_string(n), withContext_ && around,
                          std::to_string(t.startRecord));
        if (keyed) s += cell(html(t.key));
        if (kinds) s += cell(html(t.kind));
        s += numberCell(t.startRecord) + timeCell(t.startNs) + timeCell(t.ageNs) + "</tr>";
    }
    return s + "</table>";
}

std::string HtmlReport::slowestTable(const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    if (p.slowest.empty()) return {};
    const std::string id = std::to_string(i);
    std::string s = "<table class=slowest><caption>Slowest</caption><tr>";
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

std::string HtmlReport::ruleSection(const Statistics& stats, std::size_t i) const {
    const PairRule& rule = stats.pairs()[i];
    const PairMatcher::RuleStats& p = stats.pairStats()[i];
    const bool keyed = rule.key != PairWord::kNone, kinds = rule.kind != PairWord::kNone;
    std::string s =
        "<h3>" +
        (rule.name.empty() ? html(rule.start) + " &rarr; " + html(rule.end) : html(rule.name)) +
        "</h3><p class=note>";
    s += std::to_string(p.count) + " transactions" + ruleWords(rule, ", ");
    s += "; " + std::to_string(p.unmatchedStarts) + " starts and " +
         std::to_string(p.unmatchedEnds) + " ends unmatched";
    if (p.openAtEnd.count > 0) {
        s += ", of which " + std::to_string(p.openAtEnd.count) + " still open at " +
             (p.openAtEnd.atTo ? "--to" : "the end");
    }
    s += ".";
    if (keyed) {
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.2f", p.depth.mean());
        s += " Depth: at most " + std::to_string(p.depth.max) + " open, " + mean + " on average.";
    }
    s += "</p>";
    if (p.count == 0 && p.openAtEnd.count == 0) return s;
    // What is left hanging first, the first thing to look at when a device
    // hangs; the slowest last.
    s += openTable(stats, i) + ruleCharts(stats, i);
    if (kinds && p.count > 0) {
        s += "<table><tr><th>kind</th><th>count</th>" + latencyHeads() + "</tr>";
        for (const PairMatcher::KindStats& k : p.kindsByCount()) {
            s += "<tr>" + cell(html(k.kind)) + numberCell(k.latency.count()) +
                 latencyCells(k.latency) + "</tr>";
        }
        s += "</table>";
    }
    if (!usualOutcome(p).empty()) {
        s += "<table class=outcomes><caption>By outcome</caption><tr>" +
             std::string(kinds ? "<th>kind</th>" : "") + "<th>outcome</th><th>count</th>" +
             latencyHeads() + "</tr>";
        for (const PairMatcher::OutcomeStats& o : p.outcomesInOrder()) {
            s += "<tr>" + std::string(kinds ? cell(html(o.kind)) : "") +
                 cell(html(outcomeLabel(rule, o.outcome))) + numberCell(o.latency.count()) +
                 latencyCells(o.latency) + "</tr>";
        }
        s += "</table>";
    }
    return s + slowestTable(stats, i);
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
    t += "</table><h2>Errors</h2><p class=note>" + std::to_string(errorMarks_.count()) +
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
    if (errorMarks_.count() > errors_.size()) {
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
         "<th>unmatched starts</th><th>unmatched ends</th><th>open at the end</th>" +
         latencyHeads() + "</tr>";
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
        const PairRule& rule = stats.pairs()[i];
        const PairMatcher::RuleStats& p = stats.pairStats()[i];
        b += "<tr>" + cell(html(rule.start)) + cell(html(rule.end)) + numberCell(p.count) +
             numberCell(p.unmatchedStarts) + numberCell(p.unmatchedEnds) +
             numberCell(p.openAtEnd.count) + latencyCells(p.latency) + "</tr>";
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
    if (errorMarks_.kept() < errorMarks_.count()) {
        b += " (the first " + std::to_string(errorMarks_.kept()) + ")";
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
    // The last state holds until the last record, the oldest open grows older until then.
    if (lastState_ >= 0) states_.add(lastStateEnd_, lastState_);
    for (AgeSeries& age : ages_) age.finish(lastSinceFirst_);
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
