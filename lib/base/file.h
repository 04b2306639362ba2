// file.h - file input and output as the library does it everywhere: small
// whole-file reads of /proc and /sys, writes that put out all of a text, and
// the descriptors the library keeps open inside the application.
//
// Everything here is open/read/write/fstat/fcntl with fixed caller buffers:
// no allocation, usable in a forked child before user code and on a thread's
// small stack. Interrupted calls are retried. Failures are returned as a
// negative errno value (base/errors.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

// The step of a whole-file read that failed, for messages that name it.
enum file_step { FILE_OPEN, FILE_READ };

// Reads the file at path (relative paths from dir_fd, or the current
// directory with AT_FDCWD) into buf: at most size - 1 bytes, NUL-terminated.
// The number of bytes read, or -errno; *failed (when given) tells whether
// the open or a read failed.
long read_small_file(int dir_fd, const char* path, char* buf, size_t size,
                     file_step* failed = nullptr);
long read_small_file(const char* path, char* buf, size_t size, file_step* failed = nullptr);
// As read_small_file, for a file whose whole text is one line ending in a
// newline (/proc/<pid>/comm): a read that ends with the newline ends the
// reading, without the further read that would only find the end of the file.
long read_small_line_file(const char* path, char* buf, size_t size, file_step* failed = nullptr);

// open(2) retried after interruptions; the descriptor or -errno.
int open_retry(const char* path, int flags, unsigned mode = 0);

// A file the library writes at a path the user named (the log, the error
// file): opened for appending with `flags` added, never through a symbolic
// link planted at the path and never blocking on a FIFO or a device; only a
// regular file is kept (anything else: -EINVAL). The descriptor, or -errno.
int open_append_regular(const char* path, int flags, unsigned mode);

// Writes all of text, retrying after interruptions and short writes. 0, or
// -errno when a write fails (-EIO when it writes nothing).
int write_all(int fd, const char* text, size_t len);

// Appends text at the end of the file with a single write (so that records
// of several writers never interleave inside one record). 0, or -errno.
int append_once(int fd, const char* text, size_t len);

// A descriptor the library keeps open in someone else's program (the launch
// log, the error file, the debug file). It is moved out of the low numbers
// the program expects its own opens to get back (0, 1, 2 above all), and the
// identity of its file is remembered, because the program may close it and
// open a file of its own under the same number: that file must never be
// written into. All fields are accessed atomically; a forked child inherits
// the descriptor with them.
struct kept_fd {
  int fd;  // -1 when closed
  uint64_t dev;
  uint64_t ino;
};

inline constexpr int kKeptFdFloor = 100;

// Moves fd to kKeptFdFloor or above (closing the original); fd itself when
// the descriptor limit does not allow it.
int fd_move_high(int fd);

int kept_load(const kept_fd* k);
void kept_reset(kept_fd* k);  // closed, identity forgotten (the descriptor is not closed)
// Moves fd high, remembers its file's identity and installs it.
int kept_install(kept_fd* k, int fd);
// fd still refers to the file that was installed.
bool kept_is_ours(const kept_fd* k, int fd);
// A fresh descriptor (already opened) in place of `stale`. Another thread
// may have replaced it first: then fresh is closed and theirs is returned.
int kept_replace(kept_fd* k, int stale, int fresh);

}  // namespace zyg
