// os.h - the one place where the library changes or reads a thread's CPU
// affinity and memory policy. Everything above calls these, never
// sched_setaffinity or set_mempolicy itself, so that every mask is sized the
// same way and the memory policy call never passes through an interposed
// `syscall`.
//
// Results are 0 or an errno value (never -1): callers report the number.
// errno itself is left as it was.
#pragma once

#include <stddef.h>

struct bitmask;

namespace zyg {

// Single-CPU masks are built on the stack for CPUs below this.
inline constexpr int kMaxBindCpu = 4096;

// The calling thread's affinity into words (nwords unsigned longs, cleared
// first); bits beyond the kernel's mask stay clear.
int os_get_affinity(unsigned long* words, size_t nwords);
int os_set_affinity(const unsigned long* words, size_t nwords);
int os_set_affinity_mask(const bitmask* m);
// Only `cpu`: EINVAL for a negative number or one of kMaxBindCpu or above.
int os_set_affinity_cpu(int cpu);

// MPOL_DEFAULT for the calling thread (local allocation).
int os_mempolicy_default();

}  // namespace zyg
