// next_symbol.cpp - a lock-free RTLD_NEXT lookup for plain functions.
//
// The objects the loader mapped at start-up are chained in its search order
// (each one's dependencies after it, breadth first), and none of them is
// ever unloaded, so walking the chain from the caller's object onwards
// visits what dlsym(RTLD_NEXT) visits, in the same order, with nothing that
// could move under us. Objects that a later dlopen adds are chained after
// the C library, where the walk stops.
#include "base/next_symbol.h"

#include <dlfcn.h>
#include <stdint.h>
#include <sys/auxv.h>
#include <unistd.h>  // environ

#include "base/env.h"
#include "base/layout.h"
#include "base/text.h"

namespace zyg {

namespace {

enum find_result { ABSENT, FOUND, UNSURE };

// The ELF GNU_HASH function.
uint32_t gnu_hash(const char* name) {
  uint32_t h = 5381;
  for (const unsigned char* p = (const unsigned char*)name; *p != '\0'; ++p) h = h * 33 + *p;
  return h;
}

// The loader rewrites the address entries of a writable dynamic section to
// run-time addresses; a read-only one (some linkers') keeps the link-time
// offsets.
ElfW(Addr) dyn_address(const link_map* m, ElfW(Addr) v) {
  return v < m->l_addr ? v + m->l_addr : v;
}

bool read_tables(const link_map* m, next_object* t) {
  *t = {m->l_addr, nullptr, nullptr, nullptr, nullptr};
  if (m->l_ld == nullptr) return false;
  for (const ElfW(Dyn)* d = m->l_ld; d->d_tag != DT_NULL; ++d) {
    const ElfW(Addr) a = dyn_address(m, d->d_un.d_ptr);
    switch (d->d_tag) {
      case DT_SYMTAB:
        t->symtab = reinterpret_cast<const ElfW(Sym)*>(a);
        break;
      case DT_STRTAB:
        t->strtab = reinterpret_cast<const char*>(a);
        break;
      case DT_GNU_HASH:
        t->hash = reinterpret_cast<const uint32_t*>(a);
        break;
      case DT_VERSYM:
        t->versym = reinterpret_cast<const ElfW(Half)*>(a);
        break;
      default:
        break;
    }
  }
  return t->symtab != nullptr && t->strtab != nullptr && t->hash != nullptr;
}

// The C library's object, named by its soname in any directory.
bool is_c_library(const link_map* m) {
  const char* name = m->l_name;
  if (name == nullptr) return false;
  const char* last = name;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/') last = p + 1;
  }
  return text_equal(last, "libc.so.6");
}

// A definition dlsym would return as it stands: a function (or untyped
// symbol) with an address in the object, bound globally or weakly.
find_result plain_definition(const ElfW(Sym) * s) {
  const unsigned type = ELF64_ST_TYPE(s->st_info);
  const unsigned bind = ELF64_ST_BIND(s->st_info);
  if (s->st_shndx == SHN_UNDEF || s->st_shndx == SHN_ABS || s->st_value == 0) return UNSURE;
  if (type != STT_FUNC && type != STT_NOTYPE) return UNSURE;  // an IFUNC runs its resolver
  if (bind != STB_GLOBAL && bind != STB_WEAK) return UNSURE;  // STB_GNU_UNIQUE
  return FOUND;
}

ZYG_HOT_CODE find_result take(const next_object& t, const ElfW(Sym) * s, void** out) {
  const find_result r = plain_definition(s);
  if (r == FOUND) *out = reinterpret_cast<void*>(t.base + s->st_value);
  return r;
}

// The name in one object, by the loader's rules for a lookup without a
// version: an unversioned definition at once; otherwise the one definition
// whose version is not hidden (the default, name@@VERSION).
find_result find_in(const next_object& t, const char* name, uint32_t h, void** out) {
  const uint32_t nbuckets = t.hash[0];
  const uint32_t symoffset = t.hash[1];
  const uint32_t bloom_size = t.hash[2];
  const uint32_t bloom_shift = t.hash[3];
  if (nbuckets == 0 || bloom_size == 0) return ABSENT;
  const auto* bloom = reinterpret_cast<const ElfW(Addr)*>(t.hash + 4);
  const auto* buckets = reinterpret_cast<const uint32_t*>(bloom + bloom_size);
  const uint32_t* chain = buckets + nbuckets;
  constexpr unsigned kBits = sizeof(ElfW(Addr)) * 8;
  const ElfW(Addr) word = bloom[(h / kBits) & (bloom_size - 1)];
  const ElfW(Addr) bits =
      ((ElfW(Addr))1 << (h % kBits)) | ((ElfW(Addr))1 << ((h >> bloom_shift) % kBits));
  if ((word & bits) != bits) return ABSENT;
  uint32_t i = buckets[h % nbuckets];
  if (i < symoffset) return ABSENT;
  const ElfW(Sym)* versioned = nullptr;
  int versions = 0;
  for (;; ++i) {
    const uint32_t ch = chain[i - symoffset];
    const ElfW(Sym)* s = &t.symtab[i];
    if (((ch ^ h) >> 1) == 0 && text_equal(name, t.strtab + s->st_name)) {
      const ElfW(Half) v = t.versym != nullptr ? t.versym[i] : 0;
      if ((v & 0x7fff) < 2) return take(t, s, out);
      if ((v & 0x8000) == 0 && versions++ == 0) versioned = s;
    }
    if ((ch & 1) != 0) break;
  }
  if (versions == 0) return ABSENT;
  if (versions > 1) return UNSURE;
  return take(t, versioned, out);
}

// An auditor may rebind what dlsym returns, and LD_DYNAMIC_WEAK (with any
// value, even none) makes the loader pass over weak definitions: dlsym's
// answer alone is right then. The loader read both from this environment
// before any code of ours ran; one pass finds either.
bool may_walk() {
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (env_entry_value(*e, "LD_DYNAMIC_WEAK") != nullptr) return false;
    const char* audit = env_entry_value(*e, "LD_AUDIT");
    if (audit != nullptr && *audit != '\0') return false;
  }
  return true;
}

}  // namespace

ZYG_HOT_CODE void next_objects_init(next_objects* o, const void* self) {
  o->count = -1;
  if (!may_walk()) return;
  dl_find_object found;
  if (_dl_find_object(const_cast<void*>(self), &found) != 0 || found.dlfo_link_map == nullptr) {
    return;
  }
  // The vDSO is chained but not searched.
  const ElfW(Addr) vdso = (ElfW(Addr))getauxval(AT_SYSINFO_EHDR);
  int n = 0;
  for (const link_map* m = found.dlfo_link_map->l_next; m != nullptr; m = m->l_next) {
    if (vdso != 0 && m->l_addr == vdso) continue;
    if (n == kMaxNextObjects || !read_tables(m, &o->obj[n])) return;
    ++n;
    if (is_c_library(m)) {
      o->count = n;
      return;
    }
  }
}

ZYG_HOT_CODE void* next_symbol(const next_objects& o, const char* name) {
  const uint32_t h = gnu_hash(name);
  for (int k = 0; k < o.count; ++k) {
    void* p = nullptr;
    switch (find_in(o.obj[k], name, h, &p)) {
      case FOUND:
        return p;
      case UNSURE:
        return nullptr;
      case ABSENT:
        break;
    }
  }
  return nullptr;
}

}  // namespace zyg
