// env_array.cpp - environments for new programs built from an explicit array
// (execve, execvpe, fexecve, execle, posix_spawn): the caller's entries in
// their order, with the library last in LD_PRELOAD and the launch file
// variables of this launch added or replaced, or all of that taken out.
#include <sched.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/env.h"
#include "base/layout.h"
#include "base/lock.h"
#include "base/scratch.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "core/membership.h"
#include "core/state.h"
#include "exec/env.h"
#include "shared/names.h"
#include "shared/preload_list.h"

namespace zyg {

namespace {

// Entries handed to every launched program, "NAME=value", built once per
// image from the launch data: an exec'd program attaches to the same data,
// so the paths never change during a process's life.
constexpr size_t kEntrySize = 290;
char preload_entry[kEntrySize];
char data_entry[kEntrySize];
char error_entry[kEntrySize];
char id_entry[kEntrySize];
#if ZYG_DEBUG
char debug_entry[kEntrySize];
#endif
// 0 not built, kBuilt built, else the TID of the thread building them.
constexpr uint32_t kBuilt = 0xffffffffu;
volatile uint32_t entries_state;
// How long a thread waits for another one to finish the few formats below
// (microseconds of work) before it formats them itself: the builder may be
// gone (the state was copied into a forked child half-way) or be this very
// thread, interrupted by a signal handler that execs.
constexpr int kMaxBuildWaits = 1000;

const char* hdr_field(const char* field) { return ld.hdr != nullptr ? field : ""; }

// "NAME=value", cut to the entry's size.
ZYG_HOT_CODE void format_entry(char* entry, const char* name, const char* value) {
  text_out o = text_start(entry, kEntrySize);
  text_put(&o, name);
  text_put_char(&o, '=');
  text_put(&o, value);
}

ZYG_HOT_CODE void format_entries() {
  format_entry(preload_entry, kEnvPreload, hdr_field(ld.hdr->lib64));
  format_entry(data_entry, kEnvDataFile, hdr_field(ld.hdr->data_file));
  format_entry(error_entry, kEnvErrorFile, hdr_field(ld.hdr->error_file));
  launch_id id;
  char id_text[kLaunchIdText];
  id_text[0] = '\0';
  if (member_identity(&id)) launch_id_format(id, id_text, sizeof id_text);
  format_entry(id_entry, kEnvLaunchId, id_text);
#if ZYG_DEBUG
  format_entry(debug_entry, kEnvDebugFile, debug_file_for_exec());
#endif
}

}  // namespace

ZYG_HOT_CODE void build_launch_env_entries() {
  uint32_t seen = __atomic_load_n(&entries_state, __ATOMIC_ACQUIRE);
  if (seen == kBuilt) return;
  uint32_t me = lock_self_tid();
  for (int waits = 0; seen != kBuilt; waits++) {
    if (seen == 0 || seen == me || waits >= kMaxBuildWaits) {
      // Ours to build (a second builder writes the same texts).
      if (!__atomic_compare_exchange_n(&entries_state, &seen, me, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE))
        continue;
      format_entries();
      full_barrier();
      __atomic_store_n(&entries_state, kBuilt, __ATOMIC_RELEASE);
      return;
    }
    sched_yield();
    seen = __atomic_load_n(&entries_state, __ATOMIC_ACQUIRE);
  }
}

namespace {

// One variable a joining program must get, and what the caller's array
// already has of it.
struct wanted {
  const char* name;
  size_t len;
  const char* entry;
  bool optional;  // added only with a non-empty value
  bool found;
  bool differs;
};

bool needs_adding(const wanted& v) {
  bool has_value = v.entry[v.len + 1] != '\0';
  return !v.found && (!v.optional || has_value);
}

// Notes which wanted variables the array has and whether they differ; the
// number of entries.
size_t scan_entries(char** envp, wanted* w, int n_wanted) {
  ZYG_TRACE("Checking for environment variables\n");
  size_t count = 0;
  for (char** e = envp; e != nullptr && *e != nullptr; ++e, ++count) {
    for (int k = 0; k < n_wanted; k++) {
      wanted& v = w[k];
      if (!env_entry_is(*e, v.name, v.len)) continue;
      ZYG_TRACE("Found %s\n", *e);
      v.found = true;
      if (!text_equal(*e, v.entry)) v.differs = true;
    }
  }
  ZYG_TRACE("Found %d environment variables\n", (int)count);
  return count;
}

// Our LD_PRELOAD entry in place of the caller's: the caller's list without
// either standard library path, and our library last. Null when out of memory.
char* joined_preload_entry(const char* entry) {
  char* copy = scratch_strdup(entry);
  if (copy == nullptr) return nullptr;
  remove_launch_lib(kEnvPreload, copy, kListWholeEntry);
  char* joined = static_cast<char*>(scratch_alloc(appended_size(copy, ld.hdr->lib64)));
  if (joined != nullptr) append_path_item_into(copy, ld.hdr->lib64, kListWholeEntry, joined);
  scratch_free(copy);
  return joined;
}

// Replaces, in out's first count entries, every variable whose value
// differs. False when out of memory.
bool replace_differing(char** out, size_t count, const wanted* w, int n_wanted) {
  for (int k = 0; k < n_wanted; k++) {
    const wanted& v = w[k];
    if (!v.differs) continue;
    for (size_t i = 0; i < count; i++) {
      if (!env_entry_is(out[i], v.name, v.len)) continue;
      char* entry = const_cast<char*>(v.entry);
      if (k == 0) {  // LD_PRELOAD keeps the caller's other libraries
        entry = joined_preload_entry(out[i]);
        if (entry == nullptr) return false;
      }
      ZYG_TRACE("Replacing \"%s\" with \"%s\"\n", out[i], entry);
      out[i] = entry;
      break;
    }
  }
  return true;
}

}  // namespace

void forget_launch_env_entries() { __atomic_store_n(&entries_state, 0u, __ATOMIC_RELEASE); }

void launch_env_entries_building_for_test(uint32_t tid) {
  __atomic_store_n(&entries_state, tid, __ATOMIC_RELEASE);
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

void release_env(char** env, char** given, env_room room) {
  if (env != given && env != room.slots) scratch_free(env);
}

ZYG_HOT_CODE char** add_launch_env(char** envp, const char* cmd, const char* mark, env_room room) {
  if (ld.hdr == nullptr) return envp;
  build_launch_env_entries();
  if (!installation_ok(cmd)) return strip_launch_env(envp);

  // A placement mark only when the placement is ours to vouch for; without
  // one, any the caller passes goes (it would name the wrong process).
  const char* placed = mark != nullptr ? mark : "";
  wanted w[] = {
    {kEnvPreload, sizeof kEnvPreload - 1, preload_entry, false, false, false},
    {kEnvDataFile, sizeof kEnvDataFile - 1, data_entry, false, false, false},
    {kEnvLaunchId, sizeof kEnvLaunchId - 1, id_entry, true, false, false},
    {kEnvErrorFile, sizeof kEnvErrorFile - 1, error_entry, true, false, false},
#if ZYG_DEBUG
    {kEnvDebugFile, sizeof kEnvDebugFile - 1, debug_entry, true, false, false},
#endif
    {kEnvPlacedBy, sizeof kEnvPlacedBy - 1, placed, mark == nullptr, false, false},
  };
  constexpr int kWanted = (int)(sizeof w / sizeof w[0]);
  constexpr int kPlaced = kWanted - 1;
  size_t count = scan_entries(envp, w, kWanted);
  const bool drop_placed = mark == nullptr && w[kPlaced].found;
  w[kPlaced].differs = w[kPlaced].differs && !drop_placed;

  int additions = 0, replacements = 0;
  for (const wanted& v : w) {
    if (v.entry[0] != '\0' && needs_adding(v)) {
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
  if (additions == 0 && replacements == 0 && !drop_placed) {
    trace_env(envp);
    return envp;
  }

  const size_t slots = count + (size_t)additions + 1;
  char** out =
      slots <= room.count ? room.slots : static_cast<char**>(scratch_alloc(slots * sizeof(char*)));
  if (out == nullptr) return nullptr;
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    if (drop_placed && env_entry_is(envp[i], kEnvPlacedBy, sizeof kEnvPlacedBy - 1)) continue;
    out[n++] = envp[i];
  }
  const size_t kept = n;
  for (const wanted& v : w) {
    if (v.entry[0] == '\0' || !needs_adding(v)) continue;
    ZYG_TRACE("Adding \"%s\"\n", v.entry);
    out[n++] = const_cast<char*>(v.entry);
  }
  out[n] = nullptr;
  if (!replace_differing(out, kept, w, kWanted)) {
    release_env(out, envp, room);
    return nullptr;
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
  auto dropped = [&](const char* e) {
    if (is_member_variable(e)) return true;
    if (env_entry_is(e, kEnvPreload, plen)) {
      // A value that is nothing but the configured library (possibly at a
      // non-standard path) goes with the entry.
      const char* v = e + plen + 1;
      if ((lib64[0] != '\0' && text_equal(v, lib64)) ||
          (lib32[0] != '\0' && text_equal(v, lib32))) {
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
  char** out = static_cast<char**>(scratch_alloc((count - removed + 1) * sizeof(char*)));
  if (out == nullptr) return nullptr;
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    char* e = envp[i];
    if (dropped(e)) {
      ZYG_TRACE("Removing %s\n", e);
      continue;
    }
    if (env_entry_is(e, kEnvPreload, plen)) {
      char* copy = scratch_strdup(e);
      if (copy == nullptr) {
        // Every LD_PRELOAD slot filled so far holds a copy made here.
        for (size_t j = 0; j < n; j++) {
          if (env_entry_is(out[j], kEnvPreload, plen)) scratch_free(out[j]);
        }
        scratch_free(out);
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

}  // namespace zyg
