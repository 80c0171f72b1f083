// The session log of PROBELINK_LOG as a format: the shape of a line, the words
// of its events, how bytes are escaped and how a session ended. The telnet
// library writes with it and the replay (and any other reader) reads with it,
// so the two sides cannot drift apart.
//
// One line per event, appended:
//
//   2026-12-09T10:51:33.364512Z 8123.456789 4711:7ffd2a10c4a0 recv 9 login: <FF><F9>
//
// the UTC time to the microsecond; the monotonic clock in seconds to the
// microsecond (the time base of a replay: it neither jumps nor goes back with
// the wall clock, and it is shared by every process of one machine); the
// session, as the process id and an identifier unique among the sessions
// running at once in that process; the event and its details. Bytes appear as
// they travel, non-printing ones and "<" as <XX> in hexadecimal, so a literal
// "<" never starts anything but an escape and "******** <password line>" cannot
// be written by escaping.
//
// The older form, milliseconds of the wall clock and a bare identifier, still
// reads:
//
//   2026-12-08T16:26:12.123Z 0x55d0c7a8e2a0 recv 9 login: <FF><F9>
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace recording {

// The events, in the order of kEventWords. kVersion and kResult are the start
// and end lines of the older form.
enum class EventWord {
    kStart,       // "start ProbeLinkServices 0.1.0": the first line of a session
    kOpen,        // "open HOST port N timeout MS ms"
    kAttempt,     // "attempt ADDR failed: REASON": a connection attempt that failed
    kConnected,   // "connected ADDR"
    kRecv,        // "recv N BYTES": bytes received from the bridge
    kSend,        // "send N BYTES", or "send N ******** <password line>"
    kSendFailed,  // "send-failed REASON": the send just logged did not go out whole
    kChunk,       // "chunk peek=P len=N TEXT": a chunk handed to the dialog
    kSendLine,    // "sendline refused: ...": a SendLine that sent nothing
    kError,       // "error TEXT": a note on what went wrong
    kEof,         // "eof": the bridge's orderly close was read
    kEnd,         // "end RESULT HOW: TEXT": the last line of a session
    kVersion,     // older form: "version ProbeLinkServices 0.1.0"
    kResult,      // older form: "result RESULT TEXT"
};
constexpr int kEventWordCount = 14;

const char* eventWord(EventWord word);
// The event a word names; false for a word that names none.
bool findEventWord(std::string_view text, EventWord& word);

// How a session's connection ended (or why it never had one), in the order
// of the endings table.
enum class Ending {
    kClosed,        // the bridge closed the connection (FIN)
    kReset,         // the bridge reset the connection (RST)
    kBroken,        // the connection broke in another way
    kTimeout,       // nothing was received for the time-out: the library closed
    kToolClose,     // the library closed on its own: a send failed or a local error
    kNoConnection,  // no connection within the time-out: every attempt failed
    kUnresolved,    // the host name could not be resolved
    kInvalid,       // invalid arguments: nothing was tried
    kLocalError,    // a local system error before anything was connected
    kCut,           // the log ends inside the session (never written)
};
constexpr int kEndingCount = 10;

// The word of an ending in an "end" line ("closed", "reset", ...), and the
// words for a person that follow it.
const char* endingWord(Ending ending);
const char* endingText(Ending ending);
bool findEnding(std::string_view word, Ending& ending);

// What a send of the password line is logged as instead of its bytes, and
// what the older form wrote.
constexpr std::string_view kMaskedLine = "******** <password line>";
constexpr std::string_view kOlderMaskedLine = "********";

// Appends `length` bytes escaped: printable ASCII but "<" as it is, every
// other byte as <XX>.
void appendEscaped(std::string& out, const void* data, std::size_t length);
inline void appendEscaped(std::string& out, std::string_view bytes) {
    appendEscaped(out, bytes.data(), bytes.size());
}
std::string escaped(std::string_view bytes);
// The bytes of escaped text; false when a "<" starts no <XX> escape.
bool unescape(std::string_view text, std::string& bytes);

// The identifier of a session: the process id and the session's number in
// that process, from 1 ("4711:3"): unique among the sessions running at once,
// and a person sees which run and which of its sessions a line belongs to.
std::string sessionIdentifier(long processId, std::uint64_t number);

// The start of a line: both times, the session and the event word.
void appendLineStart(std::string& out, std::int64_t wallUs, std::int64_t monotonicUs,
                     std::string_view session, EventWord word);

// "2026-12-09T10:51:33.364512Z" for microseconds since 1970 (UTC).
std::string wallTimeText(std::int64_t wallUs);
// "8123.456789" for microseconds of the monotonic clock.
std::string monotonicText(std::int64_t monotonicUs);

// Reads a wall time as wallTimeText writes it (6 digits of the second) or as
// the older form did (3 digits); `digits` tells which. False if malformed.
bool readWallTime(std::string_view text, std::int64_t& wallUs, int& digits);
// Reads a monotonic time as monotonicText writes it. False if malformed.
bool readMonotonic(std::string_view text, std::int64_t& monotonicUs);

}  // namespace recording
