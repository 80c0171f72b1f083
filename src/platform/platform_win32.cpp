#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/platform_sys.h"

const char qeltLibraryFileName[] = "ProbeLinkServices.dll";
const char qeltDirSeparator[] = "\\";

QeltLibrary qelt_load_library(const char* path) {
    return reinterpret_cast<QeltLibrary>(LoadLibraryA(path));
}

void* qelt_get_proc(QeltLibrary library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void qelt_free_library(QeltLibrary library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

int qelt_last_error(void) {
    return static_cast<int>(GetLastError());
}

// GetLastError() already says it all; the loader has no separate text.
const char* qelt_loader_message(void) {
    return nullptr;
}

void qelt_sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// _vsnprintf, as the tool has always formatted on Windows; it returns -1 and
// leaves no terminator when the text is cut.
int qeltFormat(char* buffer, size_t size, const char* format, va_list args) {
    int n = _vsnprintf(buffer, size, format, args);
    buffer[size - 1] = '\0';
    if (n < 0 || static_cast<size_t>(n) >= size) n = static_cast<int>(strlen(buffer));
    return n;
}

int qelt_stricmp(const char* a, const char* b) {
    return _stricmp(a, b);
}

void qelt_binary_stdin(void) {
    _setmode(_fileno(stdin), _O_BINARY);
}

int64_t qelt_monotonic_ms(void) {
    return static_cast<int64_t>(GetTickCount64());
}

int qelt_is_terminal(FILE* stream) {
    return stream && _isatty(_fileno(stream)) ? 1 : 0;
}

long qelt_process_id(void) {
    return static_cast<long>(GetCurrentProcessId());
}
