// env.h - reading and editing this process's own environment, and telling
// "NAME=value" entries apart.
//
// Programs edit environ directly, and some define their own getenv/unsetenv
// (bash does, and its unsetenv does nothing before the shell has set up its
// variables, which it then imports again from the original array). So a
// lookup falls back to a scan of environ, and an unset also removes every
// entry left in environ.
#pragma once

#include <stddef.h>

namespace zyg {

// entry begins with name and "=".
bool env_entry_is(const char* entry, const char* name);
bool env_entry_is(const char* entry, const char* name, size_t name_len);

// The value of a "NAME=value" entry, or null when entry is not name's.
const char* env_entry_value(const char* entry, const char* name);

// getenv, then a scan of environ for "NAME="; null when absent.
const char* env_lookup(const char* name);

// unsetenv, then removal of any "NAME=" entry still left in environ.
void env_unset(const char* name);

// Removal of every "NAME=" entry from environ alone: no lock, no heap, so
// usable where a signal handler may have interrupted the C library's own
// environment or allocator functions.
void env_remove_entries(const char* name);

// Removal of every entry for which matches(entry) is true, the same way.
void env_remove_matching(bool (*matches)(const char* entry));

// Removes from environ every "NAME=" entry whose value is not `value`: a
// program's own setenv may keep the new value elsewhere, and an old entry
// left in environ would then win over it.
void env_drop_stale(const char* name, const char* value);

}  // namespace zyg
