// lock.cpp - the futex mutex and condition variable.
//
// A three-state futex lock (free, held, held with waiters possible) whose
// held states carry the holder's identity (TID and PID namespace), so that a
// holder that died can be told from one that is merely slow, whatever
// namespace either side runs in. Taking a free lock and releasing one nobody
// waits for are a single atomic instruction each; only contention enters the
// kernel. Every futex call uses the shared operations: `ldata_lock` lives in
// a file that several processes map, and the kernel keys private futexes by
// address space, so a private wait in one process would never see a wake from
// another.
//
// Everything here uses the raw system calls of base/sys.h: the lock is taken
// in forked children before user code runs and inside signal handlers, and
// must leave errno as it found it. Who the caller is (its TID and namespace)
// is base/lock_identity.h's; whether a holder is gone, base/lock_holder.h's.
#include "base/lock.h"

#include <errno.h>
#include <linux/futex.h>
#include <time.h>

#include "base/layout.h"
#include "base/lock_holder.h"
#include "base/lock_identity.h"
#include "base/sys.h"

namespace zyg {

using namespace lock_detail;

namespace {

// Old value of the lock; the swap happened when it equals `expected`.
inline uint64_t cas(futex_mutex* m, uint64_t expected, uint64_t desired) {
  __atomic_compare_exchange_n(&m->both, &expected, desired, false, __ATOMIC_ACQUIRE,
                              __ATOMIC_RELAXED);
  return expected;
}

inline long futex_wake(uint32_t* w, uint32_t count) { return sys_futex(w, FUTEX_WAKE, count); }

// Sleeps while *w == val, at most kLockWaitMs. Returns on a wake, a signal
// (EINTR), a changed word (EAGAIN) or the timeout (-ETIMEDOUT); callers
// re-test the word, which is how every case but the timeout is retried.
inline long futex_wait_bounded(uint32_t* w, uint32_t val) {
  struct timespec t = {0, kLockWaitMs * 1000000L};
  return sys_futex_wait_for(w, val, &t);
}

// Rarely run, but a process that meets the lock taken (its parent writing
// a log record) may be one that only starts and ends.
ZYG_HOT_CODE __attribute__((noinline, cold)) lock_result mutex_lock_slow(futex_mutex* m,
                                                                         uint64_t me,
                                                                         uint64_t seen) {
  for (;;) {
    if (seen == 0) {
      // Whoever takes the lock from here takes it with the waiters flag:
      // other waiters may still sleep on the word and must be woken.
      seen = cas(m, 0, me | kLockWaiters);
      if (seen == 0) return LOCK_TAKEN;
      continue;
    }
    if ((seen & ~(uint64_t)kLockWaiters) == me) return LOCK_REENTERED;
    if (!(seen & kLockWaiters)) {
      uint64_t now = cas(m, seen, seen | kLockWaiters);
      if (now != seen) {
        seen = now;
        continue;
      }
      seen |= kLockWaiters;
    }
    long r = futex_wait_bounded(&m->half.word, word_of(seen));
    uint64_t now = __atomic_load_n(&m->both, __ATOMIC_RELAXED);
    if (r == -ETIMEDOUT && now == seen && holder_gone(seen, me)) {
      // The holder died between lock and unlock. What it protected may be
      // off by its one half-done step; waiting for it would be forever.
      now = cas(m, seen, me | kLockWaiters);
      if (now == seen) return LOCK_RECOVERED;
    }
    seen = now;
  }
}

}  // namespace

ZYG_HOT_CODE void mutex_init(futex_mutex* m) {
  // A sequentially consistent exchange is the store and the full barrier in
  // one instruction (and, unlike a bare fence, ThreadSanitizer models it).
  __atomic_exchange_n(&m->both, (uint64_t)0, __ATOMIC_SEQ_CST);
}

ZYG_HOT_CODE lock_result mutex_lock(futex_mutex* m) {
  uint64_t me = self_identity();
  uint64_t seen = cas(m, 0, me);
  if (__builtin_expect(seen == 0, 1)) return LOCK_TAKEN;
  return mutex_lock_slow(m, me, seen);
}

ZYG_HOT_CODE void mutex_unlock(futex_mutex* m) {
  if (__atomic_exchange_n(&m->both, (uint64_t)0, __ATOMIC_RELEASE) & kLockWaiters)
    futex_wake(&m->half.word, 1);
}

ZYG_HOT_CODE void cv_init(cond_var* cv) {
  __atomic_store_n(&cv->seq, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&cv->last_seen, 0u, __ATOMIC_RELAXED);
}

void cv_wait(cond_var* cv, futex_mutex* mutex) {
  uint32_t s = __atomic_load_n(&cv->seq, __ATOMIC_RELAXED);
  __atomic_store_n(&cv->last_seen, s, __ATOMIC_RELAXED);
  mutex_unlock(mutex);
  // A signal between the unlock and the wait has already moved the sequence
  // word past s, so the wait returns at once instead of missing it.
  futex_wait_bounded(&cv->seq, s);
  mutex_lock(mutex);
}

namespace {
inline long cv_wake(cond_var* cv, uint32_t count) {
  uint32_t next = __atomic_load_n(&cv->last_seen, __ATOMIC_RELAXED) + 1;
  __atomic_store_n(&cv->seq, next, __ATOMIC_RELEASE);
  return futex_wake(&cv->seq, count);
}
}  // namespace

long cv_broadcast(cond_var* cv) { return cv_wake(cv, 2147483647u); }

}  // namespace zyg

extern "C" __attribute__((visibility("default"))) long cv_signal(void* cv) {
  return zyg::cv_wake(static_cast<zyg::cond_var*>(cv), 1);
}
