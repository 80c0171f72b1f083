#include "input/live_path_reader.h"

#include <algorithm>
#include <cstring>

#include "common/bridge_words.h"
#include "input/input_reader.h"
#include "trace/sata_decode.h"

namespace qelttrace {

namespace {

constexpr unsigned char kIac = probelink::kIac;
constexpr unsigned char kGa = probelink::kGa;
constexpr unsigned char kIacIac[] = {kIac, kIac};
constexpr unsigned char kIacGa[] = {kIac, kGa};
constexpr char kToolMessage[] = QELT_TOOL_MESSAGE;

// The replay looks at NUL and 0xFF one by one; every other byte goes to the
// core in runs, found in windows of this size.
constexpr std::size_t kWindow = 4096;

bool hasDigit(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        if (*p >= '0' && *p <= '9') return true;
    }
    return false;
}

bool blank(std::string_view text) {
    return text.find_first_not_of(' ') == std::string_view::npos;
}

// Whether a chunk holds more than a line end: a line for telling a trace
// from something else.
bool holdsText(const char* text, std::size_t size) {
    if (size > 2) return true;
    if (size == 2) return !(text[0] == '\r' && text[1] == '\n');
    return size == 1 && text[0] != '\n';
}

// The dialog's SendLine while a session is replayed: there is nobody to send
// to; what counts is that it answered, which consumes a previewed prompt.
int QELT_CDECL noteAnswer(void* answered, const char*, int) {
    *static_cast<bool*>(answered) = true;
    return 0;
}

// A line the tool sent, as against the refusals of options the library sent
// on its own (IAC DONT/WONT): only the dialog's lines answer a chunk.
bool dialogLine(const recording::Event& e) {
    using Kind = recording::Event::Kind;
    if (e.kind == Kind::kSentPassword) return true;
    return e.kind == Kind::kSent &&
           (e.bytes.empty() || static_cast<unsigned char>(e.bytes[0]) != kIac);
}

}  // namespace

LivePathReader::LivePathReader(RecordCounter& out) : out_(out) {}

void LivePathReader::feed(const char* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        if (held_ == 0) {
            // The next NUL or 0xFF, looked for in windows so that many of
            // them cost no more than a few.
            const std::size_t window = std::min(size - i, kWindow);
            const void* nul = std::memchr(bytes + i, 0, window);
            const void* iac = std::memchr(bytes + i, kIac, window);
            const auto* stop = static_cast<const unsigned char*>(!nul   ? iac
                                                                 : !iac ? nul
                                                                        : std::min(nul, iac));
            const std::size_t run = stop ? static_cast<std::size_t>(stop - (bytes + i)) : window;
            if (run > 0) wire(bytes + i, run);
            i += run;
            if (!stop) continue;
        }
        byte(bytes[i++]);
    }
}

void LivePathReader::byte(unsigned char c) {
    if (c == 0) return;
    if (held_ == 1 && c == kGa) {
        if (capture_) {
            held_ = 2;
            return;
        }
        // In a dump the two are a Go Ahead where they complete the prompt.
        held_ = 0;
        if (core_.pending() == QELT_PROMPT_TEXT) {
            wire(kIacGa, 2);
        } else {
            wire(kIacIac, 2);
            wire(kGa);
        }
        return;
    }
    if (held_ == 2 && c == '\n') {
        held_ = 0;
        // The line feed after it is puts' own, taken here: the chunk the Go
        // Ahead ends has none left to follow it.
        gaTookLineFeed_ = true;
        wire(kIacGa, 2);
        gaTookLineFeed_ = false;
        return;
    }
    releaseHeld();
    if (c == kIac) {
        held_ = 1;
        return;
    }
    wire(c);
}

void LivePathReader::releaseHeld() {
    const int held = held_;
    held_ = 0;
    if (held >= 1) wire(kIacIac, 2);
    if (held == 2) wire(kGa);
}

void LivePathReader::finish() {
    releaseHeld();
    ending_ = true;
    core_.end();
    ending_ = false;
}

void LivePathReader::session(const recording::Session& session) {
    sessionCore_.emplace(static_cast<probelink::ChunkSink&>(*this));
    sessionDialog_ = DialogContext{WaitLogin, ModeTrace, 0, 0};
    for (const recording::Event& e : session.events) {
        if (e.kind == recording::Event::Kind::kReceived) {
            sessionCore_->feed(reinterpret_cast<const unsigned char*>(e.bytes.data()),
                               e.bytes.size(), 0);
        } else if (dialogLine(e)) {
            // The dialog sent this line in answer to a chunk; if the core
            // holds an unfinished line, that was its preview after a silence
            // (the bytes are all fed at time 0: a tick at the silence is due).
            sessionCore_->tick(probelink::kPreviewSilenceMs);
        }
    }
    sessionCore_->end();
    sessionCore_.reset();
}

