// qelttrace's command line: every option once in a table of rows (the
// project's one command-line style, common/command_line.h), which parsing,
// the synopsis and --help all come from. Each option takes at most one value
// per occurrence ("--event GLOB" or "--event=GLOB"); every other argument is
// an input file, and after "--" every argument is. An option that changes
// nothing in the combination given is a usage error that says why, never
// ignored.
#pragma once

#include <cstdint>
#include <string>

#include "common/command_line.h"
#include "pipeline.h"

namespace qelttrace {

// The rows, the prose of --help and the exit statuses.
const cmdline::CommandLine& commandLine();

// Parses argv[1..argc-1] into `settings`; on kUsageError, `error` holds the
// reason (one line, without "qelttrace: ").
cmdline::Outcome parseCommandLine(int argc, const char* const* argv, Settings& settings,
                                  std::string& error);

// SECONDS as the trace job prints times ("1523.108795610", "12", "-1.5"; at
// most nine decimals, at most 9223372036.854775807 either side of 0) into
// nanoseconds. Empty on success, else the reason.
std::string parseSeconds(const std::string& text, std::int64_t* ns);

}  // namespace qelttrace
