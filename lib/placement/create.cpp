// create.cpp - the first steps of a new process and the main thread's
// placement at a process's first thread creation.
//
// child_start runs in a forked child before the application's code. The
// parent may have had other threads, which do not exist in the child; any of
// them may have held malloc's lock, the environment lock or the clone_arg
// pool lock at the moment of the fork. So nothing here allocates or takes a
// process-private lock that existed before the fork: binding is two system
// calls, the log record is formatted in fixed buffers and written with one
// write, the private counters and the pool are reset by plain stores, and
// under rr_pack the environment is edited in place.
#include "placement/create.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/env.h"
#include "base/errors.h"
#include "base/file.h"
#include "base/layout.h"
#include "base/lock.h"
#include "base/mask.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/state.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/log.h"
#include "report/where.h"
#include "shared/names.h"
#include "shared/preload_list.h"

extern char** environ;

namespace zyg {

namespace {

// The edited LD_PRELOAD entry of an rr_pack child. Static storage: the child
// must not allocate, and the entry has to outlive child_start (environ
// points at it until the program changes LD_PRELOAD itself). After the small
// variables (ZYG_COLD_DATA, base/mask.h).
ZYG_COLD_DATA char preload_entry[8192];

constexpr unsigned long kPfExiting = 0x4;  // the kernel's PF_EXITING task flag

// 1 when the task's stat shows it running on (not exiting, not dead), 0 when
// it is exiting or gone.
int task_running(int dir_fd, const char* tid) {
  char path[48];
  snprintf(path, sizeof path, "%s/stat", tid);
  // The flags field is the ninth: well within the first 160 bytes.
  char buf[160];
  if (read_small_file(dir_fd, path, buf, sizeof buf) <= 0) return 0;
  // "tid (comm) state ppid pgrp session tty_nr tpgid flags ..."; comm may
  // hold spaces and parentheses, so fields count from the last ')'.
  const char* p = strrchr(buf, ')');
  if (p == nullptr) return 1;
  ++p;
  while (*p == ' ') ++p;
  char state = *p;
  if (state == 'Z' || state == 'X' || state == 'x') return 0;
  for (int field = 0; field < 6 && *p != '\0'; ++field) {
    while (*p != '\0' && *p != ' ') ++p;
    while (*p == ' ') ++p;
  }
  unsigned long flags = strtoul(p, nullptr, 10);
  return (flags & kPfExiting) ? 0 : 1;
}

}  // namespace

int other_running_tasks(const char* task_dir, long self_tid) {
  int dir_fd = open(task_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return -1;
  char self[24];
  snprintf(self, sizeof self, "%ld", self_tid);
  alignas(8) char buf[256];
  int running = 0;
  for (;;) {
    long n = raw_syscall3(SYS_getdents64, dir_fd, (long)buf, (long)sizeof buf);
    if (n < 0) {
      running = -1;
      break;
    }
    if (n == 0) break;
    for (long at = 0; at < n;) {
      const dirent64_rec* d = reinterpret_cast<const dirent64_rec*>(buf + at);
      at += d->reclen;
      if (d->name[0] < '0' || d->name[0] > '9' || strcmp(d->name, self) == 0) continue;
      running += task_running(dir_fd, d->name);
    }
  }
  close(dir_fd);
  return running;
}

int strip_launch_env_in_place(char** env) {
  if (env == nullptr) return 0;
  int changed = 0;
  bool buffer_used = false;
  const size_t value_at = strlen(kEnvPreload) + 1;
  char** out = env;
  for (char** e = env; *e != nullptr; ++e) {
    char* entry = *e;
    if (is_member_variable(entry)) {
      ZYG_TRACE("Unsetting env vars: remove %s\n", entry);
      ++changed;
      continue;
    }
    if (env_entry_is(entry, kEnvPreload)) {
      ZYG_TRACE("Unsetting env vars: remove launch library from %s\n", kEnvPreload);
      size_t len = strlen(entry);
      char* text = entry;
      if (!buffer_used && len < sizeof preload_entry) {
        memcpy(preload_entry, entry, len + 1);
        text = preload_entry;
        buffer_used = true;
      }
      remove_launch_lib(kEnvPreload, text, kListWholeEntry);
      size_t now = strlen(text);
      if (now != len) {
        ++changed;
        // Nothing but our library was preloaded: the variable goes.
        if (now == value_at) continue;
        entry = text;
      }
    }
    *out++ = entry;
  }
  *out = nullptr;
  return changed;
}

ZYG_HOT_CODE void child_start(child_mode mode, int node, int cpu, log_message message) {
  ZYG_TRACE("child proc is running\n");
  // The forking thread's TID is not ours (a child that shares the parent's
  // memory shares its thread-local cache too, and leaves it alone).
  if (mode == CHILD_OWN_MEMORY) {
    lock_new_process();
    lib_loaded_increment_forked();
    // Its storage is a copy of the forking thread's, which knew its policy.
    set_launch_known(node, cpu, state_to_hand_on(), true);
  } else {
    lib_loaded_increment();
    set_launch(node, cpu);
  }
  ZYG_TRACE("child launched on node %d, cpu %d\n", node, cpu);
  if (log_on()) {
    errno_guard keep;
    log_record(message);
  }
  // A child that shares the parent's memory stops here: everything below
  // would change the parent's own state (its flags, counters and pool).
  if (mode == CHILD_SHARED_MEMORY) return;
  vfork_children_off_clear();
  is_initial_process = 0;
  reset_proc_flat(node, cpu);
  reset_thrd_flat();
  main_thread_handled = 0;
  clone_arg_init(CLONE_ARG_FORKED_CHILD);
  if (ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK && !launching_off()) {
    become_rr_pack_child();
  }
}

void become_rr_pack_child() {
  // Everything this process creates stays where it runs, and programs it
  // starts run without the library.
  strip_launch_env_in_place(environ);
  full_barrier();
  rr_pack_child = 1;
  // The interposers pass everything straight through from now on, so none
  // of its exit paths would count it out: it leaves the count here.
  lib_loaded_decrement();
}

void thread_clone_init(creation_kind kind) {
  if (kind == CREATED_BY_CLONE) {
    ZYG_TRACE("Initializing clone for this process\n");
  } else {
    ZYG_TRACE("Initializing pthread for this process\n");
  }
  if (ld.hdr != nullptr && ld.hdr->thrd_kind != KIND_NONE) {
    learn_policy_to_hand_on();
    if (ld.hdr->proc_kind != KIND_NONE) {
      // The process policy already placed this thread: count it where it is.
      int node = get_launch_unit();
      int cpu = get_launch_cpu();
      ZYG_TRACE("thread_clone_init: mark main thread launch as node %d, cpu %d\n", node, cpu);
      mark_thrd_launch(node, cpu);
      note_binding_held(node, cpu);
    } else {
      launch_choice c = get_thrd_launch();
      ZYG_TRACE("thread_clone_init: set main thread launch on node %d, cpu %d\n", c.unit, c.cpu);
      set_launch_known(c.unit, c.cpu, state_to_hand_on(), true);
    }
  }
  if (log_on()) {
    log_record(kind == CREATED_BY_CLONE     ? REC_CLONE_MAIN_THREAD
               : kind == CREATED_BY_PTHREAD ? REC_PTHREAD_MAIN_THREAD
                                            : REC_UNKNOWN_MAIN_THREAD);
  }
  full_barrier();
  main_thread_handled = 1;
}

}  // namespace zyg
