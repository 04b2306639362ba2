// env.cpp - this process's own environment as new programs will inherit it
// (execv, execvp, system): the library last in LD_PRELOAD and the launch file
// variables of this launch, or all of that taken out.
#include "exec/env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/env.h"
#include "base/layout.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/membership.h"
#include "placement/bind.h"
#include "report/report.h"
#include "shared/elf_check.h"
#include "shared/names.h"
#include "shared/preload_list.h"

extern char** environ;

namespace zyg {

namespace {

// The program cannot be given the library: start it without, and keep this
// process's own environment from handing the library on.
void give_up_launch(const char* what, const char* cmd) {
  report_disable_cmd(what, 0, RC_PASS_ON, sys_getpid(), cmd);
  reset_initial_launch_nodes();
  unset_launch_env();
}

}  // namespace

ZYG_HOT_CODE bool installation_ok(const char* cmd) {
  if (check_shared_lib(ld.hdr->lib64) == 1) return true;
  char msg[128];
  snprintf(msg, sizeof msg, "%s installation was changed incorrectly", kProgName);
  report_disable_cmd(msg, 0, RC_EXEC, sys_getpid(), cmd);
  reset_initial_launch_nodes();
  unset_launch_env();
  return false;
}

#if ZYG_DEBUG
const char* debug_file_for_exec() { return debug_file_path(); }
#endif

// Takes the library out of this process's own environment so that the
// programs it execs from now on run without it: our two library paths leave
// LD_PRELOAD (other preloaded libraries stay), and the launch file variables
// go, so nothing can attach a later program to this launch.
int unset_launch_env() {
  const size_t plen = sizeof kEnvPreload - 1;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!env_entry_is(*e, kEnvPreload, plen)) continue;
    // The entry is edited in a copy that environ then points at: setenv and
    // strdup would take the heap's lock, which a signal handler may have
    // interrupted. The copy stays for the life of the image.
    char* copy = scratch_strdup(*e);
    if (copy == nullptr) return 1;
    ZYG_TRACE("Unsetting env vars: remove launch library from %s\n", kEnvPreload);
    remove_launch_lib(kEnvPreload, copy, kListWholeEntry);
    *e = copy;
  }
  // Nothing but our library was preloaded: the variable goes.
  const char* left = env_lookup(kEnvPreload);
  if (left == nullptr || left[0] == '\0') env_remove_entries(kEnvPreload);
  ZYG_TRACE("Unsetting env vars: remove %s\n", kEnvDataFile);
  env_remove_matching(is_member_variable);
  return 0;
}

int set_env_if_changed(const char* name, const char* value) {
  const char* cur = env_lookup(name);
  if (cur != nullptr && strcmp(cur, value) == 0) return 0;
  ZYG_TRACE("Setting %s=%s\n", name, value);
  if (setenv(name, value, 1) != 0) return -1;
  env_drop_stale(name, value);
  return 0;
}

// Prepares this process's own environment for an exec that inherits it
// (execv, execvp, system): the library last in LD_PRELOAD and the launch
// file variables pointing at this launch.
int set_launch_env(const char* cmd) {
  if (ld.hdr == nullptr) return 0;
  if (!installation_ok(cmd)) return 0;
  const char* lib64 = ld.hdr->lib64;

  const char* cur = env_lookup(kEnvPreload);
  if (cur == nullptr || cur[0] == '\0') {
    ZYG_TRACE("Missing %s\n", kEnvPreload);
    ZYG_TRACE("Setting %s=%s\n", kEnvPreload, lib64);
    if (setenv(kEnvPreload, lib64, 1) != 0) {
      give_up_launch("Can't pass the launch file", cmd);
      return 0;
    }
    env_drop_stale(kEnvPreload, lib64);
  } else if (strcmp(cur, lib64) != 0) {
    ZYG_TRACE("Found %s=%s\n", kEnvPreload, cur);
    char* list = strdup(cur);
    if (list == nullptr) return 1;
    ZYG_TRACE("Remove launch lib from %s\n", kEnvPreload);
    remove_launch_lib(kEnvPreload, list, kListValueOnly);
    char* joined = append_path_item(list, lib64, kListValueOnly);
    free(list);
    if (joined == nullptr) return 1;
    ZYG_TRACE("Replacing \"%s=%s\" with \"%s=%s\"\n", kEnvPreload, cur, kEnvPreload, joined);
    int rc = setenv(kEnvPreload, joined, 1);
    if (rc == 0) env_drop_stale(kEnvPreload, joined);
    free(joined);
    if (rc != 0) {
      give_up_launch("Can't pass the launch file", cmd);
      return 0;
    }
  }

  if (set_env_if_changed(kEnvDataFile, ld.hdr->data_file) != 0) {
    give_up_launch("Can't pass the data file", cmd);
    return 0;
  }
  launch_id id;
  char id_text[kLaunchIdText];
  if (member_identity(&id)) {
    launch_id_format(id, id_text, sizeof id_text);
    if (set_env_if_changed(kEnvLaunchId, id_text) != 0) {
      give_up_launch("Can't pass the data file", cmd);
      return 0;
    }
  }

  if (ld.hdr->error_file[0] != '\0' && set_env_if_changed(kEnvErrorFile, ld.hdr->error_file) != 0) {
    int err = errno;
    char msg[128];
    snprintf(msg, sizeof msg, "Can't pass the error file. Error file may be disabled for pid %d\n",
             sys_getpid());
    report_warning(msg, err, RC_PASS_ON);
  }

#if ZYG_DEBUG
  // An empty name would make the new program refuse to start.
  if (debug_file_for_exec()[0] != '\0' &&
      set_env_if_changed(kEnvDebugFile, debug_file_for_exec()) != 0) {
    int err = errno;
    char msg[128];
    snprintf(msg, sizeof msg, "Can't pass the debug file. Debug file may be disabled for pid %d\n",
             sys_getpid());
    report_warning(msg, err, RC_PASS_ON);
  }
#endif
  return 0;
}

namespace {
const char* const kSnapshotNames[] = {
    kEnvPreload,   kEnvDataFile, kEnvLaunchId, kEnvErrorFile, kEnvPlacedBy,
#if ZYG_DEBUG
    kEnvDebugFile,
#endif
};
static_assert(sizeof kSnapshotNames / sizeof kSnapshotNames[0] <=
              sizeof(env_snapshot::values) / sizeof(env_snapshot::values[0]));
}  // namespace

void env_snapshot_take(env_snapshot* s) {
  int i = 0;
  for (const char* name : kSnapshotNames) s->values[i++] = env_lookup(name);
}

void env_snapshot_restore(const env_snapshot* s) {
  int i = 0;
  for (const char* name : kSnapshotNames) {
    const char* was = s->values[i++];
    const char* now = env_lookup(name);
    if (was == now) continue;
    if (was == nullptr) {
      env_unset(name);
    } else if (now == nullptr || strcmp(was, now) != 0) {
      // The C library keeps the strings of values it replaced: `was` still
      // holds the old text.
      if (setenv(name, was, 1) == 0) env_drop_stale(name, was);
    }
  }
}

}  // namespace zyg
