// A library by the right name that lacks TelnetSession.
#include "platform/platform.h"

extern "C" QELT_EXPORT int QELT_CDECL TelnetSessionMissing(void);

extern "C" QELT_EXPORT int QELT_CDECL TelnetSessionMissing(void) {
    return 0;
}
