#include "html.h"

#include <algorithm>

#include "export.h"
#include "filter.h"
#include "uplot_assets.h"

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

void appendArray(std::string& out, const char* key, const std::vector<std::int64_t>& values) {
    out += '"';
    out += key;
    out += "\":[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ',';
        appendInt(out, values[i]);
    }
    out += ']';
}

// x values as differences from the previous one: short numbers for the page.
std::vector<std::int64_t> differences(const std::vector<std::int64_t>& xs) {
    std::vector<std::int64_t> out(xs.size());
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        out[i] = xs[i] - previous;
        previous = xs[i];
    }
    return out;
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

const char kStyle[] =
    "body{font:14px system-ui,sans-serif;margin:20px;color:#222}"
    "h1{font-size:20px}h2{font-size:16px;margin-top:28px}"
    "table{border-collapse:collapse;margin:8px 0}"
    "td,th{border:1px solid #ccc;padding:2px 8px;text-align:left;vertical-align:top}"
    "td.n{text-align:right;font-family:monospace}th{background:#f0f0f0}"
    ".figures td:first-child{font-weight:600}.chart{margin:8px 0 24px}"
    ".note{color:#666;font-size:12px}pre{white-space:pre-wrap;font-size:12px}";

// Draws the four charts from the data element; sets data-charts on the body
// to the number drawn, for the browser test.
const char kScript[] = R"JS(
(function () {
  "use strict";
  var D = JSON.parse(document.getElementById("qelt-data").textContent);
  function sum(a) { var s = 0; return a.map(function (v) { s += v; return s; }); }
  function millis(a) { return sum(a).map(function (v) { return v / 1e6; }); }
  function positive(a) { return a.map(function (v) { return Math.max(v, 1); }); }
  function width() { return Math.max(400, document.body.clientWidth - 40); }
  var drawn = 0;
  function chart(id, opts, data) {
    var el = document.getElementById(id);
    opts.width = width();
    opts.height = 260;
    opts.cursor = { drag: { x: true, y: false } };
    new uPlot(opts, data, el);
    drawn++;
  }
  var xs = { time: false };
  var d = D.delta;
  if (d.x.length > 0) {
    var dx = millis(d.x);
    var series = [{ label: "ms since the first record" }];
    var data = [dx];
    if (d.y) {
      series.push({ label: "delta (ns)", stroke: "#1f77b4", points: { show: false } });
      data.push(positive(d.y));
    } else {
      series.push({ label: "max delta (ns)", stroke: "#d62728" });
      series.push({ label: "min delta (ns)", stroke: "#1f77b4" });
      data.push(positive(d.max), positive(d.min));
    }
    chart("chart-delta", { scales: { x: xs, y: { distr: 3 } }, axes: [{}, { size: 80 }],
                           series: series }, data);
  }
  var s = D.states;
  if (s.x.length > 0) {
    var names = D.stateNames;
    var sx = millis(s.x);
    var sseries = [{ label: "ms since the first record" }];
    var sdata = [sx];
    var step = uPlot.paths.stepped({ align: 1 });
    if (s.y) {
      sseries.push({ label: "state", stroke: "#2ca02c", paths: step });
      sdata.push(s.y);
    } else {
      sseries.push({ label: "highest state", stroke: "#2ca02c", paths: step });
      sseries.push({ label: "lowest state", stroke: "#9467bd", paths: step });
      sdata.push(s.max, s.min);
    }
    chart("chart-states", {
      scales: { x: xs, y: { range: [-0.5, names.length - 0.5] } },
      axes: [{}, { size: 110, splits: function () { return names.map(function (n, i) { return i; }); },
                   values: function (u, v) { return v.map(function (i) { return names[i] || ""; }); } }],
      series: sseries
    }, sdata);
  }
  var h = D.histogram;
  if (h.x.length > 0) {
    chart("chart-histogram", {
      scales: { x: { time: false, distr: 3 } }, axes: [{}, { size: 70 }],
      series: [{ label: "delta from (ns)" },
               { label: "records", stroke: "#ff7f0e", fill: "rgba(255,127,14,0.3)",
                 paths: uPlot.paths.bars({ size: [0.9, 40] }), points: { show: false } }]
    }, [positive(h.x), h.y]);
  }
  var r = D.rate;
  if (r.x.length > 0) {
    chart("chart-rate", {
      scales: { x: xs },
      series: [{ label: "ms since the first record" },
               { label: "records per " + (r.width / 1e6) + " ms", stroke: "#8c564b",
                 fill: "rgba(140,86,75,0.2)", paths: uPlot.paths.stepped({ align: 1 }) }]
    }, [millis(r.x), r.y]);
  }
  document.body.setAttribute("data-charts", String(drawn));
})();
)JS";

}  // namespace

