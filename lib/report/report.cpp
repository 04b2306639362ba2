// Error reports: standard error, the error file (-e) and a copy in the launch
// log.
//
// Reports come from any thread, including threads on 16 KiB stacks and forked
// children before user code runs, so everything here formats into small stack
// buffers and talks to the kernel with plain open/read/write/fsync. Nothing is
// allocated and no lock is taken.
#include "report/report.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/file.h"
#include "base/sys.h"
#include "base/terminate.h"
#include "base/trace.h"
#include "report/error_file.h"
#include "report/log.h"

namespace zyg {

namespace {

constexpr const char kProg[] = "zyg-nox";
constexpr size_t kLineMax = 256;  // each formatted line is cut at 255 characters
constexpr size_t kCmdMax = 128;   // bytes of the command line read for a report

// Copies of these never go into the launch log: the log's own failures, the
// launch nodes (reported from the log's own record path) and plain fatals.
bool copied_to_log(report_code code) {
  return code != RC_LOG && code != RC_LAUNCH_NODES && code != RC_FATAL;
}

void put(int fd, const char* text) { (void)write_all(fd, text, strlen(text)); }

// The command of the calling thread: the first word of /proc/<tid>/cmdline.
void read_command_name(char* out, size_t size) {
  char path[40];
  snprintf(path, sizeof path, "/proc/%d/cmdline", (int)sys_gettid());
  size_t want = size - 1 < kCmdMax ? size - 1 : kCmdMax;
  long n = read_small_file(path, out, want + 1);
  if (n > 0 && out[n - 1] == '\n') n--;
  if (n <= 0) {
    snprintf(out, size, "%s", "<unknown>");
    return;
  }
  out[n] = '\0';
  for (long i = 0; i < n; i++) {
    if (out[i] == '\0' || isspace((unsigned char)out[i])) {
      out[i] = '\0';
      break;
    }
  }
  if (out[0] == '\0') snprintf(out, size, "%s", "<unknown>");
}

// The report in pieces, a write each: only for a report too long for one
// buffer, which no message of the library is.
void write_pieces(const char* msg, int err, report_severity severity, int pid, const char* cmd) {
  const char* label = report_label(severity);
  if (severity == SEV_RECOVERING) {
    report_line(2, false, "%s %s: ", kProg, label);
    put(2, msg);
    put(2, "\n");
    return;
  }
  report_line(2, false, "%s %s: PID %d (%s) is %s...\n", kProg, label, pid, cmd,
              report_state(severity));
  report_line(2, false, "%s %s: ", kProg, label);
  put(2, msg);
  put(2, "\n");
  if (err != 0) report_line(2, false, "%s %s: %s\n", kProg, label, error_text(err));
}

__attribute__((noinline)) void write_stderr(const char* msg, int err, report_severity severity,
                                            int pid, const char* cmd) {
  char buf[kReportBufSize];
  size_t len = report_compose(buf, sizeof buf, false, msg, err, severity, pid, cmd);
  if (len != 0) {
    (void)write_all(2, buf, len);
  } else {
    write_pieces(msg, err, severity, pid, cmd);
  }
}

// Standard error and the error file. Kept apart from the log copy so that the
// buffers of the two are never on the stack at the same time.
__attribute__((noinline)) void write_report(const char* msg, int err, report_severity severity,
                                            int pid) {
  char cmd[kCmdMax + 1];
  cmd[0] = '\0';
  if (severity != SEV_RECOVERING) read_command_name(cmd, sizeof cmd);
  write_stderr(msg, err, severity, pid, cmd);
  fsync(2);
  error_file_write(msg, err, severity, pid, cmd);
}

// Appends a formatted line, cut at 255 characters, to the report in buf.
// False when it does not fit.
__attribute__((format(printf, 4, 5))) bool add_line(char* buf, size_t size, size_t* len,
                                                    const char* fmt, ...) {
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, kLineMax, fmt, ap);
  va_end(ap);
  if (n < 0) return false;
  if ((size_t)n >= kLineMax) n = (int)kLineMax - 1;
  if (*len + (size_t)n >= size) return false;
  memcpy(buf + *len, line, (size_t)n);
  *len += (size_t)n;
  return true;
}

bool add_text(char* buf, size_t size, size_t* len, const char* text) {
  size_t n = strlen(text);
  if (*len + n >= size) return false;
  memcpy(buf + *len, text, n);
  *len += n;
  return true;
}

__attribute__((noinline)) void copy_to_log(const char* msg, int err, report_severity severity,
                                           int pid) {
  const char* label = report_label(severity);
  char head[96];
  snprintf(head, sizeof head, kRecReportHead, label, pid, report_state(severity));
  log_record(head);
  log_record_parts(label, kRecReportLabelEnd, msg);
  if (err != 0) log_record_parts(label, kRecReportLabelEnd, error_text(err));
}

}  // namespace

