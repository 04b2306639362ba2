// env.h - the environment that new programs of a launched tree receive.
//
// Launch environments (the library in LD_PRELOAD, the data, error and debug
// file variables) or stripped ones, built in the process's own environment
// (env.cpp) or from an explicit array (env_array.cpp), and the file an exec
// by name will run (path_search.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

// This process's own environment. 0, or 1 when out of memory. Taking the
// library out uses no heap (it may run on an exec from a signal handler).
int unset_launch_env();
int set_launch_env(const char* cmd);
int set_env_if_changed(const char* name, const char* value);

// The variables set_launch_env and the placement mark change, as they were
// before a system() or popen() that edits the process's own environment for
// its shell; restored as they were once the call returns.
struct env_snapshot {
  const char* values[6];  // null: absent
};
void env_snapshot_take(env_snapshot* s);
void env_snapshot_restore(const env_snapshot* s);

// New arrays for an explicit environment (add_launch_env returns envp itself
// when nothing needs to change); null when out of memory. They and any
// LD_PRELOAD entry made for them come from scratch_alloc (base/scratch.h),
// never the application's heap: an exec may come from a signal handler.
// add_launch_env gives the program the placement mark `mark` (an entry of
// core/membership.h's member_mark_entry, or null for none: an entry the
// caller passes is then dropped).
// With `room` (slots for that many pointers, on the caller's stack), an
// array that fits is made there instead: no mapping for the common exec of a
// forked child. The caller releases a result that is neither envp nor room.
struct env_room {
  char** slots;
  size_t count;
};
inline constexpr size_t kEnvRoomSlots = 64;
char** add_launch_env(char** envp, const char* cmd, const char* mark, env_room room = {nullptr, 0});
// Gives back what add_launch_env returned: nothing when that is the caller's
// own array (given) or its stack room.
void release_env(char** env, char** given, env_room room);
// Formats, once per image, the entries add_launch_env hands on (the library,
// data, error and debug file variables). add_launch_env does it when they
// are missing; a process that forks calls it first, so that its children
// find them made instead of each writing them into pages of their own.
void build_launch_env_entries();
char** strip_launch_env(char** envp);

// The library at the configured 64-bit path must still be what was
// installed; when it is not, no program can be given it: reported, and this
// process's environment no longer hands the library on.
bool installation_ok(const char* cmd);

int find_exec_file(const char* name, char* out, size_t size);

// The environment handed to a program, in the debug trace.
void trace_env(char** envp);

#if ZYG_DEBUG
// The debug file this process traces to, as the trace took it from the
// launcher's variable (leading blanks removed).
const char* debug_file_for_exec();
#endif

// Forgets the entries add_launch_env prepared from the launch data, so the
// next call builds them again. A process image never needs this (its launch
// data does not change); tests that switch launch data between cases do.
void forget_launch_env_entries();
// Leaves the entries as if the thread `tid` were in the middle of building
// them (tests: a child forked at that moment).
void launch_env_entries_building_for_test(uint32_t tid);

}  // namespace zyg
