#include "trace_source.h"

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <sstream>

namespace qeltbridge {

// Defined in the file generated from samples/trace.txt at build time.
extern const unsigned char kBuiltinTrace[];
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
    const std::string_view text(reinterpret_cast<const char*>(kBuiltinTrace), kBuiltinTraceSize);
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

GeneratedTrace::GeneratedTrace(uint64_t count, const WorkloadSettings& settings, uint64_t spacing)
    : count_(count), spacing_(spacing < 1 ? 1 : spacing) {
    saved_.push_back(startWorkload(settings));
    for (Cursor& c : cursors_) c.state = saved_.front();
}

void GeneratedTrace::appendRecord(uint64_t index, std::string& out) const {
    Cursor& cursor = cursorFor(index);
    char line[kMaxRecordLength];
    while (cursor.state.index < index) advance(cursor.state, line);
    out.append(line, advance(cursor.state, line));
    cursor.lastUse = ++uses_;
}

std::size_t GeneratedTrace::savedBytes() const {
    return saved_.capacity() * sizeof(WorkloadState) + sizeof cursors_;
}

// Every cursor stays below saved_.size() * spacing_ until it reaches it, and
// the one that does saves its state there: the states are saved in order, one
// a spacing, whichever cursor gets there first.
std::size_t GeneratedTrace::advance(WorkloadState& state, char* line) const {
    const std::size_t length = nextRecord(state, line);
    if (state.index != saved_.size() * spacing_) return length;
    // Grown by hand, so that the vector never holds room for more than it may keep.
    if (saved_.size() == saved_.capacity())
        saved_.reserve(std::min(2 * saved_.size(), kMaxSaved + 1));
    saved_.push_back(state);
    if (saved_.size() > kMaxSaved) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < saved_.size(); i += 2) saved_[kept++] = saved_[i];
        saved_.resize(kept);
        spacing_ *= 2;
    }
    return length;
}

// The cursor closest before `index`, or else the least recently used one,
// moved to the state saved closest before it.
GeneratedTrace::Cursor& GeneratedTrace::cursorFor(uint64_t index) const {
    Cursor* best = nullptr;
    Cursor* spare = &cursors_.front();
    for (Cursor& c : cursors_) {
        if (c.state.index <= index && (!best || c.state.index > best->state.index)) best = &c;
        if (c.lastUse < spare->lastUse) spare = &c;
    }
    const std::size_t nearest =
        static_cast<std::size_t>(std::min<uint64_t>(index / spacing_, saved_.size() - 1));
    if (best && best->state.index >= nearest * spacing_) return *best;
    spare->state = saved_[nearest];
    return *spare;
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
