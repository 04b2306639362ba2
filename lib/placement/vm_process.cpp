// vm_process.cpp - a process made by clone with CLONE_VM but neither
// CLONE_THREAD nor CLONE_VFORK: it has its own pid and ends on its own, but
// shares the parent's memory while both run.
//
// It is placed and counted like any new process. Because the parent goes on
// at once, the hand-over record cannot be given back by the parent (the
// child may not have read it yet): the child gives it back itself, through
// the pool's lock, which lives in the memory both share. Everything else the
// child does must leave the parent's state alone (child_start's
// shared-memory mode).
#include <errno.h>
#include <stdio.h>

#include "base/trace.h"
#include "core/real.h"
#include "core/state.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"
#include "report/log.h"

namespace zyg {

namespace {

int vm_process_start(void* p) {
  clone_arg* rec = static_cast<clone_arg*>(p);
  auto fn = reinterpret_cast<int (*)(void*)>(rec->fn);
  void* arg = rec->arg;
  int node = rec->node;
  int cpu = rec->cpu;
  clone_arg_put(rec);
  child_start(CHILD_SHARED_MEMORY, node, cpu, REC_CLONE_VM_PROCESS_START);
  return run_clone_child(fn, arg, REC_CLONE_VM_PROCESS_END);
}

}  // namespace

int vm_process_via_clone(int (*fn)(void*), void* stack, int flags, void* arg, pid_t* parent_tid,
                         void* tls, pid_t* child_tid) {
  ZYG_TRACE("doing a process sharing memory via clone()\n");
  clone_arg* rec = clone_arg_get();
  if (rec == nullptr) return real.clone(fn, stack, flags, arg, parent_tid, tls, child_tid);
  launch_choice c = get_proc_launch();
  rec->fn = reinterpret_cast<void*>(fn);
  rec->arg = arg;
  rec->node = c.unit;
  rec->cpu = c.cpu;
  int r = real.clone(vm_process_start, stack, flags, rec, parent_tid, tls, child_tid);
  int err = errno;
  if (r < 0) {
    clone_arg_put(rec);
    unset_proc_launch(c.unit, c.cpu, c.kind);
  } else if (log_on()) {
    char text[64];
    snprintf(text, sizeof text, "%s%d", kRecCreatedPid, r);
    log_record(text);
  }
  errno = err;
  return r;
}

}  // namespace zyg
