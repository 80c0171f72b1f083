// The trace line formatter and its time arithmetic. The timing globals live
// for the whole process: one dump per process starts from their initial
// values, and the session driver reads them once the dump is over.
#include "trace/sata_format.h"

#include <stdio.h>
#include <string.h>

#include "common/bridge_words.h"
#include "common/numbers.h"
#include "platform/platform.h"
#include "trace/sata_decode.h"

DBGTime startTime = {0, 0};
DBGTime ct = {0, 0};
DBGTime pt = {0, 0};
DBGTime diff = {0, 0};
int32_t FirstCommand = 1;

void SataResetTiming() {
    startTime = ct = pt = diff = DBGTime{0, 0};
    FirstCommand = 1;
}

namespace {

// The decoder's output buffer.
constexpr int kDecodedSize = 260;
// The seconds part of a timestamp is read from a 32-character work buffer.
constexpr size_t kSecondsSize = 32;
// The current line's timestamp token, at most 15 characters.
constexpr size_t kTokenSize = 16;

char currentTime[kTokenSize];

const char kBanner[] = QELT_DUMP_BANNER;

// One time field as "%6d.%09d" prints it: at most "-2147483648.-2147483648".
constexpr int kTimeMax = 23;
// A decoded record's line: a line feed, two times, two tabs, the decoded text.
constexpr int kRecordLineSize = 1 + kTimeMax + 1 + kTimeMax + 1 + kDecodedSize;

// Writes one time field at `out` and returns the end. printf was most of the
// cost of a record; values no well-formed dump holds (negative, or nanoseconds
// of ten digits) still go through it, so every value prints exactly as
// "%6d.%09d" prints it.
char* putTime(char* out, const DBGTime& t) {
    if (t.sec < 0 || t.nsec < 0 || t.nsec > 999999999) {
        return out + qelt_snprintf(out, kTimeMax + 1, "%6d.%09d", t.sec, t.nsec);
    }
    char digits[10];
    int count = 0;
    uint32_t sec = static_cast<uint32_t>(t.sec);
    do {
        digits[count++] = static_cast<char>('0' + sec % 10);
        sec /= 10;
    } while (sec != 0);
    for (int i = count; i < 6; ++i) *out++ = ' ';
    while (count > 0) *out++ = digits[--count];
    *out++ = '.';
    uint32_t nsec = static_cast<uint32_t>(t.nsec);
    for (int i = 8; i >= 0; --i) {
        out[i] = static_cast<char>('0' + nsec % 10);
        nsec /= 10;
    }
    return out + 9;
}

// Appends `word` at `end`, keeping at most `*room` characters in all.
char* putWord(char* end, const char* word, int* room) {
    while (*word != '\0' && *room > 0) {
        *end++ = *word++;
        --*room;
    }
    return end;
}

// A decoded record's line, "\n%6d.%09d\t%6d.%09d\t%s" with the three words
// joined by blanks as the decoder's 260-character buffer holds them, without
// the leading line feed when the decoded text holds one of its own, written
// at `line` (kRecordLineSize bytes). Returns its length.
int recordLine(const SataTraceRecord& record, char* line) {
    char* end = line;
    *end++ = '\n';
    end = putTime(end, record.time);
    *end++ = '\t';
    end = putTime(end, record.delta);
    *end++ = '\t';
    char* decoded = end;
    int room = kDecodedSize - 1;
    end = putWord(end, record.words.event, &room);
    end = putWord(end, " ", &room);
    end = putWord(end, record.words.qualifier, &room);
    end = putWord(end, " ", &room);
    end = putWord(end, record.words.argument, &room);
    int length = static_cast<int>(end - line);
    if (memchr(decoded, '\n', static_cast<size_t>(end - decoded)) != nullptr) {
        memmove(line, line + 1, static_cast<size_t>(--length));
    }
    return length;
}

// What precedes the record text in the error line of a record that did not
// decode: "\n%6d.%09d\t%6d.%09d\t%s - ".
constexpr int kErrorPrefixSize = 1 + kTimeMax + 1 + kTimeMax + 1 + 20 + 3 + 1;
int errorPrefix(const SataTraceRecord& record, char (&out)[kErrorPrefixSize]) {
    return qelt_snprintf(out, sizeof out, "\n%6d.%09d\t%6d.%09d\t%s - ", record.time.sec,
                         record.time.nsec, record.delta.sec, record.delta.nsec,
                         record.result == -1 ? "INVALID PARAMETER" : "PARSE ERROR");
}

// A span line: "\t%6d.%09d\n".
constexpr int kSpanLineSize = 1 + kTimeMax + 1 + 1;
int spanLine(const DBGTime& span, char (&out)[kSpanLineSize]) {
    char* end = out;
    *end++ = '\t';
    end = putTime(end, span);
    *end++ = '\n';
    return static_cast<int>(end - out);
}

// Bounded output into a caller's buffer: keeps what fits with its terminator
// and counts everything, as snprintf does.
struct Output {
    char* out;
    int size;
    int length;
};

void put(Output* o, const char* text, size_t length) {
    if (o->size > 0) {
        const int at = o->length < o->size - 1 ? o->length : o->size - 1;
        const size_t room = static_cast<size_t>(o->size - 1 - at);
        const size_t kept = length < room ? length : room;
        memcpy(o->out + at, text, kept);
        o->out[at + static_cast<int>(kept)] = '\0';
    }
    o->length += static_cast<int>(length);
}

// Wraps a 64-bit result to 32 bits, two's complement, without relying on the
// implementation-defined narrowing conversion.
int32_t wrap32(int64_t value) {
    uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(value));
    if (low <= static_cast<uint32_t>(INT32_MAX)) return static_cast<int32_t>(low);
    return static_cast<int32_t>(static_cast<int64_t>(low) - (int64_t{1} << 32));
}

}  // namespace

