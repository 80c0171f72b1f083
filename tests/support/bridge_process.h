// Starts a real qeltbridge process for a test, reads the port it listens on,
// and stops it. Reusable by any test that needs a live bridge: construct with
// the executable and arguments, start(), connect to host()/port(), stop().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace qelttest {

class BridgeProcess {
  public:
    // `executable`: path of qeltbridge; `args`: its options (without argv[0]).
    // "--listen 127.0.0.1:0" is added unless args already hold --listen.
    BridgeProcess(std::string executable, std::vector<std::string> args);
    ~BridgeProcess();  // kills (SIGKILL) and reaps a process still running
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    // Launches the process and waits for its "listening on ADDR:PORT" line.
    // False, with `error` set (and the process's log in it), on failure.
    bool start(std::string& error,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    const std::string& host() const { return host_; }  // without brackets
    uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }  // as printed

    // Reads the next line the process prints on standard output (e.g. the
    // "listening on" line after a reboot). False on time-out or end of output.
    bool readLine(std::string& line, std::chrono::milliseconds timeout);

    // Sends `signal` and waits for the exit. Returns the exit status (0-255),
    // 128 + signal number if killed by a signal, or -1 if it did not end in time.
    int stop(int signal, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    // Waits for the process to end by itself; the same results as stop().
    int wait(std::chrono::milliseconds timeout);

    // Everything the process wrote on standard error so far.
    std::string log() const { return process_.errors(); }

    pid_t pid() const { return process_.pid(); }

  private:
    ChildProcess process_;
    int stdoutFd_ = -1;
    std::string stdoutBuffer_;
    std::string host_;
    std::string address_;
    uint16_t port_ = 0;
};

}  // namespace qelttest