void MinMaxSeries::add(std::int64_t x, std::int64_t y) {
    if (!reduced_) {
        exact_.emplace_back(x, y);
        if (exact_.size() > budget_) toBuckets();
        return;
    }
    put(x, y);
}

std::size_t MinMaxSeries::points() const {
    if (!reduced_) return exact_.size();
    return static_cast<std::size_t>(
        std::count_if(buckets_.begin(), buckets_.end(), [](const Bucket& b) { return b.used; }));
}

void MinMaxSeries::toBuckets() {
    reduced_ = true;
    const std::size_t count = std::max<std::size_t>(2, budget_ / 2);
    buckets_.assign(count, Bucket{});
    origin_ = exact_.empty() ? 0 : exact_.front().first;
    std::int64_t last = origin_;
    for (const auto& point : exact_) last = std::max(last, point.first);
    width_ = 1;
    while ((last - origin_) / width_ >= static_cast<std::int64_t>(count)) width_ *= 2;
    for (const auto& point : exact_) put(point.first, point.second);
    exact_.clear();
    exact_.shrink_to_fit();
}

void MinMaxSeries::mergePairs() {
    const std::size_t count = buckets_.size();
    for (std::size_t i = 0; i < count; ++i) {
        Bucket merged;
        for (std::size_t j = 2 * i; j < 2 * i + 2 && j < count; ++j) {
            const Bucket& b = buckets_[j];
            if (!b.used) continue;
            merged.min = merged.used ? std::min(merged.min, b.min) : b.min;
            merged.max = merged.used ? std::max(merged.max, b.max) : b.max;
            merged.used = true;
        }
        buckets_[i] = merged;
    }
    width_ *= 2;
}

void MinMaxSeries::put(std::int64_t x, std::int64_t y) {
    // Times before the first (decoded input may hold them) go to the first bucket.
    std::int64_t index = x < origin_ ? 0 : (x - origin_) / width_;
    while (index >= static_cast<std::int64_t>(buckets_.size())) {
        mergePairs();
        index = (x - origin_) / width_;
    }
    Bucket& b = buckets_[static_cast<std::size_t>(index)];
    b.min = b.used ? std::min(b.min, y) : y;
    b.max = b.used ? std::max(b.max, y) : y;
    b.used = true;
}

void MinMaxSeries::coarsen() {
    if (!reduced_) {
        budget_ = std::max<std::size_t>(4, std::min(budget_, exact_.size()) / 2);
        toBuckets();
        return;
    }
    mergePairs();
}

void MinMaxSeries::appendJson(std::string& out) const {
    std::vector<std::int64_t> xs, first, second;
    if (!reduced_) {
        for (const auto& point : exact_) {
            xs.push_back(point.first);
            first.push_back(point.second);
        }
        out += '{';
        appendArray(out, "x", differences(xs));
        out += ',';
        appendArray(out, "y", first);
        out += '}';
        return;
    }
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        if (!buckets_[i].used) continue;
        xs.push_back(origin_ + static_cast<std::int64_t>(i) * width_);
        first.push_back(buckets_[i].min);
        second.push_back(buckets_[i].max);
    }
    out += '{';
    appendArray(out, "x", differences(xs));
    out += ',';
    appendArray(out, "min", first);
    out += ',';
    appendArray(out, "max", second);
    out += '}';
}

