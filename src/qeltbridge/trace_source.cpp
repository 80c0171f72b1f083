#include "trace_source.h"

#include <cstddef>
#include <cstdio>
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
    std::string record(uint64_t index) const override {
        return lines_[static_cast<std::size_t>(index)];
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

class GeneratedTrace final : public TraceSource {
  public:
    GeneratedTrace(uint64_t count, uint64_t seed)
        : count_(count), seed_(seed), baseNs_((100 + mix(seed) % 900) * 1000000000ull) {}

    uint64_t size() const override { return count_; }

    std::string record(uint64_t index) const override {
        const uint64_t h = mix(seed_ ^ mix(index));
        // Each record owns a slot of kStepNs and sits at a point inside it, so
        // timestamps strictly rise whatever the hash says.
        const uint64_t ns = baseNs_ + index * kStepNs + h % kStepNs;
        const auto sec = static_cast<int>(ns / 1000000000ull);
        const auto nsec = static_cast<int>(ns % 1000000000ull);

        char fields[64];
        describe(h >> 20, fields, sizeof fields);
        char line[96];
        std::snprintf(line, sizeof line, "%6d.%09d %s", sec, nsec, fields);
        return line;
    }

  private:
    static constexpr uint64_t kStepNs = 20000;

    // Writes "CODE TAG ARG" for a record drawn from `r`, in the shapes the
    // bridge's firmware logs: tag 50 action logs most, then wake-ups, busy
    // actions, file operations, transfer directions and DMA events.
    static void describe(uint64_t r, char* out, std::size_t outSize) {
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
            std::snprintf(out, outSize, "%02u 50 %X/%X", tagType, a, b);
        } else if (kind < 50) {
            const unsigned ists = pick(14), a = pick(22), b = pick(22), state = pick(7);
            std::snprintf(out, outSize, "%X 8 %X/%X+%X", ists, a, b, state);
        } else if (kind < 60) {
            std::snprintf(out, outSize, "%02u 10 %04X", pick(22), handle);
        } else if (kind < 70) {
            static const char* const kSub[] = {"1", "2", "3", "4", "5", "6", "7", "9", "A", "C"};
            std::snprintf(out, outSize, "%s 40 %04X", kSub[pick(10)], handle);
        } else if (kind < 78) {
            static const char* const kDir[] = {"4", "DB", "5", "DC", "B1", "B2"};
            std::snprintf(out, outSize, "%s 67 %04X", kDir[pick(6)], handle);
        } else if (kind < 84) {
            static const char* const kCode[] = {"F3", "D1", "07"};
            std::snprintf(out, outSize, "%s 1 %04X", kCode[pick(3)], handle);
        } else if (kind < 88) {
            std::snprintf(out, outSize, "00 %u %04X", 70 + pick(2), handle);
        } else if (kind < 91) {
            std::snprintf(out, outSize, "%s 41 %04X", pick(2) ? "FF" : "01", handle);
        } else if (kind < 94) {
            std::snprintf(out, outSize, "00 %u %04X", 80 + pick(2), handle);
        } else if (kind < 97) {
            static const unsigned kTag[] = {55, 61, 62, 63, 66, 209};
            std::snprintf(out, outSize, "%02u %u %04X", pick(4), kTag[pick(6)], handle);
        } else {
            static const unsigned kTag[] = {2, 3, 4, 5, 6, 7};
            std::snprintf(out, outSize, "%02u %u %04X", pick(4), kTag[pick(6)], handle);
        }
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
