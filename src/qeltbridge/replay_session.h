// One recorded session played back on one connection, without sockets and
// without a clock of its own: what to send when, given what the tool did.
//
// The recording is cut into runs (the bytes the tool received at once) and
// the tool's sends. Each run goes out after its recorded delay, measured from
// the last thing the tool did before it in the recording (connecting, or the
// send that came last), so runs in a row do not drift, and a page that came
// 50 ms after the tool's request comes 50 ms after it again. The tool's bytes
// are checked against its recorded sends, in order and byte for byte (lines
// and option replies alike); the password line matches any line. The session
// ends as it ended: the bridge's FIN or RST after its recorded delay, or, when
// the tool gave up (a stall, a time-out), nothing more until the tool closes.
//
// The loop asks next(now) and carries the step out; it tells the session what
// went out (sent, closed) and what came in (received, toolClosed).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "probelink/telnet_core.h"
#include "recording/log_reader.h"

namespace qeltbridge {

// The longest pause a replay keeps: a recorded gap beyond it (a log put
// together by hand, a clock that jumped) is taken as this long, so that no
// time point overflows.
constexpr std::int64_t kLongestPauseUs = std::int64_t{24} * 3600 * 1000000;

// The recorded gap from `from` to `to` microseconds as a replay keeps it:
// never negative (an older log's wall clock may go back), at most
// kLongestPauseUs.
inline std::int64_t recordedGap(std::int64_t from, std::int64_t to) {
    if (to <= from) return 0;
    return to - from < kLongestPauseUs ? to - from : kLongestPauseUs;
}

// What one recorded session asks of a replay, taken from its log once.
struct ReplayScript {
    struct Run {
        std::string bytes;
        int anchor = -1;           // the send it follows (index into `sends`), -1: the connection
        std::int64_t delayUs = 0;  // after the anchor, as recorded
    };
    struct Send {
        std::string bytes;       // as on the wire; empty for the password line
        bool anyLine = false;    // the password line: any line matches
        bool optional = false;   // the send failed in the recording: it may not come
        std::int64_t gapUs = 0;  // after the event before it, as recorded
    };
    enum class End {
        kFin,         // the bridge closed
        kRst,         // the bridge reset the connection
        kToolCloses,  // the tool gave up or closed: send nothing more until it does
    };
    std::vector<Run> runs;
    std::vector<Send> sends;
    End end = End::kToolCloses;
    int endAnchor = -1;           // as Run::anchor
    std::int64_t endDelayUs = 0;  // kFin, kRst: after the anchor
    std::int64_t closeGapUs = 0;  // kToolCloses: from the last event to the tool's close
};

// The script of a session that connected (recording::Session::connection()).
ReplayScript scriptOf(const recording::Session& session);

class SessionReplay {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // Beyond its recorded pace, how long the tool may take to send what it
    // sent or to close; after that the session has diverged.
    static constexpr std::chrono::seconds kPatience{30};
    // How long a line the tool is sending wrong may take to end, so that the
    // message shows all of it.
    static constexpr std::chrono::milliseconds kRestOfLine{200};
    // The silence after which the telnet library previews an unfinished
    // line. A recorded silence at least this long between two runs is kept
    // whole even when the first went out late, so that the tool sees it
    // again; shorter gaps keep to the anchor's pace and do not drift.
    static constexpr std::int64_t kSilenceSeenUs = probelink::kPreviewSilenceMs * 1000;

    enum class Action {
        kSend,       // queue `bytes`, then call sent()
        kWait,       // nothing to do before `at` (or before the tool does something)
        kAwaitTool,  // the tool's turn, until `at` at most
        kCloseFin,   // send what is queued, then FIN; then call closed(); the tool
                     // then has kDrain to close too
        kCloseRst,   // send what is queued, then RST; then call closed()
        kDone,       // played as recorded
        kDiverged,   // divergence() says how; the session closes
    };
    struct Step {
        Action action = Action::kWait;
        std::string_view bytes;  // kSend
        TimePoint at{};          // kWait, kAwaitTool
    };

    // `speed` divides every recorded delay (2: twice as fast; 0: none at all).
    SessionReplay(ReplayScript script, double speed, TimePoint connectedAt);

    // What to do at `now`. Time alone can end the session (kDiverged when the
    // tool is late beyond kPatience).
    Step next(TimePoint now);
    void sent(TimePoint now);
    void closed(TimePoint now);
    // The tool's bytes, as they came.
    void received(std::string_view bytes, TimePoint now);
    // The tool closed (or the connection failed).
    void toolClosed(TimePoint now);

    // How the session diverged, to follow "replay: session S": ", line N:
    // expected \"RECORDED\", got \"SENT\"" (N counting the tool's lines from 1,
    // the bytes escaped as the log escapes them), or ": " and another account
    // on one line.
    std::string divergence() const;

  private:
    TimePoint after(TimePoint base, std::int64_t us) const;
    TimePoint anchorTime(int anchor) const;
    void match(TimePoint now);
    void diverge(std::string message);
    void mismatch(std::string got, TimePoint now);
    std::string expectedText() const;
    Step awaitSend(TimePoint now);
    Step end(TimePoint now);

    ReplayScript script_;
    double speed_;
    TimePoint connectedAt_;
    TimePoint lastActivity_;            // the last send of ours or match of the tool's
    std::vector<TimePoint> matchedAt_;  // per send of the tool's that matched
    std::size_t required_ = 0;          // sends before the optional tail
    std::size_t runsSent_ = 0;
    TimePoint lastRunAt_{};  // when the last run went out
    std::string pending_;    // the tool's bytes not yet matched
    int lines_ = 0;
    bool toolClosed_ = false;
    bool closed_ = false;
    TimePoint closedAt_{};
    bool diverged_ = false;
    bool collecting_ = false;  // the wrong line is still coming
    bool lineMismatch_ = false;
    std::string expected_;
    std::string got_;
    TimePoint collectUntil_{};
    std::string divergence_;
};

}  // namespace qeltbridge
