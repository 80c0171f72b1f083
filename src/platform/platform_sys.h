// Private to platform_common.cpp, platform_posix.cpp and platform_win32.cpp:
// the calls that platform_common.cpp builds on and each platform makes its
// own way.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Formats into `buffer` (size > 0), always leaving it terminated. Returns the
// length of the whole text as C99's vsnprintf does (`size` or more: it was
// cut), or, where the platform cannot tell that length, size - 1 for a cut
// text; -1 on an encoding error.
int qeltFormat(char* buffer, size_t size, const char* format, va_list args)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 3, 0)))
#endif
    ;
