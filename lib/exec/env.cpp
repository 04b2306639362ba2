// env.cpp - the environment that new programs of a launched tree receive.
#include "exec/env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/init.h"
#include "core/names.h"
#include "exec/preload_list.h"
#include "report/debug.h"
#include "report/report.h"

extern char** environ;

namespace zyg {

namespace {

// A program's own setenv may keep the value elsewhere (bash, before its
// variables are set up, imports them later from the original environment
// array): an old entry left in environ would then win over the new value.
void drop_stale_entries(const char* name, const char* value) {
  if (environ == nullptr) return;
  size_t len = strlen(name);
  char** out = environ;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, name, len) == 0 && (*e)[len] == '=' && strcmp(*e + len + 1, value) != 0) {
      continue;
    }
    *out++ = *e;
  }
  *out = nullptr;
}

}  // namespace

// Takes the library out of this process's own environment so that the
// programs it execs from now on run without it: our two library paths leave
// LD_PRELOAD (other preloaded libraries stay), and the launch file variables
// go, so nothing can attach a later program to this launch.
int unset_launch_env() {
  const char* value = env_lookup(kEnvPreload);
  if (value != nullptr) {
    char* list = strdup(value);
    if (list == nullptr) return 1;
    ZYG_TRACE("Unsetting env vars: remove launch library from %s\n", kEnvPreload);
    remove_launch_lib(kEnvPreload, list, kListValueOnly);
    if (list[0] == '\0') {
      env_unset(kEnvPreload);
    } else if (setenv(kEnvPreload, list, 1) != 0) {
      int err = errno;
      char msg[128];
      snprintf(msg, sizeof msg, "Can't pass along load environment variable of: %s", list);
      report_warning(msg, err, 8);
    } else {
      drop_stale_entries(kEnvPreload, list);
    }
    free(list);
  }
  ZYG_TRACE("Unsetting env vars: remove %s\n", kEnvDataFile);
  env_unset(kEnvDataFile);
  ZYG_TRACE("Unsetting env vars: remove %s\n", kEnvErrorFile);
  env_unset(kEnvErrorFile);
#if ZYG_DEBUG
  ZYG_TRACE("Unsetting env vars: remove %s\n", kEnvDebugFile);
  env_unset(kEnvDebugFile);
#endif
  return 0;
}

// Placeholders until the exec propagation lands.
int set_launch_env(const char*) { return 0; }
char** add_launch_env(char** envp, const char*) { return envp; }
char** strip_launch_env(char** envp) { return envp; }
int set_env_if_changed(const char*, const char*) { return 0; }
int find_exec_file(const char*, char* out, size_t) { out[0] = 0; return 0; }
}  // namespace zyg
