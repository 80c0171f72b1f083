// The parts of platform.h that POSIX and Windows share; what differs stays in
// platform_posix.cpp and platform_win32.cpp.
#include <stdarg.h>

#include "platform/platform.h"
#include "platform/platform_sys.h"

int qelt_snprintf(char* buffer, size_t size, const char* format, ...) {
    if (!buffer || size == 0) return -1;
    va_list args;
    va_start(args, format);
    int n = qeltFormat(buffer, size, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) >= size) n = static_cast<int>(size - 1);
    return n;
}
