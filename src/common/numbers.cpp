#include "common/numbers.h"

int32_t atoi32(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    // Accumulate towards the limit of the sign so INT32_MIN itself is reachable.
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

size_t readDecimalDigits(const char* text, size_t length, uint64_t limit, uint64_t* value,
                         bool* over) {
    uint64_t v = 0;
    bool above = false;
    size_t i = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        // Once past the limit the value stays at it.
        if (above || v > limit / 10 || (v == limit / 10 && digit > limit % 10)) {
            above = true;
            v = limit;
        } else {
            v = v * 10 + digit;
        }
    }
    *value = v;
    *over = above;
    return i;
}

bool parseDecimal(const char* text, size_t length, uint64_t max, uint64_t* value) {
    uint64_t v = 0;
    bool over = false;
    if (length == 0 || readDecimalDigits(text, length, max, &v, &over) != length || over) {
        return false;
    }
    *value = v;
    return true;
}

FixedDecimalResult readFixedDecimal(const char* text, size_t length, unsigned places,
                                    bool minusAllowed, uint64_t maxScaled, int64_t* scaled) {
    if (places > 18 || maxScaled > static_cast<uint64_t>(INT64_MAX)) return kFixedMalformed;
    uint64_t scale = 1;
    for (unsigned p = 0; p < places; ++p) scale *= 10;
    size_t i = 0;
    const bool negative = minusAllowed && length > 0 && text[0] == '-';
    if (negative) ++i;
    // The whole part saturates just above what can still be in range.
    uint64_t whole = 0;
    bool over = false;
    const size_t wholeDigits =
        readDecimalDigits(text + i, length - i, maxScaled / scale, &whole, &over);
    i += wholeDigits;
    size_t fractionDigits = 0;
    uint64_t fraction = 0;
    if (i < length && text[i] == '.') {
        ++i;
        bool unused = false;
        fractionDigits = readDecimalDigits(text + i, length - i, UINT64_MAX, &fraction, &unused);
        i += fractionDigits;
    }
    if (i != length || wholeDigits + fractionDigits == 0) return kFixedMalformed;
    if (fractionDigits > places) return kFixedTooPrecise;
    if (over) return kFixedTooLarge;
    for (size_t d = fractionDigits; d < places; ++d) fraction *= 10;
    // whole * scale <= maxScaled and fraction < scale: no wrap below 2^64.
    const uint64_t magnitude = whole * scale + fraction;
    if (magnitude > maxScaled) return kFixedTooLarge;
    *scaled = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return kFixedRead;
}
