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

// Runs `job` (a SessionJob; any other value runs the status job) against the
// bridge at `address`, or, when that is null or empty, at the address in
// BRIDGE_CURRENT_IP_ADDRESS. Loads the telnet library from the directory in
// QELT_BRIDGE_TOOLS, or by bare name beside the program when that is unset.
// Prints its progress and every failure on standard output, lines beginning
// "qelttelnet.exe: ". Returns 0 on success, -1 when a rebooted bridge was not
// seen running within eight sessions, -2 library not loadable, -3 library
// without TelnetSession, -4 no address, -5 library directory too long,
// -6 first session failed, -7 a verification session failed other than by
// time-out. Releases the library on every way out.
int dump_qelt_stats(const char* address, int job);
