// What the tests know of the conversation with the bridge and of the results,
// in one place: the prompt, the credentials, the telnet bytes, and the result
// codes of the library and the driver as a shell sees them.
#pragma once

#include <string>

#include "common/probelink.h"
#include "session/session.h"

namespace qelttest {

// IAC GA, and the bridge's prompt: its text, then IAC GA.
const std::string kGa = "\xFF\xF9";
const std::string kPromptText = "INET> ";
const std::string kPrompt = kPromptText + kGa;

// The credentials the tool sends, and the same as lines on the wire.
const std::string kUser = "qelt";
const std::string kPassword = "/Tiled_K/J_Harbour/";
const std::string kLoginLine = kUser + "\r\n";
const std::string kPasswordLine = kPassword + "\r\n";

// The tool's message prefix.
const std::string kToolMessage = "qelttelnet.exe: ";

// The exit status a POSIX shell sees for a driver result (-6 is 250).
constexpr int shellStatus(int driverResult) {
    return driverResult & 0xff;
}

}  // namespace qelttest
