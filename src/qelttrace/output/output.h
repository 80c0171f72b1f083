// Where a writer's bytes go: a buffer that fills and empties into a stream
// (a file, standard output) or into a string held in memory (the tests and
// the fuzz target). Write errors are the stream's, seen by its owner.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qelttrace {

class Output {
  public:
    explicit Output(FILE* stream) : stream_(stream) {}
    explicit Output(std::string* memory) : memory_(memory) {}
    ~Output() { flush(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // The buffer to append to; maybeFlush() once in a while empties it.
    std::string& buffer() { return buffer_; }
    void maybeFlush() {
        if (buffer_.size() >= kFlushAt) flush();
    }
    void flush();
    // Writes `size` bytes at once, after what the buffer holds: for a writer
    // that formats whole lines of its own (the stream buffers them).
    void write(const char* data, std::size_t size) {
        if (!buffer_.empty()) flush();
        written_ += size;
        if (memory_) {
            memory_->append(data, size);
        } else if (stream_) {
            std::fwrite(data, 1, size, stream_);
        }
    }

    // The bytes written so far, those in the buffer included.
    std::uint64_t written() const { return written_ + buffer_.size(); }

  private:
    static constexpr std::size_t kFlushAt = 64 * 1024;
    FILE* stream_ = nullptr;
    std::string* memory_ = nullptr;
    std::string buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace qelttrace
