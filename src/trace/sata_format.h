// The trace line formatter: one line of the dump to one printed line with its
// absolute time and the delta since the previous decoded record, plus the
// timing globals that the session driver reads after a dump.
#pragma once

#include <stdint.h>

#include "trace/sata_decode.h"

// A point in time or a difference: seconds and nanoseconds (0 to 999999999 in
// a well-formed value; nothing here enforces that).
struct DBGTime {
    int32_t sec;
    int32_t nsec;
};

extern DBGTime startTime;     // first decoded record of the current run
extern DBGTime ct;            // record being formatted, after the delta rules
extern DBGTime pt;            // last record that decoded and was printed
extern DBGTime diff;          // the difference computed last
extern int32_t FirstCommand;  // non-zero: the next decoded record starts a run

// Sets the timing globals above to their initial values, as a new process has
// them: the next dump is formatted as a new run of the tool would format it.
// For a program that formats several dumps in one process (the offline
// decoder, the tests, the fuzz targets); the tool itself never needs it.
void SataResetTiming();

// Reads "SEC.NSEC" (both read as atoi reads them, no scaling of the fraction:
// "12.5" is 12 s 5 ns) into *outTime; 0, 0 for a seconds part of 32 or more
// characters. Digits beyond the signed 32-bit range saturate at its limits.
// Does nothing when either pointer is null.
void GetDBGTimeFromString(const char* timeText, DBGTime* outTime);

// *difference = *to - *from, with one borrow from the seconds and no further
// normalisation. Never overflows: out-of-range results wrap to 32 bits, two's
// complement: the result 32-bit integer arithmetic gives.
void DiffTime(const DBGTime* from, const DBGTime* to, DBGTime* difference);

// What one trace line is to the formatter, once its rules have run.
enum SataLineKind {
    SataLineIgnored,  // blanks only, or a single token: nothing printed
    SataLineBanner,   // the banner: printed as received
    SataLineSpan,     // an empty line: the span of the run, when pt is positive
    SataLineRecord,   // a timestamp token and a record text, decoded or not
};

// One record as the formatter prints it: the record model.
struct SataTraceRecord {
    int32_t result;     // SataCmdParse's result: 0 decoded, -1 or -2 not
    DBGTime time;       // the absolute time printed (ct after the delta rules)
    DBGTime delta;      // the delta printed; for a span line, the span
    int32_t held;       // non-zero: shown at the previous time, its own went backwards
    int32_t printSpan;  // span lines: non-zero when a span is printed
    const char* text;   // the record text within the caller's line (line ends now blanks)
    SataWords words;    // the decoded words, when result is 0
};

// Runs one trace line through the formatter's rules (the timing globals move
// exactly as ParseSataTrace moves them) without printing, and says what the
// line was; for a record, *record holds it. Rewrites the line ends of `text` to
// blanks in place, as ParseSataTrace does; record->text points into `text`.
SataLineKind SataTraceLine(char* text, SataTraceRecord* record);

// Prints what SataTraceLine made of `text`, byte for byte as ParseSataTrace
// prints it.
void SataPrintLine(SataLineKind kind, const char* text, const SataTraceRecord* record);

// Writes what SataPrintLine prints into `out`, `size` bytes with the
// terminator, and returns the length of all of it; when that is `size` or
// more, `out` holds its first size - 1 bytes (snprintf's rule). For a
// program that prints elsewhere than on standard output.
int SataFormatLine(SataLineKind kind, const char* text, const SataTraceRecord* record, char* out,
                   int size);

// Turns the carriage returns and line feeds of `text` into blanks, in place,
// as SataTraceLine does with the line it is given.
void SataBlankLineEnds(char* text);

// Formats one trace line and prints it on standard output (never flushes):
// the banner as received, a decoded record "\n%6d.%09d\t%6d.%09d\t%s", an
// error line for a record that does not decode, or at an empty line the span
// of the current run. Rewrites the line ends of `text` to blanks in place and
// nothing else; keeps no reference to it. A timestamp token of any length is
// read whole. Not reentrant: it updates the globals above.
void ParseSataTrace(char* text);
