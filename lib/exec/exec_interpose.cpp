// exec_interpose.cpp - the exec family, posix_spawn, posix_spawnp and system.
//
// The list forms (execl, execlp, execle) collect their arguments into a
// vector and go through the real execve / execvp, so that every exec passes
// through the same few real functions.
#include <errno.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
#include "core/state.h"
#include "exec/exec_entry.h"
#include "report/debug.h"

extern char** environ;

namespace {

using namespace zyg;

void start_if_needed() {
  ensure_resolved(GROUP_EXEC);
  if (!launching_off() && !launch_initialized) launch_init();
}

// Collects first, and the arguments after it up to the terminating null,
// into a malloc'd null-terminated vector. When envp is given, also takes the
// argument that follows the null (execle's environment). Null when out of
// memory.
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
  if (envp != nullptr) *envp = va_arg(ap, char**);
  return argv;
}

int finish(int result, char** argv) {
  int err = errno;
  free(argv);
  errno = err;
  return result;
}

}  // namespace

#define ZYG_EXPORT extern "C" __attribute__((visibility("default")))

namespace zyg {

int library_execve(const char* path, char* const argv[], char* const envp[]) {
  start_if_needed();
  ZYG_TRACE("Calling real execve()\n");
  return real.execve(path, argv, envp);
}

}  // namespace zyg

ZYG_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  return zyg::library_execve(path, argv, envp);
}

ZYG_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
  start_if_needed();
  ZYG_TRACE("Calling real execvpe()\n");
  return real.execvpe(file, argv, envp);
}

ZYG_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) noexcept {
  start_if_needed();
  ZYG_TRACE("Calling real fexecve()\n");
  return real.fexecve(fd, argv, envp);
}

ZYG_EXPORT int execv(const char* path, char* const argv[]) noexcept {
  start_if_needed();
  ZYG_TRACE("Calling real execv()\n");
  return real.execv(path, argv);
}

ZYG_EXPORT int execvp(const char* file, char* const argv[]) noexcept {
  start_if_needed();
  ZYG_TRACE("Calling real execvp()\n");
  return real.execvp(file, argv);
}

ZYG_EXPORT int execl(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  char** argv = collect_args(arg, ap, nullptr);
  va_end(ap);
  if (argv == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  start_if_needed();
  ZYG_TRACE("Calling real execve()\n");
  return finish(real.execve(path, argv, environ), argv);
}

ZYG_EXPORT int execlp(const char* file, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  char** argv = collect_args(arg, ap, nullptr);
  va_end(ap);
  if (argv == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  start_if_needed();
  ZYG_TRACE("Calling real execvp()\n");
  return finish(real.execvp(file, argv), argv);
}

ZYG_EXPORT int execle(const char* path, const char* arg, ...) noexcept {
  va_list ap;
  va_start(ap, arg);
  char** envp = nullptr;
  char** argv = collect_args(arg, ap, &envp);
  va_end(ap);
  if (argv == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  start_if_needed();
  ZYG_TRACE("Calling real execve()\n");
  return finish(real.execve(path, argv, envp), argv);
}

ZYG_EXPORT int posix_spawn(pid_t* pid, const char* path,
                           const posix_spawn_file_actions_t* file_actions,
                           const posix_spawnattr_t* attrp, char* const argv[],
                           char* const envp[]) {
  start_if_needed();
  ZYG_TRACE("Calling real posix_spawn()\n");
  return real.posix_spawn(pid, path, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int posix_spawnp(pid_t* pid, const char* file,
                            const posix_spawn_file_actions_t* file_actions,
                            const posix_spawnattr_t* attrp, char* const argv[],
                            char* const envp[]) {
  start_if_needed();
  ZYG_TRACE("Calling real posix_spawnp()\n");
  return real.posix_spawnp(pid, file, file_actions, attrp, argv, envp);
}

ZYG_EXPORT int system(const char* command) {
  start_if_needed();
  ZYG_TRACE("Calling real system()\n");
  return real.system(command);
}
