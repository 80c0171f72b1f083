#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qelttest {

namespace {

using Clock = std::chrono::steady_clock;

// Variables that steer the tool or the library: a test states them or has none.
const char* const kToolVariables[] = {"BRIDGE_CURRENT_IP_ADDRESS", "QELT_BRIDGE_TOOLS",
                                      "PROBELINK_LOG"};

std::string variableName(const char* entry) {
    const char* equals = std::strchr(entry, '=');
    return equals ? std::string(entry, static_cast<std::size_t>(equals - entry)) : entry;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::vector<std::pair<std::string, std::string>> setEnv)
    : argv_(std::move(argv)), setEnv_(std::move(setEnv)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!outPath_.empty()) ::unlink(outPath_.c_str());
}

bool ChildProcess::start(std::string& error, bool stderrToo) {
    char outTemplate[] = "/tmp/qelt-e2e-out-XXXXXX";
    const int outFd = ::mkstemp(outTemplate);
    if (outFd < 0) {
        error = std::string("mkstemp: ") + std::strerror(errno);
        return false;
    }
    ::close(outFd);
    outPath_ = outTemplate;

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string name = variableName(*e);
        bool drop = false;
        for (const char* tool : kToolVariables) drop = drop || name == tool;
        for (const auto& kv : setEnv_) drop = drop || name == kv.first;
        if (!drop) envStrings.emplace_back(*e);
    }
    for (const auto& kv : setEnv_) envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = argv_;
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    if (stderrToo) posix_spawn_file_actions_adddup2(&actions, 1, 2);
    for (const auto& r : redirects_) posix_spawn_file_actions_adddup2(&actions, r.second, r.first);
    // Only the three standard streams: descriptors the test runner or the test
    // left open must not keep pipes alive or skew a count of the child's own.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    started_ = Clock::now();
    const int rc =
        ::posix_spawn(&pid_, argStrings[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        error = "cannot start " + argStrings[0] + ": " + std::strerror(rc);
        return false;
    }
    return true;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const auto deadline = started_ + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            elapsed_ =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            elapsed_ =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::output() const {
    std::ifstream in(outPath_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int runChild(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& setEnv, std::string& output,
             std::chrono::milliseconds timeout, std::chrono::milliseconds* elapsed) {
    ChildProcess child(argv, setEnv);
    std::string error;
    if (!child.start(error)) {
        output = error;
        return -2;
    }
    const int status = child.wait(timeout);
    output = child.output();
    if (elapsed) *elapsed = child.elapsed();
    return status;
}

}  // namespace qelttest
