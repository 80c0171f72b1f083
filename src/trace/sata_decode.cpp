// The trace record decoder. Each record is "CODE TAG ARG"; the tag decides how
// the code and the argument are named. Most tags only name the event: their
// rows in kTagRows carry a name and nothing else; the few with logic carry a
// function that sets the other words. All work happens in the fixed buffers of
// SataWords, sized for the longest field the bridge may send.
#include "trace/sata_decode.h"

#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "trace/sata_names.h"

namespace {

// Longest fields accepted.
constexpr int kCodeMax = kSataCodeSize - 1;
constexpr int kTagMax = kSataTagSize - 1;
constexpr int kArgMax = kSataFieldSize - 1;
// The composed third word: at most 259 characters.
constexpr int kComposedLimit = kSataComposedSize - 1;
// SATA state digits of tag 8, and the first number of an action pair.
constexpr int kStateDigitsMax = 4;
constexpr int kPairFirstMax = 7;

// Copies the field that starts at `from` (up to the next space or the end of
// the text) into `field` of `max` + 1 characters. Returns the field's length,
// or -1 when it is longer than `max` (nothing useful copied then). `*end`
// receives the character that ended the field.
int copyField(const char* from, char* field, int max, const char** end) {
    int length = 0;
    while (from[length] != '\0' && from[length] != ' ') {
        if (length == max) return -1;
        field[length] = from[length];
        ++length;
    }
    field[length] = '\0';
    *end = from + length;
    return length;
}

// Reads a number as strtol does; *ok is false when no digits follow the
// optional white space and sign. Fields are short, except the second number of
// an action pair, for which strtol's saturation is just another value outside
// the table.
long readNumber(const char* text, int base, bool* ok) {
    char* end = nullptr;
    long value = strtol(text, &end, base);
    *ok = end != text;
    return value;
}

long readNumber(const char* text, int base) {
    bool ok = false;
    return readNumber(text, base, &ok);
}

// The tag field is nearly always one to three plain digits: read those
// directly, and anything else (white space, a sign, no digits) as strtol does.
long readTag(const char* text, bool* ok) {
    long value = 0;
    int i = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    if (i > 0 && text[i] == '\0') {
        *ok = true;
        return value;
    }
    return readNumber(text, 10, ok);
}

bool inTable(long index, int32_t length) {
    return index >= 0 && index < length;
}

// Bounded text assembly: appends to `out` while fewer than `limit` characters
// are there, keeping it NUL-terminated. Same result as snprintf truncating to
// `limit` characters, at a fraction of its cost on the per-record path.
struct Line {
    char* out;
    int limit;
    int length;
};

void append(Line* line, const char* text) {
    while (*text != '\0' && line->length < line->limit) line->out[line->length++] = *text++;
    line->out[line->length] = '\0';
}

// Writes a, separator, b (and separator, c when given) into `out`, truncated
// to size - 1 characters (size > 0).
void joinWords(char* out, int size, const char* separator, const char* a, const char* b,
               const char* c = nullptr) {
    Line line = {out, size - 1, 0};
    out[0] = '\0';
    append(&line, a);
    append(&line, separator);
    append(&line, b);
    if (c) {
        append(&line, separator);
        append(&line, c);
    }
}

// "%s" formats of tag 40 with the argument field, into the composed text.
void compose(SataWords* w, const char* before, const char* after) {
    Line line = {w->composed, kComposedLimit, 0};
    append(&line, before);
    append(&line, w->field);
    append(&line, after);
}

// Tag 1: two code tokens (compared without regard to case) rename the event
// and hide the code.
struct CodeToken {
    const char* code;
    const char* event;
};
const CodeToken kActivateTokens[] = {
    {"F3", "CF_READ"},
    {"D1", "Log from VARN"},
};

void decodeActivate(SataWords* w) {
    for (const CodeToken& token : kActivateTokens) {
        if (qelt_stricmp(w->code, token.code) == 0) {
            w->event = token.event;
            w->qualifier = "";
            return;
        }
    }
}

// Tag 8: istatus by the hexadecimal code; "PAIR+STATE" rendered as
// "NAME/NAME state=STATE" into the composed text (the pair part empty when it
// does not decode).
void decodeWakeup(SataWords* w) {
    const long status = readNumber(w->code, 16);
    if (inTable(status, istsLen)) w->qualifier = IstatusCode[status];

    const char* stateName = SATA_STATE_UNKNOWN;
    const char* plus = strchr(w->field, '+');
    if (plus && plus[1] != '\0') {
        char digits[kStateDigitsMax + 1] = {};
        strncpy(digits, plus + 1, kStateDigitsMax);
        const long state = readNumber(digits, 16);
        if (inTable(state, sataStateLen)) stateName = SATA_STATE[state];
    }
    char pair[kSataComposedSize];
    Act12Parse(w->field, pair, kComposedLimit);
    joinWords(w->composed, kComposedLimit + 1, " " SATA_STATE_MARK, pair, stateName);
}

// Tag 10: the action by the decimal code.
void decodeBusyAction(SataWords* w) {
    const long action = readNumber(w->code, 10);
    if (inTable(action, act12Len)) w->qualifier = SATATranslateACT12[action];
}

// Tag 40: the target system's file operations, by the hexadecimal sub-code.
// A row sets the qualifier, or formats the third word around the argument
// (the code stays the qualifier then); a sub-code without a row, and 0xFF,
// drop the argument.
struct FileOperation {
    long sub;
    const char* qualifier;  // null: the code field
    const char* before;     // non-null: the third word is before + argument + after
    const char* after;
};
const FileOperation kFileOperations[] = {
    {0x1, "Open Begin", nullptr, nullptr},
    {0x2, "Open request sent/Begin receive response", nullptr, nullptr},
    {0x3, nullptr, "Open Complete (fh=", ")"},
    {0x4, nullptr, "Close Begin (fh=", ")"},
    {0x5, "Close request sent/Begin receive response", nullptr, nullptr},
    {0x6, "Close Complete", nullptr, nullptr},
    {0x7, nullptr, "Read Begin (size=", ")"},
    {0x9, "Read Complete", nullptr, nullptr},
    {0xA, nullptr, "Write Begin (size=", ")"},
    {0xC, "Write Complete", nullptr, nullptr},
};
const char kFileDebug[] = "DBGINT";
const char kUnknownSub[] = "?What?";

void decodeFileOperation(SataWords* w) {
    const long sub = readNumber(w->code, 16);
    for (const FileOperation& op : kFileOperations) {
        if (op.sub != sub) continue;
        if (op.qualifier) w->qualifier = op.qualifier;
        if (op.before) compose(w, op.before, op.after);
        return;
    }
    w->qualifier = sub == 0xFF ? kFileDebug : kUnknownSub;
    w->field[0] = '\0';
}

// Tag 41: the code token FF is the debug interrupt, without argument.
void decodeQeltDebug(SataWords* w) {
    if (qelt_stricmp(w->code, "FF") == 0) {
        w->qualifier = kFileDebug;
        w->field[0] = '\0';
    }
}

// Tag 50: the firmware's trace point by the decimal code, and the action pair.
void decodeActLog(SataWords* w) {
    const long point = readNumber(w->code, 10);
    if (inTable(point, transTagTypeLen)) w->qualifier = SataTranslateTagType[point];
    Act12Parse(w->field, w->composed, kComposedLimit);
}

// Tag 67: the transfer direction, by the hexadecimal code, replaces the event;
// the code itself is never shown.
struct Direction {
    long code;
    const char* event;
};
const Direction kDirections[] = {
    {0x4, "->recv"},  {0xDB, "->recv"}, {0x5, "<-recv"},
    {0xDC, "<-recv"}, {0xB1, "->send"}, {0xB2, "<-send"},
};

void decodeDirection(SataWords* w) {
    const long code = readNumber(w->code, 16);
    w->qualifier = kUnknownSub;
    for (const Direction& direction : kDirections) {
        if (direction.code == code) {
            w->event = direction.event;
            w->qualifier = nullptr;
            break;
        }
    }
    w->code[0] = '\0';
}

// One row per tag: the event it names and, for the few tags with more to
// decode, the function that sets the other words (called with the event
// already set; a null qualifier afterwards means the code field).
using TagLogic = void (*)(SataWords*);
struct TagRow {
    int tag;
    const char* event;
    TagLogic logic;
};
constexpr TagRow kTagRows[] = {
    {0, "FatalError", nullptr},
    {1, "ActivateTransaction", decodeActivate},
    {2, "CancelAll", nullptr},
    {3, "CompleteTransation", nullptr},
    {4, "FPGA_Reset", nullptr},
    {5, "ResetInternal", nullptr},
    {6, "NeedPhyReady", nullptr},
    {7, "PHYBecameReady", nullptr},
    {8, "SATAWakeup", decodeWakeup},
    {9, "UnexpectedState", nullptr},
    {10, "SATABusyAction", decodeBusyAction},
    {40, "VARN:", decodeFileOperation},
    {41, "QELT:", decodeQeltDebug},
    {50, "AHCI_SATA_ACT_Log", decodeActLog},
    {55, "SATAEnableRecv", nullptr},
    {61, "AHCI_CacheInval", nullptr},
    {62, "AHCI_CacheWriteBack", nullptr},
    {63, "AHCI_CFReadLen", nullptr},
    {66, "F3Flow", nullptr},
    {67, "F3FlowLen", decodeDirection},
    {70, "DMA Start", nullptr},
    {71, "DMA End", nullptr},
    {80, "FPGA_DMARXStart", nullptr},
    {81, "FPGA_DMARXStop", nullptr},
    {82, "AHCI_Fail_Alloc_Resp_Buffer", nullptr},
    {209, "VARN Log", nullptr},
};
constexpr int kTagRowCount = static_cast<int>(sizeof kTagRows / sizeof kTagRows[0]);
constexpr int kFileOpsRow = 11;  // tag 40, whose qualifiers may hold blanks

// Tag number to row, for every tag up to the largest with a row.
constexpr int kTagSlots = 210;
struct TagIndex {
    signed char row[kTagSlots] = {};
    constexpr TagIndex() {
        for (int t = 0; t < kTagSlots; ++t) row[t] = -1;
        for (int r = 0; r < kTagRowCount; ++r) row[kTagRows[r].tag] = static_cast<signed char>(r);
    }
};
constexpr TagIndex kTagIndex;
static_assert(kTagRows[kFileOpsRow].tag == 40, "the file operation row");
static_assert(kTagRows[kTagRowCount - 1].tag < kTagSlots, "every row has a slot");

// Fields of the record text, by the one-space rule. Returns false when a field
// is longer than its limit.
bool readFields(const char* text, SataWords* w) {
    const char* end = text;
    const int codeLength = copyField(text, w->code, kCodeMax, &end);
    if (codeLength < 0) return false;
    if (codeLength == 0 || *end != ' ') return true;
    // Exactly one space separates fields: a second one ends the next field
    // at once.
    if (copyField(end + 1, w->tag, kTagMax, &end) < 0) return false;
    if (*end == ' ' && copyField(end + 1, w->field, kArgMax, &end) < 0) return false;
    return true;
}

// True when `line` of `length` starts with `name` followed by a blank.
bool startsWithWord(const char* line, int length, const char* name, int* nameLength) {
    const int n = static_cast<int>(strlen(name));
    if (n >= length || line[n] != ' ' || memcmp(line, name, static_cast<size_t>(n)) != 0) {
        return false;
    }
    *nameLength = n;
    return true;
}

// Length of a word of the vocabulary that holds a blank and starts the line,
// or -1.
int eventWithBlank(const char* line, int length) {
    int n = -1;
    for (const TagRow& row : kTagRows) {
        if (strchr(row.event, ' ') && startsWithWord(line, length, row.event, &n)) return n;
    }
    for (const CodeToken& token : kActivateTokens) {
        if (strchr(token.event, ' ') && startsWithWord(line, length, token.event, &n)) return n;
    }
    return -1;
}

int qualifierWithBlank(const char* line, int length) {
    int n = -1;
    for (const FileOperation& op : kFileOperations) {
        if (op.qualifier && strchr(op.qualifier, ' ') &&
            startsWithWord(line, length, op.qualifier, &n)) {
            return n;
        }
    }
    return -1;
}

// Length of the word at the start of `line`: up to the first blank.
int plainWord(const char* line, int length) {
    const void* blank = memchr(line, ' ', static_cast<size_t>(length));
    return blank ? static_cast<int>(static_cast<const char*>(blank) - line) : length;
}

}  // namespace

