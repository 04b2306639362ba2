// termination.cpp - counting processes in and out of lib_loaded_cnt.
//
// A process may reach its end through several doors at once (two threads
// calling _exit, exit() followed by the finaliser, a clone child routine...).
// The marker makes the count drop once per process: whoever swaps this
// process's pid into it does the decrement. The marker is inherited across
// fork, so a new process re-arms it (lib_loaded_increment, start-up) before
// it can be counted out.
#include "placement/termination.h"

#include "base/layout.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/real.h"
#include "core/state.h"
#include "report/log.h"

namespace zyg {

namespace {

// Consecutive pids (a parent and the children it makes one after another)
// fall into different slots; two processes that share memory collide only
// when their pids are a multiple of kMarkerSlots apart.
constexpr int kMarkerSlots = 64;
int marker_slots[kMarkerSlots] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

ZYG_HOT_CODE int* marker_of(int pid) { return &marker_slots[(unsigned)pid % kMarkerSlots]; }

// Set while this thread is inside library_exit: a fatal report raised on the
// way out (say, a failed lookup of the real _exit) ends the process directly
// instead of coming back here.
__thread int exiting_thread;
}  // namespace

ZYG_HOT_CODE void lib_loaded_increment(int pid) {
  lib_loaded_count_in();
  lib_loaded_rearm(pid);
}

void lib_loaded_increment() { lib_loaded_increment(sys_getpid()); }

ZYG_HOT_CODE void lib_loaded_increment_forked() {
  lib_loaded_count_in();
  // In a child with memory of its own the table can only ever speak for
  // this process (a process that later shares this memory re-arms its own
  // marker at its start), so every marker re-armed is this one's re-armed,
  // and the child need not ask for its pid. A marker that is already armed
  // is not written: the page stays shared with the parent.
  for (int& m : marker_slots)
    if (__atomic_load_n(&m, __ATOMIC_RELAXED) != -1) __atomic_store_n(&m, -1, __ATOMIC_SEQ_CST);
}

ZYG_HOT_CODE void lib_loaded_decrement() { lib_loaded_decrement(sys_getpid()); }

ZYG_HOT_CODE void lib_loaded_decrement(int pid) {
  ZYG_TRACE("lib_loaded_decrement()\n");
  int* marker = marker_of(pid);
  int m = __atomic_load_n(marker, __ATOMIC_SEQ_CST);
  while (m != pid) {
    if (__atomic_compare_exchange_n(marker, &m, pid, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      if (ld.hdr) {
        int n = __atomic_sub_fetch(&ld.hdr->lib_loaded_cnt, 1, __ATOMIC_SEQ_CST);
        ZYG_TRACE("lib_loaded_decrement (cnt now = %d)\n", n);
        (void)n;
      }
      return;
    }
    // m now holds the marker's current value; try again unless it is us.
  }
}

ZYG_HOT_CODE void lib_loaded_rearm(int pid) {
  __atomic_store_n(marker_of(pid), -1, __ATOMIC_SEQ_CST);
}

void lib_loaded_rearm() { lib_loaded_rearm(sys_getpid()); }

ZYG_HOT_CODE bool counted_out(int pid) {
  return __atomic_load_n(marker_of(pid), __ATOMIC_SEQ_CST) == pid;
}

ZYG_HOT_CODE void mark_counted_out(int pid) {
  __atomic_store_n(marker_of(pid), pid, __ATOMIC_SEQ_CST);
}

ZYG_HOT_CODE void lib_loaded_count_in() {
  if (ld.hdr) {
    int n = __atomic_add_fetch(&ld.hdr->lib_loaded_cnt, 1, __ATOMIC_SEQ_CST);
    ZYG_TRACE("lib_loaded_increment (cnt now = %d)\n", n);
    (void)n;
  }
}

void lib_loaded_take_back() {
  if (ld.hdr) __atomic_sub_fetch(&ld.hdr->lib_loaded_cnt, 1, __ATOMIC_SEQ_CST);
}

void library_exit(int status) {
  if (exiting_thread) sys_exit_group(status);
  exiting_thread = 1;
  ensure_resolved(GROUP_EXIT);
  if (!launching_off() && launch_initialized) {
    if (log_on()) log_record(REC_EXIT_NOW);
    lib_loaded_decrement();
  }
  if (real._exit) real._exit(status);
  sys_exit_group(status);
}

}  // namespace zyg
