// exit.cpp - the exported exit, _exit and _Exit: the process is counted out
// of the launch (and its end logged) once, whichever of them it ends through.
#include <stdlib.h>
#include <unistd.h>

#include "base/layout.h"
#include "base/sys.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "placement/termination.h"
#include "report/log.h"

namespace {

using namespace zyg;

ZYG_HOT_CODE void count_out(log_message record) {
  if (launching_off()) return;
  // Start-up may switch launching off for this process, or fail to finish.
  if (!entry_started() || !launch_initialized) return;
  if (log_on()) log_record(record);
  lib_loaded_decrement();
}

}  // namespace

ZYG_EXPORT ZYG_HOT_CODE void exit(int status) noexcept {
  entry_resolve(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE exit() PRINTF\n");
  count_out(REC_EXIT);
  ZYG_TRACE("Calling the real exit()\n");
  real.exit(status);
  sys_exit_group(status);
}

ZYG_EXPORT ZYG_HOT_CODE void _exit(int status) noexcept {
  entry_resolve(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE _exit() PRINTF\n");
  count_out(REC_EXIT_NOW);
  ZYG_TRACE("Calling the real _exit()\n");
  real._exit(status);
  sys_exit_group(status);
}

ZYG_EXPORT ZYG_HOT_CODE void _Exit(int status) noexcept {
  entry_resolve(GROUP_EXIT);
  ZYG_TRACE("THIS IS THE _Exit() PRINTF\n");
  count_out(REC_EXIT_ISO);
  ZYG_TRACE("Calling the real _Exit()\n");
  real._Exit(status);
  sys_exit_group(status);
}
