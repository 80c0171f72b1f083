// The records printed: as text (exactly as the trace job prints them), as CSV
// (RFC 4180, a header line of the field names) or as JSON lines, the fields
// from the one table of fields.h.
#pragma once

#include <memory>

#include "output/output.h"
#include "stages.h"

namespace qelttrace {

enum class Format { kText, kCsv, kJsonl };

// The records in `format` into `out`. The text format is all of the trace
// job's output (banner, spans, the closing span) when `filtered` is false,
// else the records alone and a final line feed; with `groups` (--context),
// a line "--" between two records that are not next to each other in the
// input, as grep separates its groups. CSV and JSON lines are the records
// alone: their record numbers tell the groups apart.
std::unique_ptr<Writer> makeRecordWriter(Format format, Output& out, bool filtered,
                                         bool groups = false);

}  // namespace qelttrace
