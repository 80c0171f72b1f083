#include "input/decoded_reader.h"

#include <algorithm>
#include <cstring>

#include "common/bridge_words.h"
#include "common/numbers.h"
#include "input/input_reader.h"
#include "trace/sata_decode.h"

namespace qelttrace {

namespace {

// A decoded line longer than this is no line the tool printed: the rest of it
// is dropped, so memory stays bounded whatever the input.
constexpr std::size_t kLineMax = 64 * 1024;
constexpr std::string_view kToolMessage = QELT_TOOL_MESSAGE;
constexpr std::string_view kBanner = QELT_DUMP_BANNER;
constexpr std::string_view kParseError = "PARSE ERROR - ";
constexpr std::string_view kInvalidParameter = "INVALID PARAMETER - ";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Reads a number as "%d" prints it at s[*at]: an optional '-' and digits,
// saturating at the 32-bit limits. Returns the count of digits (0: none).
std::size_t readPrinted(std::string_view s, std::size_t* at, std::int32_t* value) {
    std::size_t i = *at;
    const bool negative = i < s.size() && s[i] == '-';
    if (negative) ++i;
    std::uint64_t v = 0;
    bool over = false;
    const std::uint64_t limit = negative ? std::uint64_t{INT32_MAX} + 1 : INT32_MAX;
    const std::size_t digits = readDecimalDigits(s.data() + i, s.size() - i, limit, &v, &over);
    if (digits == 0) return 0;
    *value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                      : static_cast<std::int32_t>(v);
    *at = i + digits;
    return digits;
}

// A time field "%6d.%09d" at `*at` (leading blanks allowed); on success moves
// `*at` past it.
bool readTimeField(std::string_view s, std::size_t* at, DBGTime* t) {
    std::size_t i = *at;
    while (i < s.size() && s[i] == ' ') ++i;
    if (readPrinted(s, &i, &t->sec) == 0) return false;
    if (i >= s.size() || s[i] != '.') return false;
    ++i;
    const std::size_t start = i;
    if (readPrinted(s, &i, &t->nsec) == 0 || i - start < 9) return false;  // "%09d": nine at least
    *at = i;
    return true;
}

}  // namespace

bool isDecodedLine(std::string_view line) {
    std::size_t at = 0;
    DBGTime t{};
    if (!line.empty() && line[0] == '\t') {
        at = 1;
        return readTimeField(line, &at, &t) && at == line.size();
    }
    if (!readTimeField(line, &at, &t) || at >= line.size() || line[at] != '\t') return false;
    ++at;
    return readTimeField(line, &at, &t) && at < line.size() && line[at] == '\t';
}

void DecodedReader::feed(const char* data, std::size_t size) {
    const char* end = data + size;
    while (data < end) {
        const void* newline = std::memchr(data, '\n', static_cast<std::size_t>(end - data));
        const char* stop = newline ? static_cast<const char*>(newline) : end;
        const std::size_t room = kLineMax - std::min(kLineMax, line_.size());
        line_.append(data, std::min(room, static_cast<std::size_t>(stop - data)));
        if (!newline) return;
        data = stop + 1;
        take();
        line_.clear();
    }
}

void DecodedReader::finish() {
    if (!line_.empty()) take();
    line_.clear();
}

void DecodedReader::take() {
    const std::string_view line = line_;
    if (line.empty()) return;
    if (startsWith(line, kToolMessage)) {
        out_.line();
        return;
    }
    if (line.find(kBanner) != std::string_view::npos) {
        out_.line();
        // The formatter got the banner with its line end.
        banner_.assign(line);
        banner_ += '\n';
        out_.banner(banner_.c_str());
        return;
    }
    // Decoded text never holds a carriage return (the formatter made them
    // blanks): one at the end is a line end of a Windows console's output,
    // saved in text mode.
    std::string_view rest = line;
    while (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    if (!rest.empty()) out_.line();
    take(rest);
}

void DecodedReader::take(std::string_view line) {
    if (line.empty()) return;
    std::size_t at = 0;
    DBGTime time{};
    if (line[0] == '\t') {
        at = 1;
        if (readTimeField(line, &at, &time) && at == line.size()) out_.span(time);
        return;
    }
    DBGTime delta{};
    if (!readTimeField(line, &at, &time) || at >= line.size() || line[at] != '\t') return;
    ++at;
    if (!readTimeField(line, &at, &delta) || at >= line.size() || line[at] != '\t') return;
    std::string_view decoded = line.substr(at + 1);

    // The span the tool printed after the last record of a run ends its line.
    DBGTime closing{};
    bool closed = false;
    const std::size_t tab = decoded.rfind('\t');
    if (tab != std::string_view::npos) {
        std::size_t spanAt = tab + 1;
        if (readTimeField(decoded, &spanAt, &closing) && spanAt == decoded.size()) {
            decoded = decoded.substr(0, tab);
            closed = true;
        }
    }
    emit(time, delta, decoded);
    if (closed) out_.span(closing);
}

void DecodedReader::emit(const DBGTime& time, const DBGTime& delta, std::string_view decoded) {
    Record& r = record_;
    r.time = time;
    r.delta = delta;
    r.held = false;  // the output shows the held time, not that it was held
    const bool parse = startsWith(decoded, kParseError);
    if (parse || startsWith(decoded, kInvalidParameter)) {
        r.status = parse ? Status::kParseError : Status::kInvalidParameter;
        r.result = parse ? -2 : -1;
        // Its line ends became blanks, which cannot be told from blanks that
        // were there: the record text is the printed one less them.
        std::string_view text =
            decoded.substr(parse ? kParseError.size() : kInvalidParameter.size());
        const std::size_t printed = text.size();
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        r.lineEnd = static_cast<std::uint32_t>(printed - text.size());
        r.setWords({}, {}, {}, text);
    } else {
        SataWordSpans spans{};
        SataSplitWords(decoded.data(), static_cast<int>(decoded.size()), &spans);
        r.result = 0;
        r.lineEnd = 0;
        r.setWords(decoded.substr(0, static_cast<std::size_t>(spans.eventLength)),
                   decoded.substr(static_cast<std::size_t>(spans.qualifierStart),
                                  static_cast<std::size_t>(spans.qualifierLength)),
                   decoded.substr(static_cast<std::size_t>(spans.argumentStart)), {});
        if (r.event().empty() && r.qualifier().empty() && r.argument().empty()) {
            r.status = Status::kNoText;
        } else if (!SataKnownEvent(r.eventText())) {
            r.status = Status::kUnknownTag;
        } else {
            r.status = Status::kOk;
        }
    }
    out_.record(r);
}

}  // namespace qelttrace
