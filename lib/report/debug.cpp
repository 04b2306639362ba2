// The debug trace of the debug library: one file shared by every process and
// thread of a launched tree.
//
// Records are written from any thread, including threads on small stacks and
// forked children before user code runs: each is composed into a 256-byte
// buffer on the caller's stack and appended with one write after a seek to
// the end, without a lock. The O_APPEND descriptor keeps records whole.
#include "report/debug.h"

#if ZYG_DEBUG

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/init.h"
#include "core/names.h"
#include "core/state.h"
#include "core/sys.h"
#include "report/report.h"

namespace zyg {

namespace {

constexpr size_t kPathMax = 256;     // longest debug file path
constexpr size_t kRecordSize = 256;  // a record is cut at 255 bytes
// Our descriptor is moved up here, away from the low numbers a program that
// closed its descriptors expects its own next open to get back (0, 1, 2 in
// particular), and where that program's next opens are unlikely to land.
constexpr int kFdFloor = 100;
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC;

constexpr const char kFullPathMsg[] =
    "Error: debug file must be specfied with a full path beginning with /\n";
constexpr const char kCreateMsg[] = "Failed to create debug file (continuing without debug) ";
constexpr const char kOpenMsg[] = "Failed to open debug file (disabling debug for this process tree) ";
constexpr const char kWriteMsg[] = "ERROR: can't write to debug file %s";

// Per process image; a forked child inherits both with the open file.
char debug_path[kPathMax + 1];
volatile int debug_fd = -1;

void put(int fd, const char* text, size_t len) { report_put(fd, text, len); }
void put(int fd, const char* text) { report_put(fd, text, strlen(text)); }

int load_fd() { return __atomic_load_n(&debug_fd, __ATOMIC_ACQUIRE); }
void store_fd(int fd) { __atomic_store_n(&debug_fd, fd, __ATOMIC_RELEASE); }

[[noreturn]] void terminate() {
  // Nothing more goes to the file: the exit path traces too.
  store_fd(-1);
  report_terminate(1);
}

int move_high(int fd) {
  int high = fcntl(fd, F_DUPFD_CLOEXEC, kFdFloor);
  if (high < 0) return fd;
  close(fd);
  return high;
}

int open_append() {
  int fd;
  do fd = open(debug_path, kOpenFlags);
  while (fd < 0 && errno == EINTR);
  return fd < 0 ? -1 : move_high(fd);
}

// One write of the whole text at the end of the file; 0, or -1 with errno.
int append(int fd, const char* text, size_t len) {
  lseek(fd, 0, SEEK_END);
  ssize_t n;
  do n = write(fd, text, len);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : 0;
}

void write_text(const char* text, size_t len) {
  int fd = load_fd();
  if (fd < 0) return;
  if (append(fd, text, len) == 0) return;
  if (errno != EBADF) {
    debug_error(kWriteMsg);
    terminate();
  }
  // The application closed our descriptor: open the file again. Another
  // thread may be doing the same; the loser's descriptor is closed.
  int fresh = open_append();
  if (fresh < 0) {
    store_fd(-1);
    debug_error(kOpenMsg);
    return;
  }
  int expected = fd;
  if (!__atomic_compare_exchange_n(&debug_fd, &expected, fresh, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    close(fresh);
    fresh = expected;
    if (fresh < 0) return;
  }
  if (append(fresh, text, len) != 0) {
    debug_error(kWriteMsg);
    terminate();
  }
}

[[noreturn]] void refuse_path() {
  put(2, kFullPathMsg, sizeof kFullPathMsg - 1);
  terminate();
}

}  // namespace

void debug_error(const char* msg) {
  int err = errno;
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
  // The C locale's text: strerror may translate, which is not safe in a
  // forked child before user code.
  put(2, report_error_text(err));
  put(2, "\n");
  errno = err;
}

void debug_init() {
  store_fd(-1);
  debug_path[0] = '\0';
  const char* value = env_lookup(kEnvDebugFile);
  if (value == nullptr || value[0] == '\0') refuse_path();
  char copy[kPathMax + 1];
  snprintf(copy, sizeof copy, "%s", value);
  const char* p = copy;
  while (*p != '\0' && isspace((unsigned char)*p)) ++p;
  if (*p != '/') refuse_path();
  snprintf(debug_path, sizeof debug_path, "%s", p);

  if (is_initial_process) {
    int fd = open(debug_path, kCreateFlags, 0666);
    if (fd < 0) {
      debug_error(kCreateMsg);
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
    debug_error(kOpenMsg);
    return;
  }
  store_fd(fd);
  write_text("\n", 1);
  debug_printf("INIT : launch_init for exec'd pid %d\n", sys_getpid());
}

void debug_printf(const char* fmt, ...) {
  if (load_fd() < 0) return;
  int saved_errno = errno;
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
  errno = saved_errno;
}

void debug_raw(const char* text) {
  if (load_fd() < 0) return;
  int saved_errno = errno;
  write_text(text, strlen(text));
  errno = saved_errno;
}

void debug_sync() {
  int fd = load_fd();
  if (fd < 0) return;
  int saved_errno = errno;
  fsync(fd);
  errno = saved_errno;
}

const char* debug_file_path() { return debug_path; }
int debug_file_fd() { return load_fd(); }

void debug_reset_for_test() {
  int fd = load_fd();
  store_fd(-1);
  if (fd >= 0) close(fd);
  debug_path[0] = '\0';
}

}  // namespace zyg

#endif  // ZYG_DEBUG
