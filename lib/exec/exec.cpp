// exec.cpp - the exec family as the library runs it.
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
// out.
#include "exec/exec.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/scratch.h"
#include "base/env.h"
#include "base/errors.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/real.h"
#include "core/state.h"
#include "exec/env.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/log.h"
#include "shared/elf_check.h"
#include "shared/names.h"

extern char** environ;

namespace zyg {

namespace {

constexpr size_t kExecFileSize = 257;   // find_exec_file's buffer
constexpr size_t kFdPathSize = 64;      // "/proc/self/fd/%d"

const char* const kFormNames[FORM_COUNT] = {"execve", "execvpe", "fexecve", "execle",
                                            "execvp", "execv",   "execl",   "execlp"};

bool explicit_env(int form) {
  return form == FORM_EXECVE || form == FORM_EXECVPE || form == FORM_FEXECVE ||
         form == FORM_EXECLE;
}

bool by_name(int form) { return form == FORM_EXECVPE || form == FORM_EXECVP || form == FORM_EXECLP; }

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


bool has_entry(char* const* envp, const char* name, bool non_empty) {
  if (envp == nullptr) return false;
  size_t len = strlen(name);
  for (char* const* e = envp; *e != nullptr; ++e) {
    if (env_entry_is(*e, name, len)) {
      if (!non_empty || (*e)[len + 1] != '\0') return true;
    }
  }
  return false;
}

// Counting this process out for an exec that leaves the tree. True when this
// call did the counting out (so a failed exec must count it back in).
bool leave_tree() {
  int pid = sys_getpid();
  if (counted_out(pid)) return false;
  lib_loaded_decrement();
  return true;
}

void return_to_tree() {
  lib_loaded_count_in();
  lib_loaded_rearm();
}

// A process that is not counted (the child of a raw clone, or one already
// counted out on its way to exit) and execs a program that joins the tree:
// that program will count itself out at its end, so it is counted in now.
// True when this call counted in (a failed exec takes it back).
bool enter_tree() {
  int pid = sys_getpid();
  if (!counted_out(pid)) return false;
  return_to_tree();
  return true;
}

void leave_again() {
  lib_loaded_take_back();
  mark_counted_out(sys_getpid());
}

// The environment the new program gets, and whether it joins this launch.
// -1 when out of memory.
int prepare_env(const exec_call* c, bool strip, const char* name, char*** env_out, bool* joins) {
  char** env = nullptr;
  if (explicit_env(c->form)) {
    char** given = const_cast<char**>(c->envp);
    if (is_new_launch_env(given)) {
      // zyg-nox started inside the tree: its command begins a launch of its
      // own and gets exactly the environment the launcher built.
      env = given;
    } else {
      env = strip ? strip_launch_env(given) : add_launch_env(given, name);
      if (env == nullptr) return -1;
    }
    *joins = !is_new_launch_env(env) && env_joins_launch(env);
  } else {
    if (env_lookup(kEnvLib64) == nullptr) {
      int r = strip ? unset_launch_env() : set_launch_env(name);
      if (r != 0) return -1;
    }
    *joins = env_lookup(kEnvLib64) == nullptr && env_lookup(kEnvDataFile) != nullptr &&
            *env_lookup(kEnvDataFile) != '\0';
  }

  *env_out = env;
  return 0;
}

}  // namespace

int exec_real(const exec_call* c) { return call_real(c, c->envp); }

int exec_outside_launch(const exec_call* c) {
  exec_call own = *c;
  if (!explicit_env(c->form)) {
    own.form = by_name(c->form) ? FORM_EXECVPE : FORM_EXECVE;
    own.envp = environ;
  }
  char** env = strip_launch_env(const_cast<char**>(own.envp));
  if (env == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  int result = call_real(&own, env);
  errno_guard keep;  // the errno of the failed exec
  scratch_free(env);
  return result;
}

bool launch_data_reachable(bool effective_ids) {
  if (ld.hdr == nullptr) return false;
  // A private copy: the header's text can change under us.
  char path[sizeof ld.hdr->data_file];
  memcpy(path, ld.hdr->data_file, sizeof path);
  path[sizeof path - 1] = '\0';
  if (path[0] == '\0') return false;
  errno_guard keep;
  return faccessat(AT_FDCWD, path, R_OK | W_OK, effective_ids ? AT_EACCESS : 0) == 0;
}

bool rr_pack_outsider() {
  return ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK &&
         ld.hdr->initial_pid != sys_getpid();
}

void log_exec(const char* fn, const char* file, int setid, int thirty_two) {
  if (!log_on()) return;
  char text[kExecRecordSize];
  format_exec_record(text, sizeof(text), fn, file, setid, thirty_two);
  log_record(text);
}

bool program_leaves_tree(const char* target, exec_target* t) {
  check_exec_target(target, t);
  return t->thirty_two || t->setid || t->ignores_preload || rr_pack_outsider();
}

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
  auto** argv = static_cast<char**>(scratch_alloc((n + 2) * sizeof(char*)));
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

int exec_common(const exec_call* call) {
  const char* fn = exec_form_name(call->form);
  exec_call own_env;
  const exec_call* c = call;
  if (!explicit_env(call->form) && vfork_depth() > 0) {
    own_env = *call;
    own_env.form = by_name(call->form) ? FORM_EXECVPE : FORM_EXECVE;
    own_env.envp = environ;
    c = &own_env;
  }

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
  // Such a program leaves the tree and is counted out.
  exec_target t;
  bool strip = program_leaves_tree(target, &t);
  const char* name = c->form == FORM_FEXECVE ? found : c->file;

  char** env = nullptr;
  bool joins;
  if (prepare_env(c, strip, name, &env, &joins) != 0) {
    errno = ENOMEM;
    return -1;
  }

  log_exec(fn, name, t.setid, t.thirty_two);

  // A program that cannot open the launch data (another user's process in a
  // tree without -w) runs unplaced and never counts itself out: it leaves
  // the tree here, although it gets the launch environment and says why.
  if (joins && !launch_data_reachable(true)) joins = false;
  bool left = !joins && leave_tree();
  bool entered = joins && enter_tree();
  int result = call_real(c, env);
  errno_guard keep;  // the errno of the failed exec
  if (left) return_to_tree();
  if (entered) leave_again();
  if (env != nullptr && env != c->envp) scratch_free(env);
  return result;
}

}  // namespace zyg
