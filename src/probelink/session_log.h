// The readable session log, kept when the environment variable PROBELINK_LOG
// names a file. One line per event, appended:
//
//   2026-12-08T16:26:12.123Z 0x55d0c7a8e2a0 recv 9 login: <FF><F9>
//
// the UTC time, the session (an identifier unique among the sessions running at
// once), the event and its details. Received and sent bytes appear as they
// travel, non-printing ones and "<" as <XX> in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace probelink {

class SessionLog {
  public:
    // The log named by PROBELINK_LOG, or null when it is unset, empty or cannot
    // be opened (a session never fails for want of its log).
    static std::unique_ptr<SessionLog> openFromEnvironment(const void* sessionId);

    // "EVENT TEXT": a free-form note (the text is written as given, escaped).
    void note(const char* event, const std::string& text);
    // "EVENT N BYTES": bytes received or sent.
    void bytes(const char* event, const void* data, std::size_t length);
    // "chunk peek=P len=N TEXT".
    void chunk(const char* text, int length, int peek);

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    SessionLog(std::FILE* file, const void* sessionId);
    void begin(const char* event);
    void appendEscaped(const void* data, std::size_t length);
    void finish();

    std::unique_ptr<std::FILE, FileCloser> file_;
    std::string id_;
    std::string line_;
};

}  // namespace probelink
