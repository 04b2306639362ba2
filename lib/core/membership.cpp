// membership.cpp - the rules of core/membership.h.
#include "core/membership.h"

#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <sys/stat.h>

#include "base/env.h"
#include "base/layout.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "shared/names.h"

namespace zyg {

// --- Identity ---------------------------------------------------------------

namespace {
launch_id own_id;
uint32_t own_id_known;
}  // namespace

const char* member_refusal_text(member_refusal why) {
  switch (why) {
    case MEMBER_NOT_REGULAR:
      return "is not a regular file";
    case MEMBER_OWNER:
      return "is owned by another user";
    case MEMBER_IDENTITY:
      return "belongs to another launch";
    case MEMBER_NO_ID:
      return "cannot be checked: no launch identity in the environment";
    case MEMBER_OK:
      break;
  }
  return "";
}

ZYG_HOT_CODE member_refusal member_check_file(const void* st_p, const launch_id& id) {
  const auto* st = static_cast<const struct stat*>(st_p);
  if (!S_ISREG(st->st_mode)) return MEMBER_NOT_REGULAR;
  if (st->st_uid != id.uid) return MEMBER_OWNER;
  return MEMBER_OK;
}

ZYG_HOT_CODE bool member_identity_matches(const ldata_hdr* h, const launch_id& id) {
  return h->id_tag == launch_id_tag(id, h->initial_pid);
}

ZYG_HOT_CODE uint64_t member_content_tag(const ldata_hdr* h, const launch_id& id) {
  // The texts (node list, data, log and error files, the libraries, the
  // policy names) lie together at the header's end; the numbers that say how
  // files are made and whether a log is written come with them.
  const uint32_t numbers[4] = {h->file_mode, h->log_enabled, (uint32_t)h->initial_pid,
                               h->memory_mode};
  const char* texts = h->launch_nodes;
  const tag_part parts[2] = {
      {numbers, sizeof numbers},
      {texts, sizeof(ldata_hdr) - offsetof(ldata_hdr, launch_nodes)},
  };
  return launch_tag_parts(id, parts, 2);
}

ZYG_HOT_CODE bool member_identity(launch_id* out) {
  if (__atomic_load_n(&own_id_known, __ATOMIC_ACQUIRE) == 0) {
    const char* text = env_lookup(kEnvLaunchId);
    launch_id id;
    if (!launch_id_parse(text, &id)) return false;
    member_set_identity(id);
  }
  *out = own_id;
  return true;
}

ZYG_HOT_CODE void member_set_identity(const launch_id& id) {
  own_id = id;
  __atomic_store_n(&own_id_known, 1u, __ATOMIC_RELEASE);
}

// --- Counting ---------------------------------------------------------------
//
// A process may reach its end through several doors at once (two threads
// calling _exit, exit() followed by the finaliser, a clone child routine...).
// The marker makes the count drop once per process: whoever swaps this
// process's pid into it does the decrement. Markers are kept in a small table
// indexed by pid: a process made by clone with CLONE_VM shares its parent's
// memory, and with one marker for both the second of them to end would take
// the first one's mark for its own absence.

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

ZYG_HOT_CODE bool lib_loaded_decrement(int pid) {
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
      return true;
    }
    // m now holds the marker's current value; try again unless it is us.
  }
  return false;
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

// --- Execs in flight -----------------------------------------------------
//
// The count of a process with execs in flight changes under a gate: the
// thread whose exec is the first in flight counts the process out, the one
// whose failed exec was the last counts it back in, and neither may
// interleave with the other (a thread that found the process out, went on
// and succeeded while another counted it back in would leave it counted
// twice). Signals are blocked in the gate, so a handler that execs never
// finds its own thread holding it; a thread of a parent that forked while
// holding it does not exist in the child, whose waiter takes the gate over.

