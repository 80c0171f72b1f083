// A blocking listening socket on a free IPv4 loopback port, for tests that
// play a peer by hand. POSIX only.
#pragma once

#include <cstdint>

namespace qelttest {

// Returns the listening descriptor (close-on-exec) and sets *port, or -1.
int listenOnLoopback(int backlog, uint16_t* port);

}  // namespace qelttest
