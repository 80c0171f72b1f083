#include "support/stdout_capture.h"

#include <unistd.h>

namespace qelttest {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    if (!file_) return;
    ok_ = true;
    saved_ = dup(fileno(stdout));
    dup2(fileno(file_), fileno(stdout));
}

StdoutCapture::~StdoutCapture() {
    finish();
}

std::string StdoutCapture::finish() {
    if (saved_ < 0) return text_;
    std::fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    saved_ = -1;
    std::rewind(file_);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text_.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text_;
}

}  // namespace qelttest
