#include "probelink/host_text.h"

#include <cstring>

namespace probelink {

namespace {

constexpr std::size_t kMaxHostText = 1024;

bool validPort(int port) {
    return port >= 1 && port <= 65535;
}

// Decimal digits only (no sign, no blanks), 1 to 65535; leading zeros allowed.
bool readPort(const char* text, int* port) {
    if (*text == '\0') return false;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 65535) return false;
    }
    if (value < 1) return false;
    *port = static_cast<int>(value);
    return true;
}

}  // namespace

bool parseHostText(const char* host, int defaultPort, HostTarget* out) {
    if (!host) return false;
    std::size_t length = std::strlen(host);
    if (length == 0 || length > kMaxHostText) return false;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(host[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }

    int port = defaultPort;
    if (host[0] == '[') {
        const char* close = std::strchr(host, ']');
        if (!close || close == host + 1) return false;
        std::string name(host + 1, static_cast<std::size_t>(close - host - 1));
        if (name.find('[') != std::string::npos) return false;
        const char* rest = close + 1;
        if (*rest == ':') {
            if (!readPort(rest + 1, &port)) return false;
        } else if (*rest != '\0') {
            return false;
        }
        out->name = name;
    } else {
        if (std::strchr(host, ']')) return false;
        const char* colon = std::strchr(host, ':');
        if (colon && !std::strchr(colon + 1, ':')) {
            // Exactly one colon: "name:port".
            if (colon == host || !readPort(colon + 1, &port)) return false;
            out->name.assign(host, static_cast<std::size_t>(colon - host));
        } else {
            out->name = host;  // no colon, or a bare IPv6 literal
        }
    }
    if (!validPort(port)) return false;
    out->port = port;
    return true;
}

}  // namespace probelink
