#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/platform_sys.h"

const char qeltLibraryFileName[] = "libProbeLinkServices.so";
const char qeltDirSeparator[] = "/";

QeltLibrary qelt_load_library(const char* path) {
    errno = 0;
    return dlopen(path, RTLD_NOW);
}

void* qelt_get_proc(QeltLibrary library, const char* name) {
    errno = 0;
    return dlsym(library, name);
}

void qelt_free_library(QeltLibrary library) {
    if (library) dlclose(library);
}

int qelt_last_error(void) {
    return errno;
}

const char* qelt_loader_message(void) {
    return dlerror();
}

void qelt_sleep_ms(int ms) {
    if (ms <= 0) return;
    struct timespec rest;
    rest.tv_sec = ms / 1000;
    rest.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

int qeltFormat(char* buffer, size_t size, const char* format, va_list args) {
    return vsnprintf(buffer, size, format, args);
}

int qelt_stricmp(const char* a, const char* b) {
    return strcasecmp(a, b);
}

void qelt_binary_stdin(void) {}

int64_t qelt_monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int qelt_is_terminal(FILE* stream) {
    return stream && isatty(fileno(stream)) ? 1 : 0;
}

long qelt_process_id(void) {
    return static_cast<long>(getpid());
}
