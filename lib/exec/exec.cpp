// exec.cpp - the exec family as the library runs it.
//
// Every exec decides whether the new program joins the launched tree: a
// 32-bit executable, a set-ID program of another user or group, and under
// rr_pack any program started outside the first process run without the
// library. A static program cannot load it either, but keeps the launch
// variables so that the programs it starts join the tree again. Every form
// passes a new array built from the caller's environment or the process's
// own (never edited: an exec may come from a signal handler, or from a vfork
// child that shares it), through the real execve, execvpe, fexecve or
// execveat.
//
// The count moves with the program and the placement mark tells the new image
// that its process is placed (core/membership.h).
#include "exec/exec.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/env.h"
#include "base/errors.h"
#include "base/layout.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/membership.h"
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

constexpr size_t kExecFileSize = 257;  // find_exec_file's buffer
constexpr size_t kFdPathSize = 64;     // "/proc/self/fd/<fd>"
constexpr char kProcSelfFd[] = "/proc/self/fd/";

// The log's names of the exec functions are listed in the forms' order.
static_assert(sizeof kRecExecCalls / sizeof kRecExecCalls[0] == FORM_COUNT,
              "kRecExecCalls must name every exec form");

bool explicit_env(exec_form form) {
  return form == FORM_EXECVE || form == FORM_EXECVPE || form == FORM_FEXECVE ||
         form == FORM_EXECLE || form == FORM_EXECVEAT;
}

ZYG_HOT_CODE bool by_name(exec_form form) {
  return form == FORM_EXECVPE || form == FORM_EXECVP || form == FORM_EXECLP;
}

// The real function of a form, with the environment to pass. execl and
// execle go through the real execve, execlp through the real execvp; the
// process-environment forms through execve and execvpe with `envp`.
ZYG_HOT_CODE int call_real(const exec_call* c, char* const* envp) {
  switch (c->form) {
    case FORM_EXECVE:
    case FORM_EXECLE:
    case FORM_EXECV:
    case FORM_EXECL:
      ZYG_TRACE("Calling real execve()\n");
      return real.execve(c->file, c->argv, envp);
    case FORM_EXECVPE:
    case FORM_EXECVP:
    case FORM_EXECLP:
      ZYG_TRACE("Calling real execvpe()\n");
      return real.execvpe(c->file, c->argv, envp);
    case FORM_FEXECVE:
      ZYG_TRACE("Calling real fexecve()\n");
      return real.fexecve(c->fd, c->argv, envp);
    case FORM_EXECVEAT: {
      // The kernel's own call: the C library's execveat is that call and
      // nothing more, and it is not one of the functions resolved here.
      ZYG_TRACE("Calling real execveat()\n");
      long r = raw_syscall6(SYS_execveat, (long)c->fd, (long)c->file, (long)c->argv, (long)envp,
                            (long)c->flags, 0L);
      if (r < 0) {
        errno = (int)-r;
        return -1;
      }
      return (int)r;
    }
    default:
      errno = EINVAL;
      return -1;
  }
}

// Every exec asks this, in a forked child too: no C library string
// function, whose first call from a child would bind it there again (and
// fault in the loader's code and a page of the library's table) for
// every fork.
bool has_entry(char* const* envp, const char* name, bool non_empty) {
  if (envp == nullptr) return false;
  for (char* const* e = envp; *e != nullptr; ++e) {
    const char* value = env_entry_value(*e, name);
    if (value != nullptr && (!non_empty || *value != '\0')) return true;
  }
  return false;
}

// "/proc/self/fd/<fd>" into buf, for the caller to go on with.
text_out fd_path(char* buf, size_t size, int fd) {
  text_out o = text_start(buf, size);
  text_put(&o, kProcSelfFd);
  text_put_int(&o, fd);
  return o;
}

// The file an exec's checks look at: the path, the file a name is found as
// on PATH, or the descriptor's file. -1 when out of memory.
int exec_target_path(const exec_call* c, char* found, const char** target) {
  *target = c->file;
  if (c->form == FORM_FEXECVE) {
    fd_path(found, kFdPathSize, c->fd);
    *target = found;
  } else if (c->form == FORM_EXECVEAT) {
    const char* file = c->file != nullptr ? c->file : "";
    if (file[0] == '/' || (c->fd == AT_FDCWD && file[0] != '\0')) return 0;
    text_out o = fd_path(found, kExecFileSize, c->fd);
    if (file[0] != '\0') {
      text_put_char(&o, '/');
      text_put(&o, file);
    }
    *target = found;
  } else if (by_name(c->form)) {
    if (find_exec_file(c->file, found, kExecFileSize) != 0) return -1;
    *target = found;
  }
  return 0;
}

