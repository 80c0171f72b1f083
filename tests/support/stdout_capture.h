// What the code under test prints on standard output, captured in-process:
// descriptor 1 goes to a temporary file for the life of the capture, so that
// printf, puts and fwrite alike land there. dup, dup2, fileno and tmpfile go
// by these names on every platform the tests build for (MinGW's C library
// too), so the capture works natively and under Wine alike.
//
//   qelttest::StdoutCapture out;
//   ... code that prints ...
//   EXPECT_EQ(out.finish(), "the bytes printed");
#pragma once

#include <cstdio>
#include <string>

namespace qelttest {

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();  // restores standard output unless finish() did
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // False when no temporary file could be made: nothing is captured then.
    bool ok() const { return ok_; }

    // Restores standard output and returns everything printed since the
    // capture began; later calls return the same bytes.
    std::string finish();

  private:
    bool ok_ = false;
    int saved_ = -1;
    std::FILE* file_ = nullptr;
    std::string text_;
};

}  // namespace qelttest
