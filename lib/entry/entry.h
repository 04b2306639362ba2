// entry.h - the one way into the library for every exported interposer.
//
// Each interposer resolves its group of real functions (entry_resolve),
// passes straight through while launching is off (launching_off), runs
// start-up in this image if nothing has yet (entry_started: another library's
// initialiser may call us before our own initialiser ran) and only then does
// the library's work. The hooks that let lower layers reach start-up are
// installed before the first lookup, so that even a failed lookup from an
// early call is reported the library's way.
#pragma once

#include <sys/types.h>

#include "base/layout.h"
#include "core/real.h"
#include "core/state.h"
#include "start/init.h"

#define ZYG_EXPORT extern "C" __attribute__((visibility("default")))

namespace zyg {

// Our own definitions of the interposed names (init_fini.cpp).
extern void* const kOwnFnsTable[OWN_COUNT];

// Installs the lower layers' hooks and our own functions' table, then
// resolves group g. The slow path of entry_resolve.
void entry_resolve_slow(real_group g);

ZYG_HOT_INLINE void entry_resolve(real_group g) {
  if (__builtin_expect(!real_resolved[g], 0)) entry_resolve_slow(g);
}

// Start-up has run in this image (it runs now when it has not); false when
// launching is off for the process, and the caller only calls the real
// function.
bool entry_started();

// Internal entry points shared by the exported functions and the syscall
// router (which must never call the exported names).
pid_t entry_fork();
pid_t entry_vfork();
int entry_execve(const char* path, char* const argv[], char* const envp[]);
int entry_execveat(int dirfd, const char* path, char* const argv[], char* const envp[], int flags);

}  // namespace zyg