void Act12Parse(const char* text, char* out, int size) {
    if (!text || !out || size < 1) return;
    out[0] = '\0';
    if (size == 1) return;
    // The first number may have at most seven characters: "/" is looked for
    // among the first eight only.
    int slash = -1;
    for (int i = 0; i <= kPairFirstMax && text[i] != '\0'; ++i) {
        if (text[i] == '/') {
            slash = i;
            break;
        }
    }
    if (slash < 0) return;
    char firstText[kPairFirstMax + 1] = {};
    memcpy(firstText, text, static_cast<size_t>(slash));
    const long first = readNumber(firstText, 16);
    const long second = readNumber(text + slash + 1, 16);
    if (!inTable(first, act12Len) || !inTable(second, act12Len)) return;
    joinWords(out, size, "/", SATATranslateACT12[first], SATATranslateACT12[second]);
}

int SataDecodeWords(const char* text, SataWords* w) {
    if (!text || !w) return -1;
    w->code[0] = '\0';
    w->tag[0] = '\0';
    w->field[0] = '\0';
    w->composed[0] = '\0';
    w->event = "";
    w->qualifier = "";
    w->argument = "";
    if (!readFields(text, w)) {
        w->code[0] = '\0';
        w->tag[0] = '\0';
        w->field[0] = '\0';
        return -2;
    }

    // Tags without a row are echoed: the tag field's text is the event.
    w->event = w->tag;
    w->qualifier = nullptr;
    bool isNumber = false;
    const long tag = readTag(w->tag, &isNumber);
    if (isNumber && tag >= 0 && tag < kTagSlots && kTagIndex.row[tag] >= 0) {
        const TagRow& row = kTagRows[kTagIndex.row[tag]];
        w->event = row.event;
        if (row.logic) row.logic(w);
    }
    if (!w->qualifier) w->qualifier = w->code;
    w->argument = w->composed[0] != '\0' ? w->composed : w->field;
    return 0;
}

