// Error reports: standard error, the error file (-e) and a copy in the launch
// log.
//
// Reports come from any thread, including threads on 16 KiB stacks and forked
// children before user code runs, so everything here formats into small stack
// buffers and talks to the kernel with plain open/read/write/fsync. Nothing is
// allocated and no lock is taken: the only shared decision, who opens the
// error file first, is settled with a compare-and-swap on the descriptor.
#include "report/report.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/init.h"
#include "core/ldata.h"
#include "core/state.h"
#include "core/sys.h"
#include "report/debug.h"
#include "report/log.h"

namespace zyg {

namespace {

constexpr const char kProg[] = "zyg-nox";
constexpr const char kErrorFileVar[] = "ZYG_LAUNCH_ERROR_FILE";
constexpr size_t kPathMax = 256;  // longest error file path
constexpr size_t kLineMax = 256;  // each formatted line is cut at 255 characters
constexpr size_t kCmdMax = 128;   // bytes of the command line read for a report

// Per-process error file state. A forked child inherits all of it, including
// the open descriptor; exec starts over with zeroes and error_file_init.
char err_path[kPathMax + 1];
volatile uint32_t err_enabled;
volatile uint32_t err_setup;
volatile int err_fd = -1;
// Identity of the file behind err_fd, so that a descriptor the application
// closed and reused for one of its own files is never written to.
volatile uint64_t err_dev;
volatile uint64_t err_ino;

exit_hook_fn volatile exit_hook;

const char* label_of(int severity) { return severity == SEV_FATAL ? "error" : "warning"; }

const char* state_of(int severity) {
  switch (severity) {
    case SEV_FATAL:
      return "terminating";
    case SEV_DISABLE:
      return "disabling launch";
    case SEV_RECOVERING:
      return "recovering";
    default:
      return "";
  }
}

void put(int fd, const char* text, size_t len) { report_put(fd, text, len); }
void put(int fd, const char* text) { report_put(fd, text, strlen(text)); }

// Formats one line into line (kLineMax bytes), cut at kLineMax - 1
// characters; the length, or -1 when formatting failed.
int format_line(char* line, const char* fmt, va_list ap) {
  int n = vsnprintf(line, kLineMax, fmt, ap);
  if (n < 0) return -1;
  return (size_t)n >= kLineMax ? (int)kLineMax - 1 : n;
}

__attribute__((format(printf, 2, 3))) void put_line(int fd, const char* fmt, ...) {
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int n = format_line(line, fmt, ap);
  va_end(ap);
  if (n >= 0) put(fd, line, (size_t)n);
}

// Before every write to the error file: the end of the file, like every other
// writer of the tree.
void put_err(int fd, const char* text, size_t len) {
  lseek(fd, 0, SEEK_END);
  put(fd, text, len);
}
void put_err(int fd, const char* text) { put_err(fd, text, strlen(text)); }
__attribute__((format(printf, 2, 3))) void put_err_line(int fd, const char* fmt, ...) {
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int n = format_line(line, fmt, ap);
  va_end(ap);
  if (n >= 0) put_err(fd, line, (size_t)n);
}

// The command of the calling thread: the first word of /proc/<tid>/cmdline.
void read_command_name(char* out, size_t size) {
  char path[40];
  snprintf(path, sizeof path, "/proc/%d/cmdline", (int)sys_gettid());
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t n = -1;
  if (fd >= 0) {
    size_t want = size - 1 < kCmdMax ? size - 1 : kCmdMax;
    do n = read(fd, out, want);
    while (n < 0 && errno == EINTR);
    close(fd);
  }
  if (n > 0 && out[n - 1] == '\n') n--;
  if (n <= 0) {
    snprintf(out, size, "%s", "<unknown>");
    return;
  }
  out[n] = '\0';
  for (ssize_t i = 0; i < n; i++) {
    if (out[i] == '\0' || isspace((unsigned char)out[i])) {
      out[i] = '\0';
      break;
    }
  }
  if (out[0] == '\0') snprintf(out, size, "%s", "<unknown>");
}

// The mode recorded in the launch data; 0666 before it is mapped, and also
// while the first process has mapped it but not yet filled its configuration
// in (a file created with mode 0 would shut every later process out).
unsigned error_file_mode() {
  unsigned mode = ld.hdr ? ld.hdr->file_mode : 0;
  return mode != 0 ? mode : 0666;
}

// Opens (or re-opens) the error file for this process. Threads that report at
// the same moment may each open it; the first to install its descriptor wins
// and the others close theirs, so no lock is needed and a fork taken in the
// middle cannot leave the child waiting on a lock that nobody will release.
// Returns the descriptor, or -1 when the error file is off for the process.
int error_file_open(int stale) {
  unsigned mode = error_file_mode();
  int fd = open(err_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode);
  chmod(err_path, mode);
  if (fd < 0) {
    // Only the thread that switches the file off says so.
    if (__atomic_exchange_n(&err_enabled, 0u, __ATOMIC_ACQ_REL) != 0) {
      put(2, kProg);
      put(2, " error: Can't open error file: ");
      put(2, err_path);
      put(2, "\n");
    }
    return -1;
  }
  // Keep clear of the low descriptors the application expects to hand out.
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
  if (high >= 0) {
    close(fd);
    fd = high;
  }
  struct stat st;
  if (fstat(fd, &st) == 0) {
    __atomic_store_n(&err_dev, (uint64_t)st.st_dev, __ATOMIC_RELAXED);
    __atomic_store_n(&err_ino, (uint64_t)st.st_ino, __ATOMIC_RELAXED);
  }
  int expected = stale;
  if (__atomic_compare_exchange_n(&err_fd, &expected, fd, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE)) {
    return fd;
  }
  close(fd);
  return expected;
}

// The descriptor to write the error file through, opening it on the first
// report of the process.
int error_file_fd() {
  int fd = __atomic_load_n(&err_fd, __ATOMIC_ACQUIRE);
  if (fd < 0) return error_file_open(-1);
  // The application may have closed our descriptor (and perhaps opened one of
  // its own files under the same number): never write into its file.
  struct stat st;
  if (fstat(fd, &st) == 0 && (uint64_t)st.st_dev == __atomic_load_n(&err_dev, __ATOMIC_RELAXED) &&
      (uint64_t)st.st_ino == __atomic_load_n(&err_ino, __ATOMIC_RELAXED))
    return fd;
  return error_file_open(fd);
}

void write_error_file(const char* msg, int err, int severity, int pid, const char* cmd) {
  int fd = error_file_fd();
  if (fd < 0) return;
  const char* label = label_of(severity);
  if (severity == SEV_RECOVERING) {
    put_err_line(fd, "%s %s: ", kProg, label);
    put_err(fd, msg);
  } else {
    put_err_line(fd, "%s: PID %d (%s) is %s...\n", label, pid, cmd, state_of(severity));
    put_err_line(fd, "%s %s: ", kProg, label);
    put_err(fd, msg);
    put_err(fd, "\n");
    if (err != 0) put_err_line(fd, "%s %s: %s\n", kProg, label, report_error_text(err));
  }
  put_err(fd, "\n");
  fsync(fd);
}

// Standard error and the error file. Kept apart from the log copy so that the
// buffers of the two are never on the stack at the same time.
__attribute__((noinline)) void write_report(const char* msg, int err, int severity, int pid) {
  char cmd[kCmdMax + 1];
  const char* label = label_of(severity);
  if (severity == SEV_RECOVERING) {
    cmd[0] = '\0';
    put_line(2, "%s %s: ", kProg, label);
    put(2, msg);
    put(2, "\n");
  } else {
    read_command_name(cmd, sizeof cmd);
    put_line(2, "%s %s: PID %d (%s) is %s...\n", kProg, label, pid, cmd, state_of(severity));
    put_line(2, "%s %s: ", kProg, label);
    put(2, msg);
    put(2, "\n");
    if (err != 0) put_line(2, "%s %s: %s\n", kProg, label, report_error_text(err));
  }
  fsync(2);

  if (__atomic_load_n(&err_setup, __ATOMIC_ACQUIRE) && __atomic_load_n(&err_enabled, __ATOMIC_ACQUIRE))
    write_error_file(msg, err, severity, pid, cmd);
}

__attribute__((noinline)) void copy_to_log(const char* msg, int err, int severity, int pid) {
  const char* label = label_of(severity);
  char head[96];
  snprintf(head, sizeof head, "%s: PID %d is %s...", label, pid, state_of(severity));
  log_record(head);
  log_record_parts(label, ": ", msg);
  if (err != 0) log_record_parts(label, ": ", report_error_text(err));
}

}  // namespace

void report_put(int fd, const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    text += n;
    len -= (size_t)n;
  }
}

