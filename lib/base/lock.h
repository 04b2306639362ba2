// lock.h - the futex mutex and condition variable.
//
// The mutex guards the launch data's shared counters (`ldata_lock`, in a file
// mapped by every process of a launched tree) and the per-process clone_arg
// pool. Any process of a tree can be killed at any instruction, so the lock
// names its holder. It is two 32-bit words, changed together by one 64-bit
// atomic instruction:
//   word  0                    unlocked
//         TID                  locked by that thread, no waiter
//         TID | kLockWaiters   locked, waiters possible (unlock must FUTEX_WAKE)
//   ns    the holder's PID namespace: the inode number of its
//         /proc/<pid>/ns/pid (0 while unlocked; kLockNsUnknown when the
//         holder could not name its namespace)
// The futex calls use `word` alone.
//
// Holder identity. A TID is a number in one PID namespace only: the same
// number names another task, or none, in the namespace of a member that runs
// under `unshare -p`, in a container or in a sandbox. So the holder is the
// pair (TID, namespace), and no member ever reads a TID in a namespace other
// than the one recorded with it. A waiter sleeps at most kLockWaitMs at a
// time; when the lock has not moved it asks whether the holder is gone, and
// takes over only on proof:
//   - same namespace: the TID names no task, or a process that has ended
//     (a zombie: a killed process's main thread stays one until its parent
//     reaps it, and the parent may be the very process waiting here);
//   - any namespace, through /proc (whichever namespace that /proc shows):
//     some task of the holder's namespace is visible there (or /proc shows
//     the initial namespace, which sees them all) and none of them, living,
//     has the TID as its own number in that namespace.
// Anything else is no proof (the holder's namespace is above or beside the
// waiter's and /proc does not show it, /proc cannot be read, the holder
// could not name its namespace): the waiter keeps waiting, and a waiter that
// can see the holder recovers the lock if it dies. A live holder, even a
// stopped one, is never robbed; a reused TID only delays recovery. A thread
// that finds its own identity in the lock was interrupted by a signal handler
// inside its own locked section: it gets a refusal instead of waiting for
// itself forever.
//
// Each thread caches its identity. A child the C library forks itself (its
// internal callers, such as daemon(), never pass through our fork) inherits
// the cache of the thread that forked: the C library's thread descriptor,
// whose TID field the kernel writes in every child it forks
// (CLONE_CHILD_SETTID), tells it so, one load from the thread pointer per
// lock (without such a descriptor every lock asks the kernel). A process never changes PID
// namespace (unshare and setns move only the children made afterwards), so the namespace is looked
// up once per process and shared by its threads. A child is in its parent's namespace unless the
// parent is invisible to it (getppid() returns 0): only such a child looks its namespace up again.
//
// All futex calls use the shared (non-private) operations so that one word
// works across processes sharing a mapping. The uncontended lock and unlock
// are one atomic instruction each, with no system call.
//
// The condition variable is two words: the sequence (the futex word) and the
// sequence the last waiter saw. `cv_signal` is exported with C linkage.
#pragma once

#include <stdint.h>

namespace zyg {

static_assert(sizeof(uint32_t) == 4, "futex words are 32-bit");

inline constexpr uint32_t kLockWaiters = 1u << 30;  // above any TID (pid_max <= 2^22)
inline constexpr uint32_t kLockOwnerMask = kLockWaiters - 1;
inline constexpr int kLockWaitMs = 100;
// No PID namespace's inode number is this small.
inline constexpr uint32_t kLockNsUnknown = 1;

union futex_mutex {
  uint64_t both;  // word | ns << 32, for the atomic instructions
  struct {
    uint32_t word;  // the futex word (the low half on this little-endian machine)
    uint32_t ns;
  } half;
};
static_assert(sizeof(futex_mutex) == 8 && alignof(futex_mutex) == 8);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the futex word is the low half");

enum lock_result {
  LOCK_TAKEN = 0,
  LOCK_RECOVERED = 1,   // taken over from a holder proven gone
  LOCK_REENTERED = -1,  // the calling thread holds it already: not taken
};

void mutex_init(futex_mutex* m);
lock_result mutex_lock(futex_mutex* m);
void mutex_unlock(futex_mutex* m);

// The calling thread's TID as the lock records it (cached per thread).
uint32_t lock_self_tid();
// A new task forgets the identity cached by the thread that made it: it runs
// under a TID of its own, and perhaps in a PID namespace of its own.
// lock_forget_tid: a child that shares its parent's memory (vfork, CLONE_VM),
// and the parent thread once such a child has left (the child ran on its
// storage); it leaves the process's cached namespace alone.
// lock_new_process: a child with memory of its own (fork), before it runs
// anything else; it also forgets the cached namespace when the parent is in
// another one.
void lock_forget_tid();
void lock_new_process();
// A thread the C library has just started, before its first lock: its
// descriptor is its own and holds its TID (the kernel writes it there before
// the thread runs), so its identity is known without asking the kernel once
// the process's namespace is. Not for a raw clone thread, whose descriptor
// may be its creator's; does nothing where no descriptor can be read.
void lock_new_pthread();
// Tests: the descriptor's TID field at `offset` from the thread pointer, -1
// for none (every lock then asks the kernel), 0 to learn it again.
void lock_set_tid_field_for_test(long offset);

struct cond_var {
  uint32_t seq;        // futex word
  uint32_t last_seen;  // sequence the last waiter saw
};

void cv_init(cond_var* cv);
// Unlocks `mutex`, waits for a signal, locks `mutex` again. Callers re-test
// their condition in a loop.
void cv_wait(cond_var* cv, futex_mutex* mutex);
long cv_broadcast(cond_var* cv);

}  // namespace zyg

// Exported: wakes one waiter; returns the futex system call's result.
extern "C" long cv_signal(void* cv);
