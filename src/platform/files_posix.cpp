#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
void (*interruptCleanup)(void) = nullptr;

void fill(const struct stat& st, QeltFileInfo* info) {
    if (S_ISREG(st.st_mode)) {
        info->kind = QeltFileRegular;
    } else if (S_ISDIR(st.st_mode)) {
        info->kind = QeltFileDirectory;
    } else {
        info->kind = QeltFileDevice;
    }
    info->device = static_cast<uint64_t>(st.st_dev);
    info->inode = static_cast<uint64_t>(st.st_ino);
    info->mode = static_cast<unsigned>(st.st_mode & 07777);
}

void onInterrupt(int signal) {
    if (interruptCleanup) interruptCleanup();
    // As the signal would have ended the process: the shell sees it so.
    struct sigaction plain;
    memset(&plain, 0, sizeof plain);
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(signal, &plain, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
}

// Copies `text` of `length` to out[at...]; false when it does not fit.
bool put(char* out, size_t size, size_t* at, const char* text, size_t length) {
    if (*at + length >= size) return false;
    memcpy(out + *at, text, length);
    *at += length;
    out[*at] = '\0';
    return true;
}

}  // namespace

int qelt_file_info(const char* path, QeltFileInfo* info) {
    struct stat st;
    memset(info, 0, sizeof *info);
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            info->kind = QeltFileMissing;
            return 0;
        }
        return errno;
    }
    fill(st, info);
    return 0;
}

int qelt_stream_info(FILE* stream, QeltFileInfo* info) {
    struct stat st;
    memset(info, 0, sizeof *info);
    if (fstat(fileno(stream), &st) != 0) return errno;
    fill(st, info);
    return 0;
}

int qelt_final_path(const char* path, char* out, size_t size) {
    size_t at = 0;
    if (!put(out, size, &at, path, strlen(path))) return ENAMETOOLONG;
    // As the system follows links: at most 40 of them.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
        char link[4096];
        const ssize_t length = readlink(out, link, sizeof link - 1);
        if (length < 0) return errno;
        if (static_cast<size_t>(length) >= sizeof link - 1) return ENAMETOOLONG;
        link[length] = '\0';
        if (link[0] == '/') {
            at = 0;
        } else {
            // Relative to the link's own directory.
            const char* slash = strrchr(out, '/');
            at = slash ? static_cast<size_t>(slash - out) + 1 : 0;
        }
        out[at] = '\0';
        if (!put(out, size, &at, link, static_cast<size_t>(length))) return ENAMETOOLONG;
    }
    return ELOOP;
}

FILE* qelt_create_new(const char* path, unsigned mode) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        static_cast<mode_t>(mode ? mode : 0666));
    if (fd < 0) return nullptr;
    // The mode of the file it replaces, whatever the umask made of it.
    if (mode) fchmod(fd, static_cast<mode_t>(mode));
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        close(fd);
        unlink(path);
        errno = error;
    }
    return file;
}

int qelt_replace_file(const char* from, const char* to) {
    return rename(from, to) == 0 ? 0 : errno;
}

void qelt_remove_now(const char* path) {
    unlink(path);
}

void qelt_on_interrupt(void (*cleanup)(void)) {
    interruptCleanup = cleanup;
    for (const int signal : kInterrupts) {
        struct sigaction old;
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction handler;
        memset(&handler, 0, sizeof handler);
        handler.sa_handler = onInterrupt;
        sigemptyset(&handler.sa_mask);
        for (const int other : kInterrupts) sigaddset(&handler.sa_mask, other);
        sigaction(signal, &handler, nullptr);
    }
}

void qelt_hold_interrupts(int hold) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kInterrupts) sigaddset(&set, signal);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int qelt_output_broken(FILE* stream) {
    if (!ferror(stream)) return 0;
    // A pipe without readers, or a socket shut by its peer, polls as an error.
    struct pollfd watched;
    memset(&watched, 0, sizeof watched);
    watched.fd = fileno(stream);
    watched.events = POLLOUT;
    return poll(&watched, 1, 0) == 1 && (watched.revents & (POLLERR | POLLHUP)) != 0;
}
