// os.h - the one place where the library changes or reads a thread's CPU
// affinity and memory policy. Everything above calls these, never
// sched_setaffinity or set_mempolicy itself, so that every mask is sized the
// same way and the memory policy call never passes through an interposed
// `syscall`.
//
// Results are 0 or -errno (base/errors.h): callers report the number.
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
// True when the calling thread's affinity is exactly m (false when the
// kernel cannot say).
bool os_affinity_is(const bitmask* m);
// Only `cpu`: -EINVAL for a negative number or one of kMaxBindCpu or above.
int os_set_affinity_cpu(int cpu);

// MPOL_DEFAULT for the calling thread (local allocation).
int os_mempolicy_default();

// What the calling thread knows of its own memory policy: whether it is
// known to be the default. A thread's policy changes only by its own
// set_mempolicy, and a new task inherits its creator's, so a task that
// inherited a known default has nothing to reset. Only a task with
// thread-local storage of its own may note the default (a vfork child or a
// raw clone thread shares its creator's); any task may forget it, which is
// always safe. Every set_mempolicy of ours other than the default forgets it,
// and so does the exported syscall for the application's own calls.
bool os_mempolicy_known_default();
// The state to hand os_mempolicy_note_default, read before the policy is set:
// the note is dropped if the policy was forgotten in between.
unsigned char os_mempolicy_state();
void os_mempolicy_note_default(unsigned char since);
void os_mempolicy_forget();
// Asks the kernel: true when the calling thread's policy is MPOL_DEFAULT.
bool os_mempolicy_is_default();
// Asks the kernel once, for a thread that has never known: a process that
// creates many tasks pays one question instead of a reset in each of them.
void os_mempolicy_learn();

// Nodes the two calls below accept: the mask they build on the stack.
inline constexpr int kMaxPolicyNode = 1024;
// Memory preferred on `node`, and where that node is full, taken as a thread
// without a policy takes it: the local node first. MPOL_PREFERRED_MANY gives
// exactly that (its fallback follows the local node's zonelist); kernels
// before 5.15 lack it, and get MPOL_PREFERRED, whose fallback follows the
// preferred node's own zonelist (the CPU node nearest that memory node,
// which is the local node wherever each memory node has one nearest CPU
// node). Which one the kernel takes is learnt at the first call.
// -EINVAL for a negative node or one of kMaxPolicyNode or above.
int os_mempolicy_prefer(int node);
// Memory interleaved page by page over nodes `a` and `b`.
int os_mempolicy_interleave(int a, int b);

// The nodes this thread may take memory from (its cpuset's mems, what
// /proc/self/status shows as Mems_allowed) into words, which hold nbits
// bits. 0, or -errno.
int os_get_mems_allowed(unsigned long* words, size_t nbits);

// The calling thread's memory policy exactly as the kernel holds it: the mode
// with its flags (MPOL_F_STATIC_NODES ...) and the node mask, so that a
// policy we had to change for a while can be put back as it was.
inline constexpr size_t kMempolicyWords = 1024 / (8 * sizeof(unsigned long));  // 1024 nodes
struct os_mempolicy {
  int mode;
  unsigned long nodes[kMempolicyWords];
};
int os_get_mempolicy(os_mempolicy* p);
int os_set_mempolicy(const os_mempolicy* p);

}  // namespace zyg