void report_set_exit_hook(exit_hook_fn fn) { exit_hook = fn; }

void report_terminate(int status) {
  exit_hook_fn hook = exit_hook;
  if (hook != nullptr) hook(status);
  sys_exit_group(status);
}

// The untranslated text: strerror may go through the application's locale
// catalogues, which allocate, and reports are made from forked children too.
const char* report_error_text(int err) {
  const char* text = strerrordesc_np(err);
  return text != nullptr ? text : "Unknown error";
}

void report_message(const char* msg, int err, int code, int severity) {
  int saved_errno = errno;
  if (msg == nullptr) msg = "";
  ZYG_TRACE("%s %s: %s\n", kProg, label_of(severity), msg);
  int pid = sys_getpid();
  write_report(msg, err, severity, pid);
  if (code != 4 && code != 18 && code != 22 && log_on()) copy_to_log(msg, err, severity, pid);
  if (severity == SEV_FATAL) {
    exit_hook_fn hook = exit_hook;
    if (hook != nullptr) hook(1);
    sys_exit_group(1);
  }
  errno = saved_errno;
}

void report_fatal(const char* msg, int err) {
  report_message(msg, err, 22, SEV_FATAL);
  sys_exit_group(1);
}

void report_fatal_text(const char* msg) {
  report_message(msg, 0, 22, SEV_FATAL);
  sys_exit_group(1);
}