namespace {

struct exec_slot {
  int pid;
  int in_flight;
  int counted_out_by_exec;
};
exec_slot exec_slots[kMarkerSlots];
uint32_t exec_gate;  // TID of the holder, 0 when free

constexpr int kGateSpins = 64;

ZYG_HOT_CODE void gate_take(uint32_t tid) {
  for (int spins = 0;; ++spins) {
    uint32_t seen = 0;
    if (__atomic_compare_exchange_n(&exec_gate, &seen, tid, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      return;
    if (spins >= kGateSpins && raw_syscall3(SYS_tgkill, sys_getpid(), (long)seen, 0) == -ESRCH &&
        __atomic_compare_exchange_n(&exec_gate, &seen, tid, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      return;
    raw_syscall3(SYS_sched_yield, 0, 0, 0);
  }
}

ZYG_HOT_CODE void gate_give() { __atomic_store_n(&exec_gate, 0u, __ATOMIC_RELEASE); }

// All signals blocked, the old mask in old (the kernel's 8-byte sigset).
ZYG_HOT_CODE void block_signals(uint64_t* old) {
  const uint64_t all = ~0ull;
  raw_syscall6(SYS_rt_sigprocmask, SIG_SETMASK, (long)&all, (long)old, 8, 0, 0);
}
ZYG_HOT_CODE void restore_signals(const uint64_t* old) {
  raw_syscall6(SYS_rt_sigprocmask, SIG_SETMASK, (long)old, 0, 8, 0, 0);
}

ZYG_HOT_CODE exec_slot* exec_slot_of(int pid) {
  exec_slot* s = &exec_slots[(unsigned)pid % kMarkerSlots];
  if (s->pid != pid) *s = {pid, 0, 0};
  return s;
}

}  // namespace

ZYG_HOT_CODE exec_count member_exec_begin(int pid) {
  uint64_t old;
  block_signals(&old);
  gate_take((uint32_t)sys_gettid());
  exec_slot* s = exec_slot_of(pid);
  if (s->in_flight++ == 0) s->counted_out_by_exec = lib_loaded_decrement(pid) ? 1 : 0;
  gate_give();
  restore_signals(&old);
  return exec_count{pid};
}

ZYG_HOT_CODE void member_exec_failed(const exec_count& c) {
  uint64_t old;
  block_signals(&old);
  gate_take((uint32_t)sys_gettid());
  exec_slot* s = exec_slot_of(c.pid);
  if (s->in_flight > 0 && --s->in_flight == 0 && s->counted_out_by_exec) {
    s->counted_out_by_exec = 0;
    lib_loaded_count_in();
    lib_loaded_rearm(c.pid);
  }
  gate_give();
  restore_signals(&old);
}

// --- Placement mark -------------------------------------------------------

ZYG_HOT_CODE bool is_member_variable(const char* e) {
  if (env_entry_is(e, kEnvDataFile) || env_entry_is(e, kEnvErrorFile) ||
      env_entry_is(e, kEnvLaunchId) || env_entry_is(e, kEnvPlacedBy))
    return true;
#if ZYG_DEBUG
  if (env_entry_is(e, kEnvDebugFile)) return true;
#endif
  return false;
}

namespace {
// Processes a raw clone made (by pid, as the markers).
int unplaced_slots[kMarkerSlots];
}  // namespace

void member_raw_clone_child(int pid) {
  mark_counted_out(pid);
  __atomic_store_n(&unplaced_slots[(unsigned)pid % kMarkerSlots], pid, __ATOMIC_SEQ_CST);
}

ZYG_HOT_CODE bool member_process_placed(int pid) {
  return __atomic_load_n(&unplaced_slots[(unsigned)pid % kMarkerSlots], __ATOMIC_SEQ_CST) != pid;
}

namespace {
constexpr uint32_t kSpawnSlots = sizeof(ldata_hdr::spawn_slots) / sizeof(uint64_t);

// Digits at *p as a positive int; -1 when there are none or too many.
ZYG_HOT_CODE long read_number(const char** p) {
  long v = 0;
  const char* s = *p;
  if (*s < '0' || *s > '9') return -1;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > 0xffffffffL) return -1;
  }
  *p = s;
  return v;
}
}  // namespace

ZYG_HOT_CODE size_t member_mark_entry(char* out, size_t size, int pid, uint32_t serial) {
  text_out o = text_start(out, size);
  text_put(&o, kEnvPlacedBy);
  text_put_char(&o, '=');
  text_put_int(&o, pid);
  if (serial != 0) {
    text_put_char(&o, ':');
    text_put_int(&o, (long)serial);
  }
  return text_length(&o);
}

uint32_t member_spawn_serial() {
  if (ld.hdr == nullptr) return 1;
  uint32_t s;
  do s = __atomic_add_fetch(&ld.hdr->spawn_serial, 1u, __ATOMIC_RELAXED);
  while (s == 0);
  return s;
}

void member_spawn_record(uint32_t serial, int child) {
  if (ld.hdr == nullptr || serial == 0 || child <= 0) return;
  const uint64_t v = ((uint64_t)serial << 32) | (uint32_t)child;
  __atomic_store_n(&ld.hdr->spawn_slots[serial % kSpawnSlots], v, __ATOMIC_RELEASE);
}

ZYG_HOT_CODE bool member_marked_placed(const char* mark, int pid, int ppid) {
  if (mark == nullptr) return false;
  const char* p = mark;
  const long by = read_number(&p);
  if (by <= 0) return false;
  if (*p == '\0') return by == pid;  // an exec: this very process
  if (*p++ != ':') return false;
  const long serial = read_number(&p);
  if (serial <= 0 || *p != '\0') return false;
  if (ld.hdr != nullptr) {
    const uint64_t v =
        __atomic_load_n(&ld.hdr->spawn_slots[(uint32_t)serial % kSpawnSlots], __ATOMIC_ACQUIRE);
    if ((v >> 32) == (uint64_t)serial) return (int)(uint32_t)v == pid;
  }
  // Not recorded yet (the spawning process has not come back from the spawn,
  // so it is still our parent), or a system or popen shell.
  return by == (ppid >= 0 ? ppid : sys_getppid());
}

// --- The vfork child's off level -------------------------------------------

namespace {
// The vfork level that turned launching off on this thread's storage, 0 when on.
__thread uint32_t off_depth;
}  // namespace

volatile uint32_t vfork_children_off = 0;

void vfork_child_turn_off() {
  const uint32_t depth = vfork_depth();
  if (depth == 0 || off_depth != 0) return;
  __atomic_add_fetch(&vfork_children_off, 1, __ATOMIC_SEQ_CST);
  off_depth = depth;
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

bool vfork_child_off() { return off_depth != 0; }

void member_vfork_resumed(uint32_t depth) {
  vfork_parent_resume(depth);
  if (off_depth > depth) {
    off_depth = 0;
    __atomic_sub_fetch(&vfork_children_off, 1, __ATOMIC_SEQ_CST);
  }
}

}  // namespace zyg
