// Reads a session log (see log_format.h) back into its sessions: for each,
// where it went, every connection attempt, the bytes each way in order with
// their times, the chunks the dialog got, and how it ended. Lines of sessions
// that ran at once (two threads, two processes appending to one file) are
// sorted out by their session identifier; several runs in one file are told
// apart by the process id.
//
// The older form reads as far as it carries the facts: its times are the
// wall clock's milliseconds, it names no connection attempt (a session that
// got no connection is known, refusals before a connection are not), and its
// password line is "********".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recording/log_format.h"

namespace recording {

struct Event {
    enum class Kind {
        kReceived,       // bytes from the bridge
        kSent,           // bytes to the bridge, as they went on the wire
        kSentPassword,   // the password line, masked: `bytes` is empty
        kSendFailed,     // the send before it did not go out (whole): `bytes` says why
        kChunk,          // a chunk the dialog got (`peek`)
        kAttemptFailed,  // a connection attempt to `bytes` (the address) failed
        kConnected,      // connected to `bytes` (the address)
        kEof,            // the bridge's close was read
        kNote,           // anything else worth reading (errors, refused SendLine calls)
    };
    Kind kind = Kind::kNote;
    std::int64_t us = 0;     // on the session's clock (see Session::format)
    std::string bytes;       // as described for the kind
    std::size_t length = 0;  // kSentPassword: the bytes the line had
    int peek = 0;            // kChunk
    std::string why;         // kAttemptFailed: the reason
    int line = 0;            // its line in the log, from 1
};

struct Session {
    int number = 0;  // 1, 2, ... in the order the sessions start in the log
    // 2: times from the monotonic clock in microseconds; 1: the older form,
    // times from the wall clock in milliseconds (shown as microseconds).
    int format = 2;
    std::string id;   // the identifier the log gives the session
    std::string run;  // the same for every session of one run of a program
    std::string version;
    std::string host;
    int port = 0;
    int timeoutMs = 0;
    std::int64_t startUs = 0;  // its first line
    std::int64_t endUs = 0;    // its end line (or its last line, when cut)
    int result = -1;           // the library's result; -1 when cut
    Ending ending = Ending::kCut;
    std::vector<Event> events;  // in the order they happened
    int firstLine = 0;
    int lastLine = 0;

    // Where the connection was made, or null when none was.
    const Event* connection() const;
};

struct Log {
    std::vector<Session> sessions;  // in the order they start
};

// True when `line` (without its line end) begins as a line of a session log:
// the time of day, the monotonic time (not in the older form), the session
// and an event word. For telling a log from other files by its first line.
bool isLogLine(std::string_view line);

// Reads the text of a whole log. False, with `error` saying "line N: why"
// (or why there is nothing to read), when a line is not a session log line
// or its details do not hold what its event says. Blank lines are skipped, a
// carriage return before a line feed is ignored.
bool readLog(std::string_view text, Log& log, std::string& error);

// Reads the log in the file at `path`. False, with `error`, when it cannot
// be read or readLog refuses it.
bool readLogFile(const std::string& path, Log& log, std::string& error);

}  // namespace recording
