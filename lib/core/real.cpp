// real.cpp - finding the C library's own definitions of the functions that
// this library exports under the same names.
//
// The next definition after us in the loader's search order is the C
// library's (or that of a preload library listed after us). The loaded
// objects' own tables give it without the loader's lock (base/next_symbol);
// dlsym(RTLD_NEXT) answers whatever they cannot answer for sure, and its
// text explains a name that nobody defines. Getting back our own
// definition would make every wrapper call itself forever, so that is
// refused as firmly as a missing symbol.
#include "core/real.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/layout.h"
#include "base/next_symbol.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/state.h"

namespace zyg {

real_fns real;
volatile uint32_t real_resolved[GROUP_COUNT];

namespace {
// Our own wrappers' addresses, registered by the entry points.
void* const* volatile own_fns;
}  // namespace

ZYG_HOT_CODE void set_own_functions(void* const* table) { own_fns = table; }

namespace {

// Kept out of lookup so that its message buffer is not part of the
// frame of every lookup (lookups may happen on a new thread's small stack).
[[noreturn]] __attribute__((noinline)) void missing_symbol(const char* label) {
  char msg[512];
  int n = snprintf(msg, sizeof msg, "can't obtain address for %s", label);
  const char* why = dlerror();
  if (why != nullptr && n >= 0 && (size_t)n < sizeof msg) {
    snprintf(msg + n, sizeof msg - (size_t)n, "\n       %s", why);
  }
  fatal_text(msg);
}

[[noreturn]] __attribute__((noinline)) void same_symbol(const char* label) {
  char msg[128];
  snprintf(msg, sizeof msg, "%s is not different", label);
  fatal_text(msg);
}

// The search for the next definitions starts after the object that holds
// this code.
ZYG_HOT_CODE void next_after_us(next_objects* after) {
  next_objects_init(after, reinterpret_cast<const void*>(&next_after_us));
}

ZYG_HOT_CODE void* lookup(const next_objects& after, const char* name, const char* label,
                          void* own) {
  void* p = next_symbol(after, name);
  if (p == nullptr) {
    (void)dlerror();
    p = dlsym(RTLD_NEXT, name);
  }
  if (p == nullptr) missing_symbol(label);
  if (p == own) same_symbol(label);
  return p;
}

ZYG_HOT_CODE void* own(own_fn f) {
  void* const* table = own_fns;
  return table != nullptr ? table[f] : nullptr;
}

template <typename F>
void store(F*& slot, const next_objects& after, const char* name, const char* label, own_fn f) {
  slot = reinterpret_cast<F*>(lookup(after, name, label, own(f)));
}

// The rows of the group in list order: the pointer stored for a ZYG_REAL row,
// only the lookup (and its failure report) for a ZYG_LOOKUP row.
ZYG_HOT_CODE void resolve_group_in(real_group g, const next_objects& after) {
#define ZYG_REAL(name, group, symbol, ret, params) \
  if (g == (group)) store(real.name, after, #name, "symbol # " #symbol, OWN_##name);
#define ZYG_LOOKUP(name, group, symbol) \
  if (g == (group)) (void)lookup(after, #name, "symbol # " #symbol, own(OWN_##name));
#include "core/interposed.def"
  // Whoever sees the flag set must also see the pointers stored above.
  full_barrier();
  real_resolved[g] = 1;
}

}  // namespace

void* resolve_real(const char* name, const char* label, void* own) {
  next_objects after;
  next_after_us(&after);
  return lookup(after, name, label, own);
}

void resolve_group(real_group g) {
  if (g >= GROUP_COUNT) return;
  next_objects after;
  next_after_us(&after);
  resolve_group_in(g, after);
}

ZYG_HOT_CODE void resolve_all() {
  ZYG_TRACE("INIT : initializing function pointers\n");
  next_objects after;
  next_after_us(&after);
  for (int g = 0; g < GROUP_COUNT; ++g) resolve_group_in(static_cast<real_group>(g), after);
}

}  // namespace zyg
