// process.cpp - the placement of a new process made by fork, vfork, or clone
// with its own memory.
//
// The parent chooses and counts the child's node before the child exists;
// the child binds itself in child_start before any of the application's code
// runs. A creation that fails is taken back.
//
// A vfork child runs in the parent's memory and on its stack until it execs
// or ends: the exported vfork (lib/entry/process.cpp) makes the system call
// itself, keeping its return address off the stack the child shares, and
// calls vfork_child_start in the child and vfork_finish in the parent. The
// child changes nothing the parent sees but the shared counters, the log and
// the storage of the vforking thread, which the parent takes back.
#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/lock.h"
#include "base/scratch.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/real.h"
#include "core/state.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/log.h"

namespace zyg {

namespace {

void log_created_pid(int pid) {
  if (!log_on()) return;
  char text[64];
  text_join_int(text, sizeof text, kRecCreatedPid, pid);
  log_record(text);
}

// The first code of a process made by clone with its own memory.
int fork_child_start(void* p) {
  clone_arg* rec = static_cast<clone_arg*>(p);
  auto fn = reinterpret_cast<int (*)(void*)>(rec->fn);
  void* arg = rec->arg;
  int node = rec->node;
  int cpu = rec->cpu;
  ZYG_TRACE("Clone process has started\n");
  // The record is not given back through the pool's lock here: another
  // thread of the parent may have held that lock at the clone, and no such
  // thread exists in the child to release it. child_start sets up the
  // child's copy of the pool afresh, which frees this record too.
  child_start(CHILD_OWN_MEMORY, node, cpu, REC_FORK_VIA_CLONE_START);
  return run_clone_child(fn, arg, REC_FORK_VIA_CLONE_END);
}

// The first code of a process made by clone with CLONE_VM | CLONE_VFORK: it
// runs in the parent's memory while the parent waits, and leaves the record
// for the parent to give back. Without CLONE_SETTLS it also runs on the
// creating thread's storage, which the parent takes back (clone_placed).
int vfork_child_run(clone_arg* rec, bool shares_tls) {
  auto fn = reinterpret_cast<int (*)(void*)>(rec->fn);
  void* arg = rec->arg;
  ZYG_TRACE("Clone process has started\n");
  if (shares_tls) {
    vfork_child_begin();
    lock_forget_tid();
  }
  child_start(CHILD_SHARED_MEMORY, rec->node, rec->cpu, REC_VFORK_VIA_CLONE_START);
  return run_clone_child(fn, arg, REC_VFORK_VIA_CLONE_END);
}

int vfork_child_start_tls(void* p) { return vfork_child_run(static_cast<clone_arg*>(p), true); }
int vfork_child_start_own_tls(void* p) {
  return vfork_child_run(static_cast<clone_arg*>(p), false);
}

int clone_placed(int (*child_routine)(void*), int (*fn)(void*), void* stack, int flags, void* arg,
                 pid_t* parent_tid, void* tls, pid_t* child_tid) {
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  launch_choice c = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", c.unit, c.cpu);
  rec->fn = reinterpret_cast<void*>(fn);
  rec->arg = arg;
  rec->node = c.unit;
  rec->cpu = c.cpu;
  ZYG_TRACE("Calling the real clone()\n");
  uint32_t depth = vfork_depth();
  int r = real.clone(child_routine, stack, flags, rec, parent_tid, tls, child_tid);
  int err = errno;
  if (child_routine == vfork_child_start_tls) {
    member_vfork_resumed(depth);
    lock_forget_tid();
  }
  clone_arg_put(rec);
  if (r < 0) {
    ZYG_TRACE("fork/vfork/clone returned -1 with errno == %d\n", err);
    ZYG_TRACE("unsetting launch map for failed process create\n");
    unset_proc_launch(c.unit, c.cpu, c.kind);
  } else {
    ZYG_TRACE("Parent created child pid  == %d, node %d, cpu %d\n", r, c.unit, c.cpu);
    log_created_pid(r);
    ZYG_TRACE("Parent returning to user\n");
  }
  errno_restore(err);
  return r;
}

}  // namespace

int run_clone_child(int (*fn)(void*), void* arg, log_message end_record) {
  ZYG_TRACE("child return-to / call user code\n");
  int result = fn(arg);
  ZYG_TRACE("Returned from real user function\n");
  if (!launching_off()) {
    lib_loaded_decrement();
    if (log_on()) log_record(end_record);
  }
  return result;
}

// fork, and vfork reached through syscall(SYS_vfork): the process is made by
// the real fork in both cases (the C library's syscall cannot keep a vfork
// child off the frames the parent returns through).
ZYG_HOT_CODE pid_t fork_placed(log_message child_message, bool is_vfork) {
  launch_choice c = get_proc_launch();
  learn_policy_to_hand_on();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", c.unit, c.cpu);
  // The call the application made, though both are carried out by fork.
  if (is_vfork) {
    ZYG_TRACE("Calling the real vfork()\n");
  } else {
    ZYG_TRACE("Calling the real fork()\n");
  }
  pid_t pid = real.fork();
  if (pid == 0) {
    // child_start leaves errno as the fork left it; reading it here would
    // cost the child a page fault on a C library page it touches nowhere else.
    child_start(CHILD_OWN_MEMORY, c.unit, c.cpu, child_message);
    ZYG_TRACE("child return-to / call user code\n");
    return pid;
  }
  int err = errno;
  if (pid < 0) {
    ZYG_TRACE("fork/vfork/clone returned -1 with errno == %d\n", err);
    ZYG_TRACE("unsetting launch map for failed process create\n");
    unset_proc_launch(c.unit, c.cpu, c.kind);
  } else {
    ZYG_TRACE("Parent created child pid  == %d, node %d, cpu %d\n", (int)pid, c.unit, c.cpu);
    log_created_pid((int)pid);
    ZYG_TRACE("Parent returning to user\n");
  }
  errno_restore(err);
  return pid;
}

void vfork_child_start(int node, int cpu) {
  child_start(CHILD_SHARED_MEMORY, node, cpu, REC_VFORK_START);
  ZYG_TRACE("child return-to / call user code\n");
}

pid_t vfork_finish(long result, int node, int cpu, int kind) {
  if (result < 0) {
    int err = (int)-result;
    ZYG_TRACE("fork/vfork/clone returned -1 with errno == %d\n", err);
    ZYG_TRACE("unsetting launch map for failed process create\n");
    unset_proc_launch(node, cpu, kind);
    errno = err;
    return -1;
  }
  // The child ran on this thread's errno: it stays as the child left it.
  errno_guard keep;
  ZYG_TRACE("Parent created child pid  == %d, node %d, cpu %d\n", (int)result, node, cpu);
  log_created_pid((int)result);
  ZYG_TRACE("Parent returning to user\n");
  return (pid_t)result;
}

int fork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                   void* tls, pid_t* child_tid) {
  ZYG_TRACE("THIS IS THE fork_via_clone() print.\n");
  return clone_placed(fork_child_start, fn, stack, flags, arg, parent_tid, tls, child_tid);
}

int vfork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                    void* tls, pid_t* child_tid) {
  ZYG_TRACE("THIS IS THE vfork_via_clone() print.\n");
  auto routine = (flags & CLONE_SETTLS) ? vfork_child_start_own_tls : vfork_child_start_tls;
  return clone_placed(routine, fn, stack, flags, arg, parent_tid, tls, child_tid);
}

}  // namespace zyg
