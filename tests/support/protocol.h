// What the tests know of the conversation with the bridge and of the results,
// in one place: the prompt, the credentials, the telnet bytes, and the result
// codes of the library and the driver as a shell sees them.
#pragma once

#include <string>

#include "common/probelink.h"
#include "session/session.h"

namespace qelttest {

// IAC GA, and the bridge's prompt that carries it.
const std::string kGa = "\xFF\xF9";
const std::string kPrompt = "INET> " + kGa;

// The credentials the tool sends, as lines on the wire.
const std::string kLoginLine = "qelt\r\n";
const std::string kPasswordLine = "/Tiled_K/J_Harbour/\r\n";

// The tool's message prefix.
const std::string kToolMessage = "qelttelnet.exe: ";

// The exit status a POSIX shell sees for a driver result (-6 is 250).
constexpr int shellStatus(int driverResult) {
    return driverResult & 0xff;
}

}  // namespace qelttest
