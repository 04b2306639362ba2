// report.h - error reports, their severities, and the error file.
//
// Every problem the library meets inside a user's process goes through
// report_message: standard error always, the error file (-e) when set up, and
// a copy in the launch log unless the report code is 4, 18 or 22. Written with
// plain write(2) into fixed buffers, fsync'd after each report. A fatal report
// ends the process with status 1 through the exit hook (the library's own exit
// path once start-up is complete, so the process is counted out).
#pragma once

#include <stddef.h>

namespace zyg {

enum report_severity {
  SEV_FATAL = 1,       // "error", "terminating": never returns
  SEV_WARNING = 2,     // "warning", ""
  SEV_DISABLE = 3,     // "warning", "disabling launch": caller runs disable_launch
  SEV_RECOVERING = 4,  // "warning", "recovering": one short line
};

void report_message(const char* msg, int err, int code, int severity);
[[noreturn]] void report_fatal(const char* msg, int err);
[[noreturn]] void report_fatal_text(const char* msg);
[[noreturn]] void report_fatal_code(const char* msg, int err, int code);
void report_warning(const char* msg, int err, int code);
void report_disable(const char* what, int err, int code, int pid);
void report_disable_cmd(const char* what, int err, int code, int pid, const char* cmd);
void report_recovering(const char* msg, int code);

// Reads ZYG_LAUNCH_ERROR_FILE once at start-up (first process: makes the path
// absolute, exports it and deletes an old file).
void error_file_init();
const char* error_file_path();  // absolute path, "" when none

// The system's text for an error number, without locale translation (safe in
// a forked child before user code); "Unknown error" for numbers it lacks.
const char* report_error_text(int err);

// Writes all of text to fd, retrying after interruptions; other failures are
// ignored (reporting never fails its caller). Also used by the debug trace.
void report_put(int fd, const char* text, size_t len);

// How a fatal report ends the process. Set by start-up so that reporting does
// not depend on the termination code; until set, the process ends with a raw
// exit_group(1).
using exit_hook_fn = void (*)(int status);
void report_set_exit_hook(exit_hook_fn fn);
// Ends the process with `status` the way a fatal report does, without a
// report (the debug trace's own fatal errors).
[[noreturn]] void report_terminate(int status);

}  // namespace zyg
