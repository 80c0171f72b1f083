// Fuzzes the dialog: a run of chunks through qeltDialog, from any mode and
// any starting state. The front of the input is the received text; choices
// from the back cut it into chunks and set each chunk's peek flag, whether
// its length is told truthfully, and whether the text comes as null.
//
// The follow-up dump request pauses 50 ms. The fuzz and replay programs are
// linked with --wrap for that one call (see CMakeLists.txt), so the pause is
// counted here instead of slept, and the product stays as it is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "common/shared.h"
#include "dialog/dialog.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kMaxChunks = 256;

struct Conversation {
    int sendsThisCall = 0;
    int pausesPending = 0;  // pauses not yet followed by their request
    int lastPauseMs = 0;
    bool exitSent = false;
    bool resetSent = false;
};

Conversation conversation;
int sendHandleTarget;

bool isDecimal(const char* text, std::size_t length) {
    if (length == 0 || length > 10) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return text[0] != '0';
}

int QELT_CDECL checkedSendLine(void* sendHandle, const char* line, int flags) {
    FUZZ_CHECK(sendHandle == &sendHandleTarget, "SendLine gets the handle it came with");
    FUZZ_CHECK(flags == 0, "SendLine flags are 0");
    FUZZ_CHECK(line != nullptr, "SendLine gets a line");
    const std::size_t length = std::strlen(line);  // out of bounds shows under ASan
    FUZZ_CHECK(length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n',
               "a sent line ends in CR LF");
    ++conversation.sendsThisCall;

    static const char kFollowUp[] = "dump_dsata_trace ";
    const std::size_t followUpSize = sizeof kFollowUp - 1;
    if (std::strncmp(line, kFollowUp, followUpSize) == 0) {
        FUZZ_CHECK(isDecimal(line + followUpSize, length - 2 - followUpSize),
                   "a follow-up request names a positive record number");
        FUZZ_CHECK(conversation.pausesPending == 1 && conversation.lastPauseMs == 50,
                   "a follow-up request comes after one 50 ms pause");
        conversation.pausesPending = 0;
        return 0;
    }
    FUZZ_CHECK(conversation.pausesPending == 0, "a pause is followed by its request");
    static const char* const kLines[] = {
        "qelt\r\n",  "/Tiled_K/J_Harbour/\r\n", "pwista\r\n", "task_trace\r\n",
        "hwrst\r\n", "dump_dsata_trace\r\n",    "exit\r\n",
    };
    bool known = false;
    for (const char* known_line : kLines) known = known || std::strcmp(line, known_line) == 0;
    FUZZ_CHECK(known, "a sent line is one of the dialog's commands");
    if (std::strcmp(line, "exit\r\n") == 0) conversation.exitSent = true;
    if (std::strcmp(line, "hwrst\r\n") == 0) conversation.resetSent = true;
    return 0;
}

bool isFinal(int32_t state) {
    return state == ResetSent || state == ExitSent || state == ExitSentNotRunning;
}
bool isKnown(int32_t state) {
    return state >= 0 && state <= 11 && state != 7;
}

}  // namespace

// The follow-up pause, redirected here by the linker: counted, not slept.
extern "C" void __wrap_qelt_sleep_ms(int ms);
static_assert(std::is_same<decltype(&__wrap_qelt_sleep_ms), decltype(&qelt_sleep_ms)>::value,
              "the stand-in must take the pause's exact signature");
extern "C" void __wrap_qelt_sleep_ms(int ms) {
    ++conversation.pausesPending;
    conversation.lastPauseMs = ms;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    conversation = Conversation{};

    static const int32_t kModes[] = {ModeStatus, ModeReboot, ModeVerify, ModeTrace, 4, -1};
    const std::uint8_t setup = input.choice();
    DialogContext dialog{};
    dialog.mode = kModes[setup % 6];
    dialog.state = static_cast<int32_t>(input.choice() % 14) - 1;  // -1 to 12
    bShowRawData = (setup & 0x80) != 0;
    const bool withSend = (setup & 0x40) == 0;

    for (std::size_t chunks = 0; chunks < kMaxChunks && input.remaining() > 0; ++chunks) {
        const std::uint8_t flags = input.choice();
        const std::size_t wanted = input.choice();
        std::size_t taken = 0;
        const std::uint8_t* bytes = input.take(wanted, taken);

        // Exactly the chunk and its terminator, so a read past it shows.
        std::unique_ptr<char[]> text(new char[taken + 1]);
        if (taken > 0) std::memcpy(text.get(), bytes, taken);
        text[taken] = '\0';
        int length = static_cast<int>(taken);
        if (flags & 0x02) length = static_cast<int>(input.choice()) - 8;  // a length that lies
        const int peek = flags & 0x01;
        char* given = (flags & 0x0C) == 0x0C ? nullptr : text.get();

        const int32_t before = dialog.state;
        conversation.sendsThisCall = 0;
        const int result = qeltDialog(given, length, peek, &dialog,
                                      withSend ? checkedSendLine : nullptr, &sendHandleTarget);
        FUZZ_CHECK(result == 0, "qeltDialog returns 0");
        FUZZ_CHECK(conversation.sendsThisCall <= 1, "at most one line sent per chunk");
        if (withSend) {
            FUZZ_CHECK(conversation.pausesPending == 0, "no pause without its request");
        } else {
            // Without a send function the request is skipped, not its pause.
            FUZZ_CHECK(conversation.pausesPending <= 1, "one pause per chunk");
            conversation.pausesPending = 0;
        }
        if (!isKnown(before) || isFinal(before)) {
            FUZZ_CHECK(dialog.state == before && conversation.sendsThisCall == 0,
                       "a final or unknown state stays and sends nothing");
        } else {
            FUZZ_CHECK(isKnown(dialog.state), "the state stays a known one");
        }
        // The only ways into the final states.
        if (dialog.state == ExitSentNotRunning && before != ExitSentNotRunning)
            FUZZ_CHECK(before == RunNotConfirmed, "11 only after the bridge was found not running");
        if (dialog.state == ResetSent && before != ResetSent)
            FUZZ_CHECK(before == WaitPrompt && dialog.mode == ModeReboot,
                       "4 only at the prompt of the reboot job");
    }
    if (conversation.exitSent && withSend)
        FUZZ_CHECK(dialog.state == ExitSent || dialog.state == ExitSentNotRunning,
                   "after exit the conversation is over");
    if (conversation.resetSent) FUZZ_CHECK(dialog.state == ResetSent, "after hwrst nothing more");
    return 0;
}
