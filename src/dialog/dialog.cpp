#include "dialog/dialog.h"

#include <stdio.h>
#include <string.h>

#include "common/bridge_words.h"
#include "common/numbers.h"
#include "common/shared.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "trace/sata_format.h"

static_assert(sizeof(DialogContext) == 4 * sizeof(int32_t), "the driver's record is four int32");

namespace {

const char kPrompt[] = QELT_PROMPT;
const size_t kPromptSize = kQeltPromptSize;

const char kResultTag[] = QELT_DUMP_RESULT;
const size_t kResultTagSize = sizeof kResultTag - 1;
const char kDumpCommand[] = QELT_COMMAND_DUMP;

// Longest follow-up request: the command, a blank, "-2147483648", "\r\n", NUL.
enum { kRequestSize = 128 };
static_assert(sizeof kDumpCommand - 1 + 1 + 11 + 2 + 1 <= kRequestSize, "request fits");

// The pause before each follow-up dump request gives the bridge time to
// settle after printing its prompt.
const int kFollowUpPauseMs = 50;

// A null chunk reads as "(null)". The trace rule hands its line to
// ParseSataTrace, which writes to it, so the stand-in must be writable storage
// of our own, refilled on every call.
const char kNullText[] = "(null)";
char nullText[sizeof kNullText];

void sendLine(SendLineFn send, void* sendHandle, const char* line) {
    // The result is deliberately ignored: the state advances as if sent.
    if (send) send(sendHandle, line, 0);
}

// True when the chunk begins with the 8 prompt bytes. `length` alone is not
// trusted: the text must really hold 8 bytes before any of them is compared.
bool beginsWithPrompt(const char* text, int length) {
    if (length <= 7) return false;
    if (strnlen(text, kPromptSize) < kPromptSize) return false;
    return memcmp(text, kPrompt, kPromptSize) == 0;
}

// A bare prompt is the full prompt and nothing else. A length of 8 over a
// longer text is not believed either: that text would be lost unprinted.
bool isBarePrompt(const char* text, int length, bool prompt) {
    return prompt && length == 8 && text[kPromptSize] == '\0';
}

void printRule(const char* text, int length, int peek) {
    if (length > 0 || text[0] != '\0' || peek != 0) {
        printf("QELT telnet: [%d][%s] peek=%d\n", length, text, peek);
    }
}

void traceLine(char* line) {
    DumpProgressLine(line);
    if (bShowRawData) {
        puts(line);
    } else {
        ParseSataTrace(line);
    }
}

void requestNextPage(DialogContext* dialog, SendLineFn send, void* sendHandle) {
    qelt_sleep_ms(kFollowUpPauseMs);
    const int32_t next = dialog->dumpResult;
    dialog->resultReady = 0;
    dialog->dumpResult = 0;
    char request[kRequestSize];
    qelt_snprintf(request, sizeof request, "%s %d\r\n", kDumpCommand, static_cast<int>(next));
    sendLine(send, sendHandle, request);
}

void traceOutput(char* text, int length, int peek, bool prompt, DialogContext* dialog,
                 SendLineFn send, void* sendHandle) {
    const bool bare = isBarePrompt(text, length, prompt);
    if (dialog->mode == ModeStatus) {
        if (bare) {
            sendLine(send, sendHandle, QELT_COMMAND_EXIT "\r\n");
            dialog->state = ExitSent;
        } else {
            printRule(text, length, peek);
        }
    } else if (dialog->mode == ModeTrace) {
        char* line = nullptr;
        switch (qeltTraceChunk(text, length, peek, dialog, &line)) {
            case TraceChunkPageEnd:
                if (dialog->dumpResult > 0) {
                    requestNextPage(dialog, send, sendHandle);
                } else {
                    sendLine(send, sendHandle, QELT_COMMAND_EXIT "\r\n");
                    dialog->state = ExitSent;
                }
                break;
            case TraceChunkResult:
                DumpProgressPage();
                break;
            case TraceChunkLine:
                traceLine(line);
                break;
            case TraceChunkPreview:
                break;
        }
    }
    // Other modes never reach this state; a record that claims to is left alone.
}

void waitPrompt(const char* text, DialogContext* dialog, SendLineFn send, void* sendHandle) {
    if (!strstr(text, QELT_PROMPT_WORD)) return;
    switch (dialog->mode) {
        case ModeTrace:
            sendLine(send, sendHandle, QELT_COMMAND_DUMP "\r\n");
            dialog->state = TraceOutput;
            dialog->dumpResult = 0;
            dialog->resultReady = 0;
            break;
        case ModeReboot:
            sendLine(send, sendHandle, QELT_COMMAND_REBOOT "\r\n");
            dialog->state = ResetSent;
            break;
        case ModeStatus:
            sendLine(send, sendHandle, QELT_COMMAND_STATUS "\r\n");
            dialog->state = StatusOutput;
            break;
        case ModeVerify:
            sendLine(send, sendHandle, QELT_COMMAND_STATUS "\r\n");
            dialog->state = WaitHttpStatus;
            break;
        default:
            // An unknown mode has no job to start: keep waiting.
            break;
    }
}

}  // namespace

