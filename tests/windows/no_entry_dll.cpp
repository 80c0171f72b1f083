// A DLL by the telnet library's name that lacks TelnetSession: the tool must
// refuse it with the look-up failure, not crash calling into it.
#include "platform/platform.h"

extern "C" QELT_EXPORT int QELT_CDECL TelnetSessionMissing(void);

extern "C" QELT_EXPORT int QELT_CDECL TelnetSessionMissing(void) {
    return 0;
}
