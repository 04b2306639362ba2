// thread.cpp - the placement of a new thread made by pthread_create or by
// clone with shared memory.
//
// A new thread is placed by itself: the creator only hands the application's
// function and argument over in a clone_arg record, and the library's start
// routine chooses the node, binds, and then runs the function.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <threads.h>

#include "base/lock.h"
#include "base/trace.h"
#include "core/real.h"
#include "core/state.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"
#include "report/log.h"
#include "report/report.h"

namespace zyg {

namespace {

log_message start_record(creation_kind kind) {
  if (kind == CREATED_BY_CLONE) return REC_CLONE_THREAD_START;
  if (kind == CREATED_BY_PTHREAD) return REC_PTHREAD_START;
  return REC_UNEXPECTED_THREAD_START;
}

log_message end_record(creation_kind kind) {
  if (kind == CREATED_BY_CLONE) return REC_CLONE_THREAD_END;
  if (kind == CREATED_BY_PTHREAD) return REC_PTHREAD_END;
  return REC_UNEXPECTED_THREAD_END;
}

// The body of the start routine, in the new thread. It may run on a small
// stack: only the placement, one log record and the call live here.
// `as_clone` tells how to call the application's function (clone's
// int (*)(void*) or pthread_create's void* (*)(void*)).
// The library's own steps in a new thread must not be cut short by a
// cancellation (log writes and file reads are cancellation points): a
// thread cancelled half-way would keep its clone_arg record for ever. So a
// pthread runs them with cancellation disabled and gets its own state back
// before the application's function runs. A raw clone thread is no pthread:
// its thread pointer may be its creator's, which must not be touched.
struct cancel_off {
  bool active;
  int old_state;
};

void cancel_disable(cancel_off* c, bool pthread) {
  c->active = pthread;
  if (pthread) pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &c->old_state);
}

void cancel_restore(const cancel_off* c) {
  int ignored;
  if (c->active) pthread_setcancelstate(c->old_state, &ignored);
}

// The body of the start routine, in the new thread. It may run on a small
// stack: only the placement, one log record and the call live here.
// `as_clone` tells how to call the application's function (clone's
// int (*)(void*) or pthread_create's void* (*)(void*)).
void* thread_start_body(clone_arg* rec, bool as_clone) {
  // The choice and the record's return lock: a pthread's identity comes from
  // its own descriptor rather than from a gettid call.
  if (!as_clone) lock_new_pthread();
  cancel_off off;
  cancel_disable(&off, !as_clone);
  ZYG_TRACE("Clone thread has started\n");
  if (!launching_off()) {
    launch_choice c = get_thrd_launch();
    ZYG_TRACE("launching thread on node %d, cpu %d\n", c.unit, c.cpu);
    const inherited_state from_creator = {static_cast<inherited_policy>(rec->policy), rec->binding};
    set_launch_known(c.unit, c.cpu, from_creator, rec->own_tls != 0);
  }
  if (log_on()) log_record(start_record(rec->kind));
  void* fn = rec->fn;
  void* arg = rec->arg;
  creation_kind kind = rec->kind;
  const bool int_result = as_clone || rec->c11 != 0;
  clone_arg_put(rec);
  cancel_restore(&off);
  ZYG_TRACE("Thread calling real user function\n");
  void* result;
  if (int_result) {
    result =
        reinterpret_cast<void*>(static_cast<intptr_t>(reinterpret_cast<int (*)(void*)>(fn)(arg)));
  } else {
    result = reinterpret_cast<void* (*)(void*)>(fn)(arg);
  }
  ZYG_TRACE("Thread returned from real user function\n");
  if (!launching_off() && log_on()) {
    cancel_disable(&off, !as_clone);
    log_record(end_record(kind));
    cancel_restore(&off);
  }
  return result;
}

// What the creator knows of itself, for the new thread to start from.
void hand_on(clone_arg* rec) {
  const inherited_state mine = state_to_hand_on();
  rec->policy = static_cast<uint8_t>(mine.policy);
  rec->binding = mine.binding;
}

// Start routine handed to the real pthread_create: the application's full
// pointer result is what pthread_join reports.
void* thread_start(void* rec) { return thread_start_body(static_cast<clone_arg*>(rec), false); }

// Start routine handed to the real clone for a thread.
int clone_thread_start(void* rec) {
  return static_cast<int>(
      reinterpret_cast<intptr_t>(thread_start_body(static_cast<clone_arg*>(rec), true)));
}

}  // namespace

