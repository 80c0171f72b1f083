#include "input.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "trace/sata_decode.h"

namespace qelttrace {

namespace {

constexpr std::size_t kChunkMax = 4095;  // longest chunk the telnet library delivers
constexpr std::size_t kReadSize = 64 * 1024;
// A decoded line longer than this is no line the tool printed: the rest of it
// is dropped, so memory stays bounded whatever the input.
constexpr std::size_t kDecodedLineMax = 64 * 1024;

// "INET> " followed by IAC GA.
constexpr char kPrompt[] = {'I', 'N', 'E', 'T', '>', ' ', '\xff', '\xf9'};
constexpr std::size_t kPromptSize = sizeof kPrompt;
constexpr char kIac = '\xff';
constexpr char kGa = '\xf9';
constexpr char kDumpResult[] = "DUMP_RESULT=";
// The tool's own messages in a capture of its output are no part of the dump.
constexpr std::string_view kToolMessage = "qelttelnet.exe: ";
constexpr std::string_view kBanner = "SATA history dump";
constexpr std::string_view kParseError = "PARSE ERROR - ";
constexpr std::string_view kInvalidParameter = "INVALID PARAMETER - ";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Reads a decimal number as "%d" prints it: an optional '-' and digits,
// saturating at the 32-bit limits. Returns the count of characters used (0:
// none).
std::size_t readPrinted(std::string_view s, std::size_t at, std::int32_t* value) {
    std::size_t i = at;
    const bool negative = i < s.size() && s[i] == '-';
    if (negative) ++i;
    const std::size_t digits = i;
    std::int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > std::int64_t{INT32_MAX} + 1) v = std::int64_t{INT32_MAX} + 1;
    }
    if (i == digits) return 0;
    v = negative ? -v : v;
    if (v > INT32_MAX) v = INT32_MAX;
    *value = static_cast<std::int32_t>(v);
    return i - at;
}

