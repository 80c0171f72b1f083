#include "probelink/host_text.h"

#include <cstring>

#include "common/host_port.h"

namespace probelink {

bool parseHostText(const char* host, int defaultPort, HostTarget* out) {
    if (!host) return false;
    HostPort parsed;
    if (!parseHostPort(host, std::strlen(host), &parsed)) return false;
    const int port = parsed.hasPort ? parsed.port : defaultPort;
    if (port < 1 || port > 65535) return false;
    out->name.assign(host + parsed.hostStart, parsed.hostLength);
    out->port = port;
    return true;
}

}  // namespace probelink
