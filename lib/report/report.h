// report.h - error reports and their severities.
//
// Every problem the library meets inside a user's process goes through
// report_message: standard error always, the error file (-e, error_file.h)
// when set up, and a copy in the launch log unless the report code is one of
// those never copied (the log's own, the launch nodes', a plain fatal). Written
// with plain write(2) from fixed buffers, fsync'd after each report. A fatal
// report ends the process with status 1 through base/terminate.h (the
// library's own exit path once start-up is complete, so the process is
// counted out).
#pragma once

#include <stddef.h>

namespace zyg {

// Neither a severity nor a code is written anywhere: the words of a
// severity are, and a code only decides whether the log gets a copy.
enum report_severity {
  SEV_FATAL,       // "error", "terminating": never returns
  SEV_WARNING,     // "warning", ""
  SEV_DISABLE,     // "warning", "disabling launch": caller runs disable_launch
  SEV_RECOVERING,  // "warning", "recovering": one short line
};

// Report codes: the failing area of a report.
enum report_code {
  RC_MEMORY,        // memory for masks, caches and the local launch counters
  RC_BIND_NODE,     // binding a task to the CPUs of its node
  RC_LOG,           // the launch log itself (never copied into it)
  RC_STAT,          // stat of the data file, of /proc/self/task
  RC_PATH,          // a path too long or not made absolute
  RC_PASS_ON,       // passing a file name on to a child; the error file name
  RC_TRY_W,         // the "-w" hint and the reports it accompanies
  RC_MAP,           // mapping the launch data file
  RC_LAUNCH_NODES,  // the initial launch nodes, a task's CPUs (never copied)
  RC_BIND_CPU,      // binding a task to one CPU
  RC_MEMPOLICY,     // resetting a task's memory policy
  RC_FATAL,         // a fatal report without a code of its own (never copied)
  RC_EXEC,          // exec propagation
  RC_OPEN_DATA,     // opening the launch data file
  RC_VERSION,       // a launch data file of another layout version
  RC_CLONE_ARG,     // the clone_arg record pool
  RC_MEMFREE,       // the free-memory policy
};

void report_message(const char* msg, int err, report_code code, report_severity severity);
[[noreturn]] void report_fatal(const char* msg, int err);
[[noreturn]] void report_fatal_text(const char* msg);
[[noreturn]] void report_fatal_code(const char* msg, int err, report_code code);
void report_warning(const char* msg, int err, report_code code);
void report_disable(const char* what, int err, report_code code, int pid);
void report_disable_cmd(const char* what, int err, report_code code, int pid, const char* cmd);
void report_recovering(const char* msg, report_code code);

// The label ("error", "warning") and state word ("terminating", "disabling
// launch", "recovering", "") of a severity.
const char* report_label(report_severity severity);
const char* report_state(report_severity severity);

// Formats one report line (cut at 255 characters) and writes it to fd; with
// at_end, after a seek to the end of the file, as every writer of a shared
// file does.
__attribute__((format(printf, 3, 4))) void report_line(int fd, bool at_end, const char* fmt, ...);
// The same for a text of any length, unformatted.
void report_text(int fd, bool at_end, const char* text);

// One whole report as it goes to standard error (to_file false) or to the
// error file (to_file true: the first line without the program name, and an
// empty line after every report but a recovering one), composed into buf so
// that it can be written with a single write: reports of several processes
// at once then never interleave inside one another. Formatted lines are cut
// at 255 characters, the message is taken whole. The length, or 0 when the
// report does not fit into size bytes.
size_t report_compose(char* buf, size_t size, bool to_file, const char* msg, int err,
                      report_severity severity, int pid, const char* cmd);
// Room for any report the library makes (the longest message is 1023
// characters).
inline constexpr size_t kReportBufSize = 2048;

// The system's text for an error number, without locale translation (safe in
// a forked child before user code); "Unknown error" for numbers it lacks.
const char* report_error_text(int err);

}  // namespace zyg
