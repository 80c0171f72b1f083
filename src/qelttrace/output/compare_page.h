// The comparison of a run with its baseline as one self-contained HTML page,
// styled and scripted as the report page (page_parts.h): the two inputs and
// the verdicts; per pair rule its table of kinds (the baseline and the run
// side by side, the ratios, the p-value, the verdict) and, per kind, the two
// latency densities overlaid (the baseline in grey, the run in colour:
// compare.js with the report page's chart functions); tables of the events,
// the errors and the SATA states, changed rows first.
//
// Its size is bounded whatever the dumps: the model's rows are bounded by
// the statistics' caps (kinds, events, error groups), and at most
// kChartsMax densities are drawn, the most important rows first.
#pragma once

#include <cstddef>
#include <string>

#include "analysis/comparison.h"
#include "output/compare_report.h"

namespace qelttrace {

constexpr std::size_t kComparisonChartsMax = 64;

// The page of `comparison`, drawn while the statistics it compared still are.
std::string comparisonPage(const Comparison& comparison, const ComparedNames& names);

}  // namespace qelttrace
