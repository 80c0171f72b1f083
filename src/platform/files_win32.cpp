#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/files.h"

namespace {

void (*interruptCleanup)(void) = nullptr;

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

int fromHandle(HANDLE handle, QeltFileInfo* info) {
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
        info->kind = QeltFileDevice;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(handle, &data)) return errnoOf(GetLastError());
    info->kind =
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? QeltFileDirectory : QeltFileRegular;
    info->device = data.dwVolumeSerialNumber;
    info->inode = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return 0;
}

BOOL WINAPI onInterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        if (interruptCleanup) interruptCleanup();
    }
    // The default handler then ends the process as Ctrl-C does.
    return FALSE;
}

}  // namespace

int qelt_file_info(const char* path, QeltFileInfo* info) {
    memset(info, 0, sizeof *info);
    const HANDLE handle =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            info->kind = QeltFileMissing;
            return 0;
        }
        return errnoOf(error);
    }
    const int result = fromHandle(handle, info);
    CloseHandle(handle);
    return result;
}

int qelt_stream_info(FILE* stream, QeltFileInfo* info) {
    memset(info, 0, sizeof *info);
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    if (handle == -1) return EBADF;
    return fromHandle(reinterpret_cast<HANDLE>(handle), info);
}

int qelt_final_path(const char* path, char* out, size_t size) {
    // Windows' own links are followed by the file system calls themselves.
    const size_t length = strlen(path);
    if (length + 1 > size) return ENAMETOOLONG;
    memcpy(out, path, length + 1);
    return 0;
}

FILE* qelt_create_new(const char* path, unsigned mode) {
    (void)mode;
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (!file) {
        _close(fd);
        DeleteFileA(path);
    }
    return file;
}

int qelt_replace_file(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return errnoOf(GetLastError());
}

void qelt_remove_now(const char* path) {
    DeleteFileA(path);
}

void qelt_on_interrupt(void (*cleanup)(void)) {
    interruptCleanup = cleanup;
    SetConsoleCtrlHandler(onInterrupt, TRUE);
}

void qelt_hold_interrupts(int hold) {
    (void)hold;
}

int qelt_output_broken(FILE* stream) {
    if (!ferror(stream)) return 0;
    // The write end of a pipe cannot be asked whether its reader is there
    // (PeekNamedPipe wants a reading handle); a write to a pipe fails for no
    // other reason.
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_PIPE;
}
