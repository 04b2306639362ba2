// init_fini.cpp - the shared object's initialiser and finaliser, and the
// table of our own definitions of the interposed names.
//
// The initialiser runs start-up as soon as the loader has mapped the library
// (an interposed call from an earlier initialiser may already have done it).
// The finaliser catches the ends of a process that bypass our exit
// functions: a return from main, or the C library's own exit called from
// inside the C library.

#include "base/layout.h"
#include "base/lock.h"
#include "base/sys.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "placement/termination.h"
#include "report/log.h"

namespace zyg {

namespace own_def {
// Our own definitions, declared by their symbol names alone: apart from the
// C library's declarations of the same names (whose types some of ours do not
// share, and whose headers this file need not include), and only for their
// addresses.
#define ZYG_REAL(name, group, symbol, ret, params) void name() __asm__(#name);
#define ZYG_LOOKUP(name, group, symbol) void name() __asm__(#name);
#include "core/interposed.def"
}  // namespace own_def

// The addresses of our own definitions of the interposed names, so that the
// resolver can refuse a "next" definition that is really ours (a wrapper that
// called itself would never return). Address constants: filled in by the
// loader's relocations, before any code of the library runs. Made from the
// same rows as own_fn, so entry OWN_<name> is <name>'s.
void* const kOwnFnsTable[] = {
#define ZYG_REAL(name, group, symbol, ret, params) reinterpret_cast<void*>(&own_def::name),
#define ZYG_LOOKUP(name, group, symbol) reinterpret_cast<void*>(&own_def::name),
#include "core/interposed.def"
};
static_assert(sizeof kOwnFnsTable / sizeof kOwnFnsTable[0] == OWN_COUNT);

ZYG_HOT_CODE bool entry_started() {
  if (__builtin_expect(!launch_initialized, 0) && !launching_off()) launch_init();
  return !launching_off();
}

void entry_resolve_slow(real_group g) {
  set_own_functions(kOwnFnsTable);
  install_start_hooks();
  resolve_group(g);
}

}  // namespace zyg

namespace {

ZYG_HOT_CODE __attribute__((constructor)) void launch_ctor() {
  zyg::set_own_functions(zyg::kOwnFnsTable);
  zyg::install_start_hooks();
  zyg::launch_init();
}

ZYG_HOT_CODE __attribute__((destructor)) void launch_fini() {
  using namespace zyg;
  ZYG_TRACE("launch_fini()\n");
  if (launching_off() || !launch_initialized) return;
  // Counted out already on its way here (exit, _exit, a fatal report).
  const int pid = sys_getpid();
  if (counted_out(pid)) return;
  if (log_on()) log_record(REC_IMPLICIT_EXIT);
  lib_loaded_decrement(pid);
  ZYG_TRACE("launch_fini() complete\n");
}

}  // namespace
