#include "progress/progress.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "common/bridge_words.h"
#include "platform/platform.h"

namespace {

// Redrawing more often than this only costs the terminal.
const int64_t kRedrawMs = 100;
const char kBanner[] = QELT_DUMP_BANNER;
// "\r", the longest line ("trace dump: " and four numbers of up to 20
// digits), blanks over a longer previous line, a line feed.
enum { kLineSize = 160 };

struct DumpProgress {
    bool shown;
    bool bannerChecked;
    long records;
    long pages;
    int64_t startMs;
    int64_t drawnMs;
    int drawnLength;  // length of the text drawn last, to blank out what is left of it
};

DumpProgress progress;

void draw(const char* ending) {
    const int64_t now = qelt_monotonic_ms();
    const int64_t elapsedMs = now - progress.startMs;
    const double seconds = static_cast<double>(elapsedMs) / 1000.0;
    const double rate = elapsedMs > 0 ? static_cast<double>(progress.records) / seconds : 0.0;
    char line[kLineSize];
    line[0] = '\r';
    int length = qelt_snprintf(line + 1, sizeof line - 1,
                               "trace dump: %ld records, %ld pages, %.1f s, %.0f records/s",
                               progress.records, progress.pages, seconds, rate);
    if (length < 0) return;
    int end = 1 + length;
    for (int i = length; i < progress.drawnLength && end < kLineSize - 2; ++i) line[end++] = ' ';
    for (const char* p = ending; *p != '\0' && end < kLineSize - 1; ++p) line[end++] = *p;
    // One write a drawing, so the terminal never shows half a line.
    fwrite(line, 1, static_cast<size_t>(end), stderr);
    fflush(stderr);
    progress.drawnLength = length;
    progress.drawnMs = now;
}

}  // namespace

void DumpProgressStart(void) {
    memset(&progress, 0, sizeof progress);
    progress.shown = qelt_is_terminal(stderr) && !qelt_is_terminal(stdout);
    progress.startMs = qelt_monotonic_ms();
    progress.drawnMs = progress.startMs;
}

void DumpProgressLine(const char* line) {
    if (!progress.shown) return;
    // The banner comes first, if at all: only the first line is looked at.
    if (!progress.bannerChecked) {
        progress.bannerChecked = true;
        if (strstr(line, kBanner)) return;
    }
    ++progress.records;
}

void DumpProgressPage(void) {
    if (!progress.shown) return;
    ++progress.pages;
    if (qelt_monotonic_ms() - progress.drawnMs >= kRedrawMs) draw("");
}

void DumpProgressFinish(void) {
    if (!progress.shown) return;
    draw("\n");
    progress.shown = false;
}
