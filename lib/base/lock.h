// lock.h - the futex mutex and condition variable.
//
// The mutex guards the launch data's shared counters (`ldata_lock`, a word in
// a file mapped by every process of a launched tree) and the per-process
// clone_arg cache. Lock word values:
//   0  unlocked
//   1  locked, no waiter
//   2  locked, waiters possible (unlock must FUTEX_WAKE)
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

void mutex_init(uint32_t* word);
void mutex_lock(uint32_t* word);
void mutex_unlock(uint32_t* word);

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
