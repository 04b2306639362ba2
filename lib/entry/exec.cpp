// exec.cpp - the exported exec family, posix_spawn, posix_spawnp, system and
// popen.
// Each is a shell around lib/exec.
//
// The list forms (execl, execlp, execle) collect their arguments into a
// vector first, before anything else happens, and go through the real execve
// / execvp, so that every exec passes through the same few real functions.
#include <errno.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/scratch.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "exec/exec.h"

using namespace zyg;

namespace {

#if ZYG_DEBUG
// Whole texts, so that each entry trace can be found as it is written.
void trace_entry(const char* fn) {
  static const char* const kTexts[][2] = {
      {"execve", "THIS IS THE execve() PRINTF.\n"},
      {"execveat", "THIS IS THE execveat() PRINTF.\n"},
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
      {"popen", "THIS IS THE popen() PRINTF.\n"},
  };
  for (const auto& t : kTexts) {
    if (strcmp(t[0], fn) == 0) {
      ZYG_TRACE("%s", t[1]);
      return;
    }
  }
}
#else
void trace_entry(const char*) {}
#endif

// Resolves the family and runs start-up when this image has not; false when
// launching is off here and the caller must only call the real function.
ZYG_HOT_CODE bool exec_entry(const char* fn) {
  entry_resolve(GROUP_EXEC);
  if (launching_off()) return false;
  trace_entry(fn);
  return entry_started();
}

ZYG_HOT_CODE int run_exec(const exec_call* c) {
  if (!exec_entry(exec_form_name(c->form))) {
    return vfork_child_off() ? exec_outside_launch(c) : exec_real(c);
  }
  return exec_common(c);
}

int run_collected(exec_call* c, char** argv) {
  c->argv = argv;
  int result = run_exec(c);
  errno_guard keep;  // the errno of the failed exec
  scratch_free(argv);
  return result;
}

// The list forms: the arguments (and, for execle, the environment after the
// terminating null) are collected before anything else happens.
ZYG_HOT_CODE int list_form(exec_form form, const char* path, const char* arg, va_list ap,
                           bool with_env) {
  char** envp = nullptr;
  char** argv = collect_args(arg, ap, with_env ? &envp : nullptr);
  if (argv == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  exec_call c = {form, path, -1, nullptr, envp, 0};
  return run_collected(&c, argv);
}

}  // namespace

namespace zyg {
ZYG_HOT_CODE int entry_execve(const char* path, char* const argv[], char* const envp[]) {
  exec_call c = {FORM_EXECVE, path, -1, argv, envp, 0};
  return run_exec(&c);
}

int entry_execveat(int dirfd, const char* path, char* const argv[], char* const envp[], int flags) {
  exec_call c = {FORM_EXECVEAT, path, dirfd, argv, envp, flags};
  return run_exec(&c);
}
}  // namespace zyg

ZYG_EXPORT ZYG_HOT_CODE int execve(const char* path, char* const argv[],
                                   char* const envp[]) noexcept {
  return entry_execve(path, argv, envp);
}

ZYG_EXPORT ZYG_HOT_CODE int execveat(int dirfd, const char* path, char* const argv[],
                                     char* const envp[], int flags) noexcept {
  return entry_execveat(dirfd, path, argv, envp, flags);
}

ZYG_EXPORT ZYG_HOT_CODE int execvpe(const char* file, char* const argv[],
                                    char* const envp[]) noexcept {
  exec_call c = {FORM_EXECVPE, file, -1, argv, envp, 0};
  return run_exec(&c);
}

ZYG_EXPORT ZYG_HOT_CODE int fexecve(int fd, char* const argv[], char* const envp[]) noexcept {
  exec_call c = {FORM_FEXECVE, nullptr, fd, argv, envp, 0};
  return run_exec(&c);
}

ZYG_EXPORT ZYG_HOT_CODE int execv(const char* path, char* const argv[]) noexcept {
  exec_call c = {FORM_EXECV, path, -1, argv, nullptr, 0};
  return run_exec(&c);
}

ZYG_EXPORT ZYG_HOT_CODE int execvp(const char* file, char* const argv[]) noexcept {
  exec_call c = {FORM_EXECVP, file, -1, argv, nullptr, 0};
  return run_exec(&c);
}

ZYG_EXPORT ZYG_HOT_CODE int execl(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECL, path, arg, ap, false);
  va_end(ap);
  return r;
}

ZYG_EXPORT ZYG_HOT_CODE int execlp(const char* file, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECLP, file, arg, ap, false);
  va_end(ap);
  return r;
}

ZYG_EXPORT ZYG_HOT_CODE int execle(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECLE, path, arg, ap, true);
  va_end(ap);
  return r;
}

ZYG_EXPORT int posix_spawn(pid_t* pid, const char* path,
                           const posix_spawn_file_actions_t* file_actions,
                           const posix_spawnattr_t* attrp, char* const argv[], char* const envp[]) {
  if (!exec_entry("posix_spawn"))
    return real_spawn(FORM_POSIX_SPAWN, pid, path, file_actions, attrp, argv, envp);
  return spawn_common(FORM_POSIX_SPAWN, pid, path, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int posix_spawnp(pid_t* pid, const char* file,
                            const posix_spawn_file_actions_t* file_actions,
                            const posix_spawnattr_t* attrp, char* const argv[],
                            char* const envp[]) {
  if (!exec_entry("posix_spawnp"))
    return real_spawn(FORM_POSIX_SPAWNP, pid, file, file_actions, attrp, argv, envp);
  return spawn_common(FORM_POSIX_SPAWNP, pid, file, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int system(const char* command) {
  if (!exec_entry("system")) return real.system(command);
  return system_common(command);
}

ZYG_EXPORT FILE* popen(const char* command, const char* type) {
  if (!exec_entry("popen")) return real.popen(command, type);
  return popen_common(command, type);
}
