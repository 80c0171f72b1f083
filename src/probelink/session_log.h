// The readable session log, kept when the environment variable PROBELINK_LOG
// names a file: one line per event, appended, in the format of
// recording/log_format.h, which is also what `qeltbridge --replay` plays back.
// A session's lines run from "start" to "end"; between them every connection
// attempt, the bytes each way as they travelled (the password line masked),
// the chunks the dialog got, and notes on what went wrong.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "recording/log_format.h"

namespace probelink {

class SessionLog {
  public:
    using Event = recording::EventWord;

    // The log named by PROBELINK_LOG, or null when it is unset, empty or cannot
    // be opened (a session never fails for want of its log). Each one takes the
    // process's next session number, which with the process id names it.
    static std::unique_ptr<SessionLog> openFromEnvironment();
    // Writes what is still kept back.
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // "EVENT TEXT": the text written escaped, nothing after the event when empty.
    void note(Event event, const std::string& text);
    // "recv N BYTES" or "send N BYTES".
    void bytes(Event event, const void* data, std::size_t length);
    // "send N ******** <password line>".
    void maskedLine(std::size_t length);
    // "attempt ADDRESS failed: REASON".
    void attempt(const std::string& address, const std::string& why);
    // "chunk peek=P len=N TEXT". Kept back until the next line of another
    // event (or the end): the chunks of a dump page cost one write, not one
    // each, and the bytes they came from are written at once anyway.
    void chunk(const char* text, int length, int peek);
    // "end RESULT HOW: TEXT", the session's last line.
    void end(int result, recording::Ending ending);

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    SessionLog(std::FILE* file, std::uint64_t number);
    void begin(Event event);
    // Ends the line; `now` writes it with every line kept back before it.
    void finish(bool now = true);

    std::unique_ptr<std::FILE, FileCloser> file_;
    std::string id_;
    std::string line_;
};

}  // namespace probelink
