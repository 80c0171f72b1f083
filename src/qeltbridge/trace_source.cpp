#include "trace_source.h"

#include <cstddef>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qeltbridge {

// Defined in the file generated from samples/trace.txt at build time.
extern const unsigned char kBuiltinTraceData[];
extern const std::size_t kBuiltinTraceSize;

namespace {

class LineTrace final : public TraceSource {
  public:
    explicit LineTrace(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    uint64_t size() const override { return lines_.size(); }
    void appendRecord(uint64_t index, std::string& out) const override {
        out += lines_[static_cast<std::size_t>(index)];
    }

  private:
    std::vector<std::string> lines_;
};

// SplitMix64: a cheap, well-mixed hash, so record i depends only on (seed, i).
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Writes a record's fields into a buffer long enough for any record, by
// hand: a dump of 100,000 generated records spent most of the bridge's time
// in snprintf. Each call writes what its printf conversion wrote.
class RecordWriter {
  public:
    explicit RecordWriter(char* start) : p_(start) {}
    const char* end() const { return p_; }

    void text(const char* s) {
        const std::size_t n = std::strlen(s);
        std::memcpy(p_, s, n);
        p_ += n;
    }
    // "%u", "%02u", "%6d" (`pad` ' ') and "%09d" (`pad` '0'), for values >= 0.
    void decimal(uint64_t value, int width = 0, char pad = '0') {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = n; i < width; ++i) *p_++ = pad;
        while (n > 0) *p_++ = digits[--n];
    }
    // "%X" and "%04X".
    void hex(unsigned value, int width = 0) {
        static const char kDigits[] = "0123456789ABCDEF";
        char digits[8];
        int n = 0;
        do {
            digits[n++] = kDigits[value & 15u];
            value >>= 4;
        } while (value != 0);
        for (int i = n; i < width; ++i) *p_++ = '0';
        while (n > 0) *p_++ = digits[--n];
    }

  private:
    char* p_;
};

class GeneratedTrace final : public TraceSource {
  public:
    GeneratedTrace(uint64_t count, uint64_t seed)
        : count_(count), seed_(seed), baseNs_((100 + mix(seed) % 900) * 1000000000ull) {}

    uint64_t size() const override { return count_; }

    // "%6d.%09d CODE TAG ARG"
    void appendRecord(uint64_t index, std::string& out) const override {
        const uint64_t h = mix(seed_ ^ mix(index));
        // Each record owns a slot of kStepNs and sits at a point inside it, so
        // timestamps strictly rise whatever the hash says.
        const uint64_t ns = baseNs_ + index * kStepNs + h % kStepNs;
        char line[96];  // at most 20 + 1 + 9 + 1 + 3 + 1 + 3 + 1 + 14 bytes
        RecordWriter w(line);
        w.decimal(ns / 1000000000ull, 6, ' ');
        w.text(".");
        w.decimal(ns % 1000000000ull, 9, '0');
        w.text(" ");
        describe(h >> 20, w);
        out.append(line, static_cast<std::size_t>(w.end() - line));
    }

  private:
    static constexpr uint64_t kStepNs = 20000;

    // Writes "CODE TAG ARG" for a record drawn from `r`, in the shapes the
    // bridge's firmware logs: tag 50 action logs most, then wake-ups, busy
    // actions, file operations, transfer directions and DMA events. The
    // draws from `r` are taken in a fixed order, so that a seed gives the
    // same records whatever the compiler.
    static void describe(uint64_t r, RecordWriter& w) {
        const unsigned kind = static_cast<unsigned>(r % 100);
        r /= 100;
        auto pick = [&r](unsigned n) {
            const auto v = static_cast<unsigned>(r % n);
            r /= n;
            return v;
        };
        const unsigned handle = pick(0x10000);
        if (kind < 35) {
            const unsigned tagType = 1 + pick(41);
            const unsigned a = pick(22), b = pick(22);
            w.decimal(tagType, 2);
            w.text(" 50 ");
            w.hex(a);
            w.text("/");
            w.hex(b);
            return;
        }
        if (kind < 50) {
            const unsigned ists = pick(14), a = pick(22), b = pick(22), state = pick(7);
            w.hex(ists);
            w.text(" 8 ");
            w.hex(a);
            w.text("/");
            w.hex(b);
            w.text("+");
            w.hex(state);
            return;
        }
        if (kind < 60) {
            w.decimal(pick(22), 2);
            w.text(" 10 ");
        } else if (kind < 70) {
            static const char* const kSub[] = {"1", "2", "3", "4", "5", "6", "7", "9", "A", "C"};
            w.text(kSub[pick(10)]);
            w.text(" 40 ");
        } else if (kind < 78) {
            static const char* const kDir[] = {"4", "DB", "5", "DC", "B1", "B2"};
            w.text(kDir[pick(6)]);
            w.text(" 67 ");
        } else if (kind < 84) {
            static const char* const kCode[] = {"F3", "D1", "07"};
            w.text(kCode[pick(3)]);
            w.text(" 1 ");
        } else if (kind < 88) {
            w.text("00 ");
            w.decimal(70 + pick(2));
            w.text(" ");
        } else if (kind < 91) {
            w.text(pick(2) ? "FF 41 " : "01 41 ");
        } else if (kind < 94) {
            w.text("00 ");
            w.decimal(80 + pick(2));
            w.text(" ");
        } else {
            // The tag is drawn before the code.
            static const unsigned kLateTags[] = {55, 61, 62, 63, 66, 209};
            static const unsigned kEarlyTags[] = {2, 3, 4, 5, 6, 7};
            const unsigned tag = (kind < 97 ? kLateTags : kEarlyTags)[pick(6)];
            w.decimal(pick(4), 2);
            w.text(" ");
            w.decimal(tag);
            w.text(" ");
        }
        w.hex(handle, 4);
    }

    uint64_t count_;
    uint64_t seed_;
    uint64_t baseNs_;
};

}  // namespace

std::vector<std::string> splitRecordLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        const bool last = end == std::string_view::npos;
        if (last) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        if (last) break;
        start = end + 1;
    }
    return lines;
}

std::unique_ptr<TraceSource> makeBuiltinTrace() {
    const std::string_view text(reinterpret_cast<const char*>(kBuiltinTraceData),
                                kBuiltinTraceSize);
    return std::make_unique<LineTrace>(splitRecordLines(text));
}

std::unique_ptr<TraceSource> loadTraceFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return nullptr;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return nullptr;
    }
    return std::make_unique<LineTrace>(splitRecordLines(content.str()));
}

std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, uint64_t seed) {
    return std::make_unique<GeneratedTrace>(count, seed);
}

}  // namespace qeltbridge
