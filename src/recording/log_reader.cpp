#include "recording/log_reader.h"

#include <fstream>
#include <map>
#include <sstream>

#include "common/numbers.h"

namespace recording {
namespace {

// One line cut into its fields.
struct Line {
    int number = 0;
    int format = 2;
    std::int64_t us = 0;
    std::string_view session;
    EventWord word = EventWord::kError;
    std::string_view details;  // everything after the event word and one blank
};

// The next field up to a blank (or the end), and the rest after that blank.
std::string_view takeField(std::string_view& rest) {
    const std::size_t blank = rest.find(' ');
    const std::string_view field = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return field;
}

// A plain decimal number of at most nine digits (counts, lengths, results).
bool readNumber(std::string_view text, int& value) {
    std::uint64_t number = 0;
    if (text.size() > 9 || !parseDecimal(text.data(), text.size(), 999999999, &number))
        return false;
    value = static_cast<int>(number);
    return true;
}

bool splitLine(std::string_view text, Line& line, std::string& why) {
    std::string_view rest = text;
    int digits = 0;
    if (!readWallTime(takeField(rest), line.us, digits)) {
        why = "not a session log line (it does not begin with a time)";
        return false;
    }
    line.format = digits == 6 ? 2 : 1;
    if (line.format == 2 && !readMonotonic(takeField(rest), line.us)) {
        why = "no monotonic time after the time of day";
        return false;
    }
    line.session = takeField(rest);
    const std::string_view word = takeField(rest);
    if (line.session.empty() || word.empty()) {
        why = "no session and event after the time";
        return false;
    }
    if (!findEventWord(word, line.word)) {
        why = "unknown event \"" + escaped(word) + "\"";
        return false;
    }
    line.details = rest;
    return true;
}

// "N ESCAPED": the count must be that of the bytes.
bool readCounted(std::string_view details, std::string& bytes, std::string& why) {
    int count = 0;
    if (!readNumber(takeField(details), count)) {
        why = "no byte count";
        return false;
    }
    if (!unescape(details, bytes)) {
        why = "a \"<\" that starts no <XX> escape";
        return false;
    }
    if (bytes.size() != static_cast<std::size_t>(count)) {
        why = std::to_string(count) + " bytes announced, " + std::to_string(bytes.size()) +
              " written";
        return false;
    }
    return true;
}

Ending olderEnding(const Session& s, int result) {
    switch (result) {
        case 0:
            return Ending::kClosed;
        case 1:
            return Ending::kInvalid;
        case 2:
            return Ending::kUnresolved;
        case 3:
            return s.connection() ? Ending::kToolClose : Ending::kLocalError;
        case 5:
            return Ending::kNoConnection;
        case 9:
            return Ending::kReset;
        case 12:
            return Ending::kTimeout;
        default:
            return Ending::kCut;
    }
}

class Reader {
  public:
    explicit Reader(Log& log) : log_(log) {}

    bool add(const Line& line, std::string& why) {
        if (line.word == EventWord::kStart || line.word == EventWord::kVersion) {
            begin(line);
            return true;
        }
        const auto open = open_.find(std::string(line.session));
        if (open == open_.end()) {
            why = "session " + escaped(line.session) + " was not started before this line";
            return false;
        }
        Session& s = log_.sessions[open->second];
        s.lastLine = line.number;
        s.endUs = line.us;
        if (line.word == EventWord::kEnd || line.word == EventWord::kResult) {
            if (!end(s, line, why)) return false;
            open_.erase(open);
            return true;
        }
        return event(s, line, why);
    }

    // Sessions the log ends inside.
    void finish() {
        for (const auto& entry : open_) log_.sessions[entry.second].ending = Ending::kCut;
        open_.clear();
    }

  private:
    void begin(const Line& line) {
        const std::string id(line.session);
        // The same identifier again before an end: the session before was cut
        // (its program ended without a word), and this is a new one.
        open_.erase(id);
        Session s;
        s.number = static_cast<int>(log_.sessions.size()) + 1;
        s.format = line.format;
        s.id = id;
        s.run = line.format == 2 ? id.substr(0, id.find(':')) : id;
        unescape(line.details, s.version);
        s.startUs = s.endUs = line.us;
        s.firstLine = s.lastLine = line.number;
        open_[id] = log_.sessions.size();
        log_.sessions.push_back(std::move(s));
    }

    static bool open(Session& s, std::string_view details, std::string& why) {
        // "HOST port N timeout MS ms"; the host is the escaped text before.
        const std::size_t at = details.rfind(" port ");
        std::string_view rest =
            at == std::string_view::npos ? std::string_view() : details.substr(at + 6);
        const std::string_view port = takeField(rest);
        const std::string_view timeoutWord = takeField(rest);
        const std::string_view timeout = takeField(rest);
        if (at == std::string_view::npos || !readNumber(port, s.port) || timeoutWord != "timeout" ||
            !readNumber(timeout, s.timeoutMs) || rest != "ms" ||
            !unescape(details.substr(0, at), s.host)) {
            why = "open: not \"HOST port N timeout MS ms\"";
            return false;
        }
        return true;
    }

