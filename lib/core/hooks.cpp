#include "core/hooks.h"

#include <string.h>

#include "base/file.h"
#include "base/layout.h"
#include "base/terminate.h"
#include "core/state.h"

namespace zyg {

namespace {
disable_hook_fn volatile disable_hook;
fatal_hook_fn volatile fatal_hook;
}  // namespace

ZYG_HOT_CODE void set_launch_hooks(disable_hook_fn disable, fatal_hook_fn fatal) {
  disable_hook = disable;
  fatal_hook = fatal;
}

void disable_launch() {
  disable_hook_fn hook = disable_hook;
  if (hook != nullptr) {
    hook();
    return;
  }
  full_barrier();
  launch_disabled = 1;
}

void fatal_text(const char* msg) {
  fatal_hook_fn hook = fatal_hook;
  if (hook != nullptr) hook(msg);
  static constexpr char kHead[] = "zyg-nox error: ";
  (void)write_all(2, kHead, sizeof kHead - 1);
  (void)write_all(2, msg, strlen(msg));
  (void)write_all(2, "\n", 1);
  terminate_process(1);
}

}  // namespace zyg
