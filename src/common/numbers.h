// Reading decimal numbers from received text without undefined behaviour.
#pragma once

#include <stdint.h>

// Reads a decimal integer the way atoi does (leading white space, an optional
// sign, digits up to the first other character; no digits give 0), but a value
// beyond the signed 32-bit range saturates at INT32_MAX or INT32_MIN instead of
// overflowing, as the Windows runtime's atoi does. A null text gives 0.
int32_t atoi32(const char* text);
