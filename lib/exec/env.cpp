// Placeholder bodies, replaced by the real implementation.
#include "exec/env.h"

namespace zyg {

int unset_launch_env() { return 0; }
int set_launch_env(const char*) { return 0; }
char** add_launch_env(char** envp, const char*) { return envp; }
char** strip_launch_env(char** envp) { return envp; }
int set_env_if_changed(const char*, const char*) { return 0; }
int find_exec_file(const char*, char* out, size_t) { out[0] = 0; return 0; }
}  // namespace zyg