// A time field "%6d.%09d" at `*at` (leading blanks allowed); on success moves
// `*at` past it.
bool readTimeField(std::string_view s, std::size_t* at, DBGTime* t) {
    std::size_t i = *at;
    while (i < s.size() && s[i] == ' ') ++i;
    const std::size_t sec = readPrinted(s, i, &t->sec);
    if (sec == 0) return false;
    i += sec;
    if (i >= s.size() || s[i] != '.') return false;
    ++i;
    const std::size_t nsec = readPrinted(s, i, &t->nsec);
    if (nsec < 9) return false;  // "%09d" prints at least nine characters
    *at = i + nsec;
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

InputKind detectKind(std::string_view head) {
    bool capture = head.find("\r\n\n") != std::string_view::npos;
    std::size_t begin = 0;
    while (begin < head.size()) {
        std::size_t end = head.find('\n', begin);
        // The last line of a block may be cut: it decides only when whole.
        if (end == std::string_view::npos) break;
        std::string_view line = head.substr(begin, end - begin);
        begin = end + 1;
        if (startsWith(line, kToolMessage)) {
            capture = true;
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.find(kBanner) != std::string_view::npos) continue;
        if (isDecodedLine(line)) return InputKind::kDecoded;
        break;
    }
    return capture ? InputKind::kCapture : InputKind::kDump;
}

namespace {

// Dump and capture lines, as the dialog hands them to the formatter, into
// records.
class LiveDecoder {
  public:
    LiveDecoder(Sink& sink, std::uint64_t& records) : sink_(sink), records_(records) {}

    void line(char* text, std::size_t length) {
        std::memcpy(original_.data(), text, length + 1);
        SataTraceRecord trace;
        const SataLineKind kind = SataTraceLine(text, &trace);
        switch (kind) {
            case SataLineBanner:
                sink_.banner(text);
                break;
            case SataLineSpan:
                sink_.span(trace);
                break;
            case SataLineRecord:
                emit(text, length, trace);
                break;
            case SataLineIgnored:
                break;
        }
    }

  private:
    void emit(const char* text, std::size_t length, const SataTraceRecord& trace) {
        Record r;
        r.number = ++records_;
        r.time = trace.time;
        r.delta = trace.delta;
        r.timeNs = nanoseconds(trace.time);
        r.deltaNs = nanoseconds(trace.delta);
        r.held = trace.held != 0;
        r.trace = &trace;
        if (trace.result == 0) {
            r.event = trace.words.event;
            r.qualifier = trace.words.qualifier;
            r.argument = trace.words.argument;
        } else {
            r.status = trace.result == -1 ? Status::kInvalidParameter : Status::kParseError;
        }
        const std::size_t offset = static_cast<std::size_t>(trace.text - text);
        std::string_view received(original_.data() + offset, length - offset);
        if (!received.empty() && received.back() == '\n') received.remove_suffix(1);
        if (!received.empty() && received.back() == '\r') received.remove_suffix(1);
        r.text = received;
        sink_.record(r);
    }

    Sink& sink_;
    std::uint64_t& records_;
    std::array<char, kChunkMax + 1> original_{};
};

// The live path replayed: the telnet library cuts the received bytes into
// chunks (a line up to and including its "\n", the text up to and including a
// Go Ahead, at most 4095 bytes, NUL bytes dropped); the dialog skips the
// prompt in front of a line, takes "DUMP_RESULT=" lines and the bare prompt
// that follows them, and hands everything else to the formatter.
//
// Which bytes 0xFF 0xF9 were a Go Ahead: live, the bridge escapes a data byte
// 0xFF (IAC IAC), so only a real IAC GA ends a chunk, and the bridge sends one
// only after its prompt. A saved dump holds the bytes unescaped: there the two
// end a chunk only where they complete the prompt at a chunk's start (the
// prompt glued to the next line); anywhere else they are data. In a capture,
// puts wrote a line feed after every chunk, so a chunk that really ended in
// IAC GA is followed by that line feed, while inside a line the two bytes are
// data; the line feed is puts' own and is no line. Nor is anything in a
// capture a prompt: the live dialog took them before printing.
class Replay {
  public:
    explicit Replay(LiveDecoder& decoder) : decoder_(decoder) {}

    void setCapture(bool capture) { capture_ = capture; }

    void feed(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] != '\0') byte(data[i]);
        }
    }

    void finish() {
        releaseHeld();
        // A saved file's end is no cut connection (the live job drops text a
        // broken connection cut off, since it may be half a record).
        if (length_ > 0) deliver();
    }

  private:
    void byte(char c) {
        if (held_ == 1) {
            if (c == kGa) {
                held_ = 2;
                return;
            }
            releaseHeld();
        } else if (held_ == 2) {
            held_ = 0;
            if (c == '\n') {
                // IAC GA, as the library cuts it: what came before is its own chunk
                // when the two bytes no longer fit.
                if (length_ + 2 > kChunkMax) deliver();
                append(kIac);
                append(kGa);
                deliver();
                return;
            }
            append(kIac);
            data(kGa);
        }
        if (capture_ && c == kIac) {
            held_ = 1;
            return;
        }
        data(c);
    }

    // Bytes 0xFF (and 0xFF 0xF9) held back in a capture until the next byte
    // tells what they were; data when the input ends or anything else follows.
    void releaseHeld() {
        const int held = held_;
        held_ = 0;
        if (held >= 1) data(kIac);
        if (held == 2) data(kGa);
    }

    void data(char c) {
        append(c);
        if (c == '\n' || length_ == kChunkMax) {
            deliver();
        } else if (!capture_ && c == kGa && length_ == kPromptSize &&
                   std::memcmp(chunk_.data(), kPrompt, kPromptSize) == 0) {
            deliver();
        }
    }

    void append(char c) {
        chunk_[length_++] = c;
        if (length_ == kChunkMax) deliver();
    }

    void deliver() {
        if (length_ == 0) return;
        chunk_[length_] = '\0';
        const std::size_t length = length_;
        length_ = 0;
        dialog(chunk_.data(), length);
    }

    void dialog(char* text, std::size_t length) {
        const bool endsInCrLf = length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
        const bool afterCrLf = previousEndedInCrLf_;
        previousEndedInCrLf_ = endsInCrLf;

        // A capture holds no prompt: the live dialog took them all.
        const bool prompted =
            !capture_ && length >= kPromptSize && std::memcmp(text, kPrompt, kPromptSize) == 0;
        if (prompted && length == kPromptSize && resultReady_) {
            // The bare prompt after a result: the live dialog asks for the next
            // page or ends the session here.
            resultReady_ = false;
            return;
        }
        char* line = prompted ? text + kPromptSize : text;
        const std::size_t lineLength = prompted ? length - kPromptSize : length;
        if (std::strncmp(line, kDumpResult, sizeof kDumpResult - 1) == 0) {
            resultReady_ = true;
            return;
        }
        // -raw prints each line with puts, which adds one "\n".
        if (afterCrLf && line[0] == '\n' && line[1] == '\0') return;
        if (std::strncmp(line, kToolMessage.data(), kToolMessage.size()) == 0) return;
        decoder_.line(line, lineLength);
    }

    LiveDecoder& decoder_;
    std::array<char, kChunkMax + 1> chunk_{};
    std::size_t length_ = 0;
    int held_ = 0;
    bool capture_ = false;
    bool resultReady_ = false;
    bool previousEndedInCrLf_ = false;
};