// The environment the new program gets: the caller's own array untouched
// for a launch of its own (zyg-nox started inside the tree), the launch
// variables taken out for a program that runs without the library, else
// the launch variables added (a static program keeps them for its children)
// with the mark that this process is placed, unless a raw clone made it
// behind our back. Null when out of memory.
// `mark` (kMarkEntrySize bytes) holds the mark the array may point at.
ZYG_HOT_CODE char** exec_env(char** base, bool new_launch, bool leaves, bool keeps_vars,
                             const char* name, int pid, env_room room, char* mark) {
  if (new_launch) return base;
  if (leaves && !keeps_vars) return strip_launch_env(base);
  const bool placed = member_process_placed(pid);
  if (placed) member_mark_entry(mark, kMarkEntrySize, pid, 0);
  return add_launch_env(base, name, placed ? mark : nullptr, room);
}

}  // namespace

// The forms without an environment of their own pass the process's own, as
// it is at this moment (its own setenvs included).
int exec_real(const exec_call* c) {
  return call_real(c, explicit_env(c->form) ? c->envp : environ);
}

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

ZYG_HOT_CODE bool rr_pack_outsider() {
  return ld.hdr != nullptr && ld.hdr->proc_scope == SCOPE_RR_PACK &&
         ld.hdr->initial_pid != sys_getpid();
}

ZYG_HOT_CODE void log_exec(const char* fn, const char* file, int setid, int thirty_two,
                           bool new_launch) {
  if (!log_on()) return;
  char text[kExecRecordSize];
  format_exec_record(text, sizeof(text), fn, file, setid, thirty_two, new_launch);
  log_record(text);
}

ZYG_HOT_CODE bool program_leaves_tree(const char* target, exec_target* t) {
  check_exec_target(target, t);
  return t->thirty_two || t->setid || t->ignores_preload || rr_pack_outsider();
}

ZYG_HOT_CODE const char* exec_form_name(exec_form form) {
  return (form >= 0 && form < FORM_COUNT) ? kRecExecCalls[form] : "";
}

ZYG_HOT_CODE int format_exec_record(char* buf, size_t size, const char* fn, const char* file,
                                    int setid, int thirty_two, bool new_launch) {
  if (size == 0) return 0;
  const char* prefix = setid        ? kRecSetidRefused
                       : thirty_two ? kRecThirtyTwoRefused
                       : new_launch ? kRecNewLaunch
                                    : "";
  text_out o = text_start(buf, size);
  text_put(&o, prefix);
  text_put(&o, fn);
  text_put_char(&o, '(');
  text_put(&o, file != nullptr ? file : "(null)");
  text_put_char(&o, ')');
  size_t n = text_length(&o);
  return n >= size ? (int)(size - 1) : (int)n;
}

ZYG_HOT_CODE char** collect_args(const char* first, va_list ap, char*** envp) {
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

ZYG_HOT_CODE bool is_new_launch_env(char* const* envp) { return has_entry(envp, kEnvLib64, false); }

bool env_joins_launch(char* const* envp) { return has_entry(envp, kEnvDataFile, true); }

ZYG_HOT_CODE int exec_common(const exec_call* c) {
  const char* fn = exec_form_name(c->form);
  char found[kExecFileSize];
  const char* target = nullptr;
  if (exec_target_path(c, found, &target) != 0) {
    ZYG_TRACE("can't allocate memory, return -1/ENOMEM to user\n");
    errno = ENOMEM;
    return -1;
  }
  exec_target t;
  bool leaves = program_leaves_tree(target, &t);
  bool keeps_vars = leaves && t.is_static && !t.thirty_two && !t.setid && !rr_pack_outsider();
  const char* name = c->form == FORM_FEXECVE ? found : c->file;

  char** base = explicit_env(c->form) ? const_cast<char**>(c->envp) : environ;
  const bool new_launch = is_new_launch_env(base);
  const int pid = sys_getpid();
  char* slots[kEnvRoomSlots];
  const env_room room = {slots, kEnvRoomSlots};
  char mark[kMarkEntrySize];
  char** env = exec_env(base, new_launch, leaves, keeps_vars, name, pid, room, mark);
  if (env == nullptr) {
    errno = ENOMEM;
    return -1;
  }

  // Under rr_pack a forked child of the first process passes everything
  // through unlogged (rr_pack_child); a vfork child shares the first
  // process's memory and so cannot carry that flag, but passes through
  // unlogged just the same. A program of its own started by the first
  // process (a spawn) logs its exec as any process does.
  if (!(rr_pack_outsider() && vfork_depth() > 0))
    log_exec(fn, name, t.setid, t.thirty_two, new_launch);

  const exec_count counted = member_exec_begin(pid);
  int result = call_real(c, env);
  errno_guard keep;  // the errno of the failed exec
  member_exec_failed(counted);
  release_env(env, base, room);
  return result;
}

}  // namespace zyg
