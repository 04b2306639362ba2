#include "base/env.h"

#include <stdlib.h>
#include <string.h>

#include "base/trace.h"

extern char** environ;

namespace zyg {

bool env_entry_is(const char* entry, const char* name, size_t name_len) {
  // A byte loop, not strncmp: an exec in a forked child would fault in the
  // C library's page of strncmp for these few bytes.
  for (size_t i = 0; i < name_len; i++)
    if (entry[i] != name[i]) return false;
  return entry[name_len] == '=';
}

bool env_entry_is(const char* entry, const char* name) {
  return env_entry_is(entry, name, strlen(name));
}

const char* env_lookup(const char* name) {
  // environ itself, as getenv reads it: some programs edit environ directly,
  // and a later exec still passes on what they put there. (Not getenv: its
  // code would be one more page for every program to fault in.)
  if (environ == nullptr) return nullptr;
  size_t len = strlen(name);
  for (char** e = environ; *e != nullptr; ++e) {
    if (env_entry_is(*e, name, len)) return *e + len + 1;
  }
  return nullptr;
}

namespace {
// Keeps the entries of environ for which drop() is false, in order.
template <typename Drop>
void filter_environ(Drop drop) {
  if (environ == nullptr) return;
  char** out = environ;
  for (char** e = environ; *e != nullptr; ++e) {
    if (drop(*e)) continue;
    *out++ = *e;
  }
  *out = nullptr;
}
}  // namespace

void env_unset(const char* name) {
  unsetenv(name);
  env_remove_entries(name);
}

void env_remove_entries(const char* name) {
  size_t len = strlen(name);
  filter_environ([&](const char* e) { return env_entry_is(e, name, len); });
}

void env_drop_stale(const char* name, const char* value) {
  size_t len = strlen(name);
  filter_environ(
      [&](const char* e) { return env_entry_is(e, name, len) && strcmp(e + len + 1, value) != 0; });
}

}  // namespace zyg
