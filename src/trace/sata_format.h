// The trace line formatter: one line of the dump to one printed line with its
// absolute time and the delta since the previous decoded record, plus the
// timing globals that the session driver reads after a dump.
#pragma once

#include <stdint.h>

// A point in time or a difference: seconds and nanoseconds (0 to 999999999 in
// a well-formed value; nothing here enforces that).
struct DBGTime {
    int32_t sec;
    int32_t nsec;
};

extern DBGTime startTime;      // first decoded record of the current run
extern DBGTime ct;             // record being formatted, after the delta rules
extern DBGTime pt;             // last record that decoded and was printed
extern DBGTime diff;           // the difference computed last
extern int32_t FirstCommand;   // non-zero: the next decoded record starts a run

// Reads "SEC.NSEC" (both read as atoi reads them, no scaling of the fraction)
// into *outTime; 0, 0 for a seconds part of 32 or more characters.
void GetDBGTimeFromString(const char* timeText, DBGTime* outTime);

// *difference = *to - *from, with one borrow from the seconds.
void DiffTime(const DBGTime* from, const DBGTime* to, DBGTime* difference);

// Formats one trace line and prints it on standard output. Rewrites the
// line ends of `text` to blanks in place; keeps no reference to it.
void ParseSataTrace(char* text);
