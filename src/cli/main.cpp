// qelttelnet: drives a QELT bridge over telnet (status, reboot or trace dump).
#include <stdio.h>
#include <string.h>

#include "common/shared.h"
#include "platform/platform.h"
#include "session/session.h"

// A dump is megabytes of output: into a file or a pipe it goes in large
// writes. The tool's flush points stay where they are; a terminal keeps its
// line buffering.
enum { kOutputBufferSize = 64 * 1024 };
static char outputBuffer[kOutputBufferSize];

// The usage text deliberately names only the switches meant for everyday use.
static void usage(void) {
    puts("usage: qelttelnet [-reboot] [<bridge_ip_address>]\n");
}

static bool isHelpSwitch(const char* argument) {
    return strcmp(argument, "-?") == 0 || strcmp(argument, "/?") == 0 ||
           strcmp(argument, "-h") == 0 || strcmp(argument, "/h") == 0;
}

int main(int argc, char** argv) {
    const char* address = nullptr;
    int job = JobStatus;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (isHelpSwitch(argument)) {
            help = true;
        } else if (strcmp(argument, "-reboot") == 0) {
            job = JobReboot;
        } else if (strcmp(argument, "-satatrace") == 0) {
            job = JobTrace;
        } else if (strcmp(argument, "-raw") == 0) {
            bShowRawData = 1;
        } else if (!address) {
            address = argument;
        }
    }
    if (!qelt_is_terminal(stdout)) setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    if (help) {
        usage();
        return 1;
    }
    // The shell sees a negative result modulo 256 (-6 as 250).
    return dump_qelt_stats(address, job);
}
