// errors.h - errno handling shared by every layer, and how base reports a
// failure.
//
// Every function of base that can fail returns it as a negative errno value
// (-ENOENT ...), and 0 or a count or a descriptor on success: the kernel's
// own convention, which the raw system calls (sys.h) hand on unchanged and
// which needs no C library errno in a forked child. Whether base leaves
// errno changed is said per function; what the application sees is kept by
// errno_guard at the library's entry points.
//
// The library runs inside other people's programs: whatever it does on the
// way, the application must see the errno its own call left. errno_guard
// saves errno on construction and puts it back when the scope ends, on every
// return path. error_text gives the C locale's text for an error number:
// strerror may load the application's locale catalogues, which allocate, and
// texts are needed in forked children before user code.
#pragma once

#include <errno.h>
#include <string.h>

#include "base/layout.h"

namespace zyg {

// Sets errno to saved, writing only when it differs: after a fork, the
// first write to the page that holds errno copies that page, in the parent
// and in the child.
ZYG_HOT_INLINE void errno_restore(int saved) {
  if (errno != saved) errno = saved;
}

struct errno_guard {
  int saved;
  ZYG_HOT_INLINE errno_guard() : saved(errno) {}
  ZYG_HOT_INLINE ~errno_guard() { errno_restore(saved); }
  errno_guard(const errno_guard&) = delete;
  errno_guard& operator=(const errno_guard&) = delete;
};

// "Unknown error" for numbers the C library has no text for.
inline const char* error_text(int err) {
  const char* text = strerrordesc_np(err);
  return text != nullptr ? text : "Unknown error";
}

}  // namespace zyg