void CountSeries::add(std::int64_t x) {
    if (!started_) {
        started_ = true;
        origin_ = x;
    }
    std::int64_t index = x < origin_ ? 0 : (x - origin_) / width_;
    while (index >= static_cast<std::int64_t>(counts_.size())) {
        const std::size_t count = counts_.size();
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t a = 2 * i < count ? counts_[2 * i] : 0;
            const std::uint64_t b = 2 * i + 1 < count ? counts_[2 * i + 1] : 0;
            counts_[i] = a + b;
        }
        width_ *= 2;
        used_ = (used_ + 1) / 2;
        index = (x - origin_) / width_;
    }
    ++counts_[static_cast<std::size_t>(index)];
    used_ = std::max(used_, static_cast<std::size_t>(index) + 1);
}

void CountSeries::appendJson(std::string& out) const {
    std::vector<std::int64_t> xs, ys;
    for (std::size_t i = 0; i < used_; ++i) {
        xs.push_back(origin_ + static_cast<std::int64_t>(i) * width_);
        ys.push_back(static_cast<std::int64_t>(counts_[i]));
    }
    out += '{';
    appendArray(out, "x", differences(xs));
    out += ',';
    appendArray(out, "y", ys);
    out += ",\"width\":";
    appendInt(out, width_);
    out += '}';
}

HtmlReport::HtmlReport(FILE* out, const Statistics& stats, std::string title)
    : out_(out), stats_(stats), title_(std::move(title)) {}

int HtmlReport::stateIndex(std::string_view name) {
    for (std::size_t i = 0; i < stateNames_.size(); ++i) {
        if (stateNames_[i] == name) return static_cast<int>(i);
    }
    stateNames_.emplace_back(name);
    return static_cast<int>(stateNames_.size() - 1);
}

void HtmlReport::record(const Record& r) {
    const std::int64_t x = r.timeNs - stats_.firstNs();
    deltas_.add(x, r.deltaNs);
    rate_.add(x);
    if (!isError(r)) return;
    ++errorCount_;
    if (errors_.size() >= kErrorsShown) return;
    std::string what;
    if (r.status != Status::kOk) {
        what = std::string(statusName(r.status)) + ": " + std::string(r.text);
    } else {
        what =
            std::string(r.event) + " " + std::string(r.qualifier) + " " + std::string(r.argument);
    }
    if (r.held) what += " (shown at the held time: its own went backwards)";
    errors_.push_back(ErrorRow{r.number, r.timeNs, what});
}

void HtmlReport::state(std::string_view name, const PairPoint& start, std::int64_t endNs) {
    (void)endNs;
    // The states chart steps at each change; the names in the order of the table.
    if (stateNames_.empty()) {
        for (const char* known :
             {"INIT", "IDLE", "RCV", "SND", "DMA_READ", "DMA_WRITE", "COMMRESET", "UNKNOWN"}) {
            stateNames_.emplace_back(known);
        }
    }
    lastState_ = stateIndex(name);
    states_.add(start.timeNs - stats_.firstNs(), lastState_);
}

std::string HtmlReport::chartData() const {
    std::string json = "{\"delta\":";
    deltas_.appendJson(json);
    json += ",\"states\":";
    states_.appendJson(json);
    json += ",\"stateNames\":[";
    for (std::size_t i = 0; i < stateNames_.size(); ++i) {
        if (i > 0) json += ',';
        appendJsonString(json, stateNames_[i]);
    }
    json += "],\"histogram\":";
    std::vector<std::int64_t> xs, ys;
    const LogHistogram& h = stats_.deltas();
    int first = LogHistogram::kBuckets, last = -1;
    for (int i = 0; i < LogHistogram::kBuckets; ++i) {
        if (h.bucket(i) == 0) continue;
        first = std::min(first, i);
        last = i;
    }
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
    json += '{';
    appendArray(json, "x", xs);
    json += ',';
    appendArray(json, "y", ys);
    json += "},\"rate\":";
    rate_.appendJson(json);
    json += '}';
    std::string out;
    appendScriptJson(out, json);
    return out;
}

