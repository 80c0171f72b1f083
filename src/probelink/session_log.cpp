#include "probelink/session_log.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace probelink {

namespace {

std::int64_t wallNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t monotonicNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The sessions of this process, numbered as their logs open. The one counter
// the library shares between threads, and only when it logs.
std::atomic<std::uint64_t> sessionsLogged{0};

}  // namespace

std::unique_ptr<SessionLog> SessionLog::openFromEnvironment() {
    const char* path = std::getenv("PROBELINK_LOG");
    if (!path || !*path) return nullptr;
    std::FILE* file = std::fopen(path, "ab");
    if (!file) return nullptr;
    return std::unique_ptr<SessionLog>(new SessionLog(file, ++sessionsLogged));
}

SessionLog::SessionLog(std::FILE* file, std::uint64_t number)
    : file_(file), id_(recording::sessionIdentifier(qelt_process_id(), number)) {
    line_.reserve(256);
}

SessionLog::~SessionLog() {
    if (!line_.empty()) std::fwrite(line_.data(), 1, line_.size(), file_.get());
}

void SessionLog::begin(Event event) {
    // Both clocks when the event happens: the wall clock for a person, the
    // monotonic one for the gaps a replay keeps.
    recording::appendLineStart(line_, wallNowUs(), monotonicNowUs(), id_, event);
}

void SessionLog::finish(bool now) {
    line_ += '\n';
    if (!now) return;
    // Whole lines in one write, so that the lines of sessions running at once
    // on other threads or processes do not interleave within a line.
    std::fwrite(line_.data(), 1, line_.size(), file_.get());
    std::fflush(file_.get());
    line_.clear();
}

void SessionLog::note(Event event, const std::string& text) {
    begin(event);
    if (!text.empty()) {
        line_ += ' ';
        recording::appendEscaped(line_, text);
    }
    finish();
}

void SessionLog::bytes(Event event, const void* data, std::size_t length) {
    begin(event);
    line_ += ' ';
    line_ += std::to_string(length);
    line_ += ' ';
    recording::appendEscaped(line_, data, length);
    finish();
}

void SessionLog::maskedLine(std::size_t length) {
    begin(Event::kSend);
    line_ += ' ';
    line_ += std::to_string(length);
    line_ += ' ';
    line_ += recording::kMaskedLine;
    finish();
}

void SessionLog::attempt(const std::string& address, const std::string& why) {
    begin(Event::kAttempt);
    line_ += ' ';
    recording::appendEscaped(line_, address);
    line_ += " failed: ";
    recording::appendEscaped(line_, why);
    finish();
}

void SessionLog::chunk(const char* text, int length, int peek) {
    begin(Event::kChunk);
    line_ += peek ? " peek=1 len=" : " peek=0 len=";
    line_ += std::to_string(length);
    line_ += ' ';
    recording::appendEscaped(line_, text, static_cast<std::size_t>(length));
    finish(false);
}

void SessionLog::end(int result, recording::Ending ending) {
    begin(Event::kEnd);
    line_ += ' ';
    line_ += std::to_string(result);
    line_ += ' ';
    line_ += recording::endingWord(ending);
    line_ += ": ";
    line_ += recording::endingText(ending);
    finish();
}

}  // namespace probelink
