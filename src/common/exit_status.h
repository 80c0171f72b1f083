// The exit statuses of qelttrace and qeltbridge, named once: the programs
// return these names, their --help lists the tables here, and their tests
// check the names. Their manual pages' EXIT STATUS sections say the same. A
// usage error is 2 for both; a failed input or output has a status of its own,
// so that a script can tell a mistyped command from a missing file.
#pragma once

// One line of a program's exit statuses in its --help.
struct ExitStatusRow {
    int status;
    const char* meaning;
};

// Bad usage: an unknown option, a bad value, an option that would change
// nothing. The reason is printed on standard error.
inline constexpr int kUsageExitStatus = 2;

namespace qelttrace::exit_status {

inline constexpr int kSuccess = 0;
// An input that could not be read (or a session log that does not read), an
// output refused or not written, standard output that failed.
inline constexpr int kInputOutput = 1;
inline constexpr int kUsage = kUsageExitStatus;

inline constexpr ExitStatusRow kRows[] = {
    {kSuccess, "success"},
    {kInputOutput,
     "an input could not be opened (nothing is written), or read to its end (the others are "
     "still decoded, and no report is put in place), or an output was refused or could not be "
     "written"},
    {kUsage, "bad usage, or no input file with standard input a terminal"},
};
// Interrupted, it ends as the signal would have ended it.
inline constexpr char kInterrupted[] = "128+N when interrupted by signal N (130 for SIGINT)";

}  // namespace qelttrace::exit_status

namespace qeltbridge::exit_status {

// Stopped by SIGINT or SIGTERM; with --replay, every session played as recorded.
inline constexpr int kSuccess = 0;
// With --replay, a session diverged or was not played; or serving failed
// (the poll loop's wait).
inline constexpr int kDiverged = 1;
inline constexpr int kUsage = kUsageExitStatus;
// A trace file or session log that could not be read, an address it could
// not listen on, or another failure of the system before serving.
inline constexpr int kInputOutput = 3;

inline constexpr ExitStatusRow kRows[] = {
    {kSuccess, "stopped by SIGINT or SIGTERM; with --replay, every session played as recorded"},
    {kDiverged,
     "with --replay, a session diverged or was not played (also when stopped first); or the "
     "poll loop failed"},
    {kUsage, "bad usage"},
    {kInputOutput,
     "a trace file or session log could not be read, or the address could not be listened on"},
};

}  // namespace qeltbridge::exit_status
