// exec.cpp - the exec family, posix_spawn(p) and system as the library runs
// them.
//
// Every exec decides whether the new program joins the launched tree: a
// 32-bit executable, a set-ID program of another user or group, and under
// rr_pack any program started outside the first process run without the
// library. The explicit-environment forms get a new array; the others edit
// the process's own environment, which stays edited if the exec fails.
//
// A process whose exec starts a program without the library leaves the tree
// for good, so it is counted out of lib_loaded_cnt before the real call (and
// back in if the exec fails): nothing in the new image will ever count it
// out. Likewise a spawned child is counted in only when it gets the library,
// and system() counts the shell in because nothing else does: the C library
// creates it without our fork.
#include "exec/exec.h"

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/init.h"
#include "core/ldata.h"
#include "core/names.h"
#include "core/real.h"
#include "core/state.h"
#include "core/sys.h"
#include "core/topology.h"
#include "exec/elf_check.h"
#include "exec/env.h"
#include "placement/bind.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/debug.h"
#include "report/log.h"

extern char** environ;

namespace zyg {

namespace {

constexpr size_t kExecFileSize = 257;   // find_exec_file's buffer
constexpr size_t kFdPathSize = 64;      // "/proc/self/fd/%d"
constexpr size_t kRecordSize = 256;     // exec and system records
constexpr int kMaxAffinityWords = 64;   // saved affinity masks up to 4096 CPUs

const char* const kFormNames[FORM_COUNT] = {"execve", "execvpe", "fexecve", "execle",
                                            "execvp", "execv",   "execl",   "execlp"};

bool explicit_env(int form) {
  return form == FORM_EXECVE || form == FORM_EXECVPE || form == FORM_FEXECVE ||
         form == FORM_EXECLE;
}

bool by_name(int form) { return form == FORM_EXECVPE || form == FORM_EXECVP || form == FORM_EXECLP; }

#if ZYG_DEBUG
// Whole texts, so that each entry trace can be found as it is written.
void trace_entry(const char* fn) {
  static const char* const texts[][2] = {
      {"execve", "THIS IS THE execve() PRINTF.\n"},
      {"execvpe", "THIS IS THE execvpe() PRINTF.\n"},
      {"fexecve", "THIS IS THE fexecve() PRINTF.\n"},
      {"execle", "THIS IS THE execle() PRINTF.\n"},
      {"execvp", "THIS IS THE execvp() PRINTF.\n"},
      {"execv", "THIS IS THE execv() PRINTF.\n"},
      {"execl", "THIS IS THE execl() PRINTF.\n"},
      {"execlp", "THIS IS THE execlp() PRINTF.\n"},
      {"posix_spawn", "THIS IS THE posix_spawn() PRINTF.\n"},
      {"posix_spawnp", "THIS IS THE posix_spawnp() PRINTF.\n"},
      {"system", "THIS IS THE system() PRINTF.\n"},
  };
  for (const auto& t : texts) {
    if (strcmp(t[0], fn) == 0) {
      ZYG_TRACE("%s", t[1]);
      return;
    }
  }
}
#else
void trace_entry(const char*) {}
#endif

// The real function of a form, with the environment to pass (ignored by the
// process-environment forms). execl and execle go through the real execve,
// execlp through the real execvp.
int call_real(const exec_call* c, char* const* envp) {
  switch (c->form) {
    case FORM_EXECVE:
    case FORM_EXECLE:
      ZYG_TRACE("Calling real execve()\n");
      return real.execve(c->file, c->argv, envp);
    case FORM_EXECL:
      ZYG_TRACE("Calling real execve()\n");
      return real.execve(c->file, c->argv, environ);
    case FORM_EXECVPE:
      ZYG_TRACE("Calling real execvpe()\n");
      return real.execvpe(c->file, c->argv, envp);
    case FORM_FEXECVE:
      ZYG_TRACE("Calling real fexecve()\n");
      return real.fexecve(c->fd, c->argv, envp);
    case FORM_EXECVP:
    case FORM_EXECLP:
      ZYG_TRACE("Calling real execvp()\n");
      return real.execvp(c->file, c->argv);
    case FORM_EXECV:
      ZYG_TRACE("Calling real execv()\n");
      return real.execv(c->file, c->argv);
    default:
      errno = EINVAL;
      return -1;
  }
}

// Resolves the family and runs start-up when this image has not; false when
// launching is off here and the caller must only call the real function.
bool launch_ready(const char* fn) {
  ensure_resolved(GROUP_EXEC);
  if (launching_off()) return false;
  trace_entry(fn);
  if (!launch_initialized) launch_init();
  return !launching_off();
}

// Outside the first process under rr_pack, programs run without the library.
bool outsider() {
  return ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK &&
         ld.hdr->initial_pid != sys_getpid();
}

bool has_entry(char* const* envp, const char* name, bool non_empty) {
  if (envp == nullptr) return false;
  size_t len = strlen(name);
  for (char* const* e = envp; *e != nullptr; ++e) {
    if (strncmp(*e, name, len) == 0 && (*e)[len] == '=') {
      if (!non_empty || (*e)[len + 1] != '\0') return true;
    }
  }
  return false;
}

// Counting this process out for an exec that leaves the tree. True when this
// call did the counting out (so a failed exec must count it back in).
bool leave_tree() {
  int pid = sys_getpid();
  if (__atomic_load_n(&counted_out_pid, __ATOMIC_SEQ_CST) == pid) return false;
  lib_loaded_decrement();
  return true;
}

void return_to_tree() {
  lib_loaded_count_in();
  lib_loaded_rearm();
}

void log_exec(const char* fn, const char* file, int setid, int thirty_two) {
  if (!log_on()) return;
  char text[kRecordSize];
  format_exec_record(text, sizeof(text), fn, file, setid, thirty_two);
  log_record(text);
}

// The calling thread's exact affinity, remembered around a spawn: binding
// by launch node and CPU would narrow a thread that was allowed on several
// nodes to one.
struct saved_affinity {
  uint64_t words[kMaxAffinityWords];
  size_t bytes;  // 0 when nothing was saved
};

void save_affinity(saved_affinity* s) {
  int possible = ld.hdr != nullptr ? ld.hdr->possible_cpu_cnt : 0;
  size_t bytes = possible > 0 ? (size_t)((possible + 63) / 64) * 8 : sizeof(s->words);
  if (bytes > sizeof(s->words)) bytes = sizeof(s->words);
  s->bytes = 0;
  int err = errno;
  if (sched_getaffinity(0, bytes, reinterpret_cast<cpu_set_t*>(s->words)) == 0) {
    s->bytes = bytes;
  } else if (bytes < sizeof(s->words) &&
             sched_getaffinity(0, sizeof(s->words), reinterpret_cast<cpu_set_t*>(s->words)) == 0) {
    // The kernel's mask is wider than the possible CPUs libnuma reported.
    s->bytes = sizeof(s->words);
  }
  errno = err;
}

void restore_affinity(const saved_affinity* s) {
  int err = errno;
  if (s->bytes != 0)
    sched_setaffinity(0, s->bytes, reinterpret_cast<const cpu_set_t*>(s->words));
  raw_syscall3(SYS_set_mempolicy, 0 /* MPOL_DEFAULT */, 0, 0);
  errno = err;
}

int real_spawn(int mode, pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
               const posix_spawnattr_t* attrp, char* const argv[], char* const envp[]) {
  if (mode == 2) {
    ZYG_TRACE("Calling real posix_spawnp()\n");
    return real.posix_spawnp(pid, file, fa, attrp, argv, envp);
  }
  ZYG_TRACE("Calling real posix_spawn()\n");
  return real.posix_spawn(pid, file, fa, attrp, argv, envp);
}

}  // namespace

const char* exec_form_name(int form) {
  return (form >= 0 && form < FORM_COUNT) ? kFormNames[form] : "";
}

int format_exec_record(char* buf, size_t size, const char* fn, const char* file, int setid,
                       int thirty_two) {
  if (size == 0) return 0;
  const char* prefix = setid ? "setuid/setgid executable: " : thirty_two ? "32-bit executable: " : "";
  int n = snprintf(buf, size, "%s%s(%s)", prefix, fn, file != nullptr ? file : "(null)");
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return (size_t)n >= size ? (int)(size - 1) : n;
}

char** collect_args(const char* first, va_list ap, char*** envp) {
  va_list count;
  va_copy(count, ap);
  size_t n = 0;
  if (first != nullptr) {
    n = 1;
    while (va_arg(count, char*) != nullptr) ++n;
  }
  va_end(count);
  auto** argv = static_cast<char**>(malloc((n + 2) * sizeof(char*)));
  if (argv == nullptr) return nullptr;
  if (n > 0) {
    argv[0] = const_cast<char*>(first);
    for (size_t i = 1; i < n; ++i) argv[i] = va_arg(ap, char*);
    (void)va_arg(ap, char*);  // the terminating null
  }
  argv[n] = nullptr;
  argv[n + 1] = nullptr;
  if (envp != nullptr) *envp = va_arg(ap, char**);
  return argv;
}

bool is_new_launch_env(char* const* envp) { return has_entry(envp, kEnvLib64, false); }

bool env_joins_launch(char* const* envp) { return has_entry(envp, kEnvDataFile, true); }

int exec_common(const exec_call* c) {
  const char* fn = exec_form_name(c->form);
  if (!launch_ready(fn)) return call_real(c, c->envp);

  // The file the checks look at.
  char found[kExecFileSize];
  const char* target = c->file;
  if (c->form == FORM_FEXECVE) {
    snprintf(found, kFdPathSize, "/proc/self/fd/%d", c->fd);
    target = found;
  } else if (by_name(c->form)) {
    if (find_exec_file(c->file, found, sizeof(found)) != 0) {
      ZYG_TRACE("can't allocate memory, return -1/ENOMEM to user\n");
      errno = ENOMEM;
      return -1;
    }
    target = found;
  }
  int thirty_two = elf_check32bit(target);
  int setid = is_setuid_exec(target);
  bool strip = thirty_two || setid || outsider();
  const char* name = c->form == FORM_FEXECVE ? found : c->file;

  char** env = nullptr;
  bool joins;
  if (explicit_env(c->form)) {
    char** given = const_cast<char**>(c->envp);
    if (is_new_launch_env(given)) {
      // zyg-nox started inside the tree: its command begins a launch of its
      // own and gets exactly the environment the launcher built.
      env = given;
    } else {
      env = strip ? strip_launch_env(given) : add_launch_env(given, name);
      if (env == nullptr) {
        errno = ENOMEM;
        return -1;
      }
    }
    joins = !is_new_launch_env(env) && env_joins_launch(env);
  } else {
    if (env_lookup(kEnvLib64) == nullptr) {
      int r = strip ? unset_launch_env() : set_launch_env(name);
      if (r != 0) {
        errno = ENOMEM;
        return -1;
      }
    }
    joins = env_lookup(kEnvLib64) == nullptr && env_lookup(kEnvDataFile) != nullptr &&
            *env_lookup(kEnvDataFile) != '\0';
  }

  log_exec(fn, name, setid, thirty_two);

  bool left = !joins && leave_tree();
  int result = call_real(c, env);
  int err = errno;
  if (left) return_to_tree();
  if (env != nullptr && env != c->envp) free(env);
  errno = err;
  return result;
}

int exec_execve(const char* path, char* const argv[], char* const envp[]) {
  exec_call c = {FORM_EXECVE, path, -1, argv, envp};
  return exec_common(&c);
}

int spawn_common(int mode, pid_t* pid, const char* file,
                 const posix_spawn_file_actions_t* file_actions, const posix_spawnattr_t* attrp,
                 char* const argv[], char* const envp[]) {
  const char* fn = mode == 2 ? "posix_spawnp" : "posix_spawn";
  if (!launch_ready(fn)) return real_spawn(mode, pid, file, file_actions, attrp, argv, envp);

  char** given = const_cast<char**>(envp);
  if (is_new_launch_env(given)) {
    // A launch of its own (zyg-nox run by posix_spawn): the child places
    // itself by its own launch, so neither bind it here nor count it.
    if (log_on()) log_exec(fn, file, 0, 0);
    return real_spawn(mode, pid, file, file_actions, attrp, argv, envp);
  }

  // The checks and the environment come first, so that running out of memory
  // needs no placement to be undone.
  char found[kExecFileSize];
  const char* target = file;
  if (mode == 2) {
    if (find_exec_file(file, found, sizeof(found)) != 0) return ENOMEM;
    target = found;
  }
  int thirty_two = elf_check32bit(target);
  int setid = is_setuid_exec(target);
  bool strip = thirty_two || setid || outsider();
  char** env = strip ? strip_launch_env(given) : add_launch_env(given, file);
  if (env == nullptr) return ENOMEM;
  bool joins = env_joins_launch(env);

  launch_choice ch = get_proc_launch();
  ZYG_TRACE("Child process will be launched on node %d, cpu %d\n", ch.node, ch.cpu);
  saved_affinity saved;
  saved.bytes = 0;
  bool bound = false;
  if (ch.node != -1) {
    save_affinity(&saved);
    ZYG_TRACE("Setting our launch vals for child to inherit\n");
    bound = true;
    if (set_launch(ch.node, ch.cpu) != 0) {
      // Reported, and launching is now off in this process: the spawn goes
      // on as the C library's own, on the thread's earlier binding.
      unset_proc_launch(ch.node, ch.cpu, ch.kind);
      restore_affinity(&saved);
      if (env != envp) free(env);
      return real_spawn(mode, pid, file, file_actions, attrp, argv, envp);
    }
  }
  // A child that runs without the library never counts itself out.
  if (joins) lib_loaded_count_in();

  log_exec(fn, file, setid, thirty_two);

  // The child is placed and logged even when the caller does not want its pid.
  pid_t own_pid = -1;
  pid_t* pid_out = pid != nullptr ? pid : &own_pid;
  int result = real_spawn(mode, pid_out, file, file_actions, attrp, argv, env);
  int err = errno;
  if (result == 0) {
    ZYG_TRACE("Parent spawned child pid  == %d, node %d, cpu %d\n", (int)*pid_out, ch.node,
              ch.cpu);
    if (log_on()) {
      char text[kRecordSize];
      snprintf(text, sizeof(text), "Spawned PID %d", (int)*pid_out);
      log_record(text);
    }
  } else {
    ZYG_TRACE("spawn returned -1 with errno == %d\n", result);
    ZYG_TRACE("unsetting launch map for failed spawn\n");
    if (ch.node != -1) unset_proc_launch(ch.node, ch.cpu, ch.kind);
    if (joins) lib_loaded_take_back();
  }
  if (env != envp) free(env);
  if (bound) {
    ZYG_TRACE("Restoring our launch vals\n");
    restore_affinity(&saved);
  }
  errno = err;
  return result;
}

int system_common(const char* command) {
  if (!launch_ready("system")) return real.system(command);
  ZYG_TRACE("invoking system() with command: %s\n", command != nullptr ? command : "(null)");

  char text[kRecordSize];
  snprintf(text, sizeof(text), "system(%s)", command != nullptr ? command : "(null)");
  bool pack = ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK;
  if (pack) {
    unset_launch_env();
  } else {
    set_launch_env(text);
  }
  const char* data = env_lookup(kEnvDataFile);
  bool joins = !pack && data != nullptr && *data != '\0';
  if (log_on()) log_record(text);

  // The C library starts the shell without our fork, so nothing else counts
  // it in; the shell counts itself out when it ends.
  if (joins) lib_loaded_count_in();
  ZYG_TRACE("Calling real system()\n");
  int result = real.system(command);
  int err = errno;
  // -1: no shell process was created.
  if (joins && result == -1) lib_loaded_take_back();
  errno = err;
  return result;
}

}  // namespace zyg