void GetDBGTimeFromString(const char* timeText, DBGTime* outTime) {
    if (!timeText || !outTime) return;
    outTime->sec = 0;
    outTime->nsec = 0;
    const char* point = strchr(timeText, '.');
    size_t secondsLength = point ? static_cast<size_t>(point - timeText) : strlen(timeText);
    if (secondsLength >= kSecondsSize) return;
    char seconds[kSecondsSize] = {};
    memcpy(seconds, timeText, secondsLength);
    // Digits beyond the 32-bit range saturate, as the bridge's own runtime
    // reads them, rather than overflowing into an arbitrary time.
    outTime->sec = atoi32(seconds);
    if (point) outTime->nsec = atoi32(point + 1);
}

void DiffTime(const DBGTime* from, const DBGTime* to, DBGTime* difference) {
    // Computed in 64 bits and wrapped to 32: saturated or hostile inputs give
    // the result a 32-bit machine gives, never signed overflow.
    int64_t borrow = 0;
    int64_t nsec = 0;
    if (to->nsec < from->nsec) {
        nsec = int64_t{1000000000} - from->nsec + to->nsec;
        borrow = 1;
    } else {
        nsec = int64_t{to->nsec} - from->nsec;
    }
    difference->nsec = wrap32(nsec);
    difference->sec = wrap32(int64_t{to->sec} - from->sec - borrow);
}

void SataBlankLineEnds(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') *p = ' ';
    }
}

