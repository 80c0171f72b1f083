// The host text of the telnet library's host argument and of the bridge's
// --listen, read by one rule: "name", "name:port", "1.2.3.4:port", "[v6]",
// "[v6]:port", or a bare IPv6 address such as "::1", which (having more than
// one colon) is all address and carries no port. An IPv6 address with a port
// takes brackets, so no text reads two ways.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The longest host text read: far beyond any name a resolver takes.
enum { kHostTextMax = 1024 };

struct HostPort {
    size_t hostStart;   // the host within the text: no brackets, no port
    size_t hostLength;  // at least 1
    bool hasPort;
    uint16_t port;  // 0 to 65535, when hasPort
};

// Splits text[0, length) into host and port. False for a malformed text:
// empty or longer than kHostTextMax, a control character, an empty host, a
// port that is not 0 to 65535 in decimal digits (leading zeros allowed; no
// sign, no blank), a bracket anywhere but around the whole host, or anything
// after "]" other than ":port". Whether a port must be given, and which ports
// are usable, is the caller's to say.
bool parseHostPort(const char* text, size_t length, HostPort* out);
