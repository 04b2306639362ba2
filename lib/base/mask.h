// mask.h - CPU and node masks on libnuma's layout (`struct bitmask`: a size
// in bits and an array of unsigned longs), with the library's own operations.
//
// Allocated like libnuma's own masks (structure and words separately), so
// that numa_bitmask_free can release either kind. Only mask_alloc allocates;
// every other operation is a plain loop, safe anywhere.
#pragma once

#include <stddef.h>

struct bitmask;

namespace zyg {

inline constexpr unsigned kMaskWordBits = 8 * sizeof(unsigned long);
inline size_t mask_words(unsigned long nbits) { return (nbits + kMaskWordBits - 1) / kMaskWordBits; }

bitmask* mask_alloc(unsigned nbits);  // all clear; null for 0 bits or no memory
void mask_free(bitmask* m);           // null is ignored
int mask_isbitset(const bitmask* m, unsigned i);
void mask_setbit(bitmask* m, unsigned i);
void mask_clearall(bitmask* m);
unsigned mask_weight(const bitmask* m);

// Parses the kernel's hexadecimal mask text (comma-separated groups of eight
// digits, most significant first: a node's sysfs cpumap) into m, which is
// cleared first; bits beyond m's size are dropped. 0, or -1 for a text
// that is no such mask.
int mask_parse_hex(bitmask* m, const char* text);

// Set bits as "%u" / ",%u" items; an item that does not fit is skipped.
void format_node_list(const bitmask* m, char* text, size_t size);

}  // namespace zyg
