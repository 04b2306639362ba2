// exec.h - the exec family, posix_spawn(p) and system as the library runs
// them: whether the new program joins the launched tree, the environment it
// gets, the launch-log record, placing and counting a spawned child.
//
// The exported entry points (lib/entry) start the library and then call the
// functions here (exec.cpp, spawn.cpp); the syscall router reaches execve the
// same way, never through the exported name.
#pragma once

#include <spawn.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include "shared/elf_check.h"

namespace zyg {

// The exec forms, in the order of their names in the launch log.
enum exec_form {
  FORM_EXECVE,
  FORM_EXECVPE,
  FORM_FEXECVE,
  FORM_EXECLE,
  FORM_EXECVP,
  FORM_EXECV,
  FORM_EXECL,
  FORM_EXECLP,
  FORM_EXECVEAT,
  FORM_COUNT
};
const char* exec_form_name(exec_form form);

// The two spawn functions: posix_spawn runs a path, posix_spawnp looks a
// name up in PATH.
enum spawn_form { FORM_POSIX_SPAWN, FORM_POSIX_SPAWNP };

// One exec call. `file` is the path or name as the caller gave it (unused
// for fexecve, which names `fd`; relative to the directory `fd` for
// execveat, with its `flags`); `envp` is the caller's environment for the
// explicit-environment forms (execve, execvpe, fexecve, execle, execveat).
// `argv` is the caller's vector, or the one collected from an execl-style
// list.
struct exec_call {
  exec_form form;
  const char* file;
  int fd;
  char* const* argv;
  char* const* envp;
  int flags;
};

// The common exec steps; returns only when the real function failed, with
// its result and errno. The library must be started (launching on).
int exec_common(const exec_call* call);

// The real function of the form, with the caller's own arguments (launching
// is off).
int exec_real(const exec_call* call);

// The exec of a vfork child that turned launching off for itself
// (base/scratch.h): it is counted out already, and the program must run
// without the library, yet the process's environment is still its parent's
// and holds the launch. Every form passes an environment built without the
// launch variables and our library; the forms that use the process's own go
// through execve or execvpe.
int exec_outside_launch(const exec_call* call);

// Whether a program this process starts could open the launch data file
// for reading and writing, as its start-up must: with the effective ids (an
// exec, system, popen), or with the real ones (a spawn that resets them).
bool launch_data_reachable(bool effective_ids);

// Outside the first process under rr_pack, programs run without the library.
bool rr_pack_outsider();

// Checks the program an exec or spawn will start (t: what its file is) and
// tells whether it runs without the library: 32-bit, set-ID of another
// user or group, never loading a preload library (static, secure
// execution, 32-bit PIE), or started outside the first process under
// rr_pack.
bool program_leaves_tree(const char* target, exec_target* t);

// The launch-log record of an exec or spawn (when the log is on);
// `new_launch`: its environment starts a launch of its own.
inline constexpr size_t kExecRecordSize = 256;
void log_exec(const char* fn, const char* file, int setid, int thirty_two, bool new_launch = false);

// posix_spawn and posix_spawnp: the child is placed by the process policy
// through the calling thread's binding and counted; a failed spawn is taken
// back.
int spawn_common(spawn_form form, pid_t* pid, const char* file,
                 const posix_spawn_file_actions_t* file_actions, const posix_spawnattr_t* attrp,
                 char* const argv[], char* const envp[]);

// The real posix_spawn or posix_spawnp.
int real_spawn(spawn_form form, pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
               const posix_spawnattr_t* attrp, char* const argv[], char* const envp[]);

int system_common(const char* command);

// popen: the shell is placed like a spawned child (through the calling
// thread's binding) and counted in; nothing is counted when no shell was
// made.
FILE* popen_common(const char* command, const char* type);

// Pure pieces (unit-tested).

// The exec record: "setuid/setgid executable: %s(%s)", "32-bit executable:
// %s(%s)", "new launch: %s(%s)" or "%s(%s)" (in that order of precedence),
// cut to size - 1 characters. Returns the length written.
int format_exec_record(char* buf, size_t size, const char* fn, const char* file, int setid,
                       int thirty_two, bool new_launch = false);

// Collects `first` and the arguments after it up to the terminating null
// into a vector of (count + 2) pointers from scratch_alloc, null-terminated. With envp
// given, also takes the argument after the null (execle's environment). Null
// when out of memory; the caller releases it with scratch_free (never the
// strings).
char** collect_args(const char* first, va_list ap, char*** envp);

// An environment that names the library for a launch of its own: only the
// launcher writes ZYG_LAUNCH_LIB64, and start-up takes it out of the first
// process's environment, so a program of the tree that passes it on is
// running zyg-nox (or doing its work) to start a new launch.
bool is_new_launch_env(char* const* envp);

// The environment names the tree's launch data file (a non-empty
// ZYG_LAUNCH_DATA_FILE): the new program attaches to this launch.
bool env_joins_launch(char* const* envp);

}  // namespace zyg
