#include "launch_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shared/data_path.h"
#include "shared/launch_id.h"
#include "shared/names.h"
#include "shared/preload_list.h"

namespace zyg::launcher {

namespace {

constexpr size_t kFreeSlots = 16;
constexpr char kLaunchPrefix[] = "ZYG_";
constexpr char kPreloadPrefix[] = "LD_PRELOAD=";

bool starts_with(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// Makes room for one more entry plus the null slot. The initial 16 free slots
// cover everything the launcher adds; growing is only a safety net.
int reserve_one(LaunchEnv* env) {
  if (env->count + 2 <= env->capacity) return 0;
  size_t cap = env->capacity * 2 + kFreeSlots;
  auto* entries = static_cast<char**>(realloc(env->entries, cap * sizeof(char*)));
  if (entries == nullptr) return -1;
  env->entries = entries;
  auto* owned = static_cast<bool*>(realloc(env->owned, cap * sizeof(bool)));
  if (owned == nullptr) return -1;
  env->owned = owned;
  for (size_t i = env->capacity; i < cap; ++i) {
    env->entries[i] = nullptr;
    env->owned[i] = false;
  }
  env->capacity = cap;
  return 0;
}

void push(LaunchEnv* env, char* entry, bool owned) {
  env->entries[env->count] = entry;
  env->owned[env->count] = owned;
  ++env->count;
  env->entries[env->count] = nullptr;
}

}  // namespace

bool is_launch_variable(const char* entry) {
  if (!starts_with(entry, kLaunchPrefix)) return false;
  const char* eq = strchr(entry, '=');
  size_t len = eq != nullptr ? static_cast<size_t>(eq - entry) : strlen(entry);
  for (const char* name : kLaunchEnvNames) {
    if (strlen(name) == len && strncmp(entry, name, len) == 0) return true;
  }
  for (const char* name : {kEnvPlacedBy, kEnvLaunchId})
    if (strlen(name) == len && strncmp(entry, name, len) == 0) return true;
  return false;
}

int launch_env_add_launch(LaunchEnv* env, const launch_id& id, const char* path) {
  char text[kLaunchIdText];
  launch_id_format(id, text, sizeof text);
  if (launch_env_append(env, kEnvDataFile, path) != 0 ||
      launch_env_append(env, kEnvLaunchId, text) != 0)
    return -ENOMEM;
  return 0;
}

int launch_env_start_launch(LaunchEnv* env, int pid, unsigned mode, std::string* path_out) {
  launch_id id;
  launch_id_make(&id, static_cast<uint32_t>(geteuid()));
  char path[kMaxDataFilePath + 1];
  int fd = launch_file_create(id, pid, mode, path, sizeof path);
  if (fd < 0) return fd;
  const int anchor = launch_file_anchor(fd);
  *path_out = path;
  if (launch_env_add_launch(env, id, path) != 0) {
    unlink(path);
    close(anchor);
    return -ENOMEM;
  }
  return 0;
}

int launch_env_init(LaunchEnv* env, char* const* inherited) {
  size_t n = 0;
  if (inherited != nullptr) {
    while (inherited[n] != nullptr) ++n;
  }
  env->capacity = n + kFreeSlots;
  env->count = 0;
  env->entries = static_cast<char**>(calloc(env->capacity, sizeof(char*)));
  env->owned = static_cast<bool*>(calloc(env->capacity, sizeof(bool)));
  if (env->entries == nullptr || env->owned == nullptr) return -1;
  for (size_t i = 0; i < n; ++i) {
    char* entry = inherited[i];
    if (is_launch_variable(entry)) continue;
    if (starts_with(entry, kPreloadPrefix)) {
      // A library left over from an outer launch must not be loaded twice.
      char* copy = strdup(entry);
      if (copy == nullptr) return -1;
      remove_launch_lib(kEnvPreload, copy, kListWholeEntry);
      push(env, copy, true);
      continue;
    }
    push(env, entry, false);
  }
  return 0;
}

int launch_env_append(LaunchEnv* env, const char* name, const char* value) {
  if (reserve_one(env) != 0) return -1;
  size_t len = strlen(name) + 1 + strlen(value) + 1;
  auto* entry = static_cast<char*>(malloc(len));
  if (entry == nullptr) return -1;
  snprintf(entry, len, "%s%s%s", name, "=", value);
  push(env, entry, true);
  return 0;
}

const char* launch_env_value(const LaunchEnv* env, const char* name) {
  const size_t n = strlen(name);
  for (size_t i = 0; i < env->count; ++i)
    if (strncmp(env->entries[i], name, n) == 0 && env->entries[i][n] == '=')
      return env->entries[i] + n + 1;
  return nullptr;
}

int launch_env_set(LaunchEnv* env, const char* name, const char* value) {
  const size_t n = strlen(name);
  for (size_t i = 0; i < env->count; ++i) {
    if (strncmp(env->entries[i], name, n) != 0 || env->entries[i][n] != '=') continue;
    size_t len = n + 1 + strlen(value) + 1;
    auto* entry = static_cast<char*>(malloc(len));
    if (entry == nullptr) return -1;
    snprintf(entry, len, "%s=%s", name, value);
    if (env->owned[i]) free(env->entries[i]);
    env->entries[i] = entry;
    env->owned[i] = true;
    return 0;
  }
  return launch_env_append(env, name, value);
}

int launch_env_add_preload(LaunchEnv* env, const char* lib) {
  for (size_t i = 0; i < env->count; ++i) {
    char* old = env->entries[i];
    if (!starts_with(old, kPreloadPrefix)) continue;
    // The user's own preloads come first; ours is loaded after them.
    char* joined = append_path_item(old, lib, kListWholeEntry);
    if (joined == nullptr) return -1;
    if (env->owned[i]) free(old);
    env->entries[i] = joined;
    env->owned[i] = true;
    return 0;
  }
  return launch_env_append(env, kEnvPreload, lib);
}

void launch_env_free(LaunchEnv* env) {
  if (env->entries != nullptr && env->owned != nullptr) {
    for (size_t i = 0; i < env->count; ++i) {
      if (env->owned[i]) free(env->entries[i]);
    }
  }
  free(env->entries);
  free(env->owned);
  *env = LaunchEnv{};
}

}  // namespace zyg::launcher
