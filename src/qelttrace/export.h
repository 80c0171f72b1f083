// The record outputs on a stream: the text format (as the trace job prints),
// CSV (RFC 4180) and JSON lines, and the escaping they share with the reports.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "record.h"

namespace qelttrace {

enum class Format { kText, kCsv, kJsonl };

const char* statusName(Status status);

// Appends `text` as a JSON string (quotes included): quote, backslash and
// control bytes escaped, a byte of 0x80 or more as the code point of the same
// number, so that every input gives valid JSON and its bytes can be recovered.
void appendJsonString(std::string& out, std::string_view text);
// Appends `text` as one CSV field: quoted (quotes doubled) when it holds a
// comma, a quote or a line end; the bytes as they are otherwise.
void appendCsvField(std::string& out, std::string_view text);
void appendInt(std::string& out, std::int64_t value);

// Buffered writing to a stream; write errors are seen by the stream's owner.
class StreamWriter {
  public:
    explicit StreamWriter(FILE* out) : out_(out) {}
    ~StreamWriter() { flush(); }
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;
    std::string& buffer() { return buffer_; }
    void maybeFlush() {
        if (buffer_.size() >= kFlushAt) flush();
    }
    void flush();

  private:
    static constexpr std::size_t kFlushAt = 64 * 1024;
    FILE* out_;
    std::string buffer_;
};

// The records in `format`. The text format writes to standard output, exactly
// as the trace job prints: all of it (banner, spans, the closing span) when
// `filtered` is false, else the records alone and a final line feed.
std::unique_ptr<Sink> makeRecordWriter(Format format, FILE* out, bool filtered);

}  // namespace qelttrace
