#include "support/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "support/files.h"

extern char** environ;

namespace qelttest {

namespace {

// Variables that steer the tool, the library or the test doubles: a test
// states them or has none.
bool steersTheTool(const std::string& name) {
    return name == "BRIDGE_CURRENT_IP_ADDRESS" || name.rfind("QELT_", 0) == 0 ||
           name.rfind("PROBELINK_", 0) == 0;
}

std::string variableName(const char* entry) {
    const char* equals = std::strchr(entry, '=');
    return equals ? std::string(entry, static_cast<std::size_t>(equals - entry)) : entry;
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, Env setEnv)
    : argv_(std::move(argv)), setEnv_(std::move(setEnv)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) killAndReap(pid_);
}

void ChildProcess::input(std::string bytes) {
    input_ = std::move(bytes);
}

bool ChildProcess::start(std::string& error, StandardError errors) {
    out_ = std::make_unique<TempFile>("qelt-e2e-out");
    if (errors == StandardError::kOwnFile) err_ = std::make_unique<TempFile>("qelt-e2e-err");
    if (input_) in_ = std::make_unique<TempFile>("qelt-e2e-in", *input_);
    for (const auto* file : {out_.get(), err_.get(), in_.get()}) {
        if (file && !file->ok()) {
            error = file->error();
            return false;
        }
    }

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string name = variableName(*e);
        bool drop = steersTheTool(name);
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
    posix_spawn_file_actions_addopen(&actions, 0, in_ ? in_->path().c_str() : "/dev/null", O_RDONLY,
                                     0);
    posix_spawn_file_actions_addopen(&actions, 1, out_->path().c_str(), O_WRONLY | O_TRUNC, 0);
    if (errors == StandardError::kIntoOutput) posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (err_)
        posix_spawn_file_actions_addopen(&actions, 2, err_->path().c_str(), O_WRONLY | O_TRUNC, 0);
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
    return waitUntil(started_ + timeout, true);
}

int ChildProcess::waitUntil(Clock::time_point deadline, bool killWhenLate) {
    if (pid_ <= 0) return -1;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped();
            exited_ = WIFEXITED(status);
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (Clock::now() >= deadline) {
            if (!killWhenLate) return -1;
            killAndReap(pid_);
            reaped();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::reaped() {
    elapsed_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
    pid_ = -1;
}

void ChildProcess::signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

std::string ChildProcess::output() const {
    return out_ ? out_->read() : std::string();
}

std::string ChildProcess::errors() const {
    return err_ ? err_->read() : std::string();
}

ToolRun runToEnd(ChildProcess& child, std::chrono::milliseconds limit, StandardError errors) {
    ToolRun run;
    std::string error;
    if (!child.start(error, errors)) {
        ADD_FAILURE() << error;
        run.status = -2;
        run.out = error;
        return run;
    }
    run.status = child.wait(limit);
    run.exited = child.exited();
    run.out = child.output();
    run.err = child.errors();
    run.elapsed = child.elapsed();
    return run;
}

ToolRun runProgram(const std::vector<std::string>& argv, const Env& env,
                   std::chrono::milliseconds limit, StandardError errors) {
    ChildProcess child(argv, env);
    return runToEnd(child, limit, errors);
}

int descriptorsOf(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace qelttest
