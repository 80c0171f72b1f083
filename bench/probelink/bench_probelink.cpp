// Throughput and latency of ProbeLinkServices over loopback, through its C
// boundary, against the scripted server:
//   - lines/s and bytes/s of a long stream of trace-like lines delivered to the
//     dialog callback, and the time from the call to the first chunk;
//   - resident memory after a short and after a long stream (must not grow);
//   - round trips of a line ending in LF and of a prompt ending in IAC GA,
//     answered at once by the callback (no preview timer may delay either);
//   - status pages from a peer that writes them in pieces of 1 to 64 bytes,
//     with its Nagle's algorithm on and off: the time a page takes and the
//     previews (silences the peer never made) must be the same for both.
// Usage: bench_probelink [MEGABYTES]   (default 256)
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/probelink.h"
#include "support/protocol.h"
#include "support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Counts {
    long chunks = 0;
    long lines = 0;
    long long bytes = 0;
    Clock::time_point first{};
};

int QELT_CDECL countChunk(char* text, int length, int peek, void* context, SendLineFn, void*) {
    Counts& c = *static_cast<Counts*>(context);
    if (c.chunks++ == 0) c.first = Clock::now();
    if (!peek) {
        c.bytes += length;
        if (text[length - 1] == '\n') ++c.lines;
    }
    return 0;
}

struct Pong {
    std::vector<double> lfUs;
    std::vector<double> gaUs;
    Clock::time_point sent{};
    bool started = false;
};

// Answers every chunk at once; the time between two answers is one round trip.
int QELT_CDECL answerChunk(char* text, int length, int peek, void* context, SendLineFn send,
                           void* handle) {
    Pong& p = *static_cast<Pong*>(context);
    const Clock::time_point now = Clock::now();
    if (peek) return 0;  // a preview here would itself be the delay being measured
    if (p.started) {
        double us = std::chrono::duration<double, std::micro>(now - p.sent).count();
        if (length >= 2 && static_cast<unsigned char>(text[length - 1]) == 0xF9)
            p.gaUs.push_back(us);
        else
            p.lfUs.push_back(us);
    }
    p.started = true;
    p.sent = Clock::now();
    send(handle, "pong\r\n", 0);
    return 0;
}

long residentKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long size = 0, resident = 0;
    if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One megabyte of distinct trace-like lines, "%6d.%09d CODE TAG ARG\r\n".
std::string traceBlock() {
    std::string block;
    char line[96];
    for (int i = 0; block.size() < 1024 * 1024 - 96; ++i) {
        int n = snprintf(line, sizeof line, "%6d.%09d 00%02X %d 0x%08X\r\n", i / 1000,
                         (i * 7919) % 1000000000, i % 256, i % 17,
                         static_cast<unsigned>(i * 2654435761u));
        block.append(line, static_cast<size_t>(n));
    }
    return block;
}

void stream(long megabytes, const std::string& block) {
    qelttest::ScriptedServer server;
    server.sendRepeated(block, megabytes).closeFin().start();
    Counts c;
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    const Clock::time_point start = Clock::now();
    int result = TelnetSession(host.c_str(), 23, 10000, countChunk, &c);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.join();
    const double firstMs = std::chrono::duration<double, std::milli>(c.first - start).count();
    printf(
        "stream %4ld MB: result %d, %ld lines, %lld bytes in %.3f s: %.0f lines/s, %.1f MB/s; "
        "first chunk after %.3f ms; resident %ld KiB\n",
        megabytes, result, c.lines, c.bytes, seconds, static_cast<double>(c.lines) / seconds,
        static_cast<double>(c.bytes) / seconds / 1e6, firstMs, residentKiB());
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void latency(int exchanges) {
    qelttest::ScriptedServer server;
    server.send("start\r\n").expectLine("pong\r\n");
    for (int i = 0; i < exchanges; ++i) {
        server.send("line " + std::to_string(i) + "\r\n").expectLine("pong\r\n");
        server.send(qelttest::kPrompt).expectLine("pong\r\n");
    }
    server.closeFin().start();
    Pong p;
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    int result = TelnetSession(host.c_str(), 23, 10000, answerChunk, &p);
    server.join();
    printf(
        "round trips (%d each): result %d; line ending in LF median %.1f us, p99 %.1f us; "
        "prompt ending in IAC GA median %.1f us, p99 %.1f us (a preview would take 20000 us)\n",
        exchanges, result, percentile(p.lfUs, 0.5), percentile(p.lfUs, 0.99),
        percentile(p.gaUs, 0.5), percentile(p.gaUs, 0.99));
}

struct Pages {
    long previews = 0;
    long prompts = 0;
};

// Counts previews and answers each prompt, which releases the next page.
int QELT_CDECL answerPrompt(char* text, int length, int peek, void* context, SendLineFn send,
                            void* handle) {
    Pages& p = *static_cast<Pages*>(context);
    if (peek) {
        ++p.previews;
        return 0;
    }
    if (length >= 2 && static_cast<unsigned char>(text[length - 1]) == 0xF9) {
        ++p.prompts;
        send(handle, "next\r\n", 0);
    }
    return 0;
}

void piecewise(int pages, bool nagle) {
    const std::string page =
        "[HTTP]: state = RUN, err = 0x00000000\r\n[SATA]: state = RUN, err = 0x00000000\r\n"
        "[ETHER]: state = RUN, err = 0x00000000\r\ntask  prio  state   stack\r\n"
        "http    10  ready    1024\r\nsata    20  wait     2048\r\n" +
        qelttest::kPrompt;
    qelttest::ScriptedServer server;
    if (nagle) server.nagle();
    for (int i = 0; i < pages; ++i) server.sendPieces(page, 64).expectLine("next\r\n");
    server.closeFin().start();
    Pages p;
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    const Clock::time_point start = Clock::now();
    const int result = TelnetSession(host.c_str(), 23, 10000, answerPrompt, &p);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    server.join();
    printf(
        "pieces of 1-64 bytes, Nagle %s: result %d, %ld pages in %.1f ms (%.3f ms a page), "
        "%ld previews\n",
        nagle ? "on " : "off", result, p.prompts, ms, ms / static_cast<double>(pages), p.previews);
}

}  // namespace

int main(int argc, char** argv) {
    long megabytes = argc > 1 ? atol(argv[1]) : 256;
    if (megabytes < 1) megabytes = 1;
    printf("command: %s %ld\n", argv[0], megabytes);
    const std::string block = traceBlock();
    stream(16, block);
    stream(megabytes, block);
    latency(2000);
    piecewise(200, false);
    piecewise(200, true);
    return 0;
}
