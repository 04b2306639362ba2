// spawn.cpp - posix_spawn(p), system and popen as the library runs them.
//
// A spawned child is placed through the calling thread's binding: the
// caller binds itself where the child must go, spawns, and gets its own
// affinity back. The placement mark names this process and the spawn's
// serial, and the child's pid is recorded under the serial, so that the
// child's program knows it is placed (core/membership.h); it counts itself
// in when it attaches to the launch, so nothing is counted here and a spawn
// that made no process (system() under a process limit) leaves nothing to
// take back.
#include <errno.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "base/env.h"
#include "base/errors.h"
#include "base/os.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/membership.h"
#include "core/real.h"
#include "exec/env.h"
#include "exec/exec.h"
#include "placement/bind.h"
#include "placement/policy.h"
#include "report/log.h"
#include "shared/elf_check.h"
#include "shared/names.h"

namespace zyg {

namespace {

constexpr size_t kExecFileSize = 257;     // find_exec_file's buffer
constexpr size_t kMaxAffinityWords = 64;  // saved affinity masks up to 4096 CPUs

// One posix_spawn or posix_spawnp call as the caller made it.
struct spawn_call {
  spawn_form form;
  pid_t* pid;
  const char* file;
  const posix_spawn_file_actions_t* fa;
  const posix_spawnattr_t* attrp;
  char* const* argv;
  char* const* envp;
};

const char* spawn_name(spawn_form form) {
  return form == FORM_POSIX_SPAWNP ? kRecPosixSpawnp : kRecPosixSpawn;
}

// The calling thread's exact affinity, remembered around a spawn: binding
// by launch node and CPU would narrow a thread that was allowed on several
// nodes to one.
// The memory policy too: binding resets it to the default, and a thread
// that interleaves its memory must go on doing so after the spawn.
struct saved_affinity {
  unsigned long words[kMaxAffinityWords];
  size_t nwords;  // 0 when nothing was saved
  os_mempolicy policy;
  bool policy_saved;
};

void save_affinity(saved_affinity* s) {
  int possible = ld.hdr != nullptr ? ld.b.possible_cpu_cnt : 0;
  size_t nwords = possible > 0 ? (size_t)(possible + 63) / 64 : kMaxAffinityWords;
  if (nwords > kMaxAffinityWords) nwords = kMaxAffinityWords;
  s->nwords = 0;
  s->policy_saved = os_get_mempolicy(&s->policy) == 0;
  if (os_get_affinity(s->words, nwords) == 0) {
    s->nwords = nwords;
  } else if (nwords < kMaxAffinityWords && os_get_affinity(s->words, kMaxAffinityWords) == 0) {
    // The kernel's mask is wider than the possible CPUs libnuma reported.
    s->nwords = kMaxAffinityWords;
  }
}

void restore_affinity(const saved_affinity* s) {
  if (s->nwords != 0) os_set_affinity(s->words, s->nwords);
  if (!s->policy_saved || os_set_mempolicy(&s->policy) != 0) os_mempolicy_default();
}

// Binds the calling thread where the child of a spawn goes, remembering its
// own affinity and memory policy in `saved` (nothing to do when the child is
// not placed). False when the bind failed: the choice is taken back and the
// thread is as it was.
bool bind_for_child(launch_choice ch, saved_affinity* saved) {
  saved->nwords = 0;
  saved->policy_saved = false;
  if (ch.unit == -1) return true;
  save_affinity(saved);
  ZYG_TRACE("Setting our launch vals for child to inherit\n");
  if (set_launch(ch.unit, ch.cpu) == 0) return true;
  unset_proc_launch(ch.unit, ch.cpu, ch.kind);
  restore_affinity(saved);
  return false;
}

// The C library's own spawn with the caller's arguments, or with `env`.
int real_spawn_env(const spawn_call* c, char* const* env) {
  return real_spawn(c->form, c->pid, c->file, c->fa, c->attrp, c->argv, env);
}

// Logs, spawns, and takes the placement back when no child was made.
int spawn_placed(const spawn_call* c, char** env, launch_choice ch, int setid, int thirty_two,
                 uint32_t serial) {
  log_exec(spawn_name(c->form), c->file, setid, thirty_two);

  // The child is placed and logged even when the caller does not want its pid.
  pid_t own_pid = -1;
  spawn_call with_pid = *c;
  if (with_pid.pid == nullptr) with_pid.pid = &own_pid;
  int result = real_spawn_env(&with_pid, env);
  int err = errno;
  if (result == 0) {
    member_spawn_record(serial, (int)*with_pid.pid);
    ZYG_TRACE("Parent spawned child pid  == %d, node %d, cpu %d\n", (int)*with_pid.pid, ch.unit,
              ch.cpu);
    if (log_on()) {
      char text[kExecRecordSize];
      text_join_int(text, sizeof text, kRecSpawnedPid, (int)*with_pid.pid);
      log_record(text);
    }
  } else {
    ZYG_TRACE("spawn returned -1 with errno == %d\n", result);
    ZYG_TRACE("unsetting launch map for failed spawn\n");
    if (ch.unit != -1) unset_proc_launch(ch.unit, ch.cpu, ch.kind);
  }
  errno = err;
  return result;
}

// system() and popen() start a shell with the process's own environment:
// edited for the shell to join the launch, placed by this process (or, under
// rr_pack, to run without the library) and the call logged as
// "<fn>(<command>)". The caller's own variables are put back as they were
// once the call returns (`saved`).
void prepare_shell(const char* fn, const char* command, env_snapshot* saved) {
  char text[kExecRecordSize];
  format_exec_record(text, sizeof text, fn, command, 0, 0);
  env_snapshot_take(saved);
  bool pack = ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK;
  if (pack) {
    unset_launch_env();
  } else {
    set_launch_env(text);
    // The shell is the child of this process: the C library never tells us
    // its pid, so the mark names this process and a serial nobody records.
    char mark[kMarkEntrySize];
    member_mark_entry(mark, sizeof mark, sys_getpid(), member_spawn_serial());
    if (env_lookup(kEnvDataFile) != nullptr)
      set_env_if_changed(kEnvPlacedBy, mark + sizeof kEnvPlacedBy);
  }
  if (log_on()) log_record(text);
}

}  // namespace

int real_spawn(spawn_form form, pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
               const posix_spawnattr_t* attrp, char* const argv[], char* const envp[]) {
  if (form == FORM_POSIX_SPAWNP) {
    ZYG_TRACE("Calling real posix_spawnp()\n");
    return real.posix_spawnp(pid, file, fa, attrp, argv, envp);
  }
  ZYG_TRACE("Calling real posix_spawn()\n");
  return real.posix_spawn(pid, file, fa, attrp, argv, envp);
}

int spawn_common(spawn_form form, pid_t* pid, const char* file,
                 const posix_spawn_file_actions_t* file_actions, const posix_spawnattr_t* attrp,
                 char* const argv[], char* const envp[]) {
  const spawn_call c = {form, pid, file, file_actions, attrp, argv, envp};
  char** given = const_cast<char**>(envp);
  if (is_new_launch_env(given)) {
    // A launch of its own (zyg-nox run by posix_spawn): the child places
    // itself by its own launch, so neither bind it here nor count it.
    if (log_on()) log_exec(spawn_name(form), file, 0, 0);
    return real_spawn_env(&c, envp);
  }

  // The checks and the environment come first, so that running out of memory
  // needs no placement to be undone.
  char found[kExecFileSize];
  const char* target = file;
  if (form == FORM_POSIX_SPAWNP) {
    if (find_exec_file(file, found, sizeof(found)) != 0) return ENOMEM;
    target = found;
  }
  // A static program keeps the launch variables for the programs it starts.
  exec_target t;
  bool leaves = program_leaves_tree(target, &t);
  bool keeps_vars = leaves && t.is_static && !t.thirty_two && !t.setid && !rr_pack_outsider();
  char* slots[kEnvRoomSlots];
  const env_room room = {slots, kEnvRoomSlots};
  // The child is placed through this thread's binding, whatever it runs: a
  // static program keeps the mark for an exec of its own.
  const uint32_t serial = member_spawn_serial();
  char mark[kMarkEntrySize];
  member_mark_entry(mark, sizeof mark, sys_getpid(), serial);
  char** env =
      leaves && !keeps_vars ? strip_launch_env(given) : add_launch_env(given, file, mark, room);
  if (env == nullptr) return ENOMEM;

  launch_choice ch = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", ch.unit, ch.cpu);
  saved_affinity saved;
  bool bound = ch.unit != -1;
  if (!bind_for_child(ch, &saved)) {
    // Reported, and launching is now off in this process: the spawn goes
    // on as the C library's own, on the thread's earlier binding.
    release_env(env, given, room);
    return real_spawn_env(&c, envp);
  }
  int result = spawn_placed(&c, env, ch, t.setid, t.thirty_two, serial);
  errno_guard keep;
  release_env(env, given, room);
  if (bound) {
    ZYG_TRACE("Restoring our launch vals\n");
    restore_affinity(&saved);
  }
  return result;
}

int system_common(const char* command) {
  ZYG_TRACE("invoking system() with command: %s\n", command != nullptr ? command : "(null)");
  env_snapshot saved;
  prepare_shell(kRecSystem, command, &saved);
  ZYG_TRACE("Calling real system()\n");
  int result = real.system(command);
  errno_guard keep;
  env_snapshot_restore(&saved);
  return result;
}

FILE* popen_common(const char* command, const char* type) {
  ZYG_TRACE("invoking popen() with command: %s\n", command != nullptr ? command : "(null)");
  // The C library starts the shell with its own internal spawn, past our
  // posix_spawn: it gets the process's own environment, edited as for
  // system(), and is placed here.
  env_snapshot own;
  prepare_shell(kRecPopen, command, &own);

  launch_choice ch = get_proc_launch();
  saved_affinity saved;
  bool bound = ch.unit != -1;
  FILE* f;
  if (!bind_for_child(ch, &saved)) {
    // Reported, and launching is now off here: the C library's own popen.
    f = real.popen(command, type);
  } else {
    ZYG_TRACE("Calling real popen()\n");
    f = real.popen(command, type);
    // No shell was made (a bad mode, or the spawn failed).
    errno_guard keep;  // the errno popen() left
    if (f == nullptr && bound) unset_proc_launch(ch.unit, ch.cpu, ch.kind);
    if (bound) restore_affinity(&saved);
  }
  errno_guard keep;
  env_snapshot_restore(&own);
  return f;
}

}  // namespace zyg
