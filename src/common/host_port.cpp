#include "common/host_port.h"

#include <string.h>

#include "common/numbers.h"

namespace {

// No control characters: the text goes into logs and to the resolver.
bool printable(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// ":port" at text[0, length), or nothing at all.
bool readPortPart(const char* text, size_t length, HostPort* out) {
    out->hasPort = length > 0;
    out->port = 0;
    if (length == 0) return true;
    uint64_t port = 0;
    if (text[0] != ':' || !parseDecimal(text + 1, length - 1, 65535, &port)) return false;
    out->port = static_cast<uint16_t>(port);
    return true;
}

}  // namespace

bool parseHostPort(const char* text, size_t length, HostPort* out) {
    if (!text || length == 0 || length > kHostTextMax || !printable(text, length)) return false;
    if (text[0] == '[') {
        const char* close = static_cast<const char*>(memchr(text, ']', length));
        if (!close || close == text + 1) return false;
        const size_t hostLength = static_cast<size_t>(close - text) - 1;
        if (memchr(text + 1, '[', hostLength)) return false;
        const size_t rest = static_cast<size_t>(close - text) + 1;
        if (!readPortPart(text + rest, length - rest, out)) return false;
        out->hostStart = 1;
        out->hostLength = hostLength;
        return true;
    }
    if (memchr(text, '[', length) || memchr(text, ']', length)) return false;
    const char* colon = static_cast<const char*>(memchr(text, ':', length));
    const size_t afterColon = colon ? static_cast<size_t>(colon - text) + 1 : length;
    if (!colon || memchr(text + afterColon, ':', length - afterColon)) {
        // A name or an address without a port; two colons or more: IPv6.
        out->hostStart = 0;
        out->hostLength = length;
        out->hasPort = false;
        out->port = 0;
        return true;
    }
    if (colon == text || !readPortPart(colon, length - afterColon + 1, out)) return false;
    out->hostStart = 0;
    out->hostLength = static_cast<size_t>(colon - text);
    return true;
}
