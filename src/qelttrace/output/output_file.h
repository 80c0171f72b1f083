// The files qelttrace writes its reports to, written so that they never harm
// what is there:
//   "-"                standard output;
//   a device or FIFO   opened and written in place, as a shell redirection
//                      does (/dev/null discards, a FIFO feeds its reader);
//   a directory        an error;
//   a regular file     (or a new name, or a symbolic link to either: the file
//                      it finally names) written beside itself under a
//                      temporary name and renamed onto it once complete, so
//                      that nothing half-written is ever left under its name;
//                      an existing file is replaced only when it is empty or
//                      holds what this output writes (its first bytes), so a
//                      trace named by mistake is never overwritten.
// A target that is one of the inputs is refused before anything is written.
// Interrupted, the process removes its temporary files and leaves the
// targets as they were.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace qelttrace {

class OutputTarget {
  public:
    OutputTarget() = default;
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // Prepares writing to `target` for the option `option` ("--html"), whose
    // output begins with `signature`. False with `error` set.
    bool open(const std::string& option, const std::string& target, std::string_view signature,
              std::string& error);
    FILE* stream() const { return file_; }
    // Flushes and closes, and renames a temporary file onto its target. False
    // with `error` set; the temporary file is removed then. Nothing to do
    // once discarded.
    bool commit(std::string& error);
    // Removes the temporary file without touching the target.
    void discard();
    // Whether the output goes to a temporary file that commit() renames.
    bool replaces() const { return !temporary_.empty(); }
    const std::string& name() const { return target_; }

  private:
    std::string target_;     // as named
    std::string final_;      // the file a link finally names
    std::string temporary_;  // beside final_, registered for interrupts
    FILE* file_ = nullptr;
    bool standardOutput_ = false;
};

// The reason a target is one of the inputs or names the same file as another
// target ("" when none is): every existing target against every input (the
// same file by any name or link; "-" is standard input) and the targets
// against each other.
std::string targetClash(const std::vector<std::string>& inputs,
                        const std::vector<std::pair<std::string, std::string>>& targets);

// Removes the temporary files on an interrupt (installed once).
void removeTemporariesOnInterrupt();

}  // namespace qelttrace
