// qelttelnet: drives a QELT bridge over telnet (status, reboot or trace dump).
#include <stdio.h>
#include <string.h>

#include "common/shared.h"
#include "session/session.h"

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
    if (help) {
        usage();
        return 1;
    }
    // The shell sees a negative result modulo 256 (-6 as 250).
    return dump_qelt_stats(address, job);
}
