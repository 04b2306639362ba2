// real.h - the C library's own definitions of the functions we interpose on.
//
// Resolved as dlsym(RTLD_NEXT) would resolve them, group by group, at start-up or on the first
// call of any member, whichever comes first; a group's flag is set after a
// full memory barrier once its pointers are stored. Inside the library, call
// these pointers (or an internal function), never the exported wrappers.
// The names, their types and groups are the rows of core/interposed.def.
#pragma once

#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <threads.h>

namespace zyg {

enum real_group {
  GROUP_EXIT,
  GROUP_SYSCALL,
  GROUP_FORK,
  GROUP_VFORK,
  GROUP_CLONE,
  GROUP_EXEC,
  GROUP_COUNT
};

// The C library's definitions of the ZYG_REAL rows of core/interposed.def.
struct real_fns {
#define ZYG_REAL(name, group, symbol, ret, params) ret(*name) params;
#include "core/interposed.def"
};
extern real_fns real;
extern volatile uint32_t real_resolved[GROUP_COUNT];

// Our own definitions of the interposed names, by resolution order: the rows
// of core/interposed.def that are looked up. The entry points register their
// table before the first lookup; in a program without them (a unit test)
// there is none and the "is not different" check has nothing to compare with.
enum own_fn {
#define ZYG_REAL(name, group, symbol, ret, params) OWN_##name,
#define ZYG_LOOKUP(name, group, symbol) OWN_##name,
#include "core/interposed.def"
  OWN_COUNT
};

void set_own_functions(void* const* table);  // OWN_COUNT entries

// The next definition of name after this library (base/next_symbol, else
// dlsym(RTLD_NEXT, name) after clearing dlerror); terminating report
// "can't obtain address for <label>" or "<label> is not different".
void* resolve_real(const char* name, const char* label, void* own);

void resolve_group(real_group g);  // idempotent
inline void ensure_resolved(real_group g) {
  if (!real_resolved[g]) resolve_group(g);
}
void resolve_all();  // every group, in start-up order

}  // namespace zyg
