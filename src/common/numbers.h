// Reading decimal numbers from received or typed text without undefined
// behaviour.
//
//   atoi32             atoi as the bridge's runtime reads it, saturating at 32 bits
//   readDecimalDigits  the run of digits at the start of a text, bounded by a limit
//   parseDecimal       a whole text of digits, bounded by a maximum
//   readFixedDecimal   a decimal with a point ("1523.108795610"), exactly, as a
//                      whole count of 10^-places
#pragma once

#include <stddef.h>
#include <stdint.h>

// Reads a decimal integer the way atoi does (leading white space, an optional
// sign, digits up to the first other character; no digits give 0), but a value
// beyond the signed 32-bit range saturates at INT32_MAX or INT32_MIN instead of
// overflowing, as the Windows runtime's atoi does. A null text gives 0.
int32_t atoi32(const char* text);

// Reads the run of decimal digits at the start of text[0, length) (no sign,
// no blanks) and returns how many there are (0: none). *value receives their
// number and *over whether it is larger than `limit` (*value is `limit` then);
// nothing overflows however many digits follow.
size_t readDecimalDigits(const char* text, size_t length, uint64_t limit, uint64_t* value,
                         bool* over);

// True when text[0, length) is decimal digits only, at least one, and their
// value is at most `max` (leading zeros allowed); *value holds it then and is
// left alone otherwise.
bool parseDecimal(const char* text, size_t length, uint64_t max, uint64_t* value);

// What readFixedDecimal made of a text.
enum FixedDecimalResult {
    kFixedRead,        // *scaled holds the value
    kFixedMalformed,   // not a plain decimal number
    kFixedTooPrecise,  // more digits after the point than `places`
    kFixedTooLarge,    // its magnitude is above `maxScaled`
};

// Reads text[0, length) as a plain decimal number: digits on at least one side
// of an optional point ("12", "1523.108795610", ".5", "2."), after a leading
// '-' only when `minusAllowed`; no '+', blank, exponent or other character.
// The value lands in *scaled as a whole count of 10^-places (places at most
// 18): exact, the same on every machine. A magnitude above `maxScaled` (in
// those units, at most INT64_MAX) is kFixedTooLarge however many digits it
// has: nothing wraps. *scaled is set only on kFixedRead.
FixedDecimalResult readFixedDecimal(const char* text, size_t length, unsigned places,
                                    bool minusAllowed, uint64_t maxScaled, int64_t* scaled);
