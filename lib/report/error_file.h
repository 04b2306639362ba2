// error_file.h - the error file (-e): a copy of every report, shared by the
// whole tree and appended by each process through its own descriptor.
#pragma once

#include "report/report.h"

namespace zyg {

// Reads ZYG_LAUNCH_ERROR_FILE once at start-up (first process: makes the path
// absolute, exports it and deletes an old file).
void error_file_init();
const char* error_file_path();  // absolute path, "" when none
// The launch starts in a program that error_file_init took for a later one
// (the first dynamic program below a static command): its error file
// starts afresh all the same.
void error_file_start_fresh();

// Appends one report (the same lines as on standard error) when the error
// file is in use for this process. `cmd` is the command name shown.
void error_file_write(const char* msg, int err, report_severity severity, int pid, const char* cmd);

}  // namespace zyg
