// The trace record decoder. Each record is "CODE TAG ARG"; the tag decides how
// the code and the argument are named. All work happens in fixed buffers on the
// stack, sized for the longest field the bridge may send.
#include "trace/sata_decode.h"

#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "trace/sata_names.h"

namespace {

// Longest fields accepted, and their buffers with the terminator.
constexpr int kCodeMax = 3;
constexpr int kTagMax = 3;
constexpr int kArgMax = 30;
// The composed third word: a 260-character buffer, so at most 259 characters.
constexpr int kComposedSize = 260;
constexpr int kComposedLimit = 259;
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

// Tag 40: the target system's file operations, by the hexadecimal sub-code.
// Sets the second word, or formats the third into `composed`, or clears the
// argument.
void decodeFileOperation(const char* code, char* argument, char* composed, const char** second) {
    bool ok = false;
    long sub = readNumber(code, 16, &ok);
    switch (sub) {
        case 0x1:
            *second = "Open Begin";
            break;
        case 0x2:
            *second = "Open request sent/Begin receive response";
            break;
        case 0x3:
            qelt_snprintf(composed, kComposedLimit + 1, "Open Complete (fh=%s)", argument);
            break;
        case 0x4:
            qelt_snprintf(composed, kComposedLimit + 1, "Close Begin (fh=%s)", argument);
            break;
        case 0x5:
            *second = "Close request sent/Begin receive response";
            break;
        case 0x6:
            *second = "Close Complete";
            break;
        case 0x7:
            qelt_snprintf(composed, kComposedLimit + 1, "Read Begin (size=%s)", argument);
            break;
        case 0x9:
            *second = "Read Complete";
            break;
        case 0xA:
            qelt_snprintf(composed, kComposedLimit + 1, "Write Begin (size=%s)", argument);
            break;
        case 0xC:
            *second = "Write Complete";
            break;
        case 0xFF:
            *second = "DBGINT";
            argument[0] = '\0';
            break;
        default:
            *second = "?What?";
            argument[0] = '\0';
            break;
    }
}

// Tag 67: the transfer direction replaces the first word; the code itself is
// never shown.
void decodeDirection(char* code, const char** first, const char** second) {
    bool ok = false;
    long direction = readNumber(code, 16, &ok);
    switch (direction) {
        case 0x4:
        case 0xDB:
            *first = "->recv";
            break;
        case 0x5:
        case 0xDC:
            *first = "<-recv";
            break;
        case 0xB1:
            *first = "->send";
            break;
        case 0xB2:
            *first = "<-send";
            break;
        default:
            *first = "F3FlowLen";
            *second = "?What?";
            break;
    }
    code[0] = '\0';
}

// Tag 8: "PAIR+STATE", rendered as "NAME/NAME state=STATE" into `composed`
// (the pair part empty when it does not decode).
void decodeWakeup(const char* argument, char* composed) {
    const char* stateName = "UNKNOWN";
    const char* plus = strchr(argument, '+');
    if (plus && plus[1] != '\0') {
        char digits[kStateDigitsMax + 1] = {};
        strncpy(digits, plus + 1, kStateDigitsMax);
        bool ok = false;
        long state = readNumber(digits, 16, &ok);
        if (inTable(state, sataStateLen)) stateName = SATA_STATE[state];
    }
    Act12Parse(argument, composed, kComposedLimit);
    char pair[kComposedSize];
    memcpy(pair, composed, strlen(composed) + 1);
    joinWords(composed, kComposedLimit + 1, " state=", pair, stateName);
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
    bool ok = false;
    long first = readNumber(firstText, 16, &ok);
    long second = readNumber(text + slash + 1, 16, &ok);
    if (!inTable(first, act12Len) || !inTable(second, act12Len)) return;
    joinWords(out, size, "/", SATATranslateACT12[first], SATATranslateACT12[second]);
}

int SataCmdParse(const char* text, char* out, int size) {
    if (!text || !out || size < 1) return -1;
    out[0] = '\0';
    if (size == 1) return -1;

    char code[kCodeMax + 1] = {};
    char tag[kTagMax + 1] = {};
    char argument[kArgMax + 1] = {};
    bool tagRead = false;

    const char* end = text;
    int codeLength = copyField(text, code, kCodeMax, &end);
    if (codeLength < 0) return -2;
    if (codeLength > 0 && *end == ' ') {
        // Exactly one space separates fields: a second one ends the next field
        // at once.
        if (copyField(end + 1, tag, kTagMax, &end) < 0) return -2;
        tagRead = true;
    }
    if (tagRead && *end == ' ') {
        if (copyField(end + 1, argument, kArgMax, &end) < 0) return -2;
    }

    bool isNumber = false;
    long tagNumber = readNumber(tag, 10, &isNumber);

    char composed[kComposedSize];
    composed[0] = '\0';
    const char* first = tag;  // tags without a row are echoed
    const char* second = nullptr;
    bool ok = false;
    if (isNumber) {
        switch (tagNumber) {
            case 0:
                first = "FatalError";
                break;
            case 1:
                if (qelt_stricmp(code, "F3") == 0) {
                    first = "CF_READ";
                    second = "";
                } else if (qelt_stricmp(code, "D1") == 0) {
                    first = "Log from VARN";
                    second = "";
                } else {
                    first = "ActivateTransaction";
                }
                break;
            case 2:
                first = "CancelAll";
                break;
            case 3:
                first = "CompleteTransation";
                break;
            case 4:
                first = "FPGA_Reset";
                break;
            case 5:
                first = "ResetInternal";
                break;
            case 6:
                first = "NeedPhyReady";
                break;
            case 7:
                first = "PHYBecameReady";
                break;
            case 8: {
                first = "SATAWakeup";
                long status = readNumber(code, 16, &ok);
                if (inTable(status, istsLen)) second = IstatusCode[status];
                decodeWakeup(argument, composed);
                break;
            }
            case 9:
                first = "UnexpectedState";
                break;
            case 10: {
                first = "SATABusyAction";
                long action = readNumber(code, 10, &ok);
                if (inTable(action, act12Len)) second = SATATranslateACT12[action];
                break;
            }
            case 40:
                first = "VARN:";
                decodeFileOperation(code, argument, composed, &second);
                break;
            case 41:
                first = "QELT:";
                if (qelt_stricmp(code, "FF") == 0) {
                    second = "DBGINT";
                    argument[0] = '\0';
                }
                break;
            case 50: {
                first = "AHCI_SATA_ACT_Log";
                long point = readNumber(code, 10, &ok);
                if (inTable(point, transTagTypeLen)) second = SataTranslateTagType[point];
                Act12Parse(argument, composed, kComposedLimit);
                break;
            }
            case 55:
                first = "SATAEnableRecv";
                break;
            case 61:
                first = "AHCI_CacheInval";
                break;
            case 62:
                first = "AHCI_CacheWriteBack";
                break;
            case 63:
                first = "AHCI_CFReadLen";
                break;
            case 66:
                first = "F3Flow";
                break;
            case 67:
                decodeDirection(code, &first, &second);
                break;
            case 70:
                first = "DMA Start";
                break;
            case 71:
                first = "DMA End";
                break;
            case 80:
                first = "FPGA_DMARXStart";
                break;
            case 81:
                first = "FPGA_DMARXStop";
                break;
            case 82:
                first = "AHCI_Fail_Alloc_Resp_Buffer";
                break;
            case 209:
                first = "VARN Log";
                break;
            default:
                break;
        }
    }
    if (!second) second = code;
    const char* third = composed[0] != '\0' ? composed : argument;
    joinWords(out, size, " ", first, second, third);
    return 0;
}
