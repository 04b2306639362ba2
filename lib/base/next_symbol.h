// next_symbol.h - the definition of a name that follows a given object in the
// loader's search order, read from the loaded objects' own symbol tables.
//
// dlsym(RTLD_NEXT) answers the same question, but each call takes the
// loader's lock, finds the caller's object by address and sets up an error
// catcher: about a thousand instructions, paid twenty times by every exec'd
// program at start-up. This lookup takes no lock and calls nothing that
// could (it is usable in a forked child and a signal handler). It answers
// only where the answer is certain: the first object after the caller's,
// up to the C library, that defines the name as a plain function at its
// default version. Anything else (an indirect function, a unique or
// absolute symbol, more than one default version, an object without a GNU
// hash table, an audited or LD_DYNAMIC_WEAK process, a name nobody up to the
// C library defines) is left to dlsym, so a caller always gets dlsym's
// answer and dlsym's failure text.
#pragma once

#include <elf.h>
#include <link.h>

namespace zyg {

// The symbol tables of one loaded object.
struct next_object {
  ElfW(Addr) base;
  const ElfW(Sym) * symtab;
  const char* strtab;
  const uint32_t* hash;  // DT_GNU_HASH
  const ElfW(Half) * versym;
};

// The objects after one object, up to and including the C library, in
// search order: read once for a series of lookups. Small, as it may live in
// the frame of a thread with a tiny stack.
constexpr int kMaxNextObjects = 8;
struct next_objects {
  next_object obj[kMaxNextObjects];
  int count;  // -1: this lookup cannot answer for that object (dlsym then)
};

// The objects after the one that contains `self` (an address of the
// caller's own code).
void next_objects_init(next_objects* o, const void* self);

// The address of the first definition of name among them, or null when this
// lookup cannot be sure of it (ask dlsym then).
void* next_symbol(const next_objects& o, const char* name);

}  // namespace zyg
