// The host text given to TelnetSession, read by the one host:port rule of
// common/host_port.h: "name", "name:port", "1.2.3.4:port", "[v6]",
// "[v6]:port", or a bare IPv6 literal such as "::1" (which, having more than
// one colon, carries no port of its own).
#pragma once

#include <string>

namespace probelink {

struct HostTarget {
    std::string name;  // what the resolver is given: no brackets, no port
    int port = 0;      // from the host text when it has one, else the port argument
};

// Splits `host` into name and port; a port in the text overrides `defaultPort`.
// Returns false for a malformed text (see parseHostPort: empty, too long, a
// control character, a misplaced bracket, a port that is not decimal digits)
// and for a port, from the text or the argument, that is not 1 to 65535.
bool parseHostText(const char* host, int defaultPort, HostTarget* out);

}  // namespace probelink
