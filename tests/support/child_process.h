// Runs a program as a child process for a test: arguments, a controlled
// environment, standard input from given bytes or /dev/null, standard output
// (and standard error, when asked) captured in files, the exit status and the
// wall time. Many children may run at once (start() them all, then wait());
// runProgram() and runToEnd() do all of it for one run.
//
//   qelttest::ChildProcess tool({"/path/qelttelnet", "127.0.0.1:2323"}, {{"X", "1"}});
//   tool.start(error);  const int status = tool.wait(seconds(30));  tool.output();
//   const qelttest::ToolRun run = qelttest::runProgram({"/path/qelttrace", "dump.txt"});
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qelttest {

class TempFile;

using Env = std::vector<std::pair<std::string, std::string>>;

// Where a child's standard error goes.
enum class StandardError {
    kInherited,   // the test's own
    kIntoOutput,  // the file of standard output, interleaved with it
    kOwnFile,     // a file of its own (ChildProcess::errors())
};

class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // `argv[0]` is the program's path. `setEnv` adds or replaces variables.
    // Variables that steer the tool, the library or their doubles are never
    // inherited by accident: BRIDGE_CURRENT_IP_ADDRESS and every QELT_... and
    // PROBELINK_... variable are removed unless `setEnv` names them.
    explicit ChildProcess(std::vector<std::string> argv, Env setEnv = {});
    ~ChildProcess();  // kills (SIGKILL) and reaps a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Gives the child `fd` as its descriptor `childFd` (0, 1 or 2) in place of
    // its standard input, the captured output or standard error, e.g. a
    // terminal or a pipe. Call before start(); the caller keeps `fd`.
    void redirect(int childFd, int fd) { redirects_.emplace_back(childFd, fd); }
    // Standard input from `bytes` instead of /dev/null. Call before start().
    void input(std::string bytes);

    // Starts the child with standard output in a temporary file and standard
    // error where `errors` says. False, with `error` set, when it cannot.
    bool start(std::string& error, StandardError errors = StandardError::kInherited);

    // Waits for the end, at most `timeout` after start(). Returns the exit
    // status (0-255), 128 + signal number when killed by a signal, or -1 when
    // it did not end in time (the child is then killed, so a hanging tool
    // fails the test instead of hanging it).
    int wait(std::chrono::milliseconds timeout);
    // Waits for the end until `deadline`; the same results as wait(), but a
    // child still running then is left running when `killWhenLate` is false.
    int waitUntil(Clock::time_point deadline, bool killWhenLate);
    // Sends `signal` to a child still running.
    void signal(int signal);

    // True once wait() saw the child end by exit (not by a signal or time-out).
    bool exited() const { return exited_; }
    // Everything the child wrote to standard output (after wait()).
    std::string output() const;
    // Everything it wrote so far to standard error, with StandardError::kOwnFile.
    std::string errors() const;
    // Wall time from start() to the end seen by wait().
    std::chrono::milliseconds elapsed() const { return elapsed_; }
    pid_t pid() const { return pid_; }

  private:
    void reaped();  // the end seen: the wall time taken, no child left

    std::vector<std::string> argv_;
    Env setEnv_;
    std::vector<std::pair<int, int>> redirects_;
    std::optional<std::string> input_;
    pid_t pid_ = -1;
    std::unique_ptr<TempFile> in_, out_, err_;
    Clock::time_point started_;
    std::chrono::milliseconds elapsed_{0};
    bool exited_ = false;
};

// One run of a program to its end, as the tests judge it.
struct ToolRun {
    int status = -1;      // as ChildProcess::wait; -2 when it could not start
    bool exited = false;  // it ended by exit, not by a signal or the limit
    std::string out;      // standard output
    std::string err;      // standard error, when it had a file of its own
    std::chrono::milliseconds elapsed{0};
};

// Starts `child`, waits at most `limit` (then kills it) and collects what it
// wrote. A child that cannot start fails the test (status -2).
ToolRun runToEnd(ChildProcess& child, std::chrono::milliseconds limit,
                 StandardError errors = StandardError::kInherited);

// Runs `argv` with `env` as runToEnd does.
ToolRun runProgram(const std::vector<std::string>& argv, const Env& env = {},
                   std::chrono::milliseconds limit = std::chrono::milliseconds(60000),
                   StandardError errors = StandardError::kInherited);

// How many descriptors process `pid` holds open (from /proc), -1 if unknown.
int descriptorsOf(pid_t pid);

}  // namespace qelttest