void report_fatal_code(const char* msg, int err, int code) {
  report_message(msg, err, code, SEV_FATAL);
  sys_exit_group(1);
}

void report_warning(const char* msg, int err, int code) {
  report_message(msg, err, code, SEV_WARNING);
}

void report_recovering(const char* msg, int code) {
  report_message(msg, 0, code, SEV_RECOVERING);
}

void report_disable(const char* what, int err, int code, int pid) {
  char text[512];
  snprintf(text, sizeof text,
           "\n%s %s: %s: %s\n%s %s:     Launch policies will be disabled for PID: %d\n"
           "%s %s:     and all of its children.\n%s %s:     Resetting initial launch nodes if "
           "possible.",
           kProg, "warning", what, report_error_text(err), kProg, "warning", pid, kProg, "warning", kProg,
           "warning");
  report_message(text, 0, code, SEV_DISABLE);
}

void report_disable_cmd(const char* what, int err, int code, int pid, const char* cmd) {
  char text[1024];
  snprintf(text, sizeof text,
           "\n%s %s: %s: %s\n%s %s:     Launch policies will be disabled for\n"
           "%s %s:         PID: %d   cmd: %s\n%s %s:     and all of its children.\n"
           "%s %s:     Resetting initial launch nodes if possible.",
           kProg, "warning", what, report_error_text(err), kProg, "warning", kProg, "warning", pid, cmd,
           kProg, "warning", kProg, "warning");
  report_message(text, 0, code, SEV_DISABLE);
}

// Descendants that cannot use the error file name carry on without it and do
// not pass the broken name on to their own children.
static void error_file_off_in_descendant() {
  unsetenv(kErrorFileVar);
  err_path[0] = '\0';
  err_enabled = 0;
  err_setup = 1;
}

void error_file_init() {
  err_path[0] = '\0';
  err_enabled = 0;
  err_setup = 0;
  err_fd = -1;
  const bool first = is_initial_process != 0;
  const char* value = env_lookup(kErrorFileVar);
  if (value == nullptr || value[0] == '\0') {
    err_setup = 1;
    return;
  }
  char text[192];
  size_t len = strlen(value);
  if (len > kPathMax) {
    if (first) {
      snprintf(text, sizeof text, "Error file length of %ld is too large\n", (long)len);
      report_fatal_text(text);
    }
    snprintf(text, sizeof text,
             "Error file length of %ld is too large. Error file reporting disabled for pid %d",
             (long)len, sys_getpid());
    report_warning(text, 0, 7);
    error_file_off_in_descendant();
    return;
  }
  while (*value != '\0' && isspace((unsigned char)*value)) value++;
  if (*value == '/') {
    snprintf(err_path, sizeof err_path, "%s", value);
  } else {
    char cwd[kPathMax + 2];
    bool cwd_too_long = false;
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      // ERANGE: the directory alone is longer than any path we accept.
      if (errno != ERANGE) {
        if (first) report_fatal_text("getcwd() error");
        report_warning("getcwd() error", 0, 7);
        error_file_off_in_descendant();
        return;
      }
      cwd_too_long = true;
    }
    if (cwd_too_long || strlen(cwd) + 1 + strlen(value) > kPathMax) {
      if (first) {
        snprintf(text, sizeof text, "Error file length > %d is too large", (int)kPathMax);
        report_fatal_text(text);
      }
      snprintf(text, sizeof text,
               "Error file length > %d is too large. Error file reporting disabled for pid %d",
               (int)kPathMax, sys_getpid());
      report_warning(text, 0, 7);
      error_file_off_in_descendant();
      return;
    }
    size_t cwd_len = strlen(cwd);
    size_t rest_len = strlen(value);
    memcpy(err_path, cwd, cwd_len);
    err_path[cwd_len] = '/';
    memcpy(err_path + cwd_len + 1, value, rest_len + 1);
    // Descendants in other directories must find the same file.
    if (setenv(kErrorFileVar, err_path, 1) != 0) {
      int e = errno;
      if (first) report_fatal("Can't reset error filename", e);
      snprintf(text, sizeof text,
               "Can't reset error filename. Error file writing for child processes of pid %d may "
               "be disabled",
               sys_getpid());
      report_warning(text, e, 8);
      error_file_off_in_descendant();
      return;
    }
  }
  // Every launch starts with a fresh error file; it is created again by the
  // first report that reaches it.
  if (first) unlink(err_path);
  __atomic_store_n(&err_enabled, 1u, __ATOMIC_RELEASE);
  __atomic_store_n(&err_setup, 1u, __ATOMIC_RELEASE);
}

const char* error_file_path() { return err_path; }

}  // namespace zyg
