// Files for tests: a whole file read as bytes, and a temporary file or
// directory that is removed with its object. POSIX only.
#pragma once

#include <string>

namespace qelttest {

// Every byte of the file at `path`, as it is; "" when it cannot be read.
std::string readFile(const std::string& path);

// A new file /tmp/PREFIX-XXXXXX holding `content`, removed by the destructor.
class TempFile {
  public:
    explicit TempFile(const std::string& prefix, const std::string& content = {});
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // False when the file could not be made or `content` not written whole.
    bool ok() const { return ok_; }
    // Why not, when !ok().
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    std::string read() const { return readFile(path_); }

  private:
    std::string path_;
    std::string error_;
    bool ok_ = false;
};

// A new directory /tmp/PREFIX-XXXXXX, removed with all it holds by the
// destructor.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // False when the directory could not be made.
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace qelttest
