// process.cpp - the exported fork and vfork.
//
// Both create the process with the real fork (see lib/placement/process.cpp
// for why a vfork child must not share our frames); the real vfork is looked
// up all the same, so that its absence is reported like any other.
#include <unistd.h>

#include "base/trace.h"
#include "entry/entry.h"
#include "placement/create.h"

namespace zyg {

pid_t entry_fork() {
  entry_resolve(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE fork() PRINTF\n");
  if (!entry_started()) return real.fork();
  return fork_placed("child start in fork()", false);
}

pid_t entry_vfork() {
  entry_resolve(GROUP_VFORK);
  entry_resolve(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE vfork() PRINTF\n");
  if (!entry_started()) return real.fork();
  return fork_placed("child start in vfork()", true);
}

}  // namespace zyg

ZYG_EXPORT pid_t fork() noexcept { return zyg::entry_fork(); }

ZYG_EXPORT pid_t vfork() noexcept { return zyg::entry_vfork(); }
