// syscall.cpp - the raw creation, exec and exit calls that the exported
// syscall (syscall_export.cpp) routes through the library.
#include <errno.h>
#include <sched.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/lock.h"
#include "base/sys.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "entry/syscall_export.h"
#include "placement/create.h"
#include "placement/termination.h"
#include "report/log.h"
#include "report/report.h"

namespace {

using namespace zyg;

// SYS_exit ends the calling thread only: the process ends with it when it is
// the last thread, and is then counted out like an _exit.
long raw_thread_exit(long status) {
  struct stat st;
  if (stat("/proc/self/task", &st) != 0) {
    report_warning("stat(/proc/self/task) failed", errno, RC_STAT);
    return real.syscall(SYS_exit, status, 0L, 0L, 0L, 0L, 0L);
  }
  // "." and ".." plus one directory per task. A thread that has just ended
  // by a raw exit may still be listed although its joiner has seen it end;
  // only tasks that have not begun to exit keep the process alive.
  if (st.st_nlink == 3 || other_running_tasks("/proc/self/task", sys_gettid()) == 0) {
    entry_resolve(GROUP_EXIT);
    entry_started();
    library_exit(static_cast<int>(status));
  }
  return real.syscall(SYS_exit, status, 0L, 0L, 0L, 0L, 0L);
}

// A raw clone (SYS_clone, SYS_clone3) is passed through: the task it makes
// is neither placed nor counted in. A new process of that kind must then not
// be counted out either: it inherited a marker that does not name it, and its
// exit would lower the count for a process that was never added. It is
// marked as counted out already (its own marker: also right when it shares
// our memory); should it exec a program that joins the tree, the exec counts
// it in. A new task with our pid is a thread, which counts nothing.
long raw_clone(long number, long a1, long a2, long a3, long a4, long a5, long a6) {
  const int parent = sys_getpid();
  long r = real.syscall(number, a1, a2, a3, a4, a5, a6);
  if (r == 0) {
    const int self = sys_getpid();
    if (self != parent) {
      lock_forget_tid();
      member_raw_clone_child(self);
    }
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
      entry_started();
      if (log_on()) log_record(REC_SYSCALL_CLONE_UNSUPPORTED);
      return raw_clone(number, a1, a2, a3, a4, a5, a6);
    case SYS_clone3:
      entry_started();
      if (log_on()) log_record(REC_SYSCALL_CLONE3_UNSUPPORTED);
      return raw_clone(number, a1, a2, a3, a4, a5, a6);
    case SYS_fork:
      return entry_fork();
    case SYS_vfork:
      return entry_vfork();
    case SYS_execve:
      return entry_execve(reinterpret_cast<const char*>(a1), reinterpret_cast<char* const*>(a2),
                          reinterpret_cast<char* const*>(a3));
    case SYS_execveat:
      return entry_execveat(static_cast<int>(a1), reinterpret_cast<const char*>(a2),
                            reinterpret_cast<char* const*>(a3), reinterpret_cast<char* const*>(a4),
                            static_cast<int>(a5));
    case SYS_exit_group:
      // The raw end of the whole process: count it out like exit() would.
      ZYG_TRACE("THIS IS THE exit_group() PRINTF\n");
      entry_resolve(GROUP_EXIT);
      if (entry_started() && launch_initialized) {
        if (log_on()) log_record(REC_EXIT_GROUP);
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

namespace zyg {

long entry_syscall_routed(long number, const long* a) {
  entry_resolve(GROUP_SYSCALL);
  if (!launching_off()) return routed_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
  return real.syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // namespace zyg
