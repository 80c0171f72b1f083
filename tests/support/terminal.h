// A pseudo-terminal for a child process: the child gets its terminal side
// (as standard input, output or error), and what it shows there is read as it
// comes (a full terminal would stop the child). POSIX only.
#pragma once

#include <string>
#include <thread>

namespace qelttest {

class Terminal {
  public:
    Terminal();
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    bool ok() const { return terminal_ >= 0; }
    int terminal() const { return terminal_; }
    // Everything shown, once every child holding the terminal side has ended.
    std::string shown();

  private:
    void closeTerminal();
    // Ends when the last terminal side closes (read fails with EIO).
    void readAll();

    int master_ = -1;
    int terminal_ = -1;
    std::thread reader_;
    std::string shown_;
};

}  // namespace qelttest
