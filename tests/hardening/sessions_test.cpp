// Ten thousand TelnetSession calls in one process leave no descriptor open and
// no memory behind: the library is loaded as the tool loads it (dlopen) and
// talks to a loopback server that sends one line and closes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "common/probelink.h"
#include "support/child_process.h"
#include "support/e2e_support.h"
#include "support/loopback_server.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QELT_HARDENING_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QELT_HARDENING_ASAN 1
#endif
#endif

#ifdef QELT_HARDENING_ASAN
// ASan keeps freed blocks in quarantine, so resident memory says nothing about
// leaks there (LeakSanitizer does); the descriptors are still counted.
constexpr int kSessions = 2000;
constexpr bool kCheckMemory = false;
#else
constexpr int kSessions = 10000;
constexpr bool kCheckMemory = true;
#endif

int openDescriptors() {
    return qelttest::descriptorsOf(::getpid()) - 1;  // the directory's own descriptor
}

long residentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long size = 0;
    long resident = 0;
    if (!f) return -1;
    const int read = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return read == 2 ? resident * ::sysconf(_SC_PAGESIZE) : -1;
}

// Each connection gets one line and a close.
void oneLine(int fd, const std::atomic<bool>&) {
    static const char kLine[] = "QELT bridge ready\r\n";
    (void)::send(fd, kLine, sizeof kLine - 1, MSG_NOSIGNAL);
}

struct Tally {
    long chunks = 0;
    long bytes = 0;
};

int QELT_CDECL countChunk(char*, int length, int peek, void* context, SendLineFn, void*) {
    auto* tally = static_cast<Tally*>(context);
    if (peek == 0) {
        ++tally->chunks;
        tally->bytes += length;
    }
    return 0;
}

TEST(ManySessionsInOneProcess, LeaveDescriptorsAndMemoryAsTheyWere) {
    qelttest::LoopbackServer server(oneLine, 64);
    ASSERT_NE(server.port(), 0);
    void* library = ::dlopen(qelttest::probelinkLibraryPath(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    const auto session = reinterpret_cast<TelnetSessionFn>(::dlsym(library, "TelnetSession"));
    ASSERT_NE(session, nullptr);
    const std::string host = "127.0.0.1:" + std::to_string(server.port());

    // The first sessions settle what is allocated once (resolver, locale, log
    // variable lookup); the count starts after them.
    Tally tally;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(session(host.c_str(), 23, 10000, countChunk, &tally), PROBELINK_CLOSED);
    const int fdsBefore = openDescriptors();
    const long rssBefore = residentBytes();
    tally = Tally{};
    int failures = 0;
    for (int i = 0; i < kSessions; ++i) {
        if (session(host.c_str(), 23, 10000, countChunk, &tally) != PROBELINK_CLOSED) ++failures;
    }
    const int fdsAfter = openDescriptors();
    const long rssAfter = residentBytes();
    ::dlclose(library);

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(tally.chunks, kSessions);
    EXPECT_EQ(tally.bytes, 19L * kSessions);
    EXPECT_EQ(fdsAfter, fdsBefore);
    std::printf("%d sessions: descriptors %d -> %d, resident %ld -> %ld bytes (growth %ld)\n",
                kSessions, fdsBefore, fdsAfter, rssBefore, rssAfter, rssAfter - rssBefore);
    if (kCheckMemory) {
        EXPECT_LT(rssAfter - rssBefore, 1L << 20);
    }
}

}  // namespace
