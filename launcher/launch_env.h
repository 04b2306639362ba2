// launch_env.h - the environment the launcher hands to the command: a copy of
// the inherited environment without launch variables and without the preload
// library in LD_PRELOAD, the launch options appended in the order given, and
// finally the library itself. Owns the entry array and the entries it built.
#pragma once

#include <cstddef>
#include <string>

#include "shared/launch_id.h"

namespace zyg::launcher {

struct LaunchEnv {
  char** entries = nullptr;  // always ended by a null slot
  bool* owned = nullptr;     // entries[i] was allocated here
  size_t count = 0;          // entries before the null slot
  size_t capacity = 0;       // slots, the null slot included
};

// True when entry ("NAME=value") names one of the thirteen launch variables,
// or the placing process's ID that the library hands to the programs it starts.
bool is_launch_variable(const char* entry);

// Copies inherited (may be null): launch variables are dropped, every
// LD_PRELOAD entry is replaced by a copy without the library paths, all other
// entries are shared. The array gets 16 free slots. -1 when out of memory.
int launch_env_init(LaunchEnv* env, char* const* inherited);

// Appends "name=value" at the end. -1 when out of memory.
int launch_env_append(LaunchEnv* env, const char* name, const char* value);

// The value of the first entry of name, or null.
const char* launch_env_value(const LaunchEnv* env, const char* name);
// Replaces the first entry of name in its place (appends one when there is
// none). -1 when out of memory.
int launch_env_set(LaunchEnv* env, const char* name, const char* value);

// Starts the launch of the command that runs as process pid: a new identity
// (shared/launch_id.h) and its data file, empty, under the first free name,
// with the anchor descriptor that the command and every program of its tree
// inherit (at 100 or above, open across exec: the launch lives while any of
// them holds it). Appends ZYG_LAUNCH_DATA_FILE and ZYG_LAUNCH_ID, so that
// programs whose environment was captured before the library ran find the
// launch too. The data file's path in path_out; 0, -ENOMEM when out of
// memory, or the -errno of the file's creation.
int launch_env_start_launch(LaunchEnv* env, int pid, unsigned mode, std::string* path_out);

// Appends ZYG_LAUNCH_DATA_FILE (path) and ZYG_LAUNCH_ID (id); -ENOMEM.
int launch_env_add_launch(LaunchEnv* env, const launch_id& id, const char* path);

// Puts lib at the end of the first LD_PRELOAD entry ("old:lib", or "...=lib"
// when the old value is empty), or appends LD_PRELOAD=lib when there is none.
// -1 when out of memory.
int launch_env_add_preload(LaunchEnv* env, const char* lib);

// Releases the array and every entry built here.
void launch_env_free(LaunchEnv* env);

}  // namespace zyg::launcher
