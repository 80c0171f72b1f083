#include "support/bridge_process.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qelttest {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> commandLine(std::string executable, std::vector<std::string> args) {
    bool hasListen = false;
    for (const auto& a : args)
        if (a == "--listen" || a.rfind("--listen=", 0) == 0) hasListen = true;
    if (!hasListen) {
        args.push_back("--listen");
        args.push_back("127.0.0.1:0");
    }
    args.insert(args.begin(), std::move(executable));
    return args;
}

}  // namespace

BridgeProcess::BridgeProcess(std::string executable, std::vector<std::string> args)
    : process_(commandLine(std::move(executable), std::move(args))) {}

BridgeProcess::~BridgeProcess() {
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

bool BridgeProcess::start(std::string& error, std::chrono::milliseconds timeout) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    process_.redirect(1, pipeFds[1]);
    const bool started = process_.start(error, StandardError::kOwnFile);
    ::close(pipeFds[1]);
    stdoutFd_ = pipeFds[0];
    if (!started) return false;

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
    if (process_.pid() <= 0) return -1;
    process_.signal(signal);
    return wait(timeout);
}

int BridgeProcess::wait(std::chrono::milliseconds timeout) {
    return process_.waitUntil(Clock::now() + timeout, false);
}

}  // namespace qelttest
