// What the report page (html_report.h) and the comparison's page
// (compare_page.h) share: text and cells made safe for HTML, latency
// histograms grouped into the bars a density chart draws, and the document
// around a page's body (uPlot and the page's style and script embedded, the
// data for the charts in the element "qelt-data").
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/histogram.h"

namespace qelttrace {

// Text for the page: markup characters as entities, a byte of 0x80 or more as
// the character of the same number, control bytes shown as \xNN.
void appendHtml(std::string& out, std::string_view text);
// The same, cut after kCellMax bytes ("..." then): what a table cell shows.
constexpr std::size_t kCellMax = 160;
std::string html(std::string_view text);

// Table cells: text already made safe, a count, a time in seconds, a
// latency in microseconds to the nanosecond; a row of heads.
std::string cell(const std::string& text);
std::string numberCell(std::uint64_t value);
std::string timeCell(std::int64_t ns);
std::string microsCell(std::int64_t ns);
std::string headRow(std::initializer_list<const char*> heads);

// Log buckets per bar of a density chart: 8 per power of two.
constexpr int kHistogramGroup = 16;
// The bars from the group of bucket `firstBucket` to that of `lastBucket`:
// their lower bounds and widths (none when lastBucket < 0).
void histogramGroups(int firstBucket, int lastBucket, std::vector<std::int64_t>& lows,
                     std::vector<std::int64_t>& widths);
// Those of the buckets `h` uses.
void histogramGroups(const LogHistogram& h, std::vector<std::int64_t>& lows,
                     std::vector<std::int64_t>& widths);
// The counts of `h` in the groups from `firstGroup` on, `count` of them.
std::vector<std::int64_t> groupCounts(const LogHistogram& h, int firstGroup, std::size_t count);

// The whole page: its title, the style sheets, `body`, uPlot's licence,
// uPlot, `data` (JSON, written so that it cannot end its element) as the
// element "qelt-data", the page's script, then `script` when there is one.
std::string pageDocument(std::string_view title, std::string_view body, std::string_view data,
                         std::string_view script = {});

}  // namespace qelttrace
