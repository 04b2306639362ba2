// exit_interpose.cpp - exit, _exit and _Exit: the process is counted out of
// the launch (and its end logged) once, whichever of them it ends through.
#include <stdlib.h>
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
#include "core/state.h"
#include "core/sys.h"
#include "placement/termination.h"
#include "report/debug.h"
#include "report/log.h"

namespace {

using namespace zyg;

void count_out(const char* record) {
  if (launching_off()) return;
  if (!launch_initialized) launch_init();
  // Start-up may have switched launching off for this process.
  if (launching_off() || !launch_initialized) return;
  if (log_on()) log_record(record);
  lib_loaded_decrement();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void exit(int status) noexcept {
  ensure_resolved(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE exit() PRINTF\n");
  count_out("exit()");
  ZYG_TRACE("Calling the real exit()\n");
  real.exit(status);
  sys_exit_group(status);
}

extern "C" __attribute__((visibility("default"))) void _exit(int status) noexcept {
  ensure_resolved(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE _exit() PRINTF\n");
  count_out("_exit()");
  ZYG_TRACE("Calling the real _exit()\n");
  real._exit(status);
  sys_exit_group(status);
}

extern "C" __attribute__((visibility("default"))) void _Exit(int status) noexcept {
  ensure_resolved(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE _Exit() PRINTF\n");
  count_out("_Exit()");
  ZYG_TRACE("Calling the real _Exit()\n");
  real._Exit(status);
  sys_exit_group(status);
}
