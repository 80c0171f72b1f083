#include "dialog/dialog.h"

#include <stdio.h>
#include <string.h>

#include "common/numbers.h"
#include "common/shared.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "trace/sata_format.h"

static_assert(sizeof(DialogContext) == 4 * sizeof(int32_t), "the driver's record is four int32");

namespace {

// The bridge's prompt: "INET> " and the telnet command IAC GA.
const char kPrompt[] = "INET> \xFF\xF9";
const size_t kPromptSize = sizeof kPrompt - 1;
static_assert(sizeof kPrompt - 1 == 8, "the full prompt is 8 bytes");

const char kResultTag[] = "DUMP_RESULT=";
const size_t kResultTagSize = sizeof kResultTag - 1;
const char kDumpCommand[] = "dump_dsata_trace";

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

void traceRule(char* text, bool prompt, int peek, DialogContext* dialog) {
    if (peek != 0) return;
    char* line = prompt ? text + kPromptSize : text;
    if (strncmp(line, kResultTag, kResultTagSize) == 0) {
        dialog->dumpResult = atoi32(line + kResultTagSize);
        dialog->resultReady = 1;
        DumpProgressPage();
        return;
    }
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
            sendLine(send, sendHandle, "exit\r\n");
            dialog->state = ExitSent;
        } else {
            printRule(text, length, peek);
        }
    } else if (dialog->mode == ModeTrace) {
        if (bare && dialog->resultReady != 0) {
            if (dialog->dumpResult > 0) {
                requestNextPage(dialog, send, sendHandle);
            } else {
                sendLine(send, sendHandle, "exit\r\n");
                dialog->state = ExitSent;
            }
        } else {
            // A bare prompt before any result hands on an empty line.
            traceRule(text, prompt, peek, dialog);
        }
    }
    // Other modes never reach this state; a record that claims to is left alone.
}

void waitPrompt(const char* text, DialogContext* dialog, SendLineFn send, void* sendHandle) {
    if (!strstr(text, "INET>")) return;
    switch (dialog->mode) {
        case ModeTrace:
            sendLine(send, sendHandle, "dump_dsata_trace\r\n");
            dialog->state = TraceOutput;
            dialog->dumpResult = 0;
            dialog->resultReady = 0;
            break;
        case ModeReboot:
            sendLine(send, sendHandle, "hwrst\r\n");
            dialog->state = ResetSent;
            break;
        case ModeStatus:
            sendLine(send, sendHandle, "pwista\r\n");
            dialog->state = StatusOutput;
            break;
        case ModeVerify:
            sendLine(send, sendHandle, "pwista\r\n");
            dialog->state = WaitHttpStatus;
            break;
        default:
            // An unknown mode has no job to start: keep waiting.
            break;
    }
}

}  // namespace

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
            if (strstr(text, "login:")) {
                sendLine(send, sendHandle, "qelt\r\n");
                dialog->state = WaitPassword;
            }
            break;
        case WaitPassword:
            if (strstr(text, "password:")) {
                sendLine(send, sendHandle, "/Tiled_K/J_Harbour/\r\n");
                dialog->state = WaitPrompt;
            }
            break;
        case WaitPrompt:
            waitPrompt(text, dialog, send, sendHandle);
            break;
        case StatusOutput:
            if (strstr(text, "INET>") && !strstr(text, "]: state =")) {
                sendLine(send, sendHandle, "task_trace\r\n");
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
            if (strstr(text, "INET>")) {
                sendLine(send, sendHandle, "exit\r\n");
                dialog->state = dialog->state == RunConfirmed ? ExitSent : ExitSentNotRunning;
            }
            break;
        default:
            // 4, 10 and 11 are final, 7 is never reached, anything else is not ours.
            break;
    }
    return 0;
}
