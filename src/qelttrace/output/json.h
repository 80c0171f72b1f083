// The one JSON writer of qelttrace, for the statistics (--stats=json), the
// JSON lines export, the Perfetto trace and the page's data: it places the
// commas, escapes the strings and writes the numbers, appending to a string.
//
//   JsonWriter w(out);  w.beginObject(); w.key("records"); w.integer(3); w.endObject();
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelttrace {

// Appends `text` as a JSON string, quotes included: quote, backslash and
// control bytes escaped, a byte of 0x80 or more as the code point of the
// same number (two bytes of UTF-8), so that every input gives valid JSON and
// its bytes can be recovered.
void appendJsonString(std::string& out, std::string_view text);

class JsonWriter {
  public:
    static constexpr int kDepthMax = 64;

    explicit JsonWriter(std::string& out) : out_(out) {}

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // A member's name; its value follows. Names are ours, plain ASCII that
    // needs no escaping, and are written as they are.
    void key(std::string_view name);

    void string(std::string_view text);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void null();
    // A number already written as JSON's grammar has it (a fraction, say).
    void number(std::string_view digits);
    // A string that needs no escaping (printable ASCII, no quote, no
    // backslash: a time, a name of ours), written as it is.
    void plainString(std::string_view text);
    // A member's name already quoted, with its colon and a comma before it
    // (",\"name\":"), for a writer that names the same members on every line.
    void quotedKey(std::string_view token) {
        const std::uint64_t bit = std::uint64_t{1} << depth_;
        if (!(filled_ & bit)) token.remove_prefix(1);
        filled_ |= bit;
        out_.append(token);
        afterKey_ = true;
    }

    void member(std::string_view name, std::string_view text) {
        key(name);
        string(text);
    }
    void memberInteger(std::string_view name, std::int64_t value) {
        key(name);
        integer(value);
    }
    void memberUnsigned(std::string_view name, std::uint64_t value) {
        key(name);
        unsignedInteger(value);
    }
    // An integer, or null when there is nothing to measure.
    void memberMaybe(std::string_view name, bool present, std::int64_t value) {
        key(name);
        if (present) {
            integer(value);
        } else {
            null();
        }
    }

    // Starts the next value on a line of its own (after its comma, if any).
    void breakLine() {
        separate();
        out_ += '\n';
        afterKey_ = true;
    }

  private:
    void open(char bracket);
    void close(char bracket);
    // The comma before a value that is not the first of its container.
    void separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        const std::uint64_t bit = std::uint64_t{1} << depth_;
        if (filled_ & bit) out_ += ',';
        filled_ |= bit;
    }

    std::string& out_;
    int depth_ = 0;
    std::uint64_t filled_ = 0;  // bit d: the container at depth d holds a value
    bool afterKey_ = false;
};

}  // namespace qelttrace