bool LivePathReader::sessionChunk(char* text, int length, int peek) {
    DialogContext& dialog = sessionDialog_;
    if (dialog.state == WaitLogin || dialog.state == WaitPassword || dialog.state == WaitPrompt) {
        // The dialog's own steps to the trace: no step prints, and the one
        // that answers the prompt moves the state to the trace's.
        bool answered = false;
        qeltDialog(text, length, peek, &dialog, noteAnswer, &answered);
        return answered;
    }
    if (dialog.state != TraceOutput) return false;  // after its exit the job reads nothing
    char* line = nullptr;
    switch (qeltTraceChunk(text, length, peek, &dialog, &line)) {
        case TraceChunkPageEnd:
            // The job asks for the page the result named, or says exit.
            if (dialog.dumpResult > 0) {
                dialog.dumpResult = 0;
            } else {
                dialog.state = ExitSent;
            }
            return true;
        case TraceChunkLine: {
            const std::size_t size =
                static_cast<std::size_t>(length) - static_cast<std::size_t>(line - text);
            if (holdsText(line, size)) out_.line();
            this->line(line, size);
            return false;
        }
        case TraceChunkResult:
        case TraceChunkPreview:
            break;
    }
    return false;
}

bool LivePathReader::onChunk(char* text, int length, int peek) {
    if (sessionCore_) return sessionChunk(text, length, peek);
    // The core previews only what the end of the bytes left (the replay never
    // lets its timer run): that is a whole line here.
    if (peek != 0 && !ending_) return false;
    const auto size = static_cast<std::size_t>(length);
    const bool endsInCrLf = size >= 2 && text[size - 2] == '\r' && text[size - 1] == '\n';
    const bool afterCrLf = previousEndedInCrLf_;
    previousEndedInCrLf_ = endsInCrLf;
    const bool lineFeedDue = lineFeedDue_;
    lineFeedDue_ = false;
    if (holdsText(text, size)) out_.line();

    char* line = nullptr;
    if (qeltTraceChunk(text, length, 0, &dialog_, &line) != TraceChunkLine) return false;
    // -raw prints each line with puts, which adds one "\n": after a line that
    // ends in CR LF, and in a capture after every line the job printed, a
    // piece of a long line included (a piece of kChunkMax bytes that puts
    // ended is a piece, not a line). The tool's own messages are no part of
    // the dump.
    if (line[0] == '\n' && line[1] == '\0' && (afterCrLf || (capture_ && lineFeedDue))) {
        return false;
    }
    if (std::strncmp(line, kToolMessage, sizeof kToolMessage - 1) == 0) return false;
    lineFeedDue_ = !gaTookLineFeed_;
    this->line(line, size - static_cast<std::size_t>(line - text));
    return false;
}

void LivePathReader::line(char* text, std::size_t length) {
    std::memcpy(original_.data(), text, length + 1);
    SataTraceRecord trace;
    switch (SataTraceLine(text, &trace)) {
        case SataLineBanner:
            out_.banner(text);
            break;
        case SataLineSpan:
            if (trace.printSpan) out_.span(trace.delta);
            break;
        case SataLineRecord:
            emit(text, length, trace);
            break;
        case SataLineIgnored:
            break;
    }
}

void LivePathReader::emit(const char* line, std::size_t length, const SataTraceRecord& trace) {
    Record& r = record_;
    r.time = trace.time;
    r.delta = trace.delta;
    r.held = trace.held != 0;
    r.result = static_cast<std::int8_t>(trace.result);
    // The record text as received: the line from the text the formatter
    // found on, its line end dropped (the formatter made them blanks).
    const std::size_t offset = static_cast<std::size_t>(trace.text - line);
    std::string_view received(original_.data() + offset, length - offset);
    std::uint32_t lineEnd = 0;
    if (!received.empty() && received.back() == '\n') {
        received.remove_suffix(1);
        ++lineEnd;
    }
    if (!received.empty() && received.back() == '\r') {
        received.remove_suffix(1);
        ++lineEnd;
    }
    r.lineEnd = lineEnd;
    // The timestamp token: from the first non-blank to the blank before the text.
    const char* token = line;
    while (*token == ' ') ++token;
    if (!hasDigit(token, trace.text - 1)) {
        r.status = Status::kNoTime;
    } else if (trace.result != 0) {
        r.status = trace.result == -1 ? Status::kInvalidParameter : Status::kParseError;
    } else if (blank(received)) {
        r.status = Status::kNoText;
    } else if (SataTagEchoed(&trace.words)) {
        r.status = Status::kUnknownTag;
    } else {
        r.status = Status::kOk;
    }
    // Words the decoder refused are empty.
    r.setWords(trace.words.event, trace.words.qualifier, trace.words.argument, received);
    out_.record(r);
}

}  // namespace qelttrace
