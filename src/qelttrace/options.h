// qelttrace's command line: every option once in a table, which parsing and
// --help both come from. Each option takes at most one value per occurrence
// ("--event GLOB" or "--event=GLOB"); every other argument is an input file,
// and after "--" every argument is. An option that changes nothing in the
// combination given is a usage error that says why, never ignored.
#pragma once

#include <string>

#include "pipeline.h"

namespace qelttrace {

enum class ParseOutcome { kRun, kHelp, kVersion, kUsageError };

// Parses argv[1..argc-1] into `settings`; on kUsageError, `error` holds the
// reason (one line, without "qelttrace: ").
ParseOutcome parseCommandLine(int argc, const char* const* argv, Settings& settings,
                              std::string& error);

// The --help text: the synopsis of the manual page, then each option.
std::string helpText();

// SECONDS as the trace job prints times ("1523.108795610", "12", "-1.5"; at
// most nine decimals) into nanoseconds. Empty on success, else the reason.
std::string parseSeconds(const std::string& text, std::int64_t* ns);

}  // namespace qelttrace
