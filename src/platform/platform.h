// The platform layer: everything that differs between POSIX and Windows.
//
//   QELT_CDECL, QELT_EXPORT  calling convention and symbol export for the C boundary
//   qeltLibraryFileName, qeltDirSeparator  the telnet library's file name and the path separator
//   qelt_load_library, qelt_get_proc, qelt_free_library  run-time binding of a shared library
//   qelt_last_error, qelt_loader_message  why the last load or look-up failed
//   qelt_sleep_ms, qelt_snprintf, qelt_stricmp  sleeping and string helpers
//   qelt_monotonic_ms, qelt_is_terminal  a clock for elapsed times, terminals
//   qelt_process_id                    the running process, to tell runs apart in a log
//
// C linkage throughout, so that a test or fuzz build can stand in for a
// function by its plain name (the linker's --wrap).
//
// No other file tests for the platform; the sockets of the telnet library live
// beside this one in net.h.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#define QELT_CDECL __cdecl
#define QELT_EXPORT __declspec(dllexport)
#else
#define QELT_CDECL
#define QELT_EXPORT __attribute__((visibility("default")))
#endif

// The library's file name ("ProbeLinkServices.dll" or "libProbeLinkServices.so")
// and the directory separator ("\\" or "/"). The length check on the library
// directory uses the length of both together.
extern const char qeltLibraryFileName[];
extern const char qeltDirSeparator[];

typedef void* QeltLibrary;

#ifdef __cplusplus
extern "C" {
#endif

// Loads a shared library by path or bare name; a bare name finds one installed
// beside the program. Returns null on failure; qelt_last_error() and
// qelt_loader_message() then tell why.
QeltLibrary qelt_load_library(const char* path);
// Looks up an exported symbol; null when absent.
void* qelt_get_proc(QeltLibrary library, const char* name);
void qelt_free_library(QeltLibrary library);

// The platform's last error: GetLastError() on Windows, errno on POSIX. Read it
// straight after the failing call.
int qelt_last_error(void);
// The loader's own explanation of the last failure (dlerror() on POSIX), or
// null when the platform has none. Reading it clears it.
const char* qelt_loader_message(void);

void qelt_sleep_ms(int ms);

// snprintf that always leaves a NUL-terminated string when size > 0 (Windows'
// _snprintf does not on truncation). Returns the number of characters written,
// clamped to size - 1, or -1 on an encoding error.
int qelt_snprintf(char* buffer, size_t size, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Case-insensitive comparison of two NUL-terminated strings (ASCII letters).
int qelt_stricmp(const char* a, const char* b);

// Puts standard input in binary mode, so that bytes arrive exactly as stored
// (no CR LF translation, no end at ^Z). Nothing to do on POSIX.
void qelt_binary_stdin(void);

// Milliseconds on a clock that never goes back (its origin is arbitrary).
int64_t qelt_monotonic_ms(void);
// Whether `stream` is a terminal (a console on Windows), not a file or a pipe.
int qelt_is_terminal(FILE* stream);

// The identifier of the running process (getpid, GetCurrentProcessId).
long qelt_process_id(void);

#ifdef __cplusplus
}
#endif
