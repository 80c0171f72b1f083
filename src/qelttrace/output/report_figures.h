// The figures the reports (--stats, --stats=json, the page) show, once each,
// as tables like the record's fields (record_fields.h): a figure is one row.
//
//   kLatencyColumns   the figures of a histogram of latencies or deltas: its
//                     label (the head of a column, before its unit), its JSON
//                     member and the one accessor of its value
//   kHeadlineFigures  the counts at the top of --stats and of the page, with
//                     the label each shows and the one accessor of the value
//   ruleWords         what reads a rule's keys, kinds and outcomes, as every
//                     report says it
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/histogram.h"
#include "analysis/statistics.h"
#include "output/json.h"

namespace qelttrace {

struct LatencyColumn {
    std::string_view label;  // "p99.9"
    std::string_view key;    // "p999_ns"
    // The figure of a histogram that holds a value (an empty one has none).
    std::int64_t (*value)(const LogHistogram&);
};

inline constexpr LatencyColumn kLatencyColumns[] = {
    {"min", "min_ns", [](const LogHistogram& h) { return h.min(); }},
    {"mean", "mean_ns",
     [](const LogHistogram& h) { return static_cast<std::int64_t>(std::llround(h.mean())); }},
    {"p50", "p50_ns", [](const LogHistogram& h) { return h.percentile(0.50); }},
    {"p90", "p90_ns", [](const LogHistogram& h) { return h.percentile(0.90); }},
    {"p99", "p99_ns", [](const LogHistogram& h) { return h.percentile(0.99); }},
    {"p99.9", "p999_ns", [](const LogHistogram& h) { return h.percentile(0.999); }},
    {"max", "max_ns", [](const LogHistogram& h) { return h.max(); }},
};

// The column labelled `label` (a compile-time error when there is none).
constexpr const LatencyColumn& latencyColumn(std::string_view label) {
    std::size_t i = 0;
    while (kLatencyColumns[i].label != label) ++i;
    return kLatencyColumns[i];
}

// The columns' members of `h` in the JSON object being written, null when it
// holds nothing; with `meanLast`, the mean after the others (the delta's
// object has it there).
void writeLatencyMembers(JsonWriter& json, const LogHistogram& h, bool meanLast = false);

struct HeadlineFigure {
    std::string_view label;      // in --stats; empty when only the page shows it
    std::string_view pageLabel;  // on the page; empty when only --stats shows it
    std::size_t pagePlace;       // its place among the page's figures, from 0
    std::string (*value)(const Statistics&);
};

inline constexpr HeadlineFigure kHeadlineFigures[] = {
    {"records", "records", 0, [](const Statistics& s) { return std::to_string(s.records()); }},
    {"decoded", "decoded", 1, [](const Statistics& s) { return std::to_string(s.decoded()); }},
    {"parse errors", "parse errors", 2,
     [](const Statistics& s) { return std::to_string(s.withStatus(Status::kParseError)); }},
    {"invalid parameters", "invalid parameters", 3,
     [](const Statistics& s) { return std::to_string(s.withStatus(Status::kInvalidParameter)); }},
    {"no time", "no time (no digit in the timestamp)", 4,
     [](const Statistics& s) { return std::to_string(s.withStatus(Status::kNoTime)); }},
    {"no text", "no record text", 5,
     [](const Statistics& s) { return std::to_string(s.withStatus(Status::kNoText)); }},
    {"unknown tags", "unknown tags", 6,
     [](const Statistics& s) { return std::to_string(s.withStatus(Status::kUnknownTag)); }},
    {"backwards", "timestamps backwards", 8,
     [](const Statistics& s) { return std::to_string(s.backwards()); }},
    {"errors (--errors)", "records that tell of trouble", 7,
     [](const Statistics& s) { return std::to_string(s.errors()); }},
    {"span (s)", "span (s)", 9, [](const Statistics& s) { return durationText(s.spanNs()); }},
    {"", "first record (s)", 10, [](const Statistics& s) { return durationText(s.firstNs()); }},
    {"", "delta p50 / p99 / max (s)", 11,
     [](const Statistics& s) {
         const LogHistogram& d = s.deltas();
         if (d.count() == 0) return std::string("none");
         return durationText(latencyColumn("p50").value(d)) + " / " +
                durationText(latencyColumn("p99").value(d)) + " / " +
                durationText(latencyColumn("max").value(d));
     }},
};

constexpr bool pagePlacesInOrder() {
    // The page's figures take the places 0, 1, ... once each.
    std::size_t shown = 0;
    for (const HeadlineFigure& f : kHeadlineFigures) shown += f.pageLabel.empty() ? 0 : 1;
    for (std::size_t place = 0; place < shown; ++place) {
        std::size_t at = 0;
        for (const HeadlineFigure& f : kHeadlineFigures) {
            at += !f.pageLabel.empty() && f.pagePlace == place ? 1 : 0;
        }
        if (at != 1) return false;
    }
    return true;
}
static_assert(pagePlacesInOrder(), "each of the page's figures has a place of its own");

// What reads the keys, kinds and outcomes of `rule` ("keyed by the
// argument", "kinds by the qualifier", ...), each between `before` and
// `after`, in that order; nothing for what it does not read.
std::string ruleWords(const PairRule& rule, std::string_view before, std::string_view after = {});

// The widest label of --stats's figures fits their column.
constexpr std::size_t kFigureLabelWidth = 20;
constexpr bool labelsFit() {
    for (const HeadlineFigure& f : kHeadlineFigures) {
        if (f.label.size() >= kFigureLabelWidth) return false;
    }
    return true;
}
static_assert(labelsFit(), "the figures' labels fit their column");

}  // namespace qelttrace
