// thread_interpose.cpp - pthread_create, clone and syscall.
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
#include "core/state.h"
#include "placement/termination.h"
#include "report/debug.h"
#include "report/log.h"

namespace {

using namespace zyg;

void start_if_needed() {
  if (!launching_off() && !launch_initialized) launch_init();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attr, void* (*start_routine)(void*),
    void* arg) noexcept {
  ensure_resolved(GROUP_CLONE);
  if (launching_off()) return real.pthread_create(thread, attr, start_routine, arg);
  ZYG_TRACE("THIS IS THE pthread_create() PRINTF.\n");
  start_if_needed();
  ZYG_TRACE("Calling the real pthread_create()\n");
  return real.pthread_create(thread, attr, start_routine, arg);
}

// The optional arguments are read only when the flags say the caller passed
// them: reading an absent variadic argument picks up whatever the register
// or stack slot holds.
extern "C" __attribute__((visibility("default"))) int clone(int (*fn)(void*), void* stack,
                                                            int flags, void* arg, ...) noexcept {
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

  ensure_resolved(GROUP_CLONE);
  if (!launching_off()) {
    ZYG_TRACE("THIS IS THE clone() PRINTF.\n");
    start_if_needed();
  }
  return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
}

// Six arguments are always read and passed on at full width: the kernel
// takes up to six, and a value such as an mmap address needs all 64 bits.
extern "C" __attribute__((visibility("default"))) long syscall(long number, ...) noexcept {
  va_list ap;
  va_start(ap, number);
  long a1 = va_arg(ap, long);
  long a2 = va_arg(ap, long);
  long a3 = va_arg(ap, long);
  long a4 = va_arg(ap, long);
  long a5 = va_arg(ap, long);
  long a6 = va_arg(ap, long);
  va_end(ap);
  ensure_resolved(GROUP_SYSCALL);
  if (number == SYS_exit_group && !launching_off()) {
    // The raw end of the whole process: count it out like exit() would.
    ZYG_TRACE("THIS IS THE exit_group() PRINTF\n");
    ensure_resolved(GROUP_EXIT);
    start_if_needed();
    if (!launching_off() && launch_initialized) {
      if (log_on()) log_record("syscall(SYS_exit_group)");
      lib_loaded_decrement();
    }
    return real.syscall(SYS_exit_group, a1, 0L, 0L, 0L, 0L, 0L);
  }
  return real.syscall(number, a1, a2, a3, a4, a5, a6);
}