TraceChunk qeltTraceChunk(char* text, int length, int peek, DialogContext* dialog, char** line) {
    const bool prompt = beginsWithPrompt(text, length);
    // A bare prompt with a result pending ends the page whatever peek says:
    // nothing else will follow it.
    if (isBarePrompt(text, length, prompt) && dialog->resultReady != 0) {
        dialog->resultReady = 0;
        return TraceChunkPageEnd;
    }
    if (peek != 0) return TraceChunkPreview;
    char* rest = prompt ? text + kPromptSize : text;
    if (strncmp(rest, kResultTag, kResultTagSize) == 0) {
        dialog->dumpResult = atoi32(rest + kResultTagSize);
        dialog->resultReady = 1;
        return TraceChunkResult;
    }
    // A bare prompt before any result hands on an empty line.
    *line = rest;
    return TraceChunkLine;
}

extern "C" int QELT_CDECL qeltDialog(char* text, int length, int peek, void* context,
                                     SendLineFn send, void* sendHandle) {
    DialogContext* dialog = static_cast<DialogContext*>(context);
    if (!dialog) return 0;
    if (!text) {
        memcpy(nullText, kNullText, sizeof nullText);
        text = nullText;
    }
    const bool prompt = beginsWithPrompt(text, length);

    switch (dialog->state) {
        case WaitLogin:
            if (strstr(text, QELT_LOGIN_PROMPT_WORD)) {
                sendLine(send, sendHandle, QELT_LOGIN_NAME "\r\n");
                dialog->state = WaitPassword;
            }
            break;
        case WaitPassword:
            if (strstr(text, QELT_PASSWORD_PROMPT_WORD)) {
                sendLine(send, sendHandle, QELT_LOGIN_PASSWORD "\r\n");
                dialog->state = WaitPrompt;
            }
            break;
        case WaitPrompt:
            waitPrompt(text, dialog, send, sendHandle);
            break;
        case StatusOutput:
            if (strstr(text, QELT_PROMPT_WORD) && !strstr(text, "]: state =")) {
                sendLine(send, sendHandle, QELT_COMMAND_TASKS "\r\n");
                dialog->state = TraceOutput;
            } else {
                printRule(text, length, peek);
            }
            break;
        case TraceOutput:
            traceOutput(text, length, peek, prompt, dialog, send, sendHandle);
            break;
        case WaitHttpStatus:
            if (strncmp(text, "[HTTP]", 6) == 0) {
                dialog->state =
                    strstr(text, "state = RUN, err = 0x00000000") ? RunConfirmed : RunNotConfirmed;
            }
            break;
        case RunConfirmed:
        case RunNotConfirmed:
            if (strstr(text, QELT_PROMPT_WORD)) {
                sendLine(send, sendHandle, QELT_COMMAND_EXIT "\r\n");
                dialog->state = dialog->state == RunConfirmed ? ExitSent : ExitSentNotRunning;
            }
            break;
        default:
            // 4, 10 and 11 are final, 7 is never reached, anything else is not ours.
            break;
    }
    return 0;
}