    static bool sent(Event& e, const Line& line, std::string& why) {
        std::string_view details = line.details;
        const std::string_view count = takeField(details);
        if (details != (line.format == 2 ? kMaskedLine : kOlderMaskedLine))
            return readCounted(line.details, e.bytes, why);
        int length = 0;
        if (!readNumber(count, length)) {
            why = "no byte count";
            return false;
        }
        e.kind = Event::Kind::kSentPassword;
        e.length = static_cast<std::size_t>(length);
        return true;
    }

    static bool chunk(Event& e, std::string_view details, std::string& why) {
        const std::string_view peek = takeField(details);
        const std::string_view length = takeField(details);
        int count = 0;
        if ((peek != "peek=0" && peek != "peek=1") || length.substr(0, 4) != "len=" ||
            !readNumber(length.substr(4), count) || !unescape(details, e.bytes) ||
            e.bytes.size() != static_cast<std::size_t>(count)) {
            why = "chunk: not \"peek=P len=N TEXT\" with N the length of TEXT";
            return false;
        }
        e.peek = peek == "peek=1" ? 1 : 0;
        return true;
    }

    static bool attempt(Event& e, std::string_view details, std::string& why) {
        const std::size_t at = details.find(" failed: ");
        if (at == std::string_view::npos || !unescape(details.substr(0, at), e.bytes) ||
            !unescape(details.substr(at + 9), e.why)) {
            why = "attempt: not \"ADDRESS failed: REASON\"";
            return false;
        }
        return true;
    }

    static bool detailsOf(Event& e, const Line& line, std::string& why) {
        using K = Event::Kind;
        switch (line.word) {
            case EventWord::kRecv:
                e.kind = K::kReceived;
                return readCounted(line.details, e.bytes, why);
            case EventWord::kSend:
                e.kind = K::kSent;
                return sent(e, line, why);
            case EventWord::kChunk:
                e.kind = K::kChunk;
                return chunk(e, line.details, why);
            case EventWord::kAttempt:
                e.kind = K::kAttemptFailed;
                return attempt(e, line.details, why);
            case EventWord::kConnected:
                e.kind = K::kConnected;
                break;
            case EventWord::kSendFailed:
                e.kind = K::kSendFailed;
                break;
            case EventWord::kEof:
                e.kind = K::kEof;
                break;
            default:
                e.kind = K::kNote;
                break;
        }
        if (!unescape(line.details, e.bytes)) {
            why = "a \"<\" that starts no <XX> escape";
            return false;
        }
        return true;
    }

    static bool event(Session& s, const Line& line, std::string& why) {
        if (line.word == EventWord::kOpen) return open(s, line.details, why);
        Event e;
        e.us = line.us;
        e.line = line.number;
        if (!detailsOf(e, line, why)) return false;
        if (e.kind == Event::Kind::kNote && line.word != EventWord::kError)
            e.bytes = std::string(eventWord(line.word)) + " " + e.bytes;
        s.events.push_back(std::move(e));
        return true;
    }

    static bool end(Session& s, const Line& line, std::string& why) {
        std::string_view details = line.details;
        if (!readNumber(takeField(details), s.result)) {
            why = "no result number";
            return false;
        }
        if (line.word == EventWord::kResult) {
            s.ending = olderEnding(s, s.result);
            if (s.ending == Ending::kCut) {
                why = "unknown result " + std::to_string(s.result);
                return false;
            }
            return true;
        }
        std::string_view word = takeField(details);
        if (!word.empty() && word.back() == ':') word.remove_suffix(1);
        if (!findEnding(word, s.ending) || s.ending == Ending::kCut) {
            why = "end: unknown way to end \"" + escaped(word) + "\"";
            return false;
        }
        return true;
    }

    Log& log_;
    std::map<std::string, std::size_t> open_;  // identifier: index of a session not yet ended
};

}  // namespace

const Event* Session::connection() const {
    for (const Event& e : events)
        if (e.kind == Event::Kind::kConnected) return &e;
    return nullptr;
}

bool isLogLine(std::string_view line) {
    Line fields;
    std::string why;
    return splitLine(line, fields, why);
}

bool readLog(std::string_view text, Log& log, std::string& error) {
    log = Log();
    Reader reader(log);
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view lineText = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!lineText.empty() && lineText.back() == '\r') lineText.remove_suffix(1);
        if (lineText.empty()) continue;
        Line line;
        line.number = number;
        std::string why;
        if (!splitLine(lineText, line, why) || !reader.add(line, why)) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    reader.finish();
    if (log.sessions.empty()) {
        error = "no session in it: not a session log";
        return false;
    }
    return true;
}

bool readLogFile(const std::string& path, Log& log, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot be read";
        return false;
    }
    return readLog(text.str(), log, error);
}

}  // namespace recording
