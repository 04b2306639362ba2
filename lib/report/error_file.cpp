// The error file (-e): every report of every process of the tree is also
// appended to one file.
//
// Each process opens the file itself, on its first report, and keeps the
// descriptor out of the application's way (base/file.h). Threads that report
// at the same moment may each open it; the first to install its descriptor
// wins and the others close theirs, so no lock is needed and a fork taken in
// the middle cannot leave the child waiting on a lock nobody will release.
#include "report/error_file.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/env.h"
#include "base/errors.h"
#include "base/file.h"
#include "base/layout.h"
#include "base/sys.h"
#include "core/ldata.h"
#include "core/state.h"
#include "report/report.h"
#include "shared/names.h"

namespace zyg {

namespace {

constexpr const char kProg[] = "zyg-nox";
constexpr size_t kPathMax = 256;  // longest error file path

// Per-process error file state. A forked child inherits all of it, including
// the open descriptor; exec starts over with zeroes and error_file_init.
char err_path[kPathMax + 1];
volatile uint32_t err_enabled;
volatile uint32_t err_setup;
kept_fd err_fd = {-1, 0, 0};

// The mode of a file we create: the one recorded in the launch data, and
// before the data is mapped the one the launcher asked for (0666 only with
// -w, which the first process still sees in its environment). Only the
// read/write bits are taken from the shared header: a file anyone of the
// tree can write must not turn our file executable or set-ID.
unsigned error_file_mode() {
  unsigned mode = ld.hdr ? __atomic_load_n(&ld.hdr->file_mode, __ATOMIC_RELAXED) & 0666u : 0;
  if (mode != 0) return mode;
  return env_lookup(kEnvOtherWrite) != nullptr ? 0666u : 0664u;
}

// Opens the error file for appending without ever following a symbolic link
// planted at its path, and without blocking on a FIFO or a device: only a
// regular file is written. The mode is set on the descriptor, and only on a
// file this call created; a file that someone else made keeps its mode.
// The descriptor, or -1.
int open_error_file(const char* path, unsigned mode) {
  int fd = open_append_regular(path, O_CREAT | O_EXCL, mode);
  bool created = fd >= 0;
  if (fd == -EEXIST) fd = open_append_regular(path, 0, 0);
  if (fd < 0) return -1;
  // The umask must not decide who else in the tree may append.
  if (created) fchmod(fd, mode);
  return fd;
}

// Opens (or re-opens) the error file in place of `stale`. Returns the
// descriptor, or -1 when the error file is off for the process.
int error_file_open(int stale) {
  int fd = open_error_file(err_path, error_file_mode());
  if (fd < 0) {
    // Only the thread that switches the file off says so.
    if (__atomic_exchange_n(&err_enabled, 0u, __ATOMIC_ACQ_REL) != 0) {
      report_text(2, false, kProg);
      report_text(2, false, " error: Can't open error file: ");
      report_text(2, false, err_path);
      report_text(2, false, "\n");
    }
    return -1;
  }
  return kept_replace(&err_fd, stale, fd);
}

// The descriptor to write the error file through, opening it on the first
// report of the process. The application may have closed ours (and perhaps
// opened one of its own files under the same number): never write into its
// file.
int error_file_fd() {
  int fd = kept_load(&err_fd);
  if (fd < 0) return error_file_open(-1);
  if (kept_is_ours(&err_fd, fd)) return fd;
  return error_file_open(fd);
}

// Descendants that cannot use the error file name carry on without it and do
// not pass the broken name on to their own children.
void error_file_off_in_descendant() {
  unsetenv(kEnvErrorFile);
  err_path[0] = '\0';
  err_enabled = 0;
  err_setup = 1;
}

// A path problem: fatal in the first process, a warning (RC_PATH) that turns
// the error file off in a descendant. `first_text` and `later_text` are the
// two messages.
bool path_refused(bool first, const char* first_text, const char* later_text) {
  if (first) report_fatal_text(first_text);
  report_warning(later_text, 0, RC_PATH);
  error_file_off_in_descendant();
  return true;
}

// Makes a relative name absolute in err_path. False when the error file is
// off for the process (reported).
bool make_absolute(const char* value, bool first) {
  char text[192];
  char cwd[kPathMax + 2];
  bool cwd_too_long = false;
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    // ERANGE: the directory alone is longer than any path we accept.
    if (errno != ERANGE) return !path_refused(first, "getcwd() error", "getcwd() error");
    cwd_too_long = true;
  }
  if (cwd_too_long || strlen(cwd) + 1 + strlen(value) > kPathMax) {
    char first_text[64];
    snprintf(first_text, sizeof first_text, "Error file length > %d is too large", (int)kPathMax);
    snprintf(text, sizeof text,
             "Error file length > %d is too large. Error file reporting disabled for pid %d",
             (int)kPathMax, sys_getpid());
    return !path_refused(first, first_text, text);
  }
  size_t cwd_len = strlen(cwd);
  memcpy(err_path, cwd, cwd_len);
  err_path[cwd_len] = '/';
  memcpy(err_path + cwd_len + 1, value, strlen(value) + 1);
  // Descendants in other directories must find the same file.
  if (setenv(kEnvErrorFile, err_path, 1) != 0) {
    int e = errno;
    if (first) report_fatal("Can't reset error filename", e);
    snprintf(text, sizeof text,
             "Can't reset error filename. Error file writing for child processes of pid %d may "
             "be disabled",
             sys_getpid());
    report_warning(text, e, RC_PASS_ON);
    error_file_off_in_descendant();
    return false;
  }
  return true;
}

}  // namespace

