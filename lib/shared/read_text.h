// read_text.h - a small kernel file (sysfs, procfs) read whole into the
// caller's buffer with plain calls, for the launcher and for start-up code
// that shares its readers with it: no allocation, no stdio.
#pragma once

#include <stddef.h>

namespace zyg {

// Reads at most size - 1 bytes of path into buf and ends them with a NUL;
// interrupted calls are retried. The length read, -1 when the file does not
// exist, -2 when it cannot be read.
long read_text(const char* path, char* buf, size_t size);

}  // namespace zyg
