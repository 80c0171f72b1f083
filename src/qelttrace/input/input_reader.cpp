#include "input/input_reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "common/bridge_words.h"
#include "input/byte_source.h"
#include "platform/platform.h"
#include "recording/log_reader.h"
#include "trace/sata_names.h"

namespace qelttrace {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
constexpr std::string_view kToolMessage = QELT_TOOL_MESSAGE;
constexpr std::string_view kBanner = QELT_DUMP_BANNER;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A session of the trace job: it asked for the dump. A session that never got
// as far (cut before its prompt) cannot be told from one of the other jobs,
// and holds no record anyway.
bool asksForTheTrace(const recording::Session& session) {
    constexpr std::string_view kCommand = QELT_COMMAND_DUMP;
    for (const recording::Event& e : session.events) {
        if (e.kind != recording::Event::Kind::kSent) continue;
        const std::string_view sent = e.bytes;
        if (sent.size() > kCommand.size() && startsWith(sent, kCommand) &&
            (sent[kCommand.size()] == '\r' || sent[kCommand.size()] == ' '))
            return true;
    }
    return false;
}

// The span the tool prints after a dump: from the first record of the run to
// the last that decoded.
DBGTime closingSpan() {
    DBGTime closing{0, 0};
    DiffTime(&startTime, &pt, &closing);
    return closing;
}

bool isLogHead(std::string_view head) {
    const std::size_t begin = head.find_first_not_of("\r\n");
    if (begin == std::string_view::npos) return false;
    std::string_view line = head.substr(begin, head.find('\n', begin) - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return recording::isLogLine(line);
}

}  // namespace

InputKind detectKind(std::string_view head) {
    if (isLogHead(head)) return InputKind::kSessionLog;
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

void RecordCounter::record(Record& r) {
    r.number = ++records_;
    r.timeNs = nanoseconds(r.time);
    r.deltaNs = nanoseconds(r.delta);
    r.trouble =
        trouble_ && (r.status != Status::kOk || r.held ||
                     SataTellsOfTrouble(r.eventText(), r.qualifierText(), r.argumentText()));
    if (r.status != Status::kNoTime) ++timed_;
    next_.record(r);
}

InputReader::InputReader(RecordSink& sink, FILE* diagnostics, bool trouble)
    : sink_(sink),
      diagnostics_(diagnostics),
      counter_(sink, trouble),
      livePath_(counter_),
      decoded_(counter_),
      buffer_(kReadSize) {}

bool InputReader::read(const std::string& name) {
    const bool isStdin = name == "-";
    File owned;
    FILE* input = stdin;
    const std::string shown = isStdin ? "standard input" : name;
    if (isStdin) {
        // A capture is decoded byte for byte: its CR LF line ends matter.
        qelt_binary_stdin();
    } else {
        owned.reset(std::fopen(name.c_str(), "rb"));
        if (!owned) {
            std::fprintf(diagnostics_, "qelttrace: %s: %s\n", name.c_str(), std::strerror(errno));
            return false;
        }
        input = owned.get();
    }
    const bool ok = readFrom(shown, *decodedInput(std::make_unique<FileSource>(input)));
    if (isStdin) std::clearerr(stdin);
    return ok;
}

bool InputReader::feedFile(const std::string& name, const char* data, std::size_t size) {
    return readFrom(name, *decodedInput(std::make_unique<MemorySource>(data, size)));
}

bool InputReader::readAll(const std::vector<std::string>& names, std::function<bool()> stop) {
    stopWhen(std::move(stop));
    bool ok = true;
    for (const std::string& name : names) {
        if (stop_()) break;
        if (!read(name)) ok = false;
    }
    if (!stop_()) finish();
    return ok;
}

bool InputReader::readFrom(const std::string& shown, ByteSource& source) {
    bool first = true;
    for (;;) {
        if (stop_ && stop_()) return false;
        const std::size_t got = source.read(buffer_.data(), buffer_.size());
        if (got == 0) break;
        if (first) {
            startFile(shown, std::string_view(buffer_.data(), got));
            first = false;
        }
        feed(buffer_.data(), got);
    }
    bool ok = true;
    if (!source.error().empty()) {
        std::fprintf(diagnostics_, "qelttrace: %s: %s\n", shown.c_str(), source.error().c_str());
        ok = false;
    } else if (first) {
        std::fprintf(diagnostics_, "qelttrace: %s: empty\n", shown.c_str());
    }
    if (!first && !endFile()) ok = false;
    return ok;
}

void InputReader::startFile(const std::string& shown, std::string_view head) {
    // Files of one kind join as cat joins them; a change of kind first ends
    // what the other reader holds. A log's sessions are whole: nothing joins
    // them.
    const InputKind kind = detectKind(head);
    const bool decoded = kind == InputKind::kDecoded;
    const bool log = kind == InputKind::kSessionLog;
    if ((decoded || log) && !decodedNow_) livePath_.finish();
    if (!decoded && decodedNow_) decoded_.finish();
    // A line the file before left unfinished counts there when it ended with
    // the change of kind, else in this file, where it ends.
    if (checkPending_) warnIfNoTrace();
    if (!log) closeSessionRun();
    decodedNow_ = decoded;
    logNow_ = log;
    if (decoded) {
        decodedRead_ = true;
    } else if (!log) {
        runOpen_ = true;
        livePath_.setCapture(kind == InputKind::kCapture);
    }
    shown_ = shown;
    nuls_ = 0;
    timedBefore_ = counter_.timed();
    linesBefore_ = counter_.lines();
}

void InputReader::feed(const char* data, std::size_t size) {
    // NUL bytes are no part of a trace (and rare: one look a block).
    const char* end = data + size;
    for (const char* p = data;
         (p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p))));
         ++p) {
        ++nuls_;
    }
    if (logNow_) {
        logText_.append(data, size);
    } else if (decodedNow_) {
        decoded_.feed(data, size);
    } else {
        livePath_.feed(data, size);
    }
}

