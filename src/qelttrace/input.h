// The inputs of qelttrace and how each becomes the record stream.
//
// Three kinds, told apart per file from its first block:
//   dump      the bridge's lines as saved (prompts and DUMP_RESULT= lines may
//             be in it, a prompt glued to the line after it);
//   capture   what `qelttelnet -satatrace -raw` printed: each received line
//             and the line feed that puts added after it, the tool's own
//             "qelttelnet.exe: " lines around them;
//   decoded   what `qelttelnet -satatrace` printed: "TIME\tDELTA\tTEXT".
// Dumps and captures replay the live path (the library's chunks, the dialog's
// trace rule, the formatter); decoded output is read back into records.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "record.h"

namespace qelttrace {

enum class InputKind { kDump, kCapture, kDecoded };

// The kind of a file from its first bytes (`head`, the first block read).
// Decoded output needs its first line that is neither empty, nor a banner, nor
// a tool message to be "TIME\tDELTA\t..." or a span "\tTIME": a dump line has
// a blank after its time, never a TAB. A capture shows the tool's messages or
// the extra line feed after a line that ends in CR LF.
InputKind detectKind(std::string_view head);

// True when `line` (without its "\n") is a decoded record or span line.
bool isDecodedLine(std::string_view line);

// Reads the inputs in order as one stream, as cat joins files, into `sink`.
class InputReader {
  public:
    explicit InputReader(Sink& sink);
    ~InputReader();
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // Streams one named input ("-" is standard input). Returns false after
    // reporting "qelttrace: NAME: REASON" on standard error.
    bool read(const std::string& name);
    // The end of all inputs: a last line without its line end still counts.
    void finish();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qelttrace
