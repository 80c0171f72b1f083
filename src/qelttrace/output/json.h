// The one JSON writer of qelttrace, for the statistics (--stats=json), the
// JSON lines exports, the Perfetto trace and the page's data: it places the
// commas, escapes the strings and writes the numbers, appending to a string.
// No other code of qelttrace writes JSON text.
//
//   JsonWriter w(out);  w.beginObject(); w.key("records"); w.integer(3); w.endObject();
//
// A writer that begins the same value over and over (the Perfetto trace: the
// same first members of an event, per track) renders that beginning once as a
// JsonFragment and appends it; the writer's commas then stand as if it had
// written those members one by one.
//
//   JsonFragment head([](JsonWriter& j) { j.beginObject(); j.member("ph", "i"); j.key("ts"); });
//   w.fragment(head);  w.integer(5);  w.endObject();
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qelttrace {

// Appends `text` as a JSON string, quotes included: quote, backslash and
// control bytes escaped, a byte of 0x80 or more as the code point of the
// same number (two bytes of UTF-8), so that every input gives valid JSON and
// its bytes can be recovered.
void appendJsonString(std::string& out, std::string_view text);

class JsonFragment;

// A member's name with the comma that may go before it, rendered once (at
// compile time, for a table's names), so that the writer appends a member's
// name in one piece. Names are ours, as for JsonWriter::key; a longer one is
// cut at kNameMax bytes.
class JsonKey {
  public:
    static constexpr std::size_t kNameMax = 32;
    constexpr explicit JsonKey(std::string_view name)
        : size_((name.size() < kNameMax ? name.size() : kNameMax) + 4) {
        text_[0] = ',';
        text_[1] = '"';
        for (std::size_t i = 0; i + 4 < size_; ++i) text_[2 + i] = name[i];
        text_[size_ - 2] = '"';
        text_[size_ - 1] = ':';
    }

  private:
    friend class JsonWriter;
    char text_[kNameMax + 4] = {};
    std::size_t size_;
};

class JsonWriter {
  public:
    static constexpr int kDepthMax = 64;

    explicit JsonWriter(std::string& out) : out_(out) {}

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // A member's name; its value follows. Names are ours, plain ASCII that
    // needs no escaping, and are written as they are, with their comma in
    // one append (the exports name nine members a record).
    void key(std::string_view name) {
        constexpr std::size_t kShort = 48;
        const bool comma = separator();
        afterKey_ = true;
        if (name.size() > kShort) {
            if (comma) out_ += ',';
            out_ += '"';
            out_.append(name);
            out_.append("\":", 2);
            return;
        }
        char text[kShort + 4];
        char* p = text;
        if (comma) *p++ = ',';
        *p++ = '"';
        std::memcpy(p, name.data(), name.size());
        p += name.size();
        *p++ = '"';
        *p++ = ':';
        out_.append(text, static_cast<std::size_t>(p - text));
    }

    void key(const JsonKey& name) {
        const std::size_t skip = separator() ? 0 : 1;
        afterKey_ = true;
        out_.append(name.text_ + skip, name.size_ - skip);
    }

    void string(std::string_view text);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void null();
    // A number already written as JSON's grammar has it (a fraction, say).
    void number(std::string_view digits);
    // A string that needs no escaping (printable ASCII, no quote, no
    // backslash: a time, a name of ours), written as it is.
    void plainString(std::string_view text);
    // The text of `fragment`, as the next value or member.
    void fragment(const JsonFragment& fragment);

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
    // An array of integers.
    void memberIntegers(std::string_view name, const std::vector<std::int64_t>& values) {
        key(name);
        beginArray();
        for (const std::int64_t v : values) integer(v);
        endArray();
    }
    // An array of one object per item of `list`, its members written by
    // `members(item)`.
    template <typename List, typename Members>
    void memberObjects(std::string_view name, const List& list, Members members) {
        key(name);
        beginArray();
        for (const auto& item : list) {
            beginObject();
            members(item);
            endObject();
        }
        endArray();
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
    // A line end where white space may stand: after a value, before the
    // bracket that closes its container.
    void endLine() { out_ += '\n'; }

  private:
    friend class JsonFragment;
    void open(char bracket) {
        separate();
        out_ += bracket;
        // Deeper than any document of ours: a fault of the caller, not of the input.
        if (depth_ + 1 >= kDepthMax) std::abort();
        ++depth_;
        filled_ &= ~(std::uint64_t{1} << depth_);
    }
    void close(char bracket) {
        // Closing what it never opened (a fragment's author did): a fault of the caller.
        if (depth_ == 0) std::abort();
        out_ += bracket;
        --depth_;
    }
    // Whether the value or member about to be written takes a comma before
    // it (it is not the first of its container); marks the container filled.
    bool separator() {
        if (afterKey_) {
            afterKey_ = false;
            return false;
        }
        const std::uint64_t bit = std::uint64_t{1} << depth_;
        const bool comma = (filled_ & bit) != 0;
        filled_ |= bit;
        return comma;
    }
    void separate() {
        if (separator()) out_ += ',';
    }

    std::string& out_;
    int depth_ = 0;
    std::uint64_t filled_ = 0;  // bit d: the container at depth d holds a value
    bool afterKey_ = false;
};

// JSON rendered once by a JsonWriter of its own, begun where a value or a
// member begins, and appended by JsonWriter::fragment as often as wanted. It
// may open containers and leave them open, and end after a member's name;
// it never closes what it did not open.
class JsonFragment {
  public:
    JsonFragment() = default;
    template <typename Render>
    explicit JsonFragment(Render&& render) {
        JsonWriter writer(text_);
        render(writer);
        opened_ = writer.depth_;
        filled_ = writer.filled_ & (((std::uint64_t{1} << opened_) - 1) << 1);
        afterKey_ = writer.afterKey_;
    }

  private:
    friend class JsonWriter;
    std::string text_;          // without the comma that may separate it from a value before it
    int opened_ = 0;            // containers it leaves open
    std::uint64_t filled_ = 0;  // bit d (1 to opened_): the d-th of them holds a value
    bool afterKey_ = false;     // it ends with a member's name
};

inline void JsonWriter::fragment(const JsonFragment& f) {
    separate();
    out_.append(f.text_);
    if (f.opened_ > 0) {
        if (depth_ + f.opened_ >= kDepthMax) std::abort();
        const std::uint64_t levels = ((std::uint64_t{1} << f.opened_) - 1) << (depth_ + 1);
        filled_ = (filled_ & ~levels) | (f.filled_ << depth_);
        depth_ += f.opened_;
    }
    afterKey_ = f.afterKey_;
}

}  // namespace qelttrace
