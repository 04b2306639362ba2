// termination.cpp - the library's own exit path.
#include "placement/termination.h"

#include "base/layout.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/real.h"
#include "core/state.h"
#include "report/log.h"

namespace zyg {

namespace {
// Set while this thread is inside library_exit: a fatal report raised on the
// way out (say, a failed lookup of the real _exit) ends the process directly
// instead of coming back here.
__thread int exiting_thread;
}  // namespace

void library_exit(int status) {
  if (exiting_thread) sys_exit_group(status);
  exiting_thread = 1;
  ensure_resolved(GROUP_EXIT);
  if (!launching_off() && launch_initialized) {
    if (log_on()) log_record(REC_EXIT_NOW);
    lib_loaded_decrement();
  }
  if (real._exit) real._exit(status);
  sys_exit_group(status);
}

}  // namespace zyg