bool InputReader::endFile() {
    if (logNow_) {
        logNow_ = false;
        return replaySessions();
    }
    // A line the file leaves unfinished may go on in the next one: the file
    // is judged once that is known.
    checkPending_ = true;
    return true;
}

bool InputReader::replaySessions() {
    recording::Log log;
    std::string error;
    const bool read = recording::readLog(logText_, log, error);
    std::string().swap(logText_);
    if (!read) {
        std::fprintf(diagnostics_, "qelttrace: %s: %s\n", shown_.c_str(), error.c_str());
        return false;
    }
    std::size_t traces = 0;
    for (const recording::Session& session : log.sessions) {
        // Status and reboot sessions hold no record: their lines are none.
        if (!asksForTheTrace(session)) continue;
        ++traces;
        // Each session is a run of the tool of its own: the run before it is
        // closed by its span, as the tool closed it, and the formatter starts
        // afresh, as in a new process.
        if (runOpen_) counter_.span(closingSpan());
        SataResetTiming();
        runOpen_ = sessionRunOpen_ = true;
        livePath_.session(session);
    }
    if (traces == 0) {
        std::fprintf(diagnostics_,
                     "qelttrace: %s: a session log without a trace session (sessions: %" PRIu64
                     "); nothing to decode\n",
                     shown_.c_str(), static_cast<std::uint64_t>(log.sessions.size()));
        return true;
    }
    warnIfNoTrace();
    return true;
}

void InputReader::closeSessionRun() {
    if (!sessionRunOpen_) return;
    counter_.span(closingSpan());
    SataResetTiming();
    runOpen_ = sessionRunOpen_ = false;
}

void InputReader::warnIfNoTrace() {
    checkPending_ = false;
    const std::uint64_t timed = counter_.timed() - timedBefore_;
    const std::uint64_t lines = counter_.lines() - linesBefore_;
    if (lines == 0 || (2 * timed >= lines && nuls_ == 0)) return;
    std::fprintf(diagnostics_,
                 "qelttrace: %s: does not look like a trace (%" PRIu64 " of %" PRIu64
                 " lines are records with a timestamp, %" PRIu64
                 " NUL bytes); decoded all the same\n",
                 shown_.c_str(), timed, lines, nuls_);
}

void InputReader::finish() {
    livePath_.finish();
    decoded_.finish();
    if (checkPending_) warnIfNoTrace();
    if (!runOpen_ && decodedRead_) {
        sink_.end(nullptr);
        return;
    }
    // The span of the whole dump, as the tool prints it after the session.
    const DBGTime closing = closingSpan();
    sink_.end(&closing);
}

}  // namespace qelttrace
