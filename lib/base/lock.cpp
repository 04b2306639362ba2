// lock.cpp - the futex mutex and condition variable.
//
// A three-state futex lock (free, held, held with waiters possible) whose
// held states carry the holder's TID, so that a holder that died can be told
// from one that is merely slow. Taking a free lock and releasing one nobody
// waits for are a single atomic instruction each; only contention enters the
// kernel. Every futex call uses the shared operations: `ldata_lock` lives in
// a file that several processes map, and the kernel keys private futexes by
// address space, so a private wait in one process would never see a wake from
// another.
#include "base/lock.h"

#include <errno.h>
#include <linux/futex.h>
#include <time.h>

#include "base/file.h"
#include "base/sys.h"

namespace zyg {

namespace {

__thread uint32_t cached_tid;

// Old value of the word; the swap happened when it equals `expected`.
inline uint32_t cas(uint32_t* w, uint32_t expected, uint32_t desired) {
  __atomic_compare_exchange_n(w, &expected, desired, false, __ATOMIC_ACQUIRE,
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

// The holder is gone for good: no such task, or a zombie (a killed process's
// main thread stays one until its parent reaps it, and the parent may be the
// very process waiting here).
__attribute__((noinline)) bool holder_gone(uint32_t tid) {
  if (tid == 0) return false;
  if (sys_probe_task((int)tid) == -ESRCH) return true;
  char path[48];
  char stat[128];
  int n = 0;
  // "/proc/<tid>/stat": state is the field after the last ')'.
  const char prefix[] = "/proc/";
  for (const char* p = prefix; *p; ++p) path[n++] = *p;
  char digits[12];
  int d = 0;
  for (uint32_t v = tid; v > 0; v /= 10) digits[d++] = (char)('0' + v % 10);
  while (d > 0) path[n++] = digits[--d];
  const char suffix[] = "/stat";
  for (const char* p = suffix; *p; ++p) path[n++] = *p;
  path[n] = '\0';
  long got = read_small_file(path, stat, sizeof stat);
  if (got == -1) return true;  // no /proc entry: gone between the two looks
  if (got <= 0) return false;
  const char* close = nullptr;
  for (long i = 0; i < got; i++)
    if (stat[i] == ')') close = stat + i;
  if (close == nullptr || close + 2 >= stat + got) return false;
  char state = close[2];
  return state == 'Z' || state == 'X' || state == 'x';
}

__attribute__((noinline, cold)) lock_result mutex_lock_slow(uint32_t* w, uint32_t me,
                                                            uint32_t seen) {
  for (;;) {
    if (seen == 0) {
      // Whoever takes the lock from here takes it with the waiters flag:
      // other waiters may still sleep on the word and must be woken.
      seen = cas(w, 0, me | kLockWaiters);
      if (seen == 0) return LOCK_TAKEN;
      continue;
    }
    uint32_t holder = seen & kLockOwnerMask;
    if (holder == me) return LOCK_REENTERED;
    if (!(seen & kLockWaiters)) {
      uint32_t now = cas(w, seen, seen | kLockWaiters);
      if (now != seen) {
        seen = now;
        continue;
      }
      seen |= kLockWaiters;
    }
    long r = futex_wait_bounded(w, seen);
    uint32_t now = __atomic_load_n(w, __ATOMIC_RELAXED);
    if (r == -ETIMEDOUT && now == seen && holder_gone(holder)) {
      // The holder died between lock and unlock. What it protected may be
      // off by its one half-done step; waiting for it would be forever.
      now = cas(w, seen, me | kLockWaiters);
      if (now == seen) return LOCK_RECOVERED;
    }
    seen = now;
  }
}

}  // namespace

uint32_t lock_self_tid() {
  uint32_t t = cached_tid;
  if (__builtin_expect(t == 0, 0)) {
    t = (uint32_t)sys_gettid();
    cached_tid = t;
  }
  return t;
}

void lock_forget_tid() { cached_tid = 0; }

void mutex_init(uint32_t* word) {
  // A sequentially consistent exchange is the store and the full barrier in
  // one instruction (and, unlike a bare fence, ThreadSanitizer models it).
  __atomic_exchange_n(word, 0u, __ATOMIC_SEQ_CST);
}

lock_result mutex_lock(uint32_t* word) {
  uint32_t me = lock_self_tid();
  uint32_t seen = cas(word, 0, me);
  if (__builtin_expect(seen == 0, 1)) return LOCK_TAKEN;
  return mutex_lock_slow(word, me, seen);
}

void mutex_unlock(uint32_t* word) {
  if (__atomic_exchange_n(word, 0u, __ATOMIC_RELEASE) & kLockWaiters) futex_wake(word, 1);
}

void cv_init(cond_var* cv) {
  __atomic_store_n(&cv->seq, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&cv->last_seen, 0u, __ATOMIC_RELAXED);
}

void cv_wait(cond_var* cv, uint32_t* mutex) {
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
