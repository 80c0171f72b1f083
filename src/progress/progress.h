// Progress of a trace dump on standard error, for the person who watches a
// terminal while standard output goes to a file or a pipe
// (qelttelnet -satatrace ADDR > trace.txt):
//
//   trace dump: 12288 records, 3 pages, 0.4 s, 30720 records/s
//
// one line rewritten in place at most ten times a second, ended with the final
// count. Nothing is shown unless standard error is a terminal and standard
// output is not: scripts that capture the tool's output never see it, and a
// terminal that shows the dump itself is not cluttered.
//
//   DumpProgressStart   the driver, before the trace session
//   DumpProgressLine    the dialog, for each line of the dump it hands on
//   DumpProgressPage    the dialog, at each page's DUMP_RESULT
//   DumpProgressFinish  the driver, after the session
//
// Fixed buffers, no allocation; until DumpProgressStart enables it, every call
// returns at once.
#pragma once

// Decides from the two streams whether to show progress, and notes the time.
void DumpProgressStart(void);
// Counts a line the dialog handed to the formatter (or printed raw); the
// dump's banner line is not a record.
void DumpProgressLine(const char* line);
// Counts a page and redraws the line if the last drawing is 100 ms old.
void DumpProgressPage(void);
// Ends the line with the final count. Nothing more is shown afterwards.
void DumpProgressFinish(void);
