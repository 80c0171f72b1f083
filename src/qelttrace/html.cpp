#include "html.h"

#include <algorithm>

#include "page_assets.h"
#include "trace/sata_names.h"

namespace qelttrace {

namespace {

constexpr int kHistogramGroup = 16;  // log buckets per histogram bar: 8 per power of two

// Text for the page: markup characters as entities, a byte of 0x80 or more as
// the character of the same number, control bytes shown as \xNN.
void appendHtml(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (byte >= 0x80) {
                    out += "&#";
                    appendInt(out, byte);
                    out += ';';
                } else if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

// Table cells show at most this much of a word or a record text.
constexpr std::size_t kCellMax = 160;

std::string html(std::string_view text) {
    std::string out;
    appendHtml(out, text.substr(0, kCellMax));
    if (text.size() > kCellMax) out += "...";
    return out;
}

// JSON inside a <script> element: no '<', so no "</script>" can end it early.
void appendScriptJson(std::string& out, std::string_view json) {
    for (const char c : json) {
        if (c == '<') {
            out += "\\u003c";
        } else {
            out += c;
        }
    }
}

std::string cell(const std::string& text) {
    return "<td>" + text + "</td>";
}

std::string numberCell(std::int64_t value) {
    return "<td class=n>" + std::to_string(value) + "</td>";
}

std::string timeCell(std::int64_t ns) {
    return "<td class=n>" + durationText(ns) + "</td>";
}

}  // namespace

HtmlReport::HtmlReport(Output& out, std::string title) : out_(out), title_(std::move(title)) {
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

void HtmlReport::record(const Record& r, const Observation& o) {
    deltas_.add(o.sinceFirstNs, r.deltaNs);
    rate_.add(o.sinceFirstNs);
    if (!r.trouble) return;
    ++errorCount_;
    if (errors_.size() >= kErrorsShown) return;
    std::string what;
    if (r.status != Status::kOk) {
        what = std::string(statusName(r.status)) + ": " + std::string(r.text());
    } else {
        what = std::string(r.event()) + " " + std::string(r.qualifier()) + " " +
               std::string(r.argument());
    }
    if (r.held) what += " (shown at the held time: its own went backwards)";
    errors_.push_back(ErrorRow{r.number, r.timeNs, what});
}

void HtmlReport::state(const StateSpan& s) {
    lastState_ = stateIndex(s.state);
    lastStateEnd_ = s.start.sinceFirstNs + (s.endNs - s.start.timeNs);
    states_.add(s.start.sinceFirstNs, lastState_);
}

std::string HtmlReport::chartData(const Statistics& stats) const {
    std::string data;
    JsonWriter json(data);
    json.beginObject();
    json.key("delta");
    deltas_.write(json);
    json.key("states");
    states_.write(json);
    json.key("stateNames");
    json.beginArray();
    for (const std::string& name : stateNames_) json.string(name);
    json.endArray();
    std::vector<std::int64_t> xs, ys;
    const LogHistogram& h = stats.deltas();
    const int first = h.firstBucket(), last = h.lastBucket();
    for (int group = first / kHistogramGroup; last >= 0 && group <= last / kHistogramGroup;
         ++group) {
        std::uint64_t n = 0;
        for (int i = group * kHistogramGroup; i < (group + 1) * kHistogramGroup; ++i) {
            n += h.bucket(i);
        }
        std::int64_t low = 0, high = 0;
        LogHistogram::bounds(group * kHistogramGroup, &low, &high);
        xs.push_back(low);
        ys.push_back(static_cast<std::int64_t>(n));
    }
    json.key("histogram");
    json.beginObject();
    writeArray(json, "x", xs);
    writeArray(json, "y", ys);
    json.endObject();
    json.key("rate");
    rate_.write(json);
    json.endObject();
    std::string out;
    appendScriptJson(out, data);
    return out;
}

std::string HtmlReport::tables(const Statistics& stats) const {
    std::string t =
        "<h2>Events</h2><table><tr><th>event</th><th>count</th><th>first (s)</th>"
        "<th>last (s)</th></tr>";
    for (const Statistics::EventCount& e : stats.eventsByCount()) {
        t += "<tr>" + cell(html(e.event)) + numberCell(static_cast<std::int64_t>(e.count)) +
             timeCell(e.firstNs) + timeCell(e.lastNs) + "</tr>";
    }
    t += "</table><h2>Top gaps</h2><table><tr><th>record</th><th>time (s)</th><th>delta (s)"
         "</th><th>event</th><th>after</th></tr>";
    std::size_t shown = 0;
    for (const Statistics::Gap& g : stats.topGaps()) {
        if (shown++ == kGapsShown) break;
        t += "<tr>" + numberCell(static_cast<std::int64_t>(g.record)) + timeCell(g.timeNs) +
             timeCell(g.deltaNs) + cell(html(g.event)) + cell(html(g.previousEvent)) + "</tr>";
    }
    t += "</table><h2>SATA states</h2><table><tr><th>state</th><th>entries</th><th>time (s)"
         "</th></tr>";
    for (const Statistics::StateTime& s : stats.states()) {
        t += "<tr>" + cell(html(s.state)) + numberCell(static_cast<std::int64_t>(s.entries)) +
             timeCell(s.timeNs) + "</tr>";
    }
    t += "</table><h2>Pairs</h2><table><tr><th>start</th><th>end</th><th>key</th><th>count</th>"
         "<th>unmatched starts</th><th>unmatched ends</th><th>min (s)</th><th>p50 (s)</th>"
         "<th>p99 (s)</th><th>max (s)</th></tr>";
    for (std::size_t i = 0; i < stats.pairs().size(); ++i) {
        const PairRule& rule = stats.pairs()[i];
        const PairMatcher::RuleStats& p = stats.pairStats()[i];
        t += "<tr>" + cell(html(rule.start)) + cell(html(rule.end)) + cell(pairKeyName(rule.key)) +
             numberCell(static_cast<std::int64_t>(p.count)) +
             numberCell(static_cast<std::int64_t>(p.unmatchedStarts)) +
             numberCell(static_cast<std::int64_t>(p.unmatchedEnds));
        if (p.count > 0) {
            t += timeCell(p.latency.min()) + timeCell(p.latency.percentile(0.5)) +
                 timeCell(p.latency.percentile(0.99)) + timeCell(p.latency.max());
        } else {
            t += "<td></td><td></td><td></td><td></td>";
        }
        t += "</tr>";
    }
    t += "</table><h2>Errors</h2><p class=note>" + std::to_string(errorCount_) +
         " records tell of trouble";
    if (errorCount_ > errors_.size())
        t += "; the first " + std::to_string(errors_.size()) + " here";
    t += ".</p><table><tr><th>record</th><th>time (s)</th><th>record</th></tr>";
    for (const ErrorRow& e : errors_) {
        t += "<tr>" + numberCell(static_cast<std::int64_t>(e.record)) + timeCell(e.timeNs) +
             cell(html(e.what)) + "</tr>";
    }
    return t + "</table>";
}

std::string HtmlReport::body(const Statistics& stats) const {
    const LogHistogram& d = stats.deltas();
    std::string b = "<h1>SATA trace: " + html(title_) + "</h1><table class=figures>";
    const std::pair<const char*, std::string> figures[] = {
        {"records", std::to_string(stats.records())},
        {"decoded", std::to_string(stats.decoded())},
        {"parse errors", std::to_string(stats.withStatus(Status::kParseError))},
        {"invalid parameters", std::to_string(stats.withStatus(Status::kInvalidParameter))},
        {"no time (no digit in the timestamp)", std::to_string(stats.withStatus(Status::kNoTime))},
        {"no record text", std::to_string(stats.withStatus(Status::kNoText))},
        {"unknown tags", std::to_string(stats.withStatus(Status::kUnknownTag))},
        {"records that tell of trouble", std::to_string(stats.errors())},
        {"timestamps backwards", std::to_string(stats.backwards())},
        {"span (s)", durationText(stats.spanNs())},
        {"first record (s)", durationText(stats.firstNs())},
        {"delta p50 / p99 / max (s)", d.count() ? durationText(d.percentile(0.5)) + " / " +
                                                      durationText(d.percentile(0.99)) + " / " +
                                                      durationText(d.max())
                                                : "none"},
    };
    for (const auto& figure : figures) {
        b += "<tr><td>" + std::string(figure.first) + "</td><td class=n>" + figure.second +
             "</td></tr>";
    }
    b += "</table>";
    b += "<h2>Delta of every record over time</h2><p class=note>Drag to zoom, double-click to "
         "reset. Log scale; a delta of 0 is drawn at 1 ns.";
    if (deltas_.reduced()) b += " Reduced to the minimum and maximum of each time bucket.";
    b += "</p><div id=chart-delta class=chart></div>";
    b += "<h2>SATA state over time</h2><p class=note>From each SATAWakeup.";
    if (states_.reduced()) b += " Reduced to the highest and lowest state of each time bucket.";
    b += "</p><div id=chart-states class=chart></div>";
    b += "<h2>Delta histogram</h2><div id=chart-histogram class=chart></div>";
    b += "<h2>Records per interval</h2><div id=chart-rate class=chart></div>";
    return b + tables(stats);
}

std::string HtmlReport::page(const Statistics& stats) const {
    std::string p = "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8><title>";
    p += html(title_);
    p += "</title><style>";
    p.append(kUplotCss, kUplotCssSize);
    p.append(kPageCss, kPageCssSize);
    p += "</style></head><body>";
    p += body(stats);
    p += "<details><summary class=note>Charts drawn with uPlot ";
    p += kUplotVersion;
    p += " (MIT licence)</summary><pre>";
    appendHtml(p, std::string_view(kUplotLicense, kUplotLicenseSize));
    p += "</pre></details><script>/* uPlot ";
    p += kUplotVersion;
    p += ", MIT licence, see the notice above */\n";
    p.append(kUplotJs, kUplotJsSize);
    p += "</script><script type=\"application/json\" id=qelt-data>";
    p += chartData(stats);
    p += "</script><script>";
    p.append(kPageJs, kPageJsSize);
    p += "</script></body></html>\n";
    return p;
}

void HtmlReport::end(const Ending& ending) {
    if (!ending.statistics) return;
    const Statistics& stats = *ending.statistics;
    // The last state holds until the last record.
    if (lastState_ >= 0) states_.add(lastStateEnd_, lastState_);
    std::string p = page(stats);
    // Every input fits the bound: the charts lose resolution until it does.
    for (int i = 0; i < 64 && p.size() > kPageMax; ++i) {
        deltas_.coarsen();
        states_.coarsen();
        p = page(stats);
    }
    out_.buffer() += p;
    out_.flush();
}

}  // namespace qelttrace
