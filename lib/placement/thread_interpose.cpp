// thread_interpose.cpp - pthread_create, clone and syscall.
//
// A new thread is placed by itself: the creator only hands the application's
// function and argument over in a clone_arg record, and the library's start
// routine chooses the node, binds, and then runs the function. clone calls
// that create processes go to the process creation paths; syscall routes
// the raw creation, exec and exit calls and passes every other number
// straight through.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
#include "core/state.h"
#include "core/sys.h"
#include "exec/exec.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/debug.h"
#include "report/log.h"
#include "report/report.h"

namespace {

using namespace zyg;

void start_if_needed() {
  if (!launching_off() && !launch_initialized) launch_init();
}

const char* start_text(uint32_t kind) {
  if (kind == CREATED_BY_CLONE) return "child start in clone()";
  if (kind == CREATED_BY_PTHREAD) return "child start in pthread_create() by user";
  return "child start in unexpected condition";
}

const char* end_text(uint32_t kind) {
  if (kind == CREATED_BY_CLONE) return "implicit clone() exit";
  if (kind == CREATED_BY_PTHREAD) return "implicit user's pthread_create() exit";
  return "exit with unexpected condition";
}

// The body of the start routine, in the new thread. It may run on a small
// stack: only the placement, one log record and the call live here.
// `as_clone` tells how to call the application's function (clone's
// int (*)(void*) or pthread_create's void* (*)(void*)).
void* thread_start_body(clone_arg* rec, bool as_clone) {
  ZYG_TRACE("Clone thread has started\n");
  if (!launching_off()) {
    launch_choice c = get_thrd_launch();
    ZYG_TRACE("launching thread on node %d, cpu %d\n", c.node, c.cpu);
    set_launch(c.node, c.cpu);
  }
  if (log_on()) log_record(start_text(rec->kind));
  void* fn = rec->fn;
  void* arg = rec->arg;
  uint32_t kind = rec->kind;
  clone_arg_put(rec);
  ZYG_TRACE("Thread calling real user function\n");
  void* result;
  if (as_clone) {
    result = reinterpret_cast<void*>(
        static_cast<intptr_t>(reinterpret_cast<int (*)(void*)>(fn)(arg)));
  } else {
    result = reinterpret_cast<void* (*)(void*)>(fn)(arg);
  }
  ZYG_TRACE("Thread returned from real user function\n");
  if (!launching_off() && log_on()) log_record(end_text(kind));
  return result;
}

// Start routine handed to the real pthread_create: the application's full
// pointer result is what pthread_join reports.
void* thread_start(void* rec) {
  return thread_start_body(static_cast<clone_arg*>(rec), false);
}

// Start routine handed to the real clone for a thread.
int clone_thread_start(void* rec) {
  return static_cast<int>(
      reinterpret_cast<intptr_t>(thread_start_body(static_cast<clone_arg*>(rec), true)));
}

#if ZYG_DEBUG
struct flag_name {
  unsigned flag;
  const char* name;
};
constexpr flag_name kCloneFlags[] = {
    {CLONE_CHILD_CLEARTID, "CLONE_CHILD_CLEARTID"}, {CLONE_CHILD_SETTID, "CLONE_CHILD_SETTID"},
    {CLONE_UNTRACED, "CLONE_UNTRACED"},             {CLONE_PARENT_SETTID, "CLONE_PARENT_SETTID"},
    {CLONE_FILES, "CLONE_FILES"},                   {CLONE_FS, "CLONE_FS"},
    {CLONE_IO, "CLONE_IO"},                         {CLONE_NEWIPC, "CLONE_NEWIPC"},
    {CLONE_NEWNET, "CLONE_NEWNET"},                 {CLONE_NEWNS, "CLONE_NEWNS"},
    {CLONE_NEWPID, "CLONE_NEWPID"},                 {CLONE_NEWUSER, "CLONE_NEWUSER"},
    {CLONE_NEWUTS, "CLONE_NEWUTS"},                 {CLONE_PARENT, "CLONE_PARENT"},
    {CLONE_PTRACE, "CLONE_PTRACE"},                 {CLONE_SETTLS, "CLONE_SETTLS"},
    {CLONE_SIGHAND, "CLONE_SIGHAND"},               {CLONE_SYSVSEM, "CLONE_SYSVSEM"},
    {CLONE_THREAD, "CLONE_THREAD"},                 {CLONE_VFORK, "CLONE_VFORK"},
    {CLONE_VM, "CLONE_VM"},
};

void trace_clone_args(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* ptid,
                      void* tls, pid_t* ctid) {
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

int clone_thread(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                 void* tls, pid_t* child_tid) {
  ZYG_TRACE("doing thread via clone()\n");
  if (!main_thread_handled) thread_clone_init(CREATED_BY_CLONE);
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  rec->fn = reinterpret_cast<void*>(fn);
  rec->arg = arg;
  rec->kind = CREATED_BY_CLONE;
  errno = 0;
  int r = real.clone(clone_thread_start, stack, flags, rec, parent_tid, tls, child_tid);
  int err = errno;
  if (r < 0) {
    ZYG_TRACE("clone failed with %d, errno %d\n", r, err);
    clone_arg_put(rec);
  } else if (r > 0) {
    ZYG_TRACE("clone() created thread:  tid == %d\n", r);
    if (log_on()) {
      char text[64];
      snprintf(text, sizeof text, "Created TID %d", r);
      log_record(text);
    }
  }
  errno = err;
  return r;
}

// SYS_exit ends the calling thread only: the process ends with it when it is
// the last thread, and is then counted out like an _exit.
long raw_thread_exit(long status) {
  struct stat st;
  if (stat("/proc/self/task", &st) != 0) {
    report_warning("stat(/proc/self/task) failed", errno, 5);
    return real.syscall(SYS_exit, status, 0L, 0L, 0L, 0L, 0L);
  }
  // "." and ".." plus one directory per task. A thread that has just ended
  // by a raw exit may still be listed although its joiner has seen it end;
  // only tasks that have not begun to exit keep the process alive.
  if (st.st_nlink == 3 || other_running_tasks("/proc/self/task", sys_gettid()) == 0) {
    ensure_resolved(GROUP_EXIT);
    start_if_needed();
    library_exit(static_cast<int>(status));
  }
  return real.syscall(SYS_exit, status, 0L, 0L, 0L, 0L, 0L);
}

// A raw clone is passed through: the task it makes is neither placed nor
// counted in. A new process of that kind must then not be counted out
// either: it inherited a marker that does not name it, and its exit would
// lower the count for a process that was never added. Marking it as counted
// out already is the child's own business only when it has its own memory.
long raw_clone(long a1, long a2, long a3, long a4, long a5, long a6) {
  long r = real.syscall(SYS_clone, a1, a2, a3, a4, a5, a6);
  if (r == 0 && !(a1 & CLONE_VM)) {
    int err = errno;
    __atomic_store_n(&counted_out_pid, sys_getpid(), __ATOMIC_SEQ_CST);
    errno = err;
  }
  return r;
}

// The numbers the library acts on; kept out of syscall's own frame so that
// every other number costs only the switch.
__attribute__((noinline)) long routed_syscall(long number, long a1, long a2, long a3, long a4,
                                             long a5, long a6) {
  switch (number) {
    case SYS_clone:
      ZYG_TRACE("clone() syscall child - not tested\n");
      start_if_needed();
      if (log_on()) log_record("syscall(SYS_clone) not supported");
      return raw_clone(a1, a2, a3, a4, a5, a6);
    case SYS_fork:
      return library_fork();
    case SYS_vfork:
      return library_vfork();
    case SYS_execve:
      return exec_execve(reinterpret_cast<const char*>(a1), reinterpret_cast<char* const*>(a2),
                            reinterpret_cast<char* const*>(a3));
    case SYS_exit_group:
      // The raw end of the whole process: count it out like exit() would.
      ZYG_TRACE("THIS IS THE exit_group() PRINTF\n");
      ensure_resolved(GROUP_EXIT);
      start_if_needed();
      if (!launching_off() && launch_initialized) {
        if (log_on()) log_record("syscall(SYS_exit_group)");
        lib_loaded_decrement();
      }
      return real.syscall(SYS_exit_group, a1, 0L, 0L, 0L, 0L, 0L);
    case SYS_exit:
      return raw_thread_exit(a1);
    default:
      break;
  }
  return real.syscall(number, a1, a2, a3, a4, a5, a6);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attr, void* (*start_routine)(void*),
    void* arg) noexcept {
  ensure_resolved(GROUP_CLONE);
  if (launching_off()) return real.pthread_create(thread, attr, start_routine, arg);
  ZYG_TRACE("THIS IS THE pthread_create() PRINTF.\n");
  ZYG_TRACE("thread = 0x%lx, attr = 0x%lx,\n", (unsigned long)thread, (unsigned long)attr);
  ZYG_TRACE("start_routine = 0x%lx, arg = 0x%lx,\n", (unsigned long)start_routine,
            (unsigned long)arg);
  start_if_needed();
  if (launching_off()) return real.pthread_create(thread, attr, start_routine, arg);
  if (!main_thread_handled) thread_clone_init(CREATED_BY_PTHREAD);
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.pthread_create(thread, attr, start_routine, arg);
  rec->fn = reinterpret_cast<void*>(start_routine);
  rec->arg = arg;
  rec->kind = CREATED_BY_PTHREAD;
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
    snprintf(text, sizeof text, "Created TID %ld", (long)*thread);
    log_record(text);
  }
  errno = err;
  return 0;
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
  if (launching_off()) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  ZYG_TRACE("THIS IS THE clone() PRINTF.\n");
#if ZYG_DEBUG
  trace_clone_args(fn, stack, flags, arg, parent_tid, tls, child_tid);
#endif
  start_if_needed();
  if (launching_off()) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  if ((flags & CLONE_VM) && (flags & CLONE_VFORK) && !(flags & CLONE_THREAD)) {
    ZYG_TRACE("doing vfork via clone()\n");
    return vfork_via_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  }
  if (flags & (CLONE_VM | CLONE_THREAD))
    return clone_thread(fn, stack, flags, arg, parent_tid, tls, child_tid);
  ZYG_TRACE("doing fork via clone()\n");
  return fork_via_clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
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
  switch (number) {
    case SYS_clone:
    case SYS_fork:
    case SYS_vfork:
    case SYS_execve:
    case SYS_exit:
    case SYS_exit_group:
      if (!launching_off()) return routed_syscall(number, a1, a2, a3, a4, a5, a6);
      break;
    default:
      break;
  }
  return real.syscall(number, a1, a2, a3, a4, a5, a6);
}
