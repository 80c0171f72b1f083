// The telnet dialog with the bridge's command interpreter.
//
//   DialogContext  the record a session driver hands to TelnetSession, one per session
//   SessionMode    what the session is for (set by the driver)
//   DialogState    how far the conversation got (read by the driver afterwards)
//   qeltDialog     the callback TelnetSession invokes once per received chunk
//   qeltTraceChunk the trace job's rule for one chunk of a dump, which the
//                  offline decoder replays
#pragma once

#include <stdint.h>

#include "common/probelink.h"

// Set by the driver before each session; the dialog only reads it.
enum SessionMode {
    ModeStatus = 0,  // status job: pwista, then task_trace
    ModeReboot = 1,  // reboot job: hwrst
    ModeVerify = 2,  // one session that checks a rebooted bridge runs again
    ModeTrace = 3,   // trace job: dump_dsata_trace until the bridge reports no more
};

// The numbers are part of the driver's contract: it expects 4 after a reboot
// session and 10 after every other one, and prints the number otherwise.
// Number 7 is never reached and has no name.
enum DialogState {
    WaitLogin = 0,            // a chunk containing "login:"
    WaitPassword = 1,         // a chunk containing "password:"
    WaitPrompt = 2,           // the first chunk containing "INET>"
    StatusOutput = 3,         // pwista output, until a prompt chunk without a status line
    ResetSent = 4,            // final: hwrst sent, everything after is ignored
    TraceOutput = 5,          // task_trace output or the dump pages, until the bare prompt
    WaitHttpStatus = 6,       // verification: a chunk beginning with "[HTTP]"
    RunConfirmed = 8,         // the bridge runs; exit at the next prompt
    RunNotConfirmed = 9,      // the bridge does not run; exit at the next prompt
    ExitSent = 10,            // final: the conversation ended normally
    ExitSentNotRunning = 11,  // final: verification found the bridge not running
};

// Four signed 32-bit integers in this order; the driver writes state and mode
// before a session and reads state after it, the dialog writes the rest.
struct DialogContext {
    int32_t state;        // a DialogState
    int32_t mode;         // a SessionMode
    int32_t dumpResult;   // trace job: number from the last "DUMP_RESULT=" line
    int32_t resultReady;  // trace job: 1 once such a line came since the last request
};

// What the trace job makes of one chunk of a dump page.
enum TraceChunk {
    TraceChunkPreview,  // a preview of an unfinished line: nothing until it is whole
    TraceChunkLine,     // a trace line, the prompt in front of it skipped
    TraceChunkResult,   // a DUMP_RESULT= line: dumpResult and resultReady are set
    TraceChunkPageEnd,  // the bare prompt after a result: resultReady is cleared, and
                        // the job asks for the page dumpResult names or ends (0 or less)
};

// The trace job's rule, the same for the live dialog and for qelttrace
// replaying a saved dump: classifies the chunk `text` (NUL-terminated, at
// least `length` bytes claimed, never trusted past the terminator) and moves
// the result fields of `dialog`. For TraceChunkLine, *line points into
// `text` at the trace line. Sends nothing, prints nothing, keeps nothing.
TraceChunk qeltTraceChunk(char* text, int length, int peek, DialogContext* dialog, char** line);

#ifdef __cplusplus
extern "C" {
#endif

// The DialogCallback for TelnetSession. `context` is the session's
// DialogContext; `text` (null is read as "(null)") is NUL-terminated and
// writable: in the trace job its tail is handed to ParseSataTrace, which
// rewrites line ends in place. `length` is the library's byte count; it is
// never trusted past the text's own terminator. Answers through `send` with
// `sendHandle` and flags 0, prints chunks of the status job and trace lines of
// the trace job on standard output, and always returns 0. Not reentrant: the
// calls of one session must not overlap (the follow-up dump request sleeps
// 50 ms in the calling thread).
int QELT_CDECL qeltDialog(char* text, int length, int peek, void* context, SendLineFn send,
                          void* sendHandle);

#ifdef __cplusplus
}
#endif