// The tool's decoded output read back: records "TIME\tDELTA\tTEXT" (a span
// "\tSPAN" may close the line), span lines, the banner; the tool's messages
// and the line feeds between the printed pieces are skipped, and so is every
// line of another form.
class DecodedReader {
  public:
    DecodedReader(Sink& sink, std::uint64_t& records) : sink_(sink), records_(records) {}

    void feed(const char* data, std::size_t size) {
        const char* end = data + size;
        while (data < end) {
            const void* newline = std::memchr(data, '\n', static_cast<std::size_t>(end - data));
            const char* stop = newline ? static_cast<const char*>(newline) : end;
            const std::size_t room = kDecodedLineMax - std::min(kDecodedLineMax, line_.size());
            line_.append(data, std::min(room, static_cast<std::size_t>(stop - data)));
            if (!newline) return;
            data = stop + 1;
            take();
            line_.clear();
        }
    }

    void finish() {
        if (!line_.empty()) take();
        line_.clear();
    }

  private:
    void take() {
        const std::string_view line = line_;
        if (line.empty() || startsWith(line, kToolMessage)) return;
        if (line.find(kBanner) != std::string_view::npos) {
            // The formatter got the banner with its line end.
            bannerText_.assign(line);
            bannerText_ += '\n';
            sink_.banner(bannerText_.c_str());
            return;
        }
        // Decoded text never holds a carriage return (the formatter made them
        // blanks): one at the end is a line end of a Windows console's
        // output, saved in text mode.
        std::string_view rest = line;
        while (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
        take(rest);
    }

    void take(std::string_view line) {
        if (line.empty()) return;
        std::size_t at = 0;
        DBGTime time{};
        if (line[0] == '\t') {
            at = 1;
            if (readTimeField(line, &at, &time) && at == line.size()) span(time);
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
        if (closed) span(closing);
    }

    void span(const DBGTime& value) {
        SataTraceRecord trace{};
        trace.delta = value;
        trace.printSpan = 1;
        sink_.span(trace);
    }

    void emit(const DBGTime& time, const DBGTime& delta, std::string_view decoded) {
        Record r;
        r.number = ++records_;
        r.time = time;
        r.delta = delta;
        r.timeNs = nanoseconds(time);
        r.deltaNs = nanoseconds(delta);
        SataTraceRecord trace{};
        trace.time = time;
        trace.delta = delta;
        trace.result = 0;
        if (startsWith(decoded, kParseError) || startsWith(decoded, kInvalidParameter)) {
            const bool parse = startsWith(decoded, kParseError);
            r.status = parse ? Status::kParseError : Status::kInvalidParameter;
            trace.result = parse ? -2 : -1;
            shown_.assign(decoded.substr(parse ? kParseError.size() : kInvalidParameter.size()));
            trace.text = shown_.c_str();
            // Its line ends became blanks, which cannot be told from blanks
            // that were there: the record text is the printed one less them.
            std::string_view text = shown_;
            while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
            r.text = text;
        } else {
            SataWordSpans spans{};
            SataSplitWords(decoded.data(), static_cast<int>(decoded.size()), &spans);
            event_.assign(decoded.substr(0, static_cast<std::size_t>(spans.eventLength)));
            qualifier_.assign(decoded.substr(static_cast<std::size_t>(spans.qualifierStart),
                                             static_cast<std::size_t>(spans.qualifierLength)));
            argument_.assign(decoded.substr(static_cast<std::size_t>(spans.argumentStart)));
            trace.words.event = event_.c_str();
            trace.words.qualifier = qualifier_.c_str();
            trace.words.argument = argument_.c_str();
            trace.text = "";
            r.event = event_;
            r.qualifier = qualifier_;
            r.argument = argument_;
        }
        r.trace = &trace;
        sink_.record(r);
    }

    Sink& sink_;
    std::uint64_t& records_;
    std::string line_;
    std::string bannerText_, shown_, event_, qualifier_, argument_;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void reportError(const std::string& name, int error) {
    std::fprintf(stderr, "qelttrace: %s: %s\n", name.c_str(), std::strerror(error));
}

}  // namespace

class InputReader::Impl {
  public:
    explicit Impl(Sink& sink)
        : sink_(sink),
          live_(sink, records_),
          replay_(live_),
          decoded_(sink, records_),
          buffer_(kReadSize) {}

    bool read(const std::string& name) {
        const bool isStdin = name == "-";
        File owned;
        FILE* input = stdin;
        if (isStdin) {
            // A capture is decoded byte for byte: its CR LF line ends matter.
            qelt_binary_stdin();
        } else {
            owned.reset(std::fopen(name.c_str(), "rb"));
            if (!owned) {
                reportError(name, errno);
                return false;
            }
            input = owned.get();
        }
        const std::string shown = isStdin ? "standard input" : name;
        bool first = true;
        for (;;) {
            const std::size_t got = std::fread(buffer_.data(), 1, buffer_.size(), input);
            if (first && got > 0) {
                startFile(detectKind(std::string_view(buffer_.data(), got)));
                first = false;
            }
            if (got > 0) feed(buffer_.data(), got);
            if (got < buffer_.size()) {
                if (std::ferror(input)) {
                    reportError(shown, errno);
                    std::clearerr(input);
                    return false;
                }
                if (std::feof(input)) break;
            }
        }
        if (isStdin) std::clearerr(stdin);
        return true;
    }

    void finish() {
        replay_.finish();
        decoded_.finish();
        sink_.end(dumpRead_ || !decodedRead_);
    }

  private:
    void startFile(InputKind kind) {
        // Files of one kind join as cat joins them; a change of kind first
        // ends what the other reader holds.
        const bool decoded = kind == InputKind::kDecoded;
        if (decoded && !decodedNow_) replay_.finish();
        if (!decoded && decodedNow_) decoded_.finish();
        decodedNow_ = decoded;
        if (decoded) {
            decodedRead_ = true;
        } else {
            dumpRead_ = true;
            replay_.setCapture(kind == InputKind::kCapture);
        }
    }

    void feed(const char* data, std::size_t size) {
        if (decodedNow_) {
            decoded_.feed(data, size);
        } else {
            replay_.feed(data, size);
        }
    }

    Sink& sink_;
    std::uint64_t records_ = 0;
    LiveDecoder live_;
    Replay replay_;
    DecodedReader decoded_;
    std::vector<char> buffer_;
    bool decodedNow_ = false;
    bool decodedRead_ = false;
    bool dumpRead_ = false;
};

InputReader::InputReader(Sink& sink) : impl_(std::make_unique<Impl>(sink)) {}
InputReader::~InputReader() = default;
bool InputReader::read(const std::string& name) {
    return impl_->read(name);
}
void InputReader::finish() {
    impl_->finish();
}

}  // namespace qelttrace
