#include "probelink/session_log.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace probelink {

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian). Done by hand
// because the C library's broken-down time calls are not thread-safe.
void civilFromDays(long long days, int* year, unsigned* month, unsigned* day) {
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = static_cast<long long>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(y + (*month <= 2 ? 1 : 0));
}

std::string utcNow() {
    using namespace std::chrono;
    long long ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    long long days = ms >= 0 ? ms / 86400000 : (ms - 86399999) / 86400000;
    long long inDay = ms - days * 86400000;
    int year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, &year, &month, &day);
    char text[40];
    qelt_snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, month, day,
                  static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return text;
}

}  // namespace

std::unique_ptr<SessionLog> SessionLog::openFromEnvironment(const void* sessionId) {
    const char* path = std::getenv("PROBELINK_LOG");
    if (!path || !*path) return nullptr;
    std::FILE* file = std::fopen(path, "ab");
    if (!file) return nullptr;
    return std::unique_ptr<SessionLog>(new SessionLog(file, sessionId));
}

SessionLog::SessionLog(std::FILE* file, const void* sessionId) : file_(file) {
    char text[32];
    qelt_snprintf(text, sizeof text, "%p", sessionId);
    id_ = text;
    line_.reserve(256);
}

void SessionLog::begin(const char* event) {
    line_.clear();
    line_ += utcNow();
    line_ += ' ';
    line_ += id_;
    line_ += ' ';
    line_ += event;
}

void SessionLog::appendEscaped(const void* data, std::size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7f && c != '<') {
            line_ += static_cast<char>(c);
        } else {
            line_ += '<';
            line_ += kHex[c >> 4];
            line_ += kHex[c & 15];
            line_ += '>';
        }
    }
}

void SessionLog::finish() {
    line_ += '\n';
    // One write per line, so that the lines of sessions running at once on
    // other threads or processes do not interleave within a line.
    std::fwrite(line_.data(), 1, line_.size(), file_.get());
    std::fflush(file_.get());
}

void SessionLog::note(const char* event, const std::string& text) {
    begin(event);
    if (!text.empty()) {
        line_ += ' ';
        appendEscaped(text.data(), text.size());
    }
    finish();
}

void SessionLog::bytes(const char* event, const void* data, std::size_t length) {
    begin(event);
    line_ += ' ';
    line_ += std::to_string(length);
    line_ += ' ';
    appendEscaped(data, length);
    finish();
}

void SessionLog::chunk(const char* text, int length, int peek) {
    begin("chunk");
    line_ += peek ? " peek=1 len=" : " peek=0 len=";
    line_ += std::to_string(length);
    line_ += ' ';
    appendEscaped(text, static_cast<std::size_t>(length));
    finish();
}

}  // namespace probelink
