// env.cpp - the environment that new programs of a launched tree receive.
#include "exec/env.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/init.h"
#include "core/ldata.h"
#include "core/names.h"
#include "core/state.h"
#include "core/sys.h"
#include "core/topology.h"
#include "exec/elf_check.h"
#include "exec/preload_list.h"
#include "report/debug.h"
#include "report/report.h"

extern char** environ;

namespace zyg {

namespace {

// Entries handed to every launched program, "NAME=value", built once per
// image from the launch data: an exec'd program attaches to the same data,
// so the paths never change during a process's life.
constexpr size_t kEntrySize = 290;
char preload_entry[kEntrySize];
char data_entry[kEntrySize];
char error_entry[kEntrySize];
#if ZYG_DEBUG
char debug_entry[kEntrySize];
#endif
// 0 not built, 1 a thread is building them, 2 built.
volatile uint32_t entries_state;

const char* hdr_field(const char* field) { return ld.hdr != nullptr ? field : ""; }

#if ZYG_DEBUG
// The debug file this process traces to, as debug_init took it from the
// launcher's variable (leading blanks removed).
const char* debug_file_for_exec() { return debug_file_path(); }
#endif

void build_entries() {
  if (__atomic_load_n(&entries_state, __ATOMIC_ACQUIRE) == 2) return;
  uint32_t expected = 0;
  if (!__atomic_compare_exchange_n(&entries_state, &expected, 1u, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    // Another thread of this process is writing them: it only formats three
    // short strings, so wait for it rather than write the same buffers twice.
    while (__atomic_load_n(&entries_state, __ATOMIC_ACQUIRE) != 2) sched_yield();
    return;
  }
  snprintf(preload_entry, kEntrySize, "%s%c%s", kEnvPreload, '=', hdr_field(ld.hdr->lib64));
  snprintf(data_entry, kEntrySize, "%s%c%s", kEnvDataFile, '=', hdr_field(ld.hdr->data_file));
  snprintf(error_entry, kEntrySize, "%s%c%s", kEnvErrorFile, '=', hdr_field(ld.hdr->error_file));
#if ZYG_DEBUG
  snprintf(debug_entry, kEntrySize, "%s%c%s", kEnvDebugFile, '=', debug_file_for_exec());
#endif
  full_barrier();
  __atomic_store_n(&entries_state, 2u, __ATOMIC_RELEASE);
}

// "NAME=" at the start of entry.
bool entry_is(const char* entry, const char* name, size_t len) {
  return strncmp(entry, name, len) == 0 && entry[len] == '=';
}

// A program's own setenv may keep the value elsewhere (bash, before its
// variables are set up, imports them later from the original environment
// array): an old entry left in environ would then win over the new value.
void drop_stale_entries(const char* name, const char* value) {
  if (environ == nullptr) return;
  size_t len = strlen(name);
  char** out = environ;
  for (char** e = environ; *e != nullptr; ++e) {
    if (entry_is(*e, name, len) && strcmp(*e + len + 1, value) != 0) continue;
    *out++ = *e;
  }
  *out = nullptr;
}

// The library at the configured 64-bit path must still be what was
// installed; when it is not, no program can be given it.
bool installation_ok(const char* cmd) {
  if (check_shared_lib(ld.hdr->lib64) == 1) return true;
  char msg[128];
  snprintf(msg, sizeof msg, "%s installation was changed incorrectly", kProgName);
  report_disable_cmd(msg, 0, 23, sys_getpid(), cmd);
  reset_initial_launch_nodes();
  unset_launch_env();
  return false;
}

// The program cannot be given the library: start it without, and keep this
// process's own environment from handing the library on.
void give_up_launch(const char* what, const char* cmd) {
  report_disable_cmd(what, 0, 8, sys_getpid(), cmd);
  reset_initial_launch_nodes();
  unset_launch_env();
}

void trace_env(char** envp) {
#if ZYG_DEBUG
  ZYG_TRACE("\n");
  ZYG_TRACE("Environment to be passed\n");
  for (int i = 0; envp != nullptr && envp[i] != nullptr; i++) ZYG_TRACE("%d) %s\n", i, envp[i]);
#else
  (void)envp;
#endif
}

}  // namespace

void forget_launch_env_entries() { __atomic_store_n(&entries_state, 0u, __ATOMIC_RELEASE); }

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
    } else {
      ZYG_TRACE("Resetting env vars: update %s\n", kEnvPreload);
      if (setenv(kEnvPreload, list, 1) != 0) {
        int err = errno;
        char msg[128];
        snprintf(msg, sizeof msg, "Can't pass along load environment variable of: %s", list);
        report_warning(msg, err, 8);
      } else {
        drop_stale_entries(kEnvPreload, list);
      }
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

int set_env_if_changed(const char* name, const char* value) {
  const char* cur = env_lookup(name);
  if (cur != nullptr && strcmp(cur, value) == 0) return 0;
  ZYG_TRACE("Setting %s=%s\n", name, value);
  if (setenv(name, value, 1) != 0) return -1;
  drop_stale_entries(name, value);
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
    drop_stale_entries(kEnvPreload, lib64);
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
    if (rc == 0) drop_stale_entries(kEnvPreload, joined);
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

  if (ld.hdr->error_file[0] != '\0' && set_env_if_changed(kEnvErrorFile, ld.hdr->error_file) != 0) {
    int err = errno;
    char msg[128];
    snprintf(msg, sizeof msg, "Can't pass the error file. Error file may be disabled for pid %d\n",
             sys_getpid());
    report_warning(msg, err, 8);
  }

#if ZYG_DEBUG
  // An empty name would make the new program refuse to start.
  if (debug_file_for_exec()[0] != '\0' &&
      set_env_if_changed(kEnvDebugFile, debug_file_for_exec()) != 0) {
    int err = errno;
    char msg[128];
    snprintf(msg, sizeof msg, "Can't pass the debug file. Debug file may be disabled for pid %d\n",
             sys_getpid());
    report_warning(msg, err, 8);
  }
#endif
  return 0;
}

// The environment for a program that joins the launch, from an explicit
// array (execve, execvpe, posix_spawn): the caller's entries in their order,
// with the library last in LD_PRELOAD and the file variables of this launch.
char** add_launch_env(char** envp, const char* cmd) {
  if (ld.hdr == nullptr) return envp;
  build_entries();
  if (!installation_ok(cmd)) return strip_launch_env(envp);

  struct wanted {
    const char* name;
    size_t len;
    const char* entry;
    bool optional;  // added only with a non-empty value
    bool found;
    bool differs;
  };
  wanted w[] = {
      {kEnvPreload, sizeof kEnvPreload - 1, preload_entry, false, false, false},
      {kEnvDataFile, sizeof kEnvDataFile - 1, data_entry, false, false, false},
      {kEnvErrorFile, sizeof kEnvErrorFile - 1, error_entry, true, false, false},
#if ZYG_DEBUG
      {kEnvDebugFile, sizeof kEnvDebugFile - 1, debug_entry, true, false, false},
#endif
  };
  constexpr int kWanted = (int)(sizeof w / sizeof w[0]);

  ZYG_TRACE("Checking for environment variables\n");
  size_t count = 0;
  for (char** e = envp; e != nullptr && *e != nullptr; ++e, ++count) {
    for (wanted& v : w) {
      if (!entry_is(*e, v.name, v.len)) continue;
      ZYG_TRACE("Found %s\n", *e);
      v.found = true;
      if (strcmp(*e, v.entry) != 0) v.differs = true;
    }
  }
  ZYG_TRACE("Found %d environment variables\n", (int)count);

  int additions = 0, replacements = 0;
  for (wanted& v : w) {
    bool has_value = v.entry[v.len + 1] != '\0';
    if (!v.found && (!v.optional || has_value)) {
      ZYG_TRACE("Need to add %s\n", v.name);
      additions++;
    }
    if (v.differs) {
      ZYG_TRACE("Need to replace %s\n", v.name);
      replacements++;
    }
  }
  ZYG_TRACE("Need %d environment variables added\n", additions);
  ZYG_TRACE("Need %d environment variables replaced\n", replacements);
  if (additions == 0 && replacements == 0) {
    trace_env(envp);
    return envp;
  }

  char** out = static_cast<char**>(malloc((count + (size_t)additions + 1) * sizeof(char*)));
  if (out == nullptr) return nullptr;
  size_t n = 0;
  for (; n < count; n++) out[n] = envp[n];
  for (wanted& v : w) {
    bool has_value = v.entry[v.len + 1] != '\0';
    if (!v.found && (!v.optional || has_value)) {
      ZYG_TRACE("Adding \"%s\"\n", v.entry);
      out[n++] = const_cast<char*>(v.entry);
    }
  }
  out[n] = nullptr;

  for (int k = 0; k < kWanted; k++) {
    wanted& v = w[k];
    if (!v.differs) continue;
    for (size_t i = 0; i < count; i++) {
      if (!entry_is(out[i], v.name, v.len)) continue;
      if (k == 0) {
        char* copy = strdup(out[i]);
        if (copy == nullptr) {
          free(out);
          return nullptr;
        }
        remove_launch_lib(kEnvPreload, copy, kListWholeEntry);
        char* joined = append_path_item(copy, ld.hdr->lib64, kListWholeEntry);
        free(copy);
        if (joined == nullptr) {
          free(out);
          return nullptr;
        }
        ZYG_TRACE("Replacing \"%s\" with \"%s\"\n", out[i], joined);
        out[i] = joined;
      } else {
        ZYG_TRACE("Replacing \"%s\" with \"%s\"\n", out[i], v.entry);
        out[i] = const_cast<char*>(v.entry);
      }
      break;
    }
  }
  trace_env(out);
  return out;
}

// The environment for a program that runs without the library: the caller's
// entries without the launch file variables and with our library taken out
// of LD_PRELOAD. Always a new array.
char** strip_launch_env(char** envp) {
  const char* lib64 = ld.hdr != nullptr ? ld.hdr->lib64 : "";
  const char* lib32 = ld.hdr != nullptr ? ld.hdr->lib32 : "";
  const size_t plen = sizeof kEnvPreload - 1;
  const size_t dlen = sizeof kEnvDataFile - 1;
  const size_t elen = sizeof kEnvErrorFile - 1;
#if ZYG_DEBUG
  const size_t glen = sizeof kEnvDebugFile - 1;
#endif
  auto dropped = [&](const char* e) {
    if (entry_is(e, kEnvDataFile, dlen) || entry_is(e, kEnvErrorFile, elen)) return true;
#if ZYG_DEBUG
    if (entry_is(e, kEnvDebugFile, glen)) return true;
#endif
    if (entry_is(e, kEnvPreload, plen)) {
      // A value that is nothing but the configured library (possibly at a
      // non-standard path) goes with the entry.
      const char* v = e + plen + 1;
      if ((lib64[0] != '\0' && strcmp(v, lib64) == 0) ||
          (lib32[0] != '\0' && strcmp(v, lib32) == 0)) {
        return true;
      }
    }
    return false;
  };

  ZYG_TRACE("Checking for env variables to remove\n");
  size_t count = 0, removed = 0;
  for (char** e = envp; e != nullptr && *e != nullptr; ++e, ++count) {
    if (dropped(*e)) removed++;
  }
  char** out = static_cast<char**>(malloc((count - removed + 1) * sizeof(char*)));
  if (out == nullptr) return nullptr;
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    char* e = envp[i];
    if (dropped(e)) {
      ZYG_TRACE("Removing %s\n", e);
      continue;
    }
    if (entry_is(e, kEnvPreload, plen)) {
      char* copy = strdup(e);
      if (copy == nullptr) {
        // Every LD_PRELOAD slot filled so far holds a copy made here.
        for (size_t j = 0; j < n; j++) {
          if (entry_is(out[j], kEnvPreload, plen)) free(out[j]);
        }
        free(out);
        return nullptr;
      }
      ZYG_TRACE("Remove launch lib from %s\n", kEnvPreload);
      remove_launch_lib(kEnvPreload, copy, kListWholeEntry);
      e = copy;
    }
    out[n++] = e;
  }
  out[n] = nullptr;
  trace_env(out);
  return out;
}

// The file an exec by name will run, found the way execvp searches PATH, for
// the checks on the executable.
int find_exec_file(const char* name, char* out, size_t size) {
  if (size > 0) out[0] = '\0';
  if (name == nullptr || name[0] == '\0' || size == 0) return 0;
  ZYG_TRACE("Entering find_exec_file() for %s\n", name);
  if (strchr(name, '/') != nullptr) {
    ZYG_TRACE("%s is an absolute or specific path\n", name);
    snprintf(out, size, "%s", name);
    return 0;
  }
  ZYG_TRACE("Searching path for %s\n", name);

  size_t name_len = strlen(name);
  const char* path = env_lookup("PATH");
  char* default_path = nullptr;
  if (path != nullptr) {
    ZYG_TRACE("Using PATH=\"%s\"\n", path);
  } else {
    // No PATH at all: the system default, with the current directory first.
    size_t n = confstr(_CS_PATH, nullptr, 0);
    default_path = static_cast<char*>(malloc(n + 2));
    if (default_path == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    default_path[0] = ':';
    default_path[1] = '\0';
    if (n > 0) confstr(_CS_PATH, default_path + 1, n);
    path = default_path;
    ZYG_TRACE("PATH is not set, using _CS_PATH=\"%s\"\n", path);
  }

  char* work = static_cast<char*>(malloc(name_len + strlen(path) + 4));
  if (work == nullptr) {
    free(default_path);
    errno = ENOMEM;
    return -1;
  }
  int saved_errno = errno;
  bool found = false;
  const char* p = path;
  for (;;) {
    const char* end = strchr(p, ':');
    size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
    if (len == 0) {
      memcpy(work, name, name_len + 1);
    } else {
      memcpy(work, p, len);
      work[len] = '/';
      memcpy(work + len + 1, name, name_len + 1);
    }
    ZYG_TRACE("Looking for: %s\n", work);
    struct stat st;
    // A directory passes access() but is not what the exec would run.
    if (access(work, R_OK | X_OK) == 0 && stat(work, &st) == 0 && !S_ISDIR(st.st_mode)) {
      found = true;
      break;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  if (found) {
    ZYG_TRACE("Found executable %s\n", work);
    if (strlen(work) < size) {
      memcpy(out, work, strlen(work) + 1);
    } else {
      snprintf(out, size, "%s", name);
    }
  } else {
    ZYG_TRACE("%s not found\n", name);
  }
  free(work);
  free(default_path);
  errno = saved_errno;
  return 0;
}

}  // namespace zyg
