// state.h - per-process flags of the preload library.
//
// Plain 32-bit words, ordinary globals: inherited across fork, reset by exec
// (a new image starts with all of them 0). Writers set `launch_initialized`
// and the "resolved"/"handled" flags only after a full memory barrier, so a
// thread that sees a flag set also sees what was written before it.
#pragma once

#include <stdint.h>

#include "base/layout.h"
#include "core/membership.h"

namespace zyg {

extern volatile uint32_t launch_initialized;  // launch_init completed in this image
extern volatile uint32_t launch_disabled;  // launching off: interposers only call the real function
extern volatile uint32_t rr_pack_child;    // placed by rr_pack: places nothing itself
extern volatile uint32_t is_initial_process;   // created the launch data file
extern volatile uint32_t main_thread_handled;  // thread_clone_init has run in this process

// Every interposer tests this first (after resolving its real function).
// Launching is off for the whole process, or only for the vfork child
// running on this thread (base/scratch.h): the thread's own storage is read
// only while some vfork child has it off.
ZYG_HOT_INLINE bool launching_off() {
  if (__builtin_expect((launch_disabled | rr_pack_child | vfork_children_off) == 0, 1)) {
    return false;
  }
  return (launch_disabled | rr_pack_child) != 0 || vfork_child_off();
}

inline void full_barrier() {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer refuses bare fences; the same x86 full barrier in asm.
  __asm__ volatile("mfence" ::: "memory");
#else
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

}  // namespace zyg
