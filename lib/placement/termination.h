// termination.h - the library's own exit path (the counting it does is
// core/membership.h's).
#pragma once

#include "core/membership.h"

namespace zyg {

// The library's own _exit: logs "_exit()", counts out, calls the real _exit.
// Used for fatal reports once start-up is complete.
[[noreturn]] void library_exit(int status);

}  // namespace zyg
