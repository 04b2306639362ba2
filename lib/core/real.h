// real.h - the C library's own definitions of the functions we interpose on.
//
// Resolved with dlsym(RTLD_NEXT) group by group, at start-up or on the first
// call of any member, whichever comes first; a group's flag is set after a
// full memory barrier once its pointers are stored. Inside the library, call
// these pointers (or an internal function), never the exported wrappers.
#pragma once

#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace zyg {

enum real_group { GROUP_EXIT, GROUP_SYSCALL, GROUP_FORK, GROUP_VFORK, GROUP_CLONE, GROUP_EXEC,
                  GROUP_COUNT };

struct real_fns {
  void (*exit)(int);
  void (*_exit)(int);
  void (*_Exit)(int);
  long (*syscall)(long, ...);
  pid_t (*fork)();
  int (*clone)(int (*)(void*), void*, int, void*, ...);
  int (*pthread_create)(void*, const void*, void* (*)(void*), void*);
  int (*execve)(const char*, char* const[], char* const[]);
  int (*execvpe)(const char*, char* const[], char* const[]);
  int (*fexecve)(int, char* const[], char* const[]);
  int (*execvp)(const char*, char* const[]);
  int (*execv)(const char*, char* const[]);
  int (*posix_spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                     const posix_spawnattr_t*, char* const[], char* const[]);
  int (*posix_spawnp)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                      const posix_spawnattr_t*, char* const[], char* const[]);
  int (*system)(const char*);
  FILE* (*popen)(const char*, const char*);
};
extern real_fns real;
extern volatile uint32_t real_resolved[GROUP_COUNT];

// Our own definitions of the interposed names, by resolution order. The
// entry points register their table before the first lookup; in a program
// without them (a unit test) there is none and the "is not different" check
// has nothing to compare with.
enum own_fn {
  OWN_EXIT, OWN__EXIT, OWN__EXIT_UPPER, OWN_SYSCALL, OWN_FORK, OWN_VFORK, OWN_CLONE,
  OWN_PTHREAD_CREATE, OWN_EXECVE, OWN_EXECVPE, OWN_FEXECVE, OWN_EXECLE, OWN_EXECVP, OWN_EXECV,
  OWN_EXECL, OWN_EXECLP, OWN_POSIX_SPAWN, OWN_POSIX_SPAWNP, OWN_SYSTEM, OWN_POPEN, OWN_COUNT
};

void set_own_functions(void* const* table);  // OWN_COUNT entries

// dlsym(RTLD_NEXT, name) after clearing dlerror; terminating report
// "can't obtain address for <label>" or "<label> is not different".
void* resolve_real(const char* name, const char* label, void* own);

void resolve_group(real_group g);  // idempotent
inline void ensure_resolved(real_group g) {
  if (!real_resolved[g]) resolve_group(g);
}
void resolve_all();  // every group, in start-up order

}  // namespace zyg
