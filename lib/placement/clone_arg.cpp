// clone_arg.cpp - the per-process pool of hand-over records.
//
// Creation paths must not allocate, so the records come from one array
// allocated at start-up. The pool has its own futex lock and condition
// variable (the same primitives as ldata_lock, here on private memory); a
// creator that finds every record in use waits until a new task gives one
// back.
#include "placement/clone_arg.h"

#include <stdlib.h>

#include "base/layout.h"
#include "base/lock.h"
#include "base/mask.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "report/report.h"

namespace zyg {

namespace {
clone_arg* pool;
int pool_size;
futex_mutex pool_lock;
cond_var pool_cv;
int pool_waiters;
// Records taken and not yet given back, never fewer than those marked in
// use: it goes up before a record is marked and down after it is freed, so
// a fork at any moment copies a count that covers every marked record.
// A forked child whose copy says 0 has nothing to free and leaves the pool's
// pages alone (a program that forks but never made a thread has not touched
// them, and reading them would cost every child a page fault).
unsigned pool_taken;

// Frees a record, and counts it back only if it was marked: a forked child
// frees its parent's records without counting (its count starts at 0), and
// a record it then gives back must not take the count below the records
// still marked.
void give_back(clone_arg* r) {
  if (__atomic_exchange_n(&r->in_use, 0u, __ATOMIC_ACQ_REL) != 0)
    __atomic_sub_fetch(&pool_taken, 1u, __ATOMIC_SEQ_CST);
}

void set_free(clone_arg* r) {
  r->in_use = 0;
  r->node = -1;
  r->cpu = -1;
  r->kind = CREATED_UNSET;
  r->fn = nullptr;
  r->arg = nullptr;
  r->policy = 0;
  r->binding = 0;
  r->own_tls = 0;
}
}  // namespace

ZYG_HOT_CODE int clone_arg_init(clone_arg_moment when) {
  mutex_init(&pool_lock);
  cv_init(&pool_cv);
  pool_waiters = 0;
  if (when == CLONE_ARG_START_UP) {
    pool_taken = 0;
    ZYG_TRACE("allocating clone_arg cache\n");
    int size = ld.hdr ? 3 * ld.b.config_cpu_cnt : 0;
    if (size <= 0) size = 3;  // never an empty pool that every creator would wait on
    if (!pool || pool_size != size) {
      clone_arg* p = static_cast<clone_arg*>(image_alloc(sizeof(clone_arg) * (size_t)size));
      if (!p) {
        report_disable("Can't clone arg cache", 0, RC_CLONE_ARG, sys_getpid());
        disable_launch();
        return -1;
      }
      image_free(pool);
      pool = p;
      pool_size = size;
      // Zeroed memory: every record is free (in_use 0), and clone_arg_get
      // sets a record up before use. Not writing them spares a program that
      // never creates a task the pages of the pool.
      return 0;
    }
    for (int i = 0; i < pool_size; i++) set_free(&pool[i]);
    return 0;
  }
  // Forked child: records held by the parent's other threads are free here.
  // Only those are written: a free record is set up afresh by clone_arg_get
  // before use, and leaving the others alone spares the child a copy of the
  // pool's pages.
  ZYG_TRACE("(re)-initializing clone_arg cache\n");
  if (!pool) return -1;
  if (__atomic_load_n(&pool_taken, __ATOMIC_ACQUIRE) == 0) return 0;
  for (int i = 0; i < pool_size; i++)
    if (pool[i].in_use) set_free(&pool[i]);
  pool_taken = 0;
  return 0;
}

clone_arg* clone_arg_get() {
  if (!pool) return nullptr;
  ZYG_TRACE("Looking for a clone_arg structure in the cache\n");
  // A signal handler that interrupted this thread inside the pool: the new
  // task goes without a record (unplaced) rather than wait for ourselves.
  if (mutex_lock(&pool_lock) == LOCK_REENTERED) return nullptr;
  for (;;) {
    for (int i = 0; i < pool_size; i++) {
      clone_arg* r = &pool[i];
      if (!r->in_use) {
        __atomic_add_fetch(&pool_taken, 1u, __ATOMIC_SEQ_CST);
        set_free(r);
        __atomic_store_n(&r->in_use, 1u, __ATOMIC_RELEASE);
        ZYG_TRACE("Found a clone_arg structure at index %d\n", i);
        mutex_unlock(&pool_lock);
        return r;
      }
    }
    ZYG_TRACE("No available clone_arg structures in the cache\n");
    pool_waiters++;
    ZYG_TRACE("calling cv_wait() - # waiters = %d\n", pool_waiters);
    cv_wait(&pool_cv, &pool_lock);
    pool_waiters--;
    ZYG_TRACE("Return from clone_arg cache cv_wait - lookin for clone_arg\n");
  }
}

void clone_arg_put(clone_arg* rec) {
  // Only records of this pool go back into it.
  if (!pool || rec < pool || rec >= pool + pool_size) return;
  ZYG_TRACE("Returning clone_arg structure to the cache\n");
  if (mutex_lock(&pool_lock) == LOCK_REENTERED) {
    give_back(rec);
    return;
  }
  give_back(rec);
  if (pool_waiters > 0) {
    ZYG_TRACE("%d clone_arg structure waiters\n", pool_waiters);
    ZYG_TRACE("issuing a cv_broadcast on clone_arg waiters\n");
    cv_broadcast(&pool_cv);
  }
  mutex_unlock(&pool_lock);
}

int clone_arg_waiting() {
  if (mutex_lock(&pool_lock) == LOCK_REENTERED) return pool_waiters;
  int n = pool_waiters;
  mutex_unlock(&pool_lock);
  return n;
}

int clone_arg_pool_size() { return pool_size; }

}  // namespace zyg
