// A stand-in for the telnet library that plays scripted sessions through the
// real dialog callback it is handed, so the states the tool judges are the
// dialog's own.
//
// QELT_FAKE_SCRIPT names the script, one directive a line:
//   session RESULT              starts the next session; TelnetSession returns RESULT
//   chunk PEEK TEXT             delivers TEXT (%XX escapes any byte) with its own length
//   chunklen PEEK LENGTH TEXT   the same, claiming LENGTH bytes
//   null PEEK LENGTH            delivers a null text
// QELT_FAKE_LOG names a file that gets "load" when the library is loaded and,
// per call, the arguments, every line sent (escaped) and the result.
// QELT_FAKE_MARK, when set, makes each call write "<session N>" straight to
// file descriptor 1, so the tool's buffered output shows where it was flushed.
#define PROBELINK_BUILD
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/probelink.h"

namespace {

int sessionsPlayed = 0;

void logText(const char* text) {
    const char* path = getenv("QELT_FAKE_LOG");
    if (!path) return;
    FILE* log = fopen(path, "a");
    if (!log) return;
    fputs(text, log);
    fclose(log);
}

struct LoadMarker {
    LoadMarker() { logText("load\n"); }
} loadMarker;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes %XX escapes of `in` into `out`; returns the decoded size.
size_t unescape(const char* in, char* out, size_t size) {
    size_t n = 0;
    for (const char* p = in; *p && n + 1 < size; ++p) {
        if (p[0] == '%' && hexValue(p[1]) >= 0 && hexValue(p[2]) >= 0) {
            out[n++] = static_cast<char>(hexValue(p[1]) * 16 + hexValue(p[2]));
            p += 2;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
    return n;
}

void escape(const char* in, char* out, size_t size) {
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p; ++p) {
        if (n + 4 >= size) break;
        if (*p < 0x20 || *p >= 0x7F || *p == '%') {
            snprintf(out + n, size - n, "%%%02X", *p);
            n += 3;
        } else {
            out[n++] = static_cast<char>(*p);
        }
    }
    out[n] = '\0';
}

int QELT_CDECL fakeSend(void* handle, const char* line, int flags) {
    char escaped[1024];
    escape(line, escaped, sizeof escaped);
    char entry[1100];
    snprintf(entry, sizeof entry, "send [%s] flags=%d handle=%s\n", escaped, flags,
             handle == &sessionsPlayed ? "ok" : "wrong");
    logText(entry);
    return 0;
}

}  // namespace

extern "C" PROBELINK_API int QELT_CDECL TelnetSession(const char* host, int port, int timeoutMs,
                                                      DialogCallback callback, void* context) {
    const int index = sessionsPlayed++;
    char entry[512];
    snprintf(entry, sizeof entry, "call %d host=[%s] port=%d timeout=%d\n", index,
             host ? host : "(none)", port, timeoutMs);
    logText(entry);
    if (getenv("QELT_FAKE_MARK")) {
        char mark[64];
        const int n = snprintf(mark, sizeof mark, "<session %d>\n", index);
        if (write(1, mark, static_cast<size_t>(n)) < 0) return 3;
    }

    const char* path = getenv("QELT_FAKE_SCRIPT");
    FILE* script = path ? fopen(path, "r") : nullptr;
    if (!script) return 3;
    static char line[70000];
    static char text[70000];
    int current = -1;
    int result = 1;
    bool found = false;
    while (fgets(line, sizeof line, script)) {
        line[strcspn(line, "\n")] = '\0';
        int a = 0, b = 0, used = 0;
        if (sscanf(line, "session %d", &a) == 1) {
            ++current;
            if (current == index) {
                found = true;
                result = a;
            }
            continue;
        }
        if (current != index) continue;
        // Exactly one blank separates the fields from the text, which may
        // itself begin with blanks.
        if (sscanf(line, "chunk %d%n", &a, &used) == 1) {
            if (line[used] == ' ') ++used;
            const size_t n = unescape(line + used, text, sizeof text);
            callback(text, static_cast<int>(n), a, context, fakeSend, &sessionsPlayed);
        } else if (sscanf(line, "chunklen %d %d%n", &a, &b, &used) == 2) {
            if (line[used] == ' ') ++used;
            unescape(line + used, text, sizeof text);
            callback(text, b, a, context, fakeSend, &sessionsPlayed);
        } else if (sscanf(line, "null %d %d", &a, &b) == 2) {
            callback(nullptr, b, a, context, fakeSend, &sessionsPlayed);
        }
    }
    fclose(script);
    if (!found) {
        logText("no such session\n");
        return 1;
    }
    snprintf(entry, sizeof entry, "return %d\n", result);
    logText(entry);
    return result;
}
