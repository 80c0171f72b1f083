#include "input/record.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace qelttrace {

namespace {

constexpr std::string_view kStatusNames[] = {"ok",      "parse_error", "invalid_parameter",
                                             "no_time", "no_text",     "unknown_tag"};
static_assert(sizeof kStatusNames / sizeof kStatusNames[0] == kStatusCount,
              "a name for each status, in the order of Status");

}  // namespace

std::string_view statusName(Status status) {
    return kStatusNames[static_cast<std::size_t>(status)];
}

void Record::setWords(std::string_view event, std::string_view qualifier, std::string_view argument,
                      std::string_view text) {
    // A record text is at most a line of the input, far below 4 GB: the
    // offsets fit. std::string keeps the NUL after the text.
    qualifierAt_ = static_cast<std::uint32_t>(event.size() + 1);
    argumentAt_ = qualifierAt_ + static_cast<std::uint32_t>(qualifier.size() + 1);
    textAt_ = argumentAt_ + static_cast<std::uint32_t>(argument.size() + 1);
    bytes_.resize(textAt_ + text.size());
    char* p = &bytes_[0];
    const auto put = [&p](std::string_view part, bool separated) {
        if (!part.empty()) std::memcpy(p, part.data(), part.size());
        p += part.size();
        if (separated) *p++ = '\0';
    };
    put(event, true);
    put(qualifier, true);
    put(argument, true);
    put(text, false);
}

void Record::assignWithoutText(const Record& from) {
    number = from.number;
    time = from.time;
    delta = from.delta;
    timeNs = from.timeNs;
    deltaNs = from.deltaNs;
    status = from.status;
    held = from.held;
    trouble = from.trouble;
    result = from.result;
    lineEnd = from.lineEnd;
    setWords(from.event(), from.qualifier(), from.argument(), {});
}

std::string timeText(const DBGTime& t) {
    std::string out;
    appendTime(out, t);
    return out;
}

std::size_t formatTime(char* out, const DBGTime& t) {
    if (t.sec < 0 || t.nsec < 0 || t.nsec > 999999999) {
        const int n = std::snprintf(out, kTimeTextMax, "%d.%09d", t.sec, t.nsec);
        return static_cast<std::size_t>(n);
    }
    char text[kTimeTextMax];
    char* end = text + sizeof text;
    char* p = end;
    std::uint32_t nsec = static_cast<std::uint32_t>(t.nsec);
    for (int i = 0; i < 9; ++i) {
        *--p = static_cast<char>('0' + nsec % 10);
        nsec /= 10;
    }
    *--p = '.';
    std::uint32_t sec = static_cast<std::uint32_t>(t.sec);
    do {
        *--p = static_cast<char>('0' + sec % 10);
        sec /= 10;
    } while (sec != 0);
    const auto length = static_cast<std::size_t>(end - p);
    std::memcpy(out, p, length);
    return length;
}

void appendTime(std::string& out, const DBGTime& t) {
    char text[kTimeTextMax];
    out.append(text, formatTime(text, t));
}

std::string durationText(std::int64_t ns) {
    char text[48];
    const char* sign = ns < 0 ? "-" : "";
    const std::uint64_t magnitude =
        ns < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%09" PRIu64, sign, magnitude / 1000000000,
                  magnitude % 1000000000);
    return text;
}

void appendInt(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace qelttrace