void error_file_write(const char* msg, int err, report_severity severity, int pid,
                      const char* cmd) {
  if (!__atomic_load_n(&err_setup, __ATOMIC_ACQUIRE) ||
      !__atomic_load_n(&err_enabled, __ATOMIC_ACQUIRE))
    return;
  int fd = error_file_fd();
  if (fd < 0) return;
  char buf[kReportBufSize];
  size_t len = report_compose(buf, sizeof buf, true, msg, err, severity, pid, cmd);
  if (len != 0) {
    // O_APPEND: one write lands whole at the end, whoever else is reporting.
    (void)append_once(fd, buf, len);
  } else {
    const char* label = report_label(severity);
    if (severity == SEV_RECOVERING) {
      report_line(fd, true, "%s %s: ", kProg, label);
      report_text(fd, true, msg);
      report_text(fd, true, "\n");
    } else {
      report_line(fd, true, "%s: PID %d (%s) is %s...\n", label, pid, cmd, report_state(severity));
      report_line(fd, true, "%s %s: ", kProg, label);
      report_text(fd, true, msg);
      report_text(fd, true, "\n");
      if (err != 0) report_line(fd, true, "%s %s: %s\n", kProg, label, error_text(err));
      report_text(fd, true, "\n");
    }
  }
  fsync(fd);
}

ZYG_HOT_CODE void error_file_init() {
  err_path[0] = '\0';
  err_enabled = 0;
  err_setup = 0;
  kept_reset(&err_fd);
  const bool first = is_initial_process != 0;
  const char* value = env_lookup(kEnvErrorFile);
  if (value == nullptr || value[0] == '\0') {
    err_setup = 1;
    return;
  }
  size_t len = strlen(value);
  if (len > kPathMax) {
    char first_text[96], text[192];
    snprintf(first_text, sizeof first_text, "Error file length of %ld is too large\n", (long)len);
    snprintf(text, sizeof text,
             "Error file length of %ld is too large. Error file reporting disabled for pid %d",
             (long)len, sys_getpid());
    path_refused(first, first_text, text);
    return;
  }
  while (*value != '\0' && isspace((unsigned char)*value)) value++;
  if (*value == '/') {
    snprintf(err_path, sizeof err_path, "%s", value);
  } else if (!make_absolute(value, first)) {
    return;
  }
  // Every launch starts with a fresh error file; it is created again by the
  // first report that reaches it.
  if (first) unlink(err_path);
  __atomic_store_n(&err_enabled, 1u, __ATOMIC_RELEASE);
  __atomic_store_n(&err_setup, 1u, __ATOMIC_RELEASE);
}

const char* error_file_path() { return err_path; }

void error_file_start_fresh() {
  if (__atomic_load_n(&err_enabled, __ATOMIC_ACQUIRE) != 0 && kept_load(&err_fd) < 0)
    unlink(err_path);
}

}  // namespace zyg
