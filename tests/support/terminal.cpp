#include "support/terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace qelttest {

Terminal::Terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name) terminal_ = open(name, O_RDWR | O_NOCTTY);
    if (terminal_ >= 0) reader_ = std::thread([this] { readAll(); });
}

Terminal::~Terminal() {
    closeTerminal();
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) close(master_);
}

std::string Terminal::shown() {
    closeTerminal();
    if (reader_.joinable()) reader_.join();
    return shown_;
}

void Terminal::closeTerminal() {
    if (terminal_ >= 0) close(terminal_);
    terminal_ = -1;
}

void Terminal::readAll() {
    char buffer[4096];
    for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0;)
        shown_.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace qelttest
