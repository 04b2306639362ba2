// exec_interpose.cpp - the exported exec family, posix_spawn, posix_spawnp and
// system. Each is a shell around exec/exec.h.
//
// The list forms (execl, execlp, execle) collect their arguments into a
// vector first, before anything else happens, and go through the real execve
// / execvp, so that every exec passes through the same few real functions.
#include <errno.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include "exec/exec.h"

extern char** environ;

namespace {

using namespace zyg;

int run_collected(exec_call* c, char** argv) {
  c->argv = argv;
  int result = exec_common(c);
  int err = errno;
  free(argv);
  errno = err;
  return result;
}

}  // namespace

#define ZYG_EXPORT extern "C" __attribute__((visibility("default")))

ZYG_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  return exec_execve(path, argv, envp);
}

ZYG_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
  exec_call c = {FORM_EXECVPE, file, -1, argv, envp};
  return exec_common(&c);
}

ZYG_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) noexcept {
  exec_call c = {FORM_FEXECVE, nullptr, fd, argv, envp};
  return exec_common(&c);
}

ZYG_EXPORT int execv(const char* path, char* const argv[]) noexcept {
  exec_call c = {FORM_EXECV, path, -1, argv, nullptr};
  return exec_common(&c);
}

ZYG_EXPORT int execvp(const char* file, char* const argv[]) noexcept {
  exec_call c = {FORM_EXECVP, file, -1, argv, nullptr};
  return exec_common(&c);
}

namespace {
// The list forms: the arguments (and, for execle, the environment after the
// terminating null) are collected before anything else happens.
int list_form(int form, const char* path, const char* arg, va_list ap, bool with_env) {
  char** envp = nullptr;
  char** argv = collect_args(arg, ap, with_env ? &envp : nullptr);
  if (argv == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  exec_call c = {form, path, -1, nullptr, envp};
  return run_collected(&c, argv);
}
}  // namespace

ZYG_EXPORT int execl(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECL, path, arg, ap, false);
  va_end(ap);
  return r;
}

ZYG_EXPORT int execlp(const char* file, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECLP, file, arg, ap, false);
  va_end(ap);
  return r;
}

ZYG_EXPORT int execle(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  int r = list_form(FORM_EXECLE, path, arg, ap, true);
  va_end(ap);
  return r;
}

ZYG_EXPORT int posix_spawn(pid_t* pid, const char* path,
                           const posix_spawn_file_actions_t* file_actions,
                           const posix_spawnattr_t* attrp, char* const argv[],
                           char* const envp[]) {
  return spawn_common(1, pid, path, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int posix_spawnp(pid_t* pid, const char* file,
                            const posix_spawn_file_actions_t* file_actions,
                            const posix_spawnattr_t* attrp, char* const argv[],
                            char* const envp[]) {
  return spawn_common(2, pid, file, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int system(const char* command) { return system_common(command); }
