// The record of qelttrace: one line of a dump with a timestamp token and a
// record text, whatever input it came from, with everything the outputs need
// computed once when it is read.
//
//   Status   what kind of record it is: decoded, or junk of some kind
//   Record   the record, owning its bytes once, copied as a plain value
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace/sata_format.h"

namespace qelttrace {

enum class Status : std::uint8_t {
    kOk,                // decoded by a row of the decoder's table
    kParseError,        // the decoder refused it (a field past its limit)
    kInvalidParameter,  // the decoder had nothing to decode
    kNoTime,            // its timestamp token holds no digit: no record line at all
    kNoText,            // a timestamp and no record text
    kUnknownTag,        // no row names its tag, so the decoder echoed it
};
constexpr std::size_t kStatusCount = 6;

// "ok", "parse_error", "invalid_parameter", "no_time", "no_text", "unknown_tag".
std::string_view statusName(Status status);

class Record {
  public:
    std::uint64_t number = 0;  // in the input, from 1
    DBGTime time{0, 0};        // as the trace job prints it
    DBGTime delta{0, 0};
    std::int64_t timeNs = 0;
    std::int64_t deltaNs = 0;
    Status status = Status::kOk;
    bool held = false;  // shown at the previous time: its own went backwards
    // Tells of trouble: what --errors selects, set when --errors or an output
    // that reports on trouble asks for it.
    bool trouble = false;
    // How the trace job prints it: 0, the three words; -1 or -2 an error
    // line of the text, its line ends as blanks (lineEnd more after it).
    std::int8_t result = 0;
    std::uint32_t lineEnd = 0;

    // The three words of the decoded line (empty when it did not decode) and
    // the record text as received, line ends dropped. Each is followed by a
    // NUL in the record's own storage, so c_str-like use is safe.
    std::string_view event() const { return view(0, qualifierAt_); }
    std::string_view qualifier() const { return view(qualifierAt_, argumentAt_); }
    std::string_view argument() const { return view(argumentAt_, textAt_); }
    std::string_view text() const {
        return std::string_view(bytes_.data() + textAt_, bytes_.size() - textAt_);
    }
    const char* eventText() const { return bytes_.c_str(); }
    const char* qualifierText() const { return bytes_.c_str() + qualifierAt_; }
    const char* argumentText() const { return bytes_.c_str() + argumentAt_; }

    void setWords(std::string_view event, std::string_view qualifier, std::string_view argument,
                  std::string_view text);
    // Becomes `from` but for its text, left empty: its words kept without a
    // line of any length (a transaction's start, while it is open).
    void assignWithoutText(const Record& from);

  private:
    std::string_view view(std::uint32_t begin, std::uint32_t next) const {
        return std::string_view(bytes_.data() + begin, next - begin - 1);
    }
    // event NUL qualifier NUL argument NUL text NUL (the last from std::string).
    std::string bytes_ = std::string(3, '\0');
    std::uint32_t qualifierAt_ = 1, argumentAt_ = 2, textAt_ = 3;
};

// Nanoseconds of a printed time: seconds x 10^9 + nanoseconds.
inline std::int64_t nanoseconds(const DBGTime& t) {
    return std::int64_t{t.sec} * 1000000000 + t.nsec;
}

// "1523.108795610": a time as the trace job prints it, without the padding.
std::string timeText(const DBGTime& t);
// The same into `out`, which has room for kTimeTextMax bytes; returns the length.
constexpr std::size_t kTimeTextMax = 24;
std::size_t formatTime(char* out, const DBGTime& t);
// Appends timeText(t), without building a string on the way.
void appendTime(std::string& out, const DBGTime& t);
// A duration in nanoseconds as seconds.nanoseconds ("0.000001200").
std::string durationText(std::int64_t ns);
void appendInt(std::string& out, std::int64_t value);

}  // namespace qelttrace
