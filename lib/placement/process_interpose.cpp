// process_interpose.cpp - fork and vfork.
//
// vfork is carried out with the real fork: a vfork child shares the parent's
// memory and stack, so returning through this wrapper (and running the
// library's own steps in the child) would overwrite the frames the suspended
// parent is about to return through. With fork the child has its own copy.
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
#include "core/state.h"
#include "report/debug.h"

namespace {

using namespace zyg;

void start_if_needed() {
  if (!launching_off() && !launch_initialized) launch_init();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) pid_t fork() noexcept {
  ensure_resolved(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE fork() PRINTF\n");
  start_if_needed();
  ZYG_TRACE("Calling the real fork()\n");
  return real.fork();
}

extern "C" __attribute__((visibility("default"))) pid_t vfork() noexcept {
  ensure_resolved(GROUP_VFORK);
  ensure_resolved(GROUP_FORK);
  if (launching_off()) return real.fork();
  ZYG_TRACE("THIS IS THE vfork() PRINTF\n");
  start_if_needed();
  ZYG_TRACE("Calling the real fork()\n");
  return real.fork();
}
