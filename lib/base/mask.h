// mask.h - CPU and node masks on libnuma's layout (`struct bitmask`: a size
// in bits and an array of unsigned longs), with the library's own operations.
//
// The masks are built at start-up and kept for the life of the image: they
// come from a small static block first (an exec'd program that never
// allocates then pays nothing for the heap's start-up), and from the heap
// when that is full. mask_free releases either kind (never numa_bitmask_free:
// libnuma's own masks are released by libnuma). Only mask_alloc and
// image_alloc allocate; every other operation is a plain loop, safe
// anywhere.
#pragma once

#include <stddef.h>

#include "base/layout.h"

struct bitmask;

namespace zyg {

inline constexpr unsigned kMaskWordBits = 8 * sizeof(unsigned long);
inline size_t mask_words(unsigned long nbits) {
  return (nbits + kMaskWordBits - 1) / kMaskWordBits;
}

bitmask* mask_alloc(unsigned nbits);  // all clear; null for 0 bits or no memory
void mask_free(bitmask* m);           // null is ignored

// Zeroed memory for the life of the image (the node/CPU cache's table, the
// clone_arg pool), from the same static block first; null when out of
// memory. image_free releases it (null and static memory are ignored).
void* image_alloc(size_t bytes);
// The same from the static block alone: null when it has no room left.
void* image_alloc_static(size_t bytes);
void image_free(void* p);
int mask_isbitset(const bitmask* m, unsigned i);
void mask_setbit(bitmask* m, unsigned i);
void mask_clearall(bitmask* m);
unsigned mask_weight(const bitmask* m);
// The lowest set bit at or above `from`, or -1: a loop over a mask's set bits
// visits words, not bits (node masks have room for 1024 nodes where a
// machine has a handful).
int mask_next_set(const bitmask* m, unsigned from);

// Parses the kernel's hexadecimal mask text (comma-separated groups of eight
// digits, most significant first: a node's sysfs cpumap) into m, which is
// cleared first; bits beyond m's size are dropped. 0, or -EINVAL for a
// text that is no such mask.
int mask_parse_hex(bitmask* m, const char* text);

// Set bits as "%u" / ",%u" items; an item that does not fit is skipped.
void format_node_list(const bitmask* m, char* text, size_t size);

}  // namespace zyg
