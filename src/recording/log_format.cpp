#include "recording/log_format.h"

#include <cstdint>

#include "common/numbers.h"

namespace recording {
namespace {

// In the order of EventWord.
constexpr const char* kEventWords[] = {
    "start", "open",     "attempt", "connected", "recv", "send",    "send-failed",
    "chunk", "sendline", "error",   "eof",       "end",  "version", "result",
};
static_assert(sizeof kEventWords / sizeof kEventWords[0] == kEventWordCount,
              "one word for every EventWord");

struct EndingName {
    const char* word;
    const char* text;
};
// In the order of Ending.
constexpr EndingName kEndings[] = {
    {"closed", "the bridge closed the connection"},
    {"reset", "the bridge reset the connection"},
    {"broken", "the connection broke"},
    {"timeout", "nothing received within the time-out"},
    {"tool-close", "the library closed the connection (a send failed, or a local error)"},
    {"no-connection", "no connection within the time-out"},
    {"unresolved", "the host name could not be resolved"},
    {"invalid", "invalid arguments"},
    {"local-error", "local system error"},
    {"cut", "the log ends inside the session"},
};
static_assert(sizeof kEndings / sizeof kEndings[0] == kEndingCount, "one name for every Ending");

constexpr char kHex[] = "0123456789ABCDEF";

// `value` in decimal, with leading zeros to `width` digits. By hand rather
// than printf: the Windows runtime the library carries reads "%lld" its own way.
void appendDecimal(std::string& out, std::uint64_t value, int width = 1) {
    char text[24];
    int n = 0;
    do {
        text[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int pad = n; pad < width; ++pad) out += '0';
    while (n > 0) out += text[--n];
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Days since 1970-01-01 to a civil date and back (proleptic Gregorian). By
// hand, because the C library's broken-down time calls are not thread-safe.
void civilFromDays(std::int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

std::int64_t daysFromCivil(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const auto m = static_cast<unsigned>(month);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + static_cast<unsigned>(day) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Exactly `count` decimal digits of `text` from `at`; false if any is not one.
bool digits(std::string_view text, std::size_t at, std::size_t count, std::int64_t& value) {
    std::uint64_t number = 0;
    if (at + count > text.size() || !parseDecimal(text.data() + at, count, UINT64_MAX, &number))
        return false;
    value = static_cast<std::int64_t>(number);
    return true;
}

// "YYYY-MM-DDTHH:MM:SS": the punctuation in its places and digits between.
bool readCivilSecond(std::string_view text, std::int64_t& seconds) {
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':')
        return false;
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    seconds =
        daysFromCivil(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)) *
            86400 +
        hour * 3600 + minute * 60 + second;
    return true;
}

}  // namespace

const char* eventWord(EventWord word) {
    return kEventWords[static_cast<int>(word)];
}

bool findEventWord(std::string_view text, EventWord& word) {
    for (int i = 0; i < kEventWordCount; ++i) {
        if (text == kEventWords[i]) {
            word = static_cast<EventWord>(i);
            return true;
        }
    }
    return false;
}

const char* endingWord(Ending ending) {
    return kEndings[static_cast<int>(ending)].word;
}

const char* endingText(Ending ending) {
    return kEndings[static_cast<int>(ending)].text;
}

bool findEnding(std::string_view word, Ending& ending) {
    for (int i = 0; i < kEndingCount; ++i) {
        if (word == kEndings[i].word) {
            ending = static_cast<Ending>(i);
            return true;
        }
    }
    return false;
}

void appendEscaped(std::string& out, const void* data, std::size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7f && c != '<') {
            out += static_cast<char>(c);
        } else {
            out += '<';
            out += kHex[c >> 4];
            out += kHex[c & 15];
            out += '>';
        }
    }
}

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendEscaped(out, bytes);
    return out;
}

bool unescape(std::string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '<') {
            bytes += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 3] != '>') return false;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
        i += 3;
    }
    return true;
}

std::string sessionIdentifier(long processId, std::uint64_t number) {
    std::string text;
    if (processId < 0) text += '-';
    appendDecimal(text, static_cast<std::uint64_t>(processId < 0 ? -processId : processId));
    text += ':';
    appendDecimal(text, number);
    return text;
}

std::string wallTimeText(std::int64_t wallUs) {
    constexpr std::int64_t kDayUs = 86400000000;
    const std::int64_t days = wallUs >= 0 ? wallUs / kDayUs : (wallUs - kDayUs + 1) / kDayUs;
    const auto inDay = static_cast<std::uint64_t>(wallUs - days * kDayUs);
    int year = 0, month = 0, day = 0;
    civilFromDays(days, year, month, day);
    std::string text;
    text.reserve(28);
    appendDecimal(text, static_cast<std::uint64_t>(year < 0 ? 0 : year), 4);
    text += '-';
    appendDecimal(text, static_cast<std::uint64_t>(month), 2);
    text += '-';
    appendDecimal(text, static_cast<std::uint64_t>(day), 2);
    text += 'T';
    appendDecimal(text, inDay / 3600000000, 2);
    text += ':';
    appendDecimal(text, inDay / 60000000 % 60, 2);
    text += ':';
    appendDecimal(text, inDay / 1000000 % 60, 2);
    text += '.';
    appendDecimal(text, inDay % 1000000, 6);
    text += 'Z';
    return text;
}

std::string monotonicText(std::int64_t monotonicUs) {
    const auto us = static_cast<std::uint64_t>(monotonicUs < 0 ? 0 : monotonicUs);
    std::string text;
    appendDecimal(text, us / 1000000);
    text += '.';
    appendDecimal(text, us % 1000000, 6);
    return text;
}

void appendLineStart(std::string& out, std::int64_t wallUs, std::int64_t monotonicUs,
                     std::string_view session, EventWord word) {
    out += wallTimeText(wallUs);
    out += ' ';
    out += monotonicText(monotonicUs);
    out += ' ';
    out += session;
    out += ' ';
    out += eventWord(word);
}

bool readWallTime(std::string_view text, std::int64_t& wallUs, int& digitCount) {
    std::int64_t seconds = 0, fraction = 0;
    if (!readCivilSecond(text, seconds) || text.size() < 21 || text[19] != '.' ||
        text.back() != 'Z')
        return false;
    const std::size_t count = text.size() - 21;
    if ((count != 3 && count != 6) || !digits(text, 20, count, fraction)) return false;
    digitCount = static_cast<int>(count);
    wallUs = seconds * 1000000 + (count == 3 ? fraction * 1000 : fraction);
    return true;
}

bool readMonotonic(std::string_view text, std::int64_t& monotonicUs) {
    const std::size_t dot = text.find('.');
    // Up to 12 digits of seconds: more than thirty thousand years of uptime.
    if (dot == std::string_view::npos || dot == 0 || dot > 12 || text.size() != dot + 7)
        return false;
    std::int64_t seconds = 0, micro = 0;
    if (!digits(text, 0, dot, seconds) || !digits(text, dot + 1, 6, micro)) return false;
    monotonicUs = seconds * 1000000 + micro;
    return true;
}

}  // namespace recording
