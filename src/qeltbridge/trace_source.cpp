#include "trace_source.h"

#include <algorithm>
#include <array>
#include <cstddef>
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

// The workload's records, each made once in order by one of a few cursors,
// so that sessions paging through at once do not undo each other's work. A
// seek goes back to the nearest saved state: one every `spacing_` records,
// at most kMaxCheckpoints of them, thinned to every other one (and the
// spacing doubled) when they would be more.
class GeneratedTrace final : public TraceSource {
  public:
    GeneratedTrace(uint64_t count, const WorkloadSettings& settings) : count_(count) {
        checkpoints_.push_back(startWorkload(settings));
        for (Cursor& c : cursors_) c.state = checkpoints_.front();
    }

    uint64_t size() const override { return count_; }

    void appendRecord(uint64_t index, std::string& out) const override {
        Cursor& cursor = cursorFor(index);
        char line[kMaxRecordLength];
        while (cursor.state.index < index) advance(cursor.state, line);
        out.append(line, advance(cursor.state, line));
        cursor.lastUse = ++uses_;
    }

  private:
    static constexpr uint64_t kFirstSpacing = 32768;
    static constexpr std::size_t kMaxCheckpoints = 512;
    static constexpr std::size_t kCursors = 4;

    struct Cursor {
        WorkloadState state;
        uint64_t lastUse = 0;
    };

    std::size_t advance(WorkloadState& state, char* line) const {
        const std::size_t length = nextRecord(state, line);
        if (state.index == checkpoints_.size() * spacing_) {
            checkpoints_.push_back(state);
            if (checkpoints_.size() > kMaxCheckpoints) thin();
        }
        return length;
    }

    void thin() const {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < checkpoints_.size(); i += 2) checkpoints_[kept++] = checkpoints_[i];
        checkpoints_.resize(kept);
        spacing_ *= 2;
    }

    // The cursor closest before `index`, or the least used one moved to the
    // saved state closest before it when that is closer still.
    Cursor& cursorFor(uint64_t index) const {
        Cursor* best = nullptr;
        Cursor* spare = &cursors_.front();
        for (Cursor& c : cursors_) {
            if (c.state.index <= index && (!best || c.state.index > best->state.index)) best = &c;
            if (c.lastUse < spare->lastUse) spare = &c;
        }
        const std::size_t saved =
            static_cast<std::size_t>(std::min<uint64_t>(index / spacing_, checkpoints_.size() - 1));
        if (best && best->state.index >= saved * spacing_) return *best;
        spare->state = checkpoints_[saved];
        return *spare;
    }

    uint64_t count_;
    mutable std::vector<WorkloadState> checkpoints_;  // [i]: the state before record i * spacing_
    mutable uint64_t spacing_ = kFirstSpacing;
    mutable std::array<Cursor, kCursors> cursors_{};
    mutable uint64_t uses_ = 0;
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

std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, const WorkloadSettings& settings) {
    return std::make_unique<GeneratedTrace>(count, settings);
}

std::unique_ptr<TraceSource> makeGeneratedTrace(uint64_t count, uint64_t seed) {
    WorkloadSettings settings;
    settings.seed = seed;
    return makeGeneratedTrace(count, settings);
}

}  // namespace qeltbridge
