// A comparison run of qelttrace (--compare BASELINE): the baseline read in
// one pass through statistics of its own, then the run likewise, with the
// same filters and pair rules; then the comparison of the two (analysis/
// comparison.h) written into the outputs asked for. Only the baseline's
// finished statistics are kept while the run is read (its reader and
// buffers are gone), so memory stays that of one analysis.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "output/compare_report.h"
#include "pipeline.h"

namespace qelttrace {

// The names of the two inputs: "standard input" for "-", the run's files
// joined by blanks.
ComparedNames comparedNames(const Settings& settings);

// Reads settings.compare and then settings.inputs, and writes the
// comparison: as text or JSON (settings.stats) into outputs.stats, as a page
// into outputs.html, each when given. False when an input could not be read
// to its end (named on `diagnostics`; the comparison is written all the
// same). Reading ends, silently and with nothing written, once `stop` says
// so (asked once a block and between files).
bool runComparison(const Settings& settings, const Outputs& outputs, FILE* diagnostics,
                   const std::function<bool()>& stop);

}  // namespace qelttrace
