// The debug trace of the debug library: one file shared by every process and
// thread of a launched tree.
//
// Records are written from any thread, including threads on small stacks and
// forked children before user code runs: each is composed into a 256-byte
// buffer on the caller's stack and appended with one write after a seek to
// the end, without a lock. The O_APPEND descriptor keeps records whole.
#include "base/trace.h"

#if ZYG_DEBUG

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/file.h"
#include "base/sys.h"
#include "base/terminate.h"

namespace zyg {

namespace {

constexpr size_t kPathMax = 256;     // longest debug file path
constexpr size_t kRecordSize = 256;  // a record is cut at 255 bytes
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC;

constexpr const char kFullPathMsg[] =
    "Error: debug file must be specfied with a full path beginning with /\n";
constexpr const char kCreateMsg[] = "Failed to create debug file (continuing without debug) ";
constexpr const char kOpenMsg[] =
    "Failed to open debug file (disabling debug for this process tree) ";
constexpr const char kWriteMsg[] = "ERROR: can't write to debug file %s";

// Per process image; a forked child inherits both with the open file.
char debug_path[kPathMax + 1];
kept_fd debug_fd = {-1, 0, 0};

void put(int fd, const char* text, size_t len) { (void)write_all(fd, text, len); }
void put(int fd, const char* text) { put(fd, text, strlen(text)); }

[[noreturn]] void terminate() {
  // Nothing more goes to the file: the exit path traces too.
  kept_reset(&debug_fd);
  terminate_process(1);
}

int open_append() { return open_retry(debug_path, kOpenFlags); }

// The descriptor to write through: the installed one while it is still our
// file, else a fresh one (the application closed ours, or closed it and
// opened a file of its own under the same number). -1 when the file cannot
// be opened again: tracing is then off for the process.
int current_fd() {
  int fd = kept_load(&debug_fd);
  if (fd < 0 || kept_is_ours(&debug_fd, fd)) return fd;
  int fresh = open_append();
  if (fresh < 0) {
    kept_reset(&debug_fd);
    debug_error(kOpenMsg, -fresh);
    return -1;
  }
  return kept_replace(&debug_fd, fd, fresh);
}

void write_text(const char* text, size_t len) {
  // A second try when the descriptor was closed between the check and the
  // write.
  int r = 0;
  for (int attempt = 0; attempt < 2; attempt++) {
    int fd = current_fd();
    if (fd < 0) return;
    r = append_once(fd, text, len);
    if (r == 0) return;
    if (r != -EBADF) break;
  }
  debug_error(kWriteMsg, -r);
  terminate();
}

[[noreturn]] void refuse_path() {
  put(2, kFullPathMsg, sizeof kFullPathMsg - 1);
  terminate();
}

}  // namespace

void debug_error(const char* msg, int err) {
  int saved = errno;
  const char* hole = strstr(msg, "%s");
  if (hole != nullptr) {
    put(2, msg, (size_t)(hole - msg));
    put(2, debug_path);
    put(2, hole + 2);
  } else {
    put(2, msg);
    put(2, debug_path);
  }
  put(2, " : ");
  put(2, error_text(err));
  put(2, "\n");
  errno = saved;
}

void debug_init(const char* value, bool first_process) {
  kept_reset(&debug_fd);
  debug_path[0] = '\0';
  if (value == nullptr || value[0] == '\0') refuse_path();
  char copy[kPathMax + 1];
  snprintf(copy, sizeof copy, "%s", value);
  const char* p = copy;
  while (*p != '\0' && isspace((unsigned char)*p)) ++p;
  if (*p != '/') refuse_path();
  snprintf(debug_path, sizeof debug_path, "%s", p);

  if (first_process) {
    int fd = open_retry(debug_path, kCreateFlags, 0666);
    if (fd < 0) {
      debug_error(kCreateMsg, -fd);
    } else {
      // The mode is set on the file we created, never through the path: a
      // name that is (or became) a symbolic link must not lend its target
      // our permissions.
      fchmod(fd, 0666);
      close(fd);
    }
  }
  int fd = open_append();
  if (fd < 0) {
    debug_error(kOpenMsg, -fd);
    return;
  }
  kept_install(&debug_fd, fd);
  write_text("\n", 1);
  debug_printf("INIT : launch_init for exec'd pid %d\n", sys_getpid());
}

void debug_printf(const char* fmt, ...) {
  if (kept_load(&debug_fd) < 0) return;
  errno_guard keep;
  char record[kRecordSize];
  int n = snprintf(record, sizeof record, "*** tid %d pid %d : ", (int)sys_gettid(), sys_getpid());
  if (n < 0) n = 0;
  if ((size_t)n >= sizeof record) n = (int)sizeof record - 1;
  va_list ap;
  va_start(ap, fmt);
  int m = vsnprintf(record + n, sizeof record - (size_t)n, fmt, ap);
  va_end(ap);
  size_t len = (size_t)n + (m > 0 ? (size_t)m : 0);
  if (len >= sizeof record) len = sizeof record - 1;
  write_text(record, len);
}

void debug_raw(const char* text) {
  if (kept_load(&debug_fd) < 0) return;
  errno_guard keep;
  write_text(text, strlen(text));
}

void debug_sync() {
  int fd = kept_load(&debug_fd);
  if (fd < 0) return;
  errno_guard keep;
  fsync(fd);
}

const char* debug_file_path() { return debug_path; }
int debug_file_fd() { return kept_load(&debug_fd); }

void debug_reset_for_test() {
  int fd = kept_load(&debug_fd);
  kept_reset(&debug_fd);
  if (fd >= 0) close(fd);
  debug_path[0] = '\0';
}

}  // namespace zyg

#endif  // ZYG_DEBUG
