// env.h - the environment that new programs of a launched tree receive.
//
// Builds launch environments (the library in LD_PRELOAD, the data, error and
// debug file variables) or stripped ones, from an explicit array or in the
// process's own environment, and finds the file an exec by name will run.
#pragma once

#include <stddef.h>

namespace zyg {

int unset_launch_env();
int set_launch_env(const char* cmd);
char** add_launch_env(char** envp, const char* cmd);
char** strip_launch_env(char** envp);
int set_env_if_changed(const char* name, const char* value);
int find_exec_file(const char* name, char* out, size_t size);

// Forgets the entries add_launch_env prepared from the launch data, so the
// next call builds them again. A process image never needs this (its launch
// data does not change); tests that switch launch data between cases do.
void forget_launch_env_entries();

}  // namespace zyg
