// lock.cpp - the futex mutex and condition variable.
//
// The mutex is the classic three-state futex lock (0 free, 1 locked, 2 locked
// with waiters possible). Taking a free lock and releasing one nobody waits
// for are a single atomic instruction each; only contention enters the
// kernel. Every futex call uses the shared operations: `ldata_lock` lives in
// a file that several processes map, and the kernel keys private futexes by
// address space, so a private wait in one process would never see a wake from
// another.
#include "base/lock.h"

#include <linux/futex.h>

#include "base/sys.h"

namespace zyg {

namespace {

constexpr uint32_t kFree = 0;
constexpr uint32_t kLocked = 1;
constexpr uint32_t kContended = 2;

// Old value of the word; the swap happened when it equals `expected`.
inline uint32_t cas(uint32_t* w, uint32_t expected, uint32_t desired) {
  __atomic_compare_exchange_n(w, &expected, desired, false, __ATOMIC_ACQUIRE,
                              __ATOMIC_RELAXED);
  return expected;
}

// Sleeps while *w == val. Returns on a wake, on a signal (EINTR) and at once
// when the word no longer holds val (EAGAIN); callers re-test the word, which
// is how every one of those cases is retried.
inline long futex_wait(uint32_t* w, uint32_t val) { return sys_futex(w, FUTEX_WAIT, val); }

inline long futex_wake(uint32_t* w, uint32_t count) { return sys_futex(w, FUTEX_WAKE, count); }

__attribute__((noinline, cold)) void mutex_lock_slow(uint32_t* w, uint32_t seen) {
  // Announce ourselves as a waiter (state 2) unless the lock came free.
  for (;;) {
    if (seen == kContended) break;
    if (seen == kLocked) {
      seen = cas(w, kLocked, kContended);
      if (seen == kLocked) break;  // now 2: the owner's unlock will wake us
      continue;                    // changed under us: look again
    }
    seen = cas(w, kFree, kLocked);
    if (seen == kFree) return;
  }
  // Waiting. Whoever takes the lock from here takes it in state 2, since other
  // waiters may still sleep on the word and must be woken by our unlock.
  for (;;) {
    futex_wait(w, kContended);
    if (__atomic_load_n(w, __ATOMIC_RELAXED) == kContended) continue;
    if (__atomic_exchange_n(w, kContended, __ATOMIC_ACQUIRE) == kFree) return;
  }
}

}  // namespace

void mutex_init(uint32_t* word) {
  // A sequentially consistent exchange is the store and the full barrier in
  // one instruction (and, unlike a bare fence, ThreadSanitizer models it).
  __atomic_exchange_n(word, kFree, __ATOMIC_SEQ_CST);
}

void mutex_lock(uint32_t* word) {
  uint32_t seen = cas(word, kFree, kLocked);
  if (__builtin_expect(seen != kFree, 0)) mutex_lock_slow(word, seen);
}

void mutex_unlock(uint32_t* word) {
  if (__atomic_exchange_n(word, kFree, __ATOMIC_RELEASE) == kContended) futex_wake(word, 1);
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
  futex_wait(&cv->seq, s);
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
