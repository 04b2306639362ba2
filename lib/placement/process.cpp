// process.cpp - the placement of a new process made by fork, vfork, or clone
// with its own memory.
//
// The parent chooses and counts the child's node before the child exists;
// the child binds itself in child_start before any of the application's code
// runs. A creation that fails is taken back.
//
// vfork is carried out with the real fork: a vfork child shares the parent's
// memory and stack, so returning through the library (and running its own
// steps in the child) would overwrite the frames the suspended parent is
// about to return through. With fork the child has its own copy.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "base/trace.h"
#include "core/real.h"
#include "core/state.h"
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
  snprintf(text, sizeof text, "Created PID %d", pid);
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
  child_start(CHILD_OWN_MEMORY, node, cpu, "child start in fork_via_clone()");
  ZYG_TRACE("child return-to / call user code\n");
  int result = fn(arg);
  ZYG_TRACE("Returned from real user function\n");
  // The child's end (the kernel's exit right after this return) passes
  // through none of our exit functions: count it out now.
  if (!launching_off()) {
    lib_loaded_decrement();
    if (log_on()) log_record("implicit fork_via_clone() exit");
  }
  return result;
}

// The first code of a process made by clone with CLONE_VM | CLONE_VFORK: it
// runs in the parent's memory while the parent waits, and leaves the record
// for the parent to give back.
int vfork_child_start(void* p) {
  clone_arg* rec = static_cast<clone_arg*>(p);
  auto fn = reinterpret_cast<int (*)(void*)>(rec->fn);
  void* arg = rec->arg;
  ZYG_TRACE("Clone process has started\n");
  child_start(CHILD_SHARED_MEMORY, rec->node, rec->cpu, "child start in vfork_via_clone()");
  ZYG_TRACE("child return-to / call user code\n");
  int result = fn(arg);
  ZYG_TRACE("Returned from real user function\n");
  if (!launching_off()) {
    lib_loaded_decrement();
    if (log_on()) log_record("implicit vfork_via_clone() exit");
  }
  return result;
}

int clone_placed(int (*child_routine)(void*), int (*fn)(void*), void* stack, int flags, void* arg,
                 pid_t* parent_tid, void* tls, pid_t* child_tid) {
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  launch_choice c = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", c.node, c.cpu);
  rec->fn = reinterpret_cast<void*>(fn);
  rec->arg = arg;
  rec->node = c.node;
  rec->cpu = c.cpu;
  ZYG_TRACE("Calling the real clone()\n");
  int r = real.clone(child_routine, stack, flags, rec, parent_tid, tls, child_tid);
  int err = errno;
  clone_arg_put(rec);
  if (r < 0) {
    ZYG_TRACE("fork/vfork/clone returned -1 with errno == %d\n", err);
    ZYG_TRACE("unsetting launch map for failed process create\n");
    unset_proc_launch(c.node, c.cpu, c.kind);
  } else {
    ZYG_TRACE("Parent created child pid  == %d, node %d, cpu %d\n", r, c.node, c.cpu);
    log_created_pid(r);
    ZYG_TRACE("Parent returning to user\n");
  }
  errno = err;
  return r;
}

}  // namespace

// fork and vfork: the process is made by the real fork in both cases.
pid_t fork_placed(const char* child_message, bool is_vfork) {
  launch_choice c = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", c.node, c.cpu);
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
    child_start(CHILD_OWN_MEMORY, c.node, c.cpu, child_message);
    ZYG_TRACE("child return-to / call user code\n");
    return pid;
  }
  int err = errno;
  if (pid < 0) {
    ZYG_TRACE("fork/vfork/clone returned -1 with errno == %d\n", err);
    ZYG_TRACE("unsetting launch map for failed process create\n");
    unset_proc_launch(c.node, c.cpu, c.kind);
  } else {
    ZYG_TRACE("Parent created child pid  == %d, node %d, cpu %d\n", (int)pid, c.node, c.cpu);
    log_created_pid((int)pid);
    ZYG_TRACE("Parent returning to user\n");
  }
  errno = err;
  return pid;
}

int fork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                   void* tls, pid_t* child_tid) {
  ZYG_TRACE("THIS IS THE fork_via_clone() print.\n");
  return clone_placed(fork_child_start, fn, stack, flags, arg, parent_tid, tls, child_tid);
}

int vfork_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                    void* tls, pid_t* child_tid) {
  ZYG_TRACE("THIS IS THE vfork_via_clone() print.\n");
  return clone_placed(vfork_child_start, fn, stack, flags, arg, parent_tid, tls, child_tid);
}

}  // namespace zyg
