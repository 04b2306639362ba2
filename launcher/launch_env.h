// launch_env.h - the environment the launcher hands to the command: a copy of
// the inherited environment without launch variables and without the preload
// library in LD_PRELOAD, the launch options appended in the order given, and
// finally the library itself. Owns the entry array and the entries it built.
#pragma once

#include <cstddef>

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

// Appends ZYG_LAUNCH_DATA_FILE with the name the command's start-up will
// create its launch data file under (the command runs as process pid): the
// first free one. Programs whose environment was captured before the library
// ran find the launch through it. -1 when out of memory.
int launch_env_add_data_file(LaunchEnv* env, int pid);

// Puts lib at the end of the first LD_PRELOAD entry ("old:lib", or "...=lib"
// when the old value is empty), or appends LD_PRELOAD=lib when there is none.
// -1 when out of memory.
int launch_env_add_preload(LaunchEnv* env, const char* lib);

// Releases the array and every entry built here.
void launch_env_free(LaunchEnv* env);

}  // namespace zyg::launcher