SataLineKind SataTraceLine(char* text, SataTraceRecord* record) {
    if (!text || !record) return SataLineIgnored;
    if (strstr(text, kBanner)) return SataLineBanner;

    if (text[0] == '\0' || text[0] == '\n') {
        record->printSpan = 0;
        if (pt.nsec > 0 || pt.sec > 0) {
            DiffTime(&startTime, &pt, &diff);
            record->delta = diff;
            record->printSpan = 1;
        }
        FirstCommand = 1;
        return SataLineSpan;
    }

    SataBlankLineEnds(text);

    char* token = text;
    while (*token == ' ') ++token;
    if (*token == '\0') return SataLineIgnored;
    char* blank = strchr(token, ' ');
    if (!blank) return SataLineIgnored;

    size_t tokenLength = static_cast<size_t>(blank - token);
    size_t kept = tokenLength < kTokenSize - 1 ? tokenLength : kTokenSize - 1;
    memcpy(currentTime, token, kept);
    currentTime[kept] = '\0';

    char* recordText = blank + 1;
    record->text = recordText;
    record->result = SataDecodeWords(recordText, &record->words);

    // The time is read from the whole token, not from the 15 characters kept:
    // a bridge up for more than 27.7 hours stamps "123456.123456789", 16
    // characters, and cutting it would lose a nanosecond digit and scale the
    // rest by ten. The blank is restored at once, so the caller's text only
    // ever changes by its line ends.
    *blank = '\0';
    GetDBGTimeFromString(token, &ct);
    *blank = ' ';

    DiffTime(&pt, &ct, &diff);
    if (diff.sec == ct.sec && diff.nsec == ct.nsec) {
        diff.sec = 0;
        diff.nsec = 0;
    }
    record->held = 0;
    if (diff.nsec < 0 || diff.sec < 0) {
        ct = pt;
        diff.sec = 0;
        diff.nsec = 0;
        record->held = 1;
    }
    record->time = ct;
    record->delta = diff;
    if (record->result != 0) return SataLineRecord;

    if (FirstCommand) {
        FirstCommand = 0;
        startTime = ct;
    }
    pt = ct;
    memset(currentTime, 0, sizeof currentTime);
    return SataLineRecord;
}

void SataPrintLine(SataLineKind kind, const char* text, const SataTraceRecord* record) {
    switch (kind) {
        case SataLineBanner:
            puts(text);
            break;
        case SataLineSpan:
            if (record->printSpan) {
                char line[kSpanLineSize];
                fwrite(line, 1, static_cast<size_t>(spanLine(record->delta, line)), stdout);
            }
            break;
        case SataLineRecord:
            if (record->result != 0) {
                char prefix[kErrorPrefixSize];
                fwrite(prefix, 1, static_cast<size_t>(errorPrefix(*record, prefix)), stdout);
                fputs(record->text, stdout);
            } else {
                char line[kRecordLineSize];
                fwrite(line, 1, static_cast<size_t>(recordLine(*record, line)), stdout);
            }
            break;
        case SataLineIgnored:
            break;
    }
}

int SataFormatLine(SataLineKind kind, const char* text, const SataTraceRecord* record, char* out,
                   int size) {
    Output o = {out, size, 0};
    if (size > 0) out[0] = '\0';
    switch (kind) {
        case SataLineBanner:
            put(&o, text, strlen(text));
            put(&o, "\n", 1);
            break;
        case SataLineSpan:
            if (record->printSpan) {
                char line[kSpanLineSize];
                put(&o, line, static_cast<size_t>(spanLine(record->delta, line)));
            }
            break;
        case SataLineRecord:
            if (record->result != 0) {
                char prefix[kErrorPrefixSize];
                put(&o, prefix, static_cast<size_t>(errorPrefix(*record, prefix)));
                put(&o, record->text, strlen(record->text));
            } else if (size > kRecordLineSize) {
                // Room for any record line: written in place.
                o.length = recordLine(*record, out);
                out[o.length] = '\0';
            } else {
                char line[kRecordLineSize];
                put(&o, line, static_cast<size_t>(recordLine(*record, line)));
            }
            break;
        case SataLineIgnored:
            break;
    }
    return o.length;
}

void ParseSataTrace(char* text) {
    if (!text) return;
    SataTraceRecord record;
    const SataLineKind kind = SataTraceLine(text, &record);
    SataPrintLine(kind, text, &record);
}
