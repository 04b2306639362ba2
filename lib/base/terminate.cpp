#include "base/terminate.h"

#include "base/layout.h"
#include "base/sys.h"

namespace zyg {

namespace {
exit_hook_fn volatile exit_hook;
}  // namespace

ZYG_HOT_CODE void set_exit_hook(exit_hook_fn fn) { exit_hook = fn; }

void terminate_process(int status) {
  exit_hook_fn hook = exit_hook;
  if (hook != nullptr) hook(status);
  sys_exit_group(status);
}

}  // namespace zyg
