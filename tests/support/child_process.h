// Runs a program as a child process for a test: arguments, a controlled
// environment, standard output captured in a file, the exit status and the
// wall time. Many children may run at once (start() them all, then wait()).
//
//   qelttest::ChildProcess tool({"/path/qelttelnet", "127.0.0.1:2323"}, {{"X", "1"}});
//   tool.start(error);  const int status = tool.wait(seconds(30));  tool.output();
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace qelttest {

class ChildProcess {
  public:
    // `argv[0]` is the program's path. `setEnv` adds or replaces variables;
    // `unsetEnv` removes them. Variables the tool reads are never inherited by
    // accident: BRIDGE_CURRENT_IP_ADDRESS, QELT_BRIDGE_TOOLS and PROBELINK_LOG
    // are removed unless `setEnv` names them.
    explicit ChildProcess(std::vector<std::string> argv,
                          std::vector<std::pair<std::string, std::string>> setEnv = {});
    ~ChildProcess();  // kills (SIGKILL) and reaps a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Gives the child `fd` as its descriptor `childFd` (1 or 2) in place of the
    // captured output or the inherited standard error, e.g. a terminal. Call
    // before start(); the caller keeps `fd`.
    void redirect(int childFd, int fd) { redirects_.emplace_back(childFd, fd); }

    // Starts the child with standard output (and, when `stderrToo`, standard
    // error) in a temporary file and standard input from /dev/null.
    bool start(std::string& error, bool stderrToo = false);

    // Waits for the end. Returns the exit status (0-255), 128 + signal number
    // when killed by a signal, or -1 when it did not end in time (the child is
    // then killed, so a hanging tool fails the test instead of hanging it).
    int wait(std::chrono::milliseconds timeout);

    // Everything the child wrote to standard output (after wait()).
    std::string output() const;
    // Wall time from start() to the end seen by wait().
    std::chrono::milliseconds elapsed() const { return elapsed_; }
    pid_t pid() const { return pid_; }

  private:
    std::vector<std::string> argv_;
    std::vector<std::pair<std::string, std::string>> setEnv_;
    std::vector<std::pair<int, int>> redirects_;
    pid_t pid_ = -1;
    std::string outPath_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::milliseconds elapsed_{0};
};

// Starts the child, waits (killing it after `timeout`) and returns the status
// as wait() does; -2 when it could not start. `output` gets its standard output.
int runChild(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& setEnv, std::string& output,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(60000),
             std::chrono::milliseconds* elapsed = nullptr);

}  // namespace qelttest
