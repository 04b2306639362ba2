// trace.h - the debug trace of the debug build (ZYG_DEBUG=1).
//
// Trace points are written as ZYG_TRACE("text %d\n", ...). In the release
// build they compile to nothing, so none of the trace code or texts is in the
// release library.
//
// The debug file is one file shared by the whole launched tree: every record
// is composed in full and appended with a single write, so records of many
// threads and processes interleave only between records.
#pragma once

#ifndef ZYG_DEBUG
#define ZYG_DEBUG 0
#endif

namespace zyg {
#if ZYG_DEBUG
// Opens the debug file named by `value` (the debug file variable as start-up
// found it); the first thing the library's start-up does in every program
// image. The first process of a launch truncates the file, the others
// append. A missing or relative name ends the process with status 1.
void debug_init(const char* value, bool first_process);
void debug_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A report about the debug file itself on standard error: the message, the
// debug file path, " : ", the text of error number err.
void debug_error(const char* msg, int err);
// A bare write without the record prefix (the newline after a launch-log
// echo), and an fsync of the debug file.
void debug_raw(const char* text);
void debug_sync();
// The debug file path as this process uses it (leading blanks removed; ""
// before debug_init), and its descriptor (-1 while tracing is off).
const char* debug_file_path();
int debug_file_fd();
// Forget the path and descriptor (unit tests: the next debug_init starts over).
void debug_reset_for_test();
#define ZYG_TRACE(...) ::zyg::debug_printf(__VA_ARGS__)
#define ZYG_TRACE_RAW(text) ::zyg::debug_raw(text)
#define ZYG_TRACE_SYNC() ::zyg::debug_sync()
#else
#define ZYG_TRACE(...) \
  do {                 \
  } while (0)
#define ZYG_TRACE_RAW(text) \
  do {                      \
  } while (0)
#define ZYG_TRACE_SYNC() \
  do {                   \
  } while (0)
#endif
}  // namespace zyg