const char* report_label(report_severity severity) {
  return severity == SEV_FATAL ? "error" : "warning";
}

const char* report_state(report_severity severity) {
  switch (severity) {
    case SEV_FATAL:
      return "terminating";
    case SEV_DISABLE:
      return "disabling launch";
    case SEV_RECOVERING:
      return "recovering";
    case SEV_WARNING:
      break;
  }
  return "";
}

void report_text(int fd, bool at_end, const char* text) {
  if (at_end) lseek(fd, 0, SEEK_END);
  (void)write_all(fd, text, strlen(text));
}

void report_line(int fd, bool at_end, const char* fmt, ...) {
  char line[kLineMax];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, kLineMax, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n >= kLineMax) n = (int)kLineMax - 1;
  if (at_end) lseek(fd, 0, SEEK_END);
  (void)write_all(fd, line, (size_t)n);
}

size_t report_compose(char* buf, size_t size, bool to_file, const char* msg, int err,
                      report_severity severity, int pid, const char* cmd) {
  const char* label = report_label(severity);
  size_t len = 0;
  bool ok;
  if (severity == SEV_RECOVERING) {
    ok = add_line(buf, size, &len, "%s %s: ", kProg, label) && add_text(buf, size, &len, msg) &&
         add_text(buf, size, &len, "\n");
  } else {
    ok = (to_file ? add_line(buf, size, &len, "%s: PID %d (%s) is %s...\n", label, pid, cmd,
                             report_state(severity))
                  : add_line(buf, size, &len, "%s %s: PID %d (%s) is %s...\n", kProg, label, pid,
                             cmd, report_state(severity))) &&
         add_line(buf, size, &len, "%s %s: ", kProg, label) && add_text(buf, size, &len, msg) &&
         add_text(buf, size, &len, "\n") &&
         (err == 0 || add_line(buf, size, &len, "%s %s: %s\n", kProg, label, error_text(err))) &&
         (!to_file || add_text(buf, size, &len, "\n"));
  }
  if (!ok) return 0;
  buf[len] = '\0';
  return len;
}

const char* report_error_text(int err) { return error_text(err); }

void report_message(const char* msg, int err, report_code code, report_severity severity) {
  errno_guard keep;
  if (msg == nullptr) msg = "";
  ZYG_TRACE("%s %s: %s\n", kProg, report_label(severity), msg);
  int pid = sys_getpid();
  write_report(msg, err, severity, pid);
  if (copied_to_log(code) && log_on()) copy_to_log(msg, err, severity, pid);
  if (severity == SEV_FATAL) terminate_process(1);
}

void report_fatal(const char* msg, int err) {
  report_message(msg, err, RC_FATAL, SEV_FATAL);
  sys_exit_group(1);
}

void report_fatal_text(const char* msg) {
  report_message(msg, 0, RC_FATAL, SEV_FATAL);
  sys_exit_group(1);
}

void report_fatal_code(const char* msg, int err, report_code code) {
  report_message(msg, err, code, SEV_FATAL);
  sys_exit_group(1);
}

void report_warning(const char* msg, int err, report_code code) {
  report_message(msg, err, code, SEV_WARNING);
}

void report_recovering(const char* msg, report_code code) {
  report_message(msg, 0, code, SEV_RECOVERING);
}

void report_disable(const char* what, int err, report_code code, int pid) {
  char text[512];
  snprintf(text, sizeof text,
           "\n%s %s: %s: %s\n%s %s:     Launch policies will be disabled for PID: %d\n"
           "%s %s:     and all of its children.\n%s %s:     Resetting initial launch nodes if "
           "possible.",
           kProg, "warning", what, error_text(err), kProg, "warning", pid, kProg, "warning", kProg,
           "warning");
  report_message(text, 0, code, SEV_DISABLE);
}

void report_disable_cmd(const char* what, int err, report_code code, int pid, const char* cmd) {
  char text[1024];
  snprintf(text, sizeof text,
           "\n%s %s: %s: %s\n%s %s:     Launch policies will be disabled for\n"
           "%s %s:         PID: %d   cmd: %s\n%s %s:     and all of its children.\n"
           "%s %s:     Resetting initial launch nodes if possible.",
           kProg, "warning", what, error_text(err), kProg, "warning", kProg, "warning", pid, cmd,
           kProg, "warning", kProg, "warning");
  report_message(text, 0, code, SEV_DISABLE);
}

}  // namespace zyg
