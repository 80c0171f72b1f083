// The boundary between qelttelnet and the telnet library ProbeLinkServices.
//
// The tool binds the library at run time and calls TelnetSession, which runs a
// whole telnet session before it returns and calls the dialog callback once per
// received chunk, handing it SendLine to answer with. Both sides include this
// header, so the types cannot drift apart. C linkage and the platform's plain
// caller-cleans convention, so that any library exporting TelnetSession this
// way can stand in.
#pragma once

#include "platform/platform.h"

#ifdef PROBELINK_BUILD
#define PROBELINK_API QELT_EXPORT
#else
#define PROBELINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// What TelnetSession returns. The driver judges a session by these, so both
// sides take the numbers from here.
enum ProbeLinkResult {
    PROBELINK_CLOSED = 0,         // the bridge closed the connection
    PROBELINK_BAD_ARGUMENTS = 1,  // no host or callback, a bad port or host text, timeout <= 0
    PROBELINK_UNRESOLVED = 2,     // the host name could not be resolved
    PROBELINK_SYSTEM_ERROR = 3,   // a local system error (socket, poll, out of memory)
    PROBELINK_NO_CONNECTION = 5,  // no connection within the time-out: refused, unreachable
    PROBELINK_BROKEN = 9,         // reset or broken after connecting, or a send failed
    PROBELINK_SILENT = 12,        // nothing received from the bridge for the time-out
};

// Sends a NUL-terminated line to the bridge. `sendHandle` is the one that came
// with the callback and is valid only during that callback; `flags` is 0.
// Returns 0 on success, -1 on failure.
typedef int(QELT_CDECL* SendLineFn)(void* sendHandle, const char* line, int flags);

// Called once per received chunk. `text` is NUL-terminated, writable, holds no
// NUL of its own and stays valid for the call; `length` counts its bytes;
// `peek` is 1 for a preview of an unfinished line, else 0; `context` is the one
// given to TelnetSession. The result is ignored.
typedef int(QELT_CDECL* DialogCallback)(char* text, int length, int peek, void* context,
                                        SendLineFn send, void* sendHandle);

// Runs one telnet session with `host` (a name or address, optionally with
// ":port" or "[v6]:port", which overrides `port`). `timeoutMs` bounds the
// connecting and every silence of the bridge. Returns a ProbeLinkResult.
typedef int(QELT_CDECL* TelnetSessionFn)(const char* host, int port, int timeoutMs,
                                         DialogCallback callback, void* context);

PROBELINK_API int QELT_CDECL TelnetSession(const char* host, int port, int timeoutMs,
                                           DialogCallback callback, void* context);

#ifdef __cplusplus
}
#endif