#if ZYG_DEBUG
namespace {
struct flag_name {
  unsigned flag;
  const char* name;
};
constexpr flag_name kCloneFlags[] = {
    {CLONE_CHILD_CLEARTID, "CLONE_CHILD_CLEARTID"},
    {CLONE_CHILD_SETTID, "CLONE_CHILD_SETTID"},
    {CLONE_UNTRACED, "CLONE_UNTRACED"},
    {CLONE_PARENT_SETTID, "CLONE_PARENT_SETTID"},
    {CLONE_FILES, "CLONE_FILES"},
    {CLONE_FS, "CLONE_FS"},
    {CLONE_IO, "CLONE_IO"},
    {CLONE_NEWIPC, "CLONE_NEWIPC"},
    {CLONE_NEWNET, "CLONE_NEWNET"},
    {CLONE_NEWNS, "CLONE_NEWNS"},
    {CLONE_NEWPID, "CLONE_NEWPID"},
    {CLONE_NEWUSER, "CLONE_NEWUSER"},
    {CLONE_NEWUTS, "CLONE_NEWUTS"},
    {CLONE_PARENT, "CLONE_PARENT"},
    {CLONE_PTRACE, "CLONE_PTRACE"},
    {CLONE_SETTLS, "CLONE_SETTLS"},
    {CLONE_SIGHAND, "CLONE_SIGHAND"},
    {CLONE_SYSVSEM, "CLONE_SYSVSEM"},
    {CLONE_THREAD, "CLONE_THREAD"},
    {CLONE_VFORK, "CLONE_VFORK"},
    {CLONE_VM, "CLONE_VM"},
};

}  // namespace

void trace_clone_args(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* ptid, void* tls,
                      pid_t* ctid) {
  ZYG_TRACE("Arguments are:\n");
  ZYG_TRACE("fn = 0x%lx, stack = 0x%lx,\n", (unsigned long)fn, (unsigned long)stack);
  ZYG_TRACE("flags = 0x%x, arg = 0x%lx\n", (unsigned)flags, (unsigned long)arg);
  ZYG_TRACE("ptid = 0x%lx, tls = 0x%lx,\n", (unsigned long)ptid, (unsigned long)tls);
  ZYG_TRACE("ctid = 0x%lx\n", (unsigned long)ctid);
  ZYG_TRACE("flags: \n");
  for (const flag_name& f : kCloneFlags)
    if ((unsigned)flags & f.flag) ZYG_TRACE("    %s\n", f.name);
  ZYG_TRACE("      \n");
}
#endif

int clone_thread(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid, void* tls,
                 pid_t* child_tid) {
  ZYG_TRACE("doing thread via clone()\n");
  if (!main_thread_handled) thread_clone_init(CREATED_BY_CLONE);
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  rec->fn = reinterpret_cast<void*>(fn);
  rec->arg = arg;
  rec->kind = CREATED_BY_CLONE;
  rec->c11 = 0;
  hand_on(rec);
  // Without a thread pointer of its own the thread would note its state in
  // its creator's storage.
  rec->own_tls = (flags & CLONE_SETTLS) != 0;
  int r = real.clone(clone_thread_start, stack, flags, rec, parent_tid, tls, child_tid);
  int err = errno;
  if (r < 0) {
    ZYG_TRACE("clone failed with %d, errno %d\n", r, err);
    clone_arg_put(rec);
  } else if (r > 0) {
    ZYG_TRACE("clone() created thread:  tid == %d\n", r);
    if (log_on()) {
      char text[64];
      snprintf(text, sizeof text, "%s%d", kRecCreatedTid, r);
      log_record(text);
    }
  }
  errno = err;
  return r;
}

namespace {

// A pthread (c11: a C11 thread, whose function returns an int) placed by
// itself in thread_start. The C library's error number, as pthread_create
// returns it.
int pthread_placed(pthread_t* thread, const pthread_attr_t* attr, void* fn, void* arg, bool c11) {
  if (!main_thread_handled) thread_clone_init(CREATED_BY_PTHREAD);
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return -1;
  rec->fn = fn;
  rec->arg = arg;
  rec->kind = CREATED_BY_PTHREAD;
  rec->c11 = c11 ? 1 : 0;
  hand_on(rec);
  rec->own_tls = 1;
  ZYG_TRACE("Calling the real pthread_create()\n");
  int rc = real.pthread_create(thread, attr, thread_start, rec);
  int err = errno;
  if (rc != 0) {
    ZYG_TRACE("pthread_create() failed: %d (%s)\n", rc, report_error_text(rc));
    clone_arg_put(rec);
    errno = err;
    return rc;
  }
  ZYG_TRACE("pthread_create() created child thread\n");
  if (log_on()) {
    char text[64];
    snprintf(text, sizeof text, "%s%ld", kRecCreatedTid, (long)*thread);
    log_record(text);
  }
  errno = err;
  return 0;
}

}  // namespace

int pthread_create_placed(pthread_t* thread, const pthread_attr_t* attr,
                          void* (*start_routine)(void*), void* arg) {
  int rc = pthread_placed(thread, attr, reinterpret_cast<void*>(start_routine), arg, false);
  return rc >= 0 ? rc : real.pthread_create(thread, attr, start_routine, arg);
}

int thrd_create_placed(thrd_t* thr, thrd_start_t func, void* arg) {
  // The C library makes a C11 thread with pthread_create's own code and
  // default attributes; thrd_join and thrd_exit read its result as an int,
  // which thread_start returns as the pointer the C library would.
  int rc = pthread_placed(reinterpret_cast<pthread_t*>(thr), nullptr, reinterpret_cast<void*>(func),
                          arg, true);
  if (rc < 0) return real.thrd_create(thr, func, arg);
  switch (rc) {
    case 0:
      return thrd_success;
    case ENOMEM:
      return thrd_nomem;
    case EBUSY:
      return thrd_busy;
    default:
      return thrd_error;
  }
}

}  // namespace zyg