int SataCmdParse(const char* text, char* out, int size) {
    if (!text || !out || size < 1) return -1;
    out[0] = '\0';
    if (size == 1) return -1;
    SataWords words;
    const int result = SataDecodeWords(text, &words);
    if (result != 0) return result;
    joinWords(out, size, " ", words.event, words.qualifier, words.argument);
    return 0;
}

void SataSplitWords(const char* line, int length, SataWordSpans* spans) {
    if (!spans) return;
    *spans = SataWordSpans{0, 0, 0, 0};
    if (!line || length <= 0) return;
    int event = eventWithBlank(line, length);
    if (event < 0) event = plainWord(line, length);
    spans->eventLength = event;
    int start = event < length ? event + 1 : length;
    spans->qualifierStart = start;

    const char* rest = line + start;
    const int restLength = length - start;
    const char* fileOps = kTagRows[kFileOpsRow].event;
    const size_t fileOpsLength = strlen(fileOps);
    int qualifier = -1;
    if (static_cast<size_t>(event) == fileOpsLength && memcmp(line, fileOps, fileOpsLength) == 0) {
        qualifier = qualifierWithBlank(rest, restLength);
    }
    if (qualifier < 0) qualifier = plainWord(rest, restLength);
    spans->qualifierLength = qualifier;
    spans->argumentStart = qualifier < restLength ? start + qualifier + 1 : length;
}

int SataTagEchoed(const SataWords* words) {
    return words && words->event == words->tag ? 1 : 0;
}

int SataKnownEvent(const char* event) {
    if (!event || strlen(event) <= static_cast<size_t>(kTagMax)) return 0;
    for (const TagRow& row : kTagRows) {
        if (strcmp(event, row.event) == 0) return 1;
    }
    for (const CodeToken& token : kActivateTokens) {
        if (strcmp(event, token.event) == 0) return 1;
    }
    for (const Direction& direction : kDirections) {
        if (strcmp(event, direction.event) == 0) return 1;
    }
    return 0;
}

const char* SataTagEvent(int tag) {
    if (tag < 0 || tag >= kTagSlots || kTagIndex.row[tag] < 0) return "";
    return kTagRows[kTagIndex.row[tag]].event;
}
