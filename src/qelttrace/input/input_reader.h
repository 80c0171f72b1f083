// The inputs of qelttrace and how each becomes the record stream.
//
// Four kinds, told apart per file from its first block:
//   dump      the bridge's lines as saved (prompts and DUMP_RESULT= lines may
//             be in it, a prompt glued to the line after it);
//   capture   what `qelttelnet -satatrace -raw` printed: each received line
//             and the line feed that puts added after it, the tool's own
//             "qelttelnet.exe: " lines around them;
//   decoded   what `qelttelnet -satatrace` printed: "TIME\tDELTA\tTEXT";
//   log       a session log of the library (PROBELINK_LOG): the bytes its
//             trace sessions received.
// Each file is read as its content says first: decompressed (gzip, zstd),
// its byte-order mark dropped, UTF-16 made UTF-8 (byte_source.h); the kind is
// told from what that gives. Dumps, captures and logs go through the live
// path (live_path_reader.h); decoded output is read back into records
// (decoded_reader.h). Files join as cat joins them: one
// stream, the records numbered through it. The trace sessions of a log are
// runs of the tool each, joined to nothing: each is decoded afresh and closed
// by its span, as the tool printed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "input/byte_source.h"
#include "input/decoded_reader.h"
#include "input/live_path_reader.h"
#include "input/record.h"
#include "stages.h"

namespace qelttrace {

enum class InputKind { kDump, kCapture, kDecoded, kSessionLog };

// The kind of a file from its first bytes (`head`, the first block read).
// A session log's first line that is not empty is a log line (either form).
// Decoded output needs its first line that is neither empty, nor a banner, nor
// a tool message to be "TIME\tDELTA\t..." or a span "\tTIME": a dump line has
// a blank after its time, never a TAB. A capture shows the tool's messages or
// the extra line feed after a line that ends in CR LF.
InputKind detectKind(std::string_view head);

// Numbers the records of all inputs in turn, computes their times in
// nanoseconds and whether they tell of trouble (when a filter or an output
// asks), counts what each file held, and hands them on.
class RecordCounter {
  public:
    RecordCounter(RecordSink& next, bool trouble) : next_(next), trouble_(trouble) {}
    void banner(const char* text) { next_.banner(text); }
    void span(const DBGTime& span) { next_.span(span); }
    void record(Record& record);
    // A line of the input that holds more than a line end (a chunk of a dump
    // or capture, a line of decoded output): for telling a trace from
    // something else.
    void line() { ++lines_; }
    std::uint64_t timed() const { return timed_; }  // records whose timestamp holds a digit
    std::uint64_t lines() const { return lines_; }

  private:
    RecordSink& next_;
    bool trouble_;
    std::uint64_t records_ = 0;
    std::uint64_t timed_ = 0;
    std::uint64_t lines_ = 0;
};

class InputReader {
  public:
    // `diagnostics` receives the reasons of unreadable files and the warnings
    // about inputs that are empty or look like no trace. `trouble`: whether the records'
    // `trouble` is wanted (it is false otherwise).
    InputReader(RecordSink& sink, FILE* diagnostics, bool trouble);
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // Streams one named input ("-" is standard input), decompressed and
    // transcoded as its content says (byte_source.h). Returns false after
    // reporting "qelttrace: NAME: REASON" (what was read before a failure is
    // decoded), or when stopped. An input that holds nothing gets a warning.
    bool read(const std::string& name);
    // The same for bytes at hand, as if read from a file named `name`.
    bool feedFile(const std::string& name, const char* data, std::size_t size);
    // The end of all inputs: a last line without its line end still counts.
    void finish();
    // Reading ends, silently, once `stop` says so (asked once a block): for a
    // run whose output has nowhere to go.
    void stopWhen(std::function<bool()> stop) { stop_ = std::move(stop); }
    // The named inputs one after another as one stream (read), then its end
    // (finish), unless `stop` ended the reading (stopWhen; also asked between
    // inputs). Like cat, an input that cannot be read does not stop the
    // others: false when one could not be read to its end.
    bool readAll(const std::vector<std::string>& names, std::function<bool()> stop);

  private:
    bool readFrom(const std::string& shown, ByteSource& source);
    void startFile(const std::string& shown, std::string_view head);
    void feed(const char* data, std::size_t size);
    // False when the file was a session log that does not read.
    bool endFile();
    bool replaySessions();
    // A file that is no log does not join the last trace session of a log.
    void closeSessionRun();
    void warnIfNoTrace();

    RecordSink& sink_;
    FILE* diagnostics_;
    RecordCounter counter_;
    LivePathReader livePath_;
    DecodedReader decoded_;
    std::vector<char> buffer_;
    std::function<bool()> stop_;
    bool decodedNow_ = false;
    bool logNow_ = false;
    bool decodedRead_ = false;
    // A run of the tool is open, to be closed by its span: a dump or capture
    // was read, or a log's trace session (which no later file joins).
    bool runOpen_ = false;
    bool sessionRunOpen_ = false;
    std::string logText_;  // the session log being read, whole: its sessions interleave

    // What the file being read held, for the warning.
    std::string shown_;
    std::uint64_t nuls_ = 0, timedBefore_ = 0, linesBefore_ = 0;
    bool checkPending_ = false;
};

}  // namespace qelttrace
