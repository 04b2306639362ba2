// debug.h - the debug trace of the debug build (ZYG_DEBUG=1).
//
// Trace points are written as ZYG_TRACE("text %d\n", ...). In the release
// build they compile to nothing, so none of the trace code or texts is in the
// release library.
#pragma once

#ifndef ZYG_DEBUG
#define ZYG_DEBUG 0
#endif

namespace zyg {
#if ZYG_DEBUG
void debug_init();
void debug_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A bare write without the record prefix (the newline after a launch-log
// echo), and an fsync of the debug file.
void debug_raw(const char* text);
void debug_sync();
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
