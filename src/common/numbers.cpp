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
