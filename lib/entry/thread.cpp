// thread.cpp - the exported pthread_create and clone.
//
// clone calls that create processes go to the process creation paths (a
// process may share our memory: CLONE_VM without CLONE_THREAD); those with
// CLONE_THREAD make threads, which place themselves (lib/placement).
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <threads.h>

#include "base/trace.h"
#include "entry/entry.h"
#include "placement/create.h"

using namespace zyg;

ZYG_EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start_routine)(void*), void* arg) noexcept {
  entry_resolve(GROUP_CLONE);
  if (launching_off()) return real.pthread_create(thread, attr, start_routine, arg);
  ZYG_TRACE("THIS IS THE pthread_create() PRINTF.\n");
  ZYG_TRACE("thread = 0x%lx, attr = 0x%lx,\n", (unsigned long)thread, (unsigned long)attr);
  ZYG_TRACE("start_routine = 0x%lx, arg = 0x%lx,\n", (unsigned long)start_routine,
            (unsigned long)arg);
  if (!entry_started()) return real.pthread_create(thread, attr, start_routine, arg);
  return pthread_create_placed(thread, attr, start_routine, arg);
}

ZYG_EXPORT int thrd_create(thrd_t* thr, thrd_start_t func, void* arg) noexcept {
  entry_resolve(GROUP_CLONE);
  if (launching_off() || !entry_started()) return real.thrd_create(thr, func, arg);
  ZYG_TRACE("THIS IS THE thrd_create() PRINTF.\n");
  return thrd_create_placed(thr, func, arg);
}

// The optional arguments are read only when the flags say the caller passed
// them: reading an absent variadic argument picks up whatever the register
// or stack slot holds.
ZYG_EXPORT int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) noexcept {
  pid_t* parent_tid = nullptr;
  void* tls = nullptr;
  pid_t* child_tid = nullptr;
  va_list ap;
  va_start(ap, arg);
  if (flags & (CLONE_PARENT_SETTID | CLONE_SETTLS | CLONE_CHILD_CLEARTID | CLONE_CHILD_SETTID)) {
    parent_tid = va_arg(ap, pid_t*);
  }
  if (flags & (CLONE_SETTLS | CLONE_CHILD_CLEARTID | CLONE_CHILD_SETTID)) tls = va_arg(ap, void*);
  if (flags & (CLONE_CHILD_CLEARTID | CLONE_CHILD_SETTID)) child_tid = va_arg(ap, pid_t*);
  va_end(ap);

  entry_resolve(GROUP_CLONE);
  if (launching_off()) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  ZYG_TRACE("THIS IS THE clone() PRINTF.\n");
#if ZYG_DEBUG
  trace_clone_args(fn, stack, flags, arg, parent_tid, tls, child_tid);
#endif
  if (!entry_started()) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  if ((flags & CLONE_VM) && (flags & CLONE_VFORK) && !(flags & CLONE_THREAD)) {
    ZYG_TRACE("doing vfork via clone()\n");
    return vfork_via_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  }
  if (flags & CLONE_THREAD) return clone_thread(fn, stack, flags, arg, parent_tid, tls, child_tid);
  // Without CLONE_THREAD the new task is a process of its own, with its own
  // pid and its own end, even when it shares our memory.
  if (flags & CLONE_VM)
    return vm_process_via_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  ZYG_TRACE("doing fork via clone()\n");
  return fork_via_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
}
