// The session driver: one run of the tool against one bridge.
//
//   SessionJob       the job chosen on the command line
//   dump_qelt_stats  binds the telnet library, runs the job's sessions, reports
#pragma once

enum SessionJob {
    JobStatus = 0,  // pwista and task_trace, echoed
    JobReboot = 1,  // hwrst, then verify that the bridge came back
    JobTrace = 2,   // dump and decode the SATA trace
};

// What dump_qelt_stats returns; main makes it the exit status.
enum DriverResult {
    DriverOk = 0,
    DriverRebootNotConfirmed = -1,  // eight verification sessions timed out
    DriverLoadFailed = -2,          // the telnet library could not be loaded
    DriverNoEntryPoint = -3,        // the library has no TelnetSession
    DriverNoAddress = -4,           // no address given and none in the environment
    DriverPathTooLong = -5,         // QELT_BRIDGE_TOOLS leaves no room for the file name
    DriverSessionFailed = -6,       // the first session failed
    DriverVerifyFailed = -7,        // a verification session failed other than by time-out
};

// Runs `job` (a SessionJob; any other value runs the status job) against the
// bridge at `address`, or, when that is null or empty, at the address in
// BRIDGE_CURRENT_IP_ADDRESS. Loads the telnet library from the directory in
// QELT_BRIDGE_TOOLS, or by bare name beside the program when that is unset.
// Prints its progress and every failure on standard output, lines beginning
// "qelttelnet.exe: ". Returns a DriverResult. Releases the library on every
// way out.
int dump_qelt_stats(const char* address, int job);
