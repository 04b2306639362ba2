#include "base/env.h"

#include <stdlib.h>

#include "base/layout.h"
#include "base/text.h"
#include "base/trace.h"

extern char** environ;

namespace zyg {

// Plain loops, not the C library's string functions: every exec'd program
// and every fork child runs these, most entries differ at their first
// character, and each C library function would be one more page of code for
// those processes to fault in.
ZYG_HOT_CODE const char* env_entry_value(const char* entry, const char* name) {
  for (; *name != '\0'; ++entry, ++name)
    if (*entry != *name) return nullptr;  // also stops at the end of a shorter entry
  return *entry == '=' ? entry + 1 : nullptr;
}

ZYG_HOT_CODE bool env_entry_is(const char* entry, const char* name, size_t name_len) {
  for (size_t i = 0; i < name_len; i++)
    if (entry[i] != name[i]) return false;  // also stops at the end of a shorter entry
  return entry[name_len] == '=';
}

ZYG_HOT_CODE bool env_entry_is(const char* entry, const char* name) {
  return env_entry_value(entry, name) != nullptr;
}

ZYG_HOT_CODE const char* env_lookup(const char* name) {
  // environ itself, as getenv reads it: some programs edit environ directly,
  // and a later exec still passes on what they put there. (Not getenv: its
  // code would be one more page for every program to fault in.)
  if (environ == nullptr) return nullptr;
  for (char** e = environ; *e != nullptr; ++e)
    if (const char* v = env_entry_value(*e, name)) return v;
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
  filter_environ([&](const char* e) { return env_entry_value(e, name) != nullptr; });
}

void env_remove_matching(bool (*matches)(const char* entry)) {
  filter_environ([&](const char* e) { return matches(e); });
}

void env_drop_stale(const char* name, const char* value) {
  filter_environ([&](const char* e) {
    const char* v = env_entry_value(e, name);
    return v != nullptr && !text_equal(v, value);
  });
}

}  // namespace zyg
