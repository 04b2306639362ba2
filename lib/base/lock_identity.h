// lock_identity.h - the calling thread's identity as the futex mutex
// (base/lock.h) records it: TID | PID namespace << 32. Internal to the lock:
// lock.cpp takes it on every lock, lock_identity.cpp keeps it right.
//
// Each thread caches its identity. The TID half comes from the C library's
// thread descriptor, whose TID field the kernel writes in every thread and
// child it makes (CLONE_CHILD_SETTID): one load from the thread pointer per
// lock tells whether the cache still names the calling thread (a child the
// C library forked without us inherits its parent's cache). The namespace
// half is looked up once per process (base/lock_holder.h reads its inode).
#pragma once

#include <stdint.h>

#include "base/layout.h"

namespace zyg {
namespace lock_detail {

inline uint64_t pack(uint32_t word, uint32_t ns) { return word | (uint64_t)ns << 32; }
inline uint32_t word_of(uint64_t v) { return (uint32_t)v; }
inline uint32_t ns_of(uint64_t v) { return (uint32_t)(v >> 32); }

// The calling thread's identity; the namespace half is 0 until looked up
// (the TID half may be known before).
extern __thread uint64_t cached_identity;
// Where the C library's thread descriptor keeps the thread's TID, from the
// thread pointer: 0 until learnt, -1 when the C library shows none we can
// read (the word at the thread pointer is the descriptor's pointer to
// itself, never the TID).
extern long tid_field;

// Learnt at the first lock, not at start-up: a program that never locks
// never reads the C library's page.
long learn_tid_field();

// The cache may name another task than the calling thread: the descriptor
// names another, or there is no descriptor to ask.
inline bool cache_in_doubt(uint64_t id) {
  long off = __atomic_load_n(&tid_field, __ATOMIC_RELAXED);
  if (__builtin_expect(off == 0, 0)) off = learn_tid_field();
  if (off < 0) return true;
  uint32_t tid;
  __asm__ volatile("movl %%fs:(%1), %0" : "=r"(tid) : "r"(off));
  return tid != word_of(id);
}

// The cache and the descriptor disagree, or the namespace is not known yet:
// the identity looked up again.
uint64_t recheck_identity(uint64_t id);

inline uint64_t self_identity() {
  uint64_t id = cached_identity;
  if (__builtin_expect(ns_of(id) == 0 || cache_in_doubt(id), 0)) id = recheck_identity(id);
  return id;
}

}  // namespace lock_detail
}  // namespace zyg