std::string HtmlReport::tables() const {
    std::string t =
        "<h2>Events</h2><table><tr><th>event</th><th>count</th><th>first (s)</th>"
        "<th>last (s)</th></tr>";
    for (const Statistics::EventCount& e : stats_.eventsByCount()) {
        t += "<tr>" + cell(html(e.event)) + numberCell(static_cast<std::int64_t>(e.count)) +
             timeCell(e.firstNs) + timeCell(e.lastNs) + "</tr>";
    }
    t += "</table><h2>Top gaps</h2><table><tr><th>record</th><th>time (s)</th><th>delta (s)"
         "</th><th>event</th><th>after</th></tr>";
    std::size_t shown = 0;
    for (const Statistics::Gap& g : stats_.topGaps()) {
        if (shown++ == kGapsShown) break;
        t += "<tr>" + numberCell(static_cast<std::int64_t>(g.record)) + timeCell(g.timeNs) +
             timeCell(g.deltaNs) + cell(html(g.event)) + cell(html(g.previousEvent)) + "</tr>";
    }
    t += "</table><h2>SATA states</h2><table><tr><th>state</th><th>entries</th><th>time (s)"
         "</th></tr>";
    for (const Statistics::StateTime& s : stats_.states()) {
        t += "<tr>" + cell(html(s.state)) + numberCell(static_cast<std::int64_t>(s.entries)) +
             timeCell(s.timeNs) + "</tr>";
    }
    t += "</table><h2>Pairs</h2><table><tr><th>start</th><th>end</th><th>key</th><th>count</th>"
         "<th>unmatched starts</th><th>unmatched ends</th><th>min (s)</th><th>p50 (s)</th>"
         "<th>p99 (s)</th><th>max (s)</th></tr>";
    for (std::size_t i = 0; i < stats_.pairs().size(); ++i) {
        const PairRule& rule = stats_.pairs()[i];
        const Statistics::PairStats& p = stats_.pairStats()[i];
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

std::string HtmlReport::body() const {
    const LogHistogram& d = stats_.deltas();
    std::string b = "<h1>SATA trace: " + html(title_) + "</h1><table class=figures>";
    const std::pair<const char*, std::string> figures[] = {
        {"records", std::to_string(stats_.records())},
        {"decoded", std::to_string(stats_.decoded())},
        {"parse errors", std::to_string(stats_.parseErrors())},
        {"invalid parameters", std::to_string(stats_.invalidParameters())},
        {"records that tell of trouble", std::to_string(stats_.errors())},
        {"timestamps backwards", std::to_string(stats_.backwards())},
        {"span (s)", durationText(stats_.spanNs())},
        {"first record (s)", durationText(stats_.firstNs())},
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
    return b + tables();
}

std::string HtmlReport::page() const {
    std::string p = "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8><title>";
    p += html(title_);
    p += "</title><style>";
    p.append(kUplotCss, kUplotCssSize);
    p += kStyle;
    p += "</style></head><body>";
    p += body();
    p += "<details><summary class=note>Charts drawn with uPlot ";
    p += kUplotVersion;
    p += " (MIT licence)</summary><pre>";
    appendHtml(p, std::string_view(kUplotLicense, kUplotLicenseSize));
    p += "</pre></details><script>/* uPlot ";
    p += kUplotVersion;
    p += ", MIT licence, see the notice above */\n";
    p.append(kUplotJs, kUplotJsSize);
    p += "</script><script type=\"application/json\" id=qelt-data>";
    p += chartData();
    p += "</script><script>";
    p += kScript;
    p += "</script></body></html>\n";
    return p;
}

void HtmlReport::end(bool) {
    if (lastState_ >= 0) states_.add(stats_.lastNs() - stats_.firstNs(), lastState_);
    std::string p = page();
    // Every input fits the bound: the charts lose resolution until it does.
    for (int i = 0; i < 64 && p.size() > kPageMax; ++i) {
        deltas_.coarsen();
        states_.coarsen();
        p = page();
    }
    std::fwrite(p.data(), 1, p.size(), out_);
}

}  // namespace qelttrace
