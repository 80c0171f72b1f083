#include "probelink/host_text.h"

#include <cstring>

#include "common/numbers.h"

namespace probelink {

namespace {

constexpr std::size_t kMaxHostText = 1024;

bool validPort(int port) {
    return port >= 1 && port <= 65535;
}

// Decimal digits only (no sign, no blanks), 1 to 65535; leading zeros allowed.
bool readPort(const char* text, int* port) {
    uint64_t value = 0;
    if (!parseDecimal(text, std::strlen(text), 65535, &value) || value < 1) return false;
    *port = static_cast<int>(value);
    return true;
}

// No control characters: the text goes into the session log and the resolver.
bool printable(const char* host, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(host[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// "[v6]" or "[v6]:port".
bool parseBracketed(const char* host, int* port, std::string* name) {
    const char* close = std::strchr(host, ']');
    if (!close || close == host + 1) return false;
    std::string inside(host + 1, static_cast<std::size_t>(close - host - 1));
    if (inside.find('[') != std::string::npos) return false;
    const char* rest = close + 1;
    if (*rest == ':') {
        if (!readPort(rest + 1, port)) return false;
    } else if (*rest != '\0') {
        return false;
    }
    *name = inside;
    return true;
}

// "name", "name:port", or a bare IPv6 literal (more than one colon).
bool parsePlain(const char* host, int* port, std::string* name) {
    if (std::strchr(host, ']')) return false;
    const char* colon = std::strchr(host, ':');
    if (colon && !std::strchr(colon + 1, ':')) {
        if (colon == host || !readPort(colon + 1, port)) return false;
        name->assign(host, static_cast<std::size_t>(colon - host));
    } else {
        *name = host;
    }
    return true;
}

}  // namespace

bool parseHostText(const char* host, int defaultPort, HostTarget* out) {
    if (!host) return false;
    const std::size_t length = std::strlen(host);
    if (length == 0 || length > kMaxHostText || !printable(host, length)) return false;
    int port = defaultPort;
    const bool parsed = host[0] == '[' ? parseBracketed(host, &port, &out->name)
                                       : parsePlain(host, &port, &out->name);
    if (!parsed || !validPort(port)) return false;
    out->port = port;
    return true;
}

}  // namespace probelink
