// Golden protocol cases for the telnet core, kept as data under cases/.
//
// NAME.in holds the received bytes and the passing of time:
//   # comment                (ignored, like empty lines)
//   @wait N                  the clock advances N ms and the timer is ticked
//   @clock N                 the clock advances N ms without a tick (a late poll)
//   @answer                  the dialog answers the next preview with a line
//   anything else            one received segment; %XX is a byte, %(N) repeats
//                            the following byte or %XX N times; the file's
//                            line break is not data
// NAME.out holds what must come out, in order:
//   chunk PEEK "TEXT"        a chunk for the dialog (TEXT escaped as above)
//   reply "BYTES"            bytes sent back to the peer
// Every case is replayed as written, one byte at a time, and in every split of
// each run of data into two segments; all must give the same events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "probelink/telnet_core.h"

namespace {

namespace fs = std::filesystem;
using probelink::TelnetCore;

struct Op {
    enum Kind { kData, kWait, kClock, kAnswer } kind;
    std::string bytes;
    long ms = 0;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes %XX and %(N) escapes; throws on a malformed escape so a broken case
// file fails loudly instead of testing something else.
std::string unescape(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    auto one = [&](std::size_t* at) -> std::string {
        if (*at >= text.size()) throw std::runtime_error("escape at end: " + text);
        if (text[*at] != '%') return std::string(1, text[(*at)++]);
        if (*at + 2 >= text.size()) throw std::runtime_error("short escape: " + text);
        int hi = hexValue(text[*at + 1]), lo = hexValue(text[*at + 2]);
        if (hi < 0 || lo < 0) throw std::runtime_error("bad escape: " + text);
        *at += 3;
        return std::string(1, static_cast<char>(hi * 16 + lo));
    };
    while (i < text.size()) {
        if (text.compare(i, 2, "%(") == 0) {
            std::size_t close = text.find(')', i);
            if (close == std::string::npos) throw std::runtime_error("bad repeat: " + text);
            long n = std::stol(text.substr(i + 2, close - i - 2));
            i = close + 1;
            std::string unit = one(&i);
            for (long k = 0; k < n; ++k) out += unit;
        } else {
            out += one(&i);
        }
    }
    return out;
}

std::string escape(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '%' && c != '"') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::vector<Op> readInput(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<Op> ops;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("@wait ", 0) == 0) {
            ops.push_back({Op::kWait, {}, std::stol(line.substr(6))});
        } else if (line.rfind("@clock ", 0) == 0) {
            ops.push_back({Op::kClock, {}, std::stol(line.substr(7))});
        } else if (line == "@answer") {
            ops.push_back({Op::kAnswer, {}, 0});
        } else if (line[0] == '@') {
            throw std::runtime_error("unknown directive: " + line);
        } else {
            ops.push_back({Op::kData, unescape(line), 0});
        }
    }
    return ops;
}

// Events in a canonical text form: `chunk P "TEXT"` or `reply "BYTES"`.
std::vector<std::string> readExpected(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> events;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t q = line.find('"');
        if (q == std::string::npos || line.back() != '"' || q == line.size() - 1)
            throw std::runtime_error("bad expected line: " + line);
        events.push_back(line.substr(0, q) + '"' +
                         escape(unescape(line.substr(q + 1, line.size() - q - 2))) + '"');
    }
    return events;
}

class Recorder : public probelink::ChunkSink {
  public:
    std::vector<std::string> events;
    int answers = 0;

    bool onChunk(char* text, int length, int peek) override {
        std::string bytes(text, static_cast<std::size_t>(length));
        // The contract on every chunk, whatever the case expects.
        EXPECT_GT(length, 0);
        EXPECT_LE(length, static_cast<int>(probelink::kChunkMax));
        EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(length)) << "NUL inside a chunk";
        events.push_back("chunk " + std::to_string(peek) + " \"" + escape(bytes) + '"');
        text[0] = 'X';  // the dialog may write into the text; nothing may notice
        if (peek && answers > 0) {
            --answers;
            return true;
        }
        return false;
    }
    void onReply(const unsigned char* bytes, std::size_t length) override {
        events.push_back("reply \"" +
                         escape(std::string(reinterpret_cast<const char*>(bytes), length)) + '"');
    }
};

// Splits each data op at the given global offsets of the data stream; with
// `bytewise` every byte is its own segment. Adjacent data ops are merged first
// unless `natural`.
std::vector<std::string> replay(const std::vector<Op>& ops, bool natural, bool bytewise,
                                std::size_t cut) {
    std::vector<Op> plan;
    for (const Op& op : ops) {
        if (!natural && op.kind == Op::kData && !plan.empty() && plan.back().kind == Op::kData)
            plan.back().bytes += op.bytes;
        else
            plan.push_back(op);
    }
    Recorder recorder;
    TelnetCore core(recorder);
    std::int64_t clock = 1000;
    std::size_t offset = 0;
    auto feed = [&](const std::string& bytes) {
        core.feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), clock);
    };
    for (const Op& op : plan) {
        switch (op.kind) {
            case Op::kData:
                if (bytewise) {
                    for (char c : op.bytes) feed(std::string(1, c));
                } else if (cut > offset && cut < offset + op.bytes.size()) {
                    feed(op.bytes.substr(0, cut - offset));
                    feed(op.bytes.substr(cut - offset));
                } else {
                    feed(op.bytes);
                }
                offset += op.bytes.size();
                break;
            case Op::kWait:
                clock += op.ms;
                core.tick(clock);
                break;
            case Op::kClock:
                clock += op.ms;
                break;
            case Op::kAnswer:
                ++recorder.answers;
                break;
        }
    }
    core.end();
    core.end();  // a second end delivers nothing more
    return recorder.events;
}

std::string join(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& e : events) out += e + "\n";
    return out;
}

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(PROBELINK_CASES_DIR))
        if (entry.path().extension() == ".in") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CoreCase : public testing::TestWithParam<std::string> {};

TEST_P(CoreCase, GivesTheExpectedChunksAndRepliesHoweverSegmented) {
    const fs::path base = fs::path(PROBELINK_CASES_DIR) / GetParam();
    const std::vector<Op> ops = readInput(base.string() + ".in");
    const std::string expected = join(readExpected(base.string() + ".out"));

    EXPECT_EQ(join(replay(ops, true, false, 0)), expected) << "as written";
    EXPECT_EQ(join(replay(ops, false, true, 0)), expected) << "one byte at a time";
    std::size_t total = 0;
    for (const Op& op : ops)
        if (op.kind == Op::kData) total += op.bytes.size();
    for (std::size_t cut = 1; cut < total; ++cut) {
        std::string got = join(replay(ops, false, false, cut));
        ASSERT_EQ(got, expected) << "split at byte " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CoreCase, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& param) {
                             return param.param;
                         });

}  // namespace
