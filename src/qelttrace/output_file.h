// An output file written beside its target under a temporary name and renamed
// onto it only once complete, so that nothing half-written is ever left under
// the target's name. "-" is standard output.
#pragma once

#include <cstdio>
#include <string>

namespace qelttrace {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file beside `target`; false with `error` set.
    bool open(const std::string& target, std::string& error);
    FILE* stream() const { return file_; }
    // Flushes, closes and renames onto the target; false with `error` set
    // (the temporary file is removed then).
    bool commit(std::string& error);
    // Removes the temporary file (also done by the destructor if not committed).
    void discard();

  private:
    std::string target_;
    std::string temporary_;
    FILE* file_ = nullptr;
    bool isStdout_ = false;
};

}  // namespace qelttrace
