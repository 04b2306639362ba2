// clone_arg.h - the per-process pool of records that hand a function, its
// argument and a placement from a creating thread to the new task.
//
// 3 x config_cpu_cnt records allocated once at start-up, guarded by a private
// futex lock; creators wait on a condition variable when all are in use.
#pragma once

#include <stdint.h>

namespace zyg {

// How a thread was created, which names its start and end records (and
// its main thread's record at the process's first creation).
enum creation_kind { CREATED_UNSET, CREATED_BY_CLONE, CREATED_BY_PTHREAD };

struct clone_arg {
  uint32_t in_use;
  int32_t node;
  int32_t cpu;
  creation_kind kind;
  void* fn;  // the application's function (int(*)(void*) or void*(*)(void*))
  void* arg;
  // What the creator hands on of itself (inherited_state, placement/bind.h).
  uint8_t policy;
  uint32_t binding;
  uint8_t own_tls;  // the new thread has thread-local storage of its own
  uint8_t c11;      // a C11 thread (thrd_create): fn returns an int
};

// When the pool is set up: at start-up, which allocates it, or in a forked
// child, which frees the records the parent's other threads held.
enum clone_arg_moment { CLONE_ARG_START_UP, CLONE_ARG_FORKED_CHILD };
int clone_arg_init(clone_arg_moment when);
// Waits for a free record. Null only when the pool was never set up (start-up
// has not run, or failed and disabled launching).
clone_arg* clone_arg_get();
void clone_arg_put(clone_arg* rec);  // records not from the pool are ignored

// Creators waiting for a record, and the pool's size.
int clone_arg_waiting();
int clone_arg_pool_size();

}  // namespace zyg
