// real.cpp - finding the C library's own definitions of the functions that
// this library exports under the same names.
//
// dlsym(RTLD_NEXT) from inside this object returns the next definition after
// us in the loader's search order, which is the C library's (or that of a
// preload library listed after us). Getting back our own definition would
// make every wrapper call itself forever, so that is refused as firmly as a
// missing symbol.
#include "core/real.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/trace.h"
#include "core/hooks.h"
#include "core/state.h"

namespace zyg {

real_fns real;
volatile uint32_t real_resolved[GROUP_COUNT];

namespace {
// Our own wrappers' addresses, registered by the entry points.
void* const* volatile own_fns;
}  // namespace

void set_own_functions(void* const* table) { own_fns = table; }

namespace {

// Kept out of resolve_real so that its message buffer is not part of the
// frame of every lookup (lookups may happen on a new thread's small stack).
[[noreturn]] __attribute__((noinline)) void missing_symbol(const char* label) {
  char msg[512];
  int n = snprintf(msg, sizeof msg, "can't obtain address for %s", label);
  const char* why = dlerror();
  if (why != nullptr && n >= 0 && (size_t)n < sizeof msg) {
    snprintf(msg + n, sizeof msg - (size_t)n, "\n       %s", why);
  }
  fatal_text(msg);
}

[[noreturn]] __attribute__((noinline)) void same_symbol(const char* label) {
  char msg[128];
  snprintf(msg, sizeof msg, "%s is not different", label);
  fatal_text(msg);
}

}  // namespace

void* resolve_real(const char* name, const char* label, void* own) {
  (void)dlerror();
  void* p = dlsym(RTLD_NEXT, name);
  if (p == nullptr) missing_symbol(label);
  if (p == own) same_symbol(label);
  return p;
}

namespace {

void* own(own_fn f) {
  void* const* table = own_fns;
  return table != nullptr ? table[f] : nullptr;
}

template <typename F>
void store(F*& slot, const char* name, const char* label, own_fn f) {
  slot = reinterpret_cast<F*>(resolve_real(name, label, own(f)));
}

}  // namespace

void resolve_group(real_group g) {
  switch (g) {
    case GROUP_EXIT:
      store(real.exit, "exit", "symbol # 3", OWN_EXIT);
      store(real._exit, "_exit", "symbol # 4", OWN__EXIT);
      store(real._Exit, "_Exit", "symbol # 5", OWN__EXIT_UPPER);
      break;
    case GROUP_SYSCALL:
      store(real.syscall, "syscall", "symbol # 10", OWN_SYSCALL);
      break;
    case GROUP_FORK:
      store(real.fork, "fork", "symbol # 6", OWN_FORK);
      break;
    case GROUP_VFORK:
      // Looked up so that a missing vfork is reported like any other real
      // function; the vfork wrapper creates the process with the real fork.
      (void)resolve_real("vfork", "symbol # 8", own(OWN_VFORK));
      break;
    case GROUP_CLONE:
      store(real.clone, "clone", "symbol # 1", OWN_CLONE);
      // The unversioned lookup yields the default version, the one that
      // programs built against this C library call.
      store(real.pthread_create, "pthread_create", "symbol # 27", OWN_PTHREAD_CREATE);
      break;
    case GROUP_EXEC:
      store(real.execve, "execve", "symbol # 11", OWN_EXECVE);
      store(real.execvpe, "execvpe", "symbol # 13", OWN_EXECVPE);
      store(real.fexecve, "fexecve", "symbol # 15", OWN_FEXECVE);
      // The list forms are only looked up: their wrappers build an argument
      // vector and go through execve / execvp.
      (void)resolve_real("execle", "symbol # 16", own(OWN_EXECLE));
      store(real.execvp, "execvp", "symbol # 17", OWN_EXECVP);
      store(real.execv, "execv", "symbol # 18", OWN_EXECV);
      (void)resolve_real("execl", "symbol # 19", own(OWN_EXECL));
      (void)resolve_real("execlp", "symbol # 20", own(OWN_EXECLP));
      store(real.posix_spawn, "posix_spawn", "symbol # 21", OWN_POSIX_SPAWN);
      store(real.posix_spawnp, "posix_spawnp", "symbol # 23", OWN_POSIX_SPAWNP);
      store(real.system, "system", "symbol # 26", OWN_SYSTEM);
      store(real.popen, "popen", "symbol # 28", OWN_POPEN);
      break;
    case GROUP_COUNT:
      return;
  }
  // Whoever sees the flag set must also see the pointers stored above.
  full_barrier();
  real_resolved[g] = 1;
}

void resolve_all() {
  ZYG_TRACE("INIT : initializing function pointers\n");
  for (int g = 0; g < GROUP_COUNT; ++g) resolve_group(static_cast<real_group>(g));
}

}  // namespace zyg
