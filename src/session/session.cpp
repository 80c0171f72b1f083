#include "session/session.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/bridge_words.h"
#include "common/probelink.h"
#include "common/shared.h"
#include "dialog/dialog.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "trace/sata_format.h"

// Every message of the driver begins with the tool's name as users know it.
#define QELT_MSG QELT_TOOL_MESSAGE

namespace {

enum {
    kAddressSize = 100,  // at most 99 characters of address are used
    kPathSize = 260,     // the Windows path limit, kept on every platform
};

const int kTelnetPort = 23;
const int kTelnetTimeoutMs = 10000;
// A rebooting bridge needs this long before it listens again.
const int kRebootPauseMs = 5000;
const int kVerifyAttempts = 8;

// Bounded copy that always leaves a terminated (possibly cut) string.
void copyBounded(char* destination, size_t size, const char* source) {
    strncpy(destination, source, size - 1);
    destination[size - 1] = '\0';
}

// The loader's own words, when the platform has any, on a line of their own.
void printLoaderMessage() {
    const char* message = qelt_loader_message();
    if (message && message[0] != '\0') printf(QELT_MSG "%s\n", message);
}

// Loads the library from QELT_BRIDGE_TOOLS or by bare name. Returns the
// handle, or null with *result set (the failure already reported).
QeltLibrary loadTelnetLibrary(int* result) {
    const char* tools = getenv("QELT_BRIDGE_TOOLS");
    QeltLibrary library = nullptr;
    if (!tools) {
        library = qelt_load_library(qeltLibraryFileName);
    } else {
        char path[kPathSize];
        copyBounded(path, sizeof path, tools);
        const size_t used = strlen(path);
        const size_t room = sizeof path - used;
        // The separator and the file name need their length plus a terminator.
        if (room <= strlen(qeltDirSeparator) + strlen(qeltLibraryFileName)) {
            puts(QELT_MSG "ERROR: QELT path too long");
            *result = DriverPathTooLong;
            return nullptr;
        }
        qelt_snprintf(path + used, room, "%s%s", qeltDirSeparator, qeltLibraryFileName);
        printf(QELT_MSG "loading debug dll[%s]\n", path);
        library = qelt_load_library(path);
    }
    if (!library) {
        const int error = qelt_last_error();
        printf(QELT_MSG "ERROR %d opening probelinkservices lib\n", error);
        printLoaderMessage();
        *result = DriverLoadFailed;
    }
    return library;
}

int32_t modeForJob(int job) {
    if (job == JobTrace) return ModeTrace;
    if (job == JobReboot) return ModeReboot;
    return ModeStatus;
}

// The first session counts as having run its course when the bridge closed
// it, reset it or fell silent after the dialog's last word; the final state
// then tells whether the dialog got through. Verification sessions accept only
// an orderly close.
bool firstSessionEnded(int rv) {
    return rv == PROBELINK_CLOSED || rv == PROBELINK_BROKEN || rv == PROBELINK_SILENT;
}

int runSession(TelnetSessionFn telnetSession, const char* host, DialogContext* dialog,
               int32_t mode) {
    dialog->state = WaitLogin;
    dialog->mode = mode;
    return telnetSession(host, kTelnetPort, kTelnetTimeoutMs, qeltDialog, dialog);
}

// After hwrst: wait for the bridge to restart, then open sessions until one
// finds it running. Only a time-out is worth another try.
int verifyReboot(TelnetSessionFn telnetSession, const char* host, DialogContext* dialog) {
    qelt_sleep_ms(kRebootPauseMs);
    printf(QELT_MSG "About to verify that QELT at %s rebooted\n", host);
    int result = DriverRebootNotConfirmed;
    for (int attempt = 0; attempt < kVerifyAttempts; ++attempt) {
        const int rv = runSession(telnetSession, host, dialog, ModeVerify);
        fflush(stdout);
        if (rv == PROBELINK_CLOSED && dialog->state == ExitSent) {
            printf(QELT_MSG "Succeeded in rebooting QELT, attempts %d\n", attempt);
            result = DriverOk;
            break;
        }
        if (rv == PROBELINK_NO_CONNECTION) {
            printf(QELT_MSG "QELT reboot connection timeout, will retry, att=%d\n", attempt);
            continue;
        }
        printf(QELT_MSG "ERROR %d from TelnetSession2, state=%d, att=%d\n", rv,
               static_cast<int>(dialog->state), attempt);
        return DriverVerifyFailed;
    }
    fflush(stdout);
    return result;
}

int runJob(TelnetSessionFn telnetSession, const char* host, int job) {
    DialogContext dialog = {};
    printf(QELT_MSG "About to collect stats from QELT at %s\n", host);
    fflush(stdout);

    if (job == JobTrace) DumpProgressStart();
    const int rv = runSession(telnetSession, host, &dialog, modeForJob(job));
    if (job == JobTrace) DumpProgressFinish();
    if (job == JobTrace && !bShowRawData) {
        // The span closes the last record line, whatever became of the session.
        DiffTime(&startTime, &pt, &diff);
        printf("\t%6d.%09d\n", static_cast<int>(diff.sec), static_cast<int>(diff.nsec));
    }
    fflush(stdout);

    const int32_t expected = job == JobReboot ? ResetSent : ExitSent;
    if (!firstSessionEnded(rv) || dialog.state != expected) {
        printf(QELT_MSG "ERROR %d from TelnetSession, state=%d\n", rv,
               static_cast<int>(dialog.state));
        return DriverSessionFailed;
    }
    if (job != JobReboot) {
        printf(QELT_MSG "Telnet session ok, rv=%d, state=%d\n", rv, static_cast<int>(dialog.state));
        fflush(stdout);
        return DriverOk;
    }
    return verifyReboot(telnetSession, host, &dialog);
}

}  // namespace

int dump_qelt_stats(const char* address, int job) {
    if (!address || address[0] == '\0') address = getenv("BRIDGE_CURRENT_IP_ADDRESS");
    if (!address) {
        puts(QELT_MSG "ERROR: dump_qelt_stats can't get bridge IP address");
        return DriverNoAddress;
    }
    char host[kAddressSize];
    copyBounded(host, sizeof host, address);

    int result = DriverRebootNotConfirmed;
    QeltLibrary library = loadTelnetLibrary(&result);
    if (!library) return result;

    void* entry = qelt_get_proc(library, "TelnetSession");
    if (!entry) {
        const int error = qelt_last_error();
        printf(QELT_MSG "ERROR %d trying to get address of TelnetSession API\n", error);
        printLoaderMessage();
        result = DriverNoEntryPoint;
    } else {
        result = runJob(reinterpret_cast<TelnetSessionFn>(entry), host, job);
    }
    qelt_free_library(library);
    return result;
}
