// clone_arg.h - the per-process pool of records that hand a function, its
// argument and a placement from a creating thread to the new task.
//
// 3 x config_cpu_cnt records allocated once at start-up, guarded by a private
// futex lock; creators wait on a condition variable when all are in use.
#pragma once

#include <stdint.h>

namespace zyg {

enum creation_kind { CREATED_UNSET = 0, CREATED_BY_CLONE = 1, CREATED_BY_PTHREAD = 3 };

struct clone_arg {
  uint32_t in_use;
  int32_t node;
  int32_t cpu;
  uint32_t kind;  // creation_kind
  void* fn;       // the application's function (int(*)(void*) or void*(*)(void*))
  void* arg;
};

// mode 1: start-up, allocates; mode 2: forked child, resets the inherited pool.
int clone_arg_init(int mode);
// Waits for a free record. Null only when the pool was never set up (start-up
// has not run, or failed and disabled launching).
clone_arg* clone_arg_get();
void clone_arg_put(clone_arg* rec);  // records not from the pool are ignored

// Creators waiting for a record, and the pool's size.
int clone_arg_waiting();
int clone_arg_pool_size();

}  // namespace zyg
