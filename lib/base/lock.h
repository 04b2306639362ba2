// lock.h - the futex mutex and condition variable.
//
// The mutex guards the launch data's shared counters (`ldata_lock`, a word in
// a file mapped by every process of a launched tree) and the per-process
// clone_arg pool. Any process of a tree can be killed at any instruction, so
// the word names its holder:
//   0                    unlocked
//   TID                  locked by that thread, no waiter
//   TID | kLockWaiters   locked, waiters possible (unlock must FUTEX_WAKE)
// A waiter sleeps at most kLockWaitMs at a time; when the word has not moved
// it looks at the holder, and takes over the lock of a holder that is gone
// (or a zombie): the tree goes on. A live holder, even a stopped one, is
// never robbed; a reused TID only delays recovery. A thread that finds its
// own TID in the word was interrupted by a signal handler inside its own
// locked section: it gets a refusal instead of waiting for itself forever.
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

enum lock_result {
  LOCK_TAKEN = 0,
  LOCK_RECOVERED = 1,  // taken over from a holder that is gone
  LOCK_REENTERED = -1, // the calling thread holds it already: not taken
};

void mutex_init(uint32_t* word);
lock_result mutex_lock(uint32_t* word);
void mutex_unlock(uint32_t* word);

// The calling thread's TID as the lock records it (cached per thread). A
// forked child must forget the cache of the thread that forked: it runs
// under a TID of its own.
uint32_t lock_self_tid();
void lock_forget_tid();

struct cond_var {
  uint32_t seq;        // futex word
  uint32_t last_seen;  // sequence the last waiter saw
};

void cv_init(cond_var* cv);
// Unlocks `mutex`, waits for a signal, locks `mutex` again. Callers re-test
// their condition in a loop.
void cv_wait(cond_var* cv, uint32_t* mutex);
long cv_broadcast(cond_var* cv);

}  // namespace zyg

// Exported: wakes one waiter; returns the futex system call's result.
extern "C" long cv_signal(void* cv);
