// Files as a program that writes reports sees them, for POSIX and Windows:
// what a path names and whether two names are one file, where a link finally
// points, creating a file that was not there, replacing a file at once, and
// cleaning up when interrupted.
//
//   qelt_file_info, qelt_stream_info  what a path or an open stream is, and its identity
//   qelt_final_path      the file a symbolic link finally names
//   qelt_create_new      a new file for writing, never one that exists
//   qelt_replace_file    a file renamed onto another, which it replaces
//   qelt_remove_now      removal that is safe inside an interrupt handler
//   qelt_on_interrupt    SIGINT, SIGTERM, SIGHUP (Ctrl-C, Ctrl-Break, closing the console),
//                        and SIGPIPE (the reader of a pipe has gone)
//   qelt_hold_interrupts an interrupt waits while a few renames complete
//   qelt_output_broken   a write failed because the reader has gone, no signal raised
//
// C linkage, errors as errno values (Windows' are mapped onto the nearest).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum QeltFileKind {
    QeltFileMissing,    // nothing by that name (or a directory on its way is missing)
    QeltFileRegular,    // a regular file
    QeltFileDirectory,  // a directory
    QeltFileDevice,  // written in place: a character or block device, a FIFO, a socket, a console
};

struct QeltFileInfo {
    int kind;  // a QeltFileKind
    // Equal for two names of one file (links, other paths); meaningful when it exists.
    uint64_t device;
    uint64_t inode;
    unsigned mode;  // permission bits (POSIX), 0 elsewhere
};

// What `path` names, symbolic links followed. 0, or the errno value of a
// failure other than the name being missing.
int qelt_file_info(const char* path, struct QeltFileInfo* info);
// The same for an open stream (standard input, say).
int qelt_stream_info(FILE* stream, struct QeltFileInfo* info);

// The path that `path` finally names once its symbolic links are followed
// (the path itself when it is none), into `out` of `size` bytes. A relative
// link is taken from the directory of the link. 0, or an errno value (ELOOP,
// ENAMETOOLONG).
int qelt_final_path(const char* path, char* out, size_t size);

// Creates `path` for writing in binary mode; fails (null, errno EEXIST) when
// anything of that name exists. `mode` gives the permission bits (POSIX; 0:
// the usual ones, less the umask).
FILE* qelt_create_new(const char* path, unsigned mode);

// Renames `from` onto `to`, replacing `to` in one step where the platform can.
// 0, or an errno value.
int qelt_replace_file(const char* from, const char* to);

// Removes the file `path`; safe to call from an interrupt handler.
void qelt_remove_now(const char* path);

// On SIGINT, SIGTERM or SIGHUP (on Windows Ctrl-C, Ctrl-Break or the console
// closing), and on SIGPIPE (a write to a pipe or socket whose reader has
// gone: `prog | head -1`), calls `cleanup` (which may only call what is safe
// in a signal handler) and then ends the process as the signal would have (a
// shell sees 130 for SIGINT, 141 for SIGPIPE). A signal ignored when the
// program started stays ignored: a broken pipe then shows as a failed write
// (qelt_output_broken), as it always does on Windows.
void qelt_on_interrupt(void (*cleanup)(void));
// While held (nonzero), an interrupt waits and is handled on release (POSIX;
// nothing on Windows).
void qelt_hold_interrupts(int hold);

// Whether a write to `stream` has failed because nothing reads it any more:
// a pipe or socket whose far end has gone (on Windows, a pipe whose write
// failed: no other cause makes one fail). 0 while no write failed, and for
// other failures (a full disk).
int qelt_output_broken(FILE* stream);

#ifdef __cplusplus
}
#endif
