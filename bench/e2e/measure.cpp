// qelt_measure: runs a command with its standard output discarded and prints
// one line "status=S wall_ms=W cpu_ms=C maxrss_kb=M": the exit status, the wall
// time, the processor time (user and system) and the peak resident memory of that process alone
// (wait4 rusage), so the benchmark scripts need no external time program.
//   qelt_measure COMMAND [ARG...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qelt_measure COMMAND [ARG...]\n");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "qelt_measure: cannot start %s: %s\n", argv[1], std::strerror(rc));
        return 2;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("qelt_measure: wait4");
            return 2;
        }
    }
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double cpuMs =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    std::printf("status=%d wall_ms=%.1f cpu_ms=%.1f maxrss_kb=%ld\n", exitStatus,
                static_cast<double>(wall.count()) / 1000.0, cpuMs, usage.ru_maxrss);
    return 0;
}
