#include "bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qelttest {

using Clock = std::chrono::steady_clock;

BridgeProcess::BridgeProcess(std::string executable, std::vector<std::string> args)
    : executable_(std::move(executable)), args_(std::move(args)) {
    bool hasListen = false;
    for (const auto& a : args_)
        if (a == "--listen" || a.rfind("--listen=", 0) == 0) hasListen = true;
    if (!hasListen) {
        args_.push_back("--listen");
        args_.push_back("127.0.0.1:0");
    }
}

BridgeProcess::~BridgeProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    if (!logPath_.empty()) ::unlink(logPath_.c_str());
}

bool BridgeProcess::start(std::string& error, std::chrono::milliseconds timeout) {
    char logTemplate[] = "/tmp/qeltbridge-test-XXXXXX";
    const int logFd = ::mkstemp(logTemplate);
    if (logFd < 0) {
        error = std::string("mkstemp: ") + std::strerror(errno);
        return false;
    }
    ::close(logFd);
    logPath_ = logTemplate;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    // Only the three standard streams: descriptors the test runner or the test
    // left open must not keep pipes alive or skew a count of the child's own.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<std::string> argvStrings;
    argvStrings.push_back(executable_);
    argvStrings.insert(argvStrings.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int rc =
        ::posix_spawn(&pid_, executable_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    stdoutFd_ = pipeFds[0];
    if (rc != 0) {
        pid_ = -1;
        error = "cannot start " + executable_ + ": " + std::strerror(rc);
        return false;
    }

    std::string line;
    if (!readLine(line, timeout) || line.rfind("listening on ", 0) != 0) {
        error = "no \"listening on\" line (got \"" + line + "\"); log:\n" + log();
        return false;
    }
    address_ = line.substr(std::strlen("listening on "));
    const auto colon = address_.rfind(':');
    host_ = address_.substr(0, colon);
    if (!host_.empty() && host_.front() == '[') host_ = host_.substr(1, host_.size() - 2);
    char* end = nullptr;
    const long port =
        colon == std::string::npos ? 0 : std::strtol(address_.c_str() + colon + 1, &end, 10);
    if (port < 1 || port > 65535 || *end != '\0') {
        error = "no port in \"" + line + "\"";
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    return true;
}

bool BridgeProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = stdoutBuffer_.find('\n');
        if (newline != std::string::npos) {
            line = stdoutBuffer_.substr(0, newline);
            stdoutBuffer_.erase(0, newline + 1);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{stdoutFd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[512];
        const ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
        if (got <= 0) return false;
        stdoutBuffer_.append(buffer, static_cast<std::size_t>(got));
    }
}

int BridgeProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    return wait(timeout);
}

int BridgeProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string BridgeProcess::log() const {
    std::ifstream in(logPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace qelttest
