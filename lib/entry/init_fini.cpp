// init_fini.cpp - the shared object's initialiser and finaliser, and the
// table of our own definitions of the interposed names.
//
// The initialiser runs start-up as soon as the loader has mapped the library
// (an interposed call from an earlier initialiser may already have done it).
// The finaliser catches the ends of a process that bypass our exit
// functions: a return from main, or the C library's own exit called from
// inside the C library.
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include "base/lock.h"
#include "base/sys.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "placement/termination.h"
#include "report/log.h"

namespace zyg {

// The addresses of our own definitions of the interposed names, so that the
// resolver can refuse a "next" definition that is really ours (a wrapper that
// called itself would never return). Address constants: filled in by the
// loader's relocations, before any code of the library runs.
void* const own_fns_table[OWN_COUNT] = {
    reinterpret_cast<void*>(&::exit),         reinterpret_cast<void*>(&::_exit),
    reinterpret_cast<void*>(&::_Exit),        reinterpret_cast<void*>(&::syscall),
    reinterpret_cast<void*>(&::fork),         reinterpret_cast<void*>(&::vfork),
    reinterpret_cast<void*>(&::clone),        reinterpret_cast<void*>(&::pthread_create),
    reinterpret_cast<void*>(&::execve),       reinterpret_cast<void*>(&::execvpe),
    reinterpret_cast<void*>(&::fexecve),      reinterpret_cast<void*>(&::execle),
    reinterpret_cast<void*>(&::execvp),       reinterpret_cast<void*>(&::execv),
    reinterpret_cast<void*>(&::execl),        reinterpret_cast<void*>(&::execlp),
    reinterpret_cast<void*>(&::posix_spawn),  reinterpret_cast<void*>(&::posix_spawnp),
    reinterpret_cast<void*>(&::system),       reinterpret_cast<void*>(&::popen),
};

void entry_resolve_slow(real_group g) {
  set_own_functions(own_fns_table);
  install_start_hooks();
  resolve_group(g);
}

}  // namespace zyg

namespace {

// A child made by the C library's fork without passing through ours (its
// internal callers, such as daemon) must not lock under its parent's TID.
void forget_tid_in_child() { zyg::lock_new_process(); }

__attribute__((constructor)) void launch_ctor() {
  pthread_atfork(nullptr, nullptr, forget_tid_in_child);
  zyg::set_own_functions(zyg::own_fns_table);
  zyg::install_start_hooks();
  zyg::launch_init();
}

__attribute__((destructor)) void launch_fini() {
  using namespace zyg;
  ZYG_TRACE("launch_fini()\n");
  if (launching_off() || !launch_initialized) return;
  // Counted out already on its way here (exit, _exit, a fatal report).
  const int pid = sys_getpid();
  if (counted_out(pid)) return;
  if (log_on()) log_record("implicit exit()");
  lib_loaded_decrement(pid);
  ZYG_TRACE("launch_fini() complete\n");
}

}  // namespace
