#include "base/mask.h"

#include <errno.h>
#include <numa.h>  // struct bitmask
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/layout.h"

namespace zyg {

namespace {

// A few hundred bytes of masks on most machines (a mask per node of the
// possible CPUs, a few node masks) and the clone_arg pool (three records per
// CPU); a machine with more nodes or CPUs than fit goes on to the heap. Only
// the pages used are ever touched. Cold data (mask.h), so that its used
// start follows the small variables instead of parting them; the other cold
// buffers come after it.
constexpr size_t kStaticBytes = 16384;
alignas(16) ZYG_COLD_DATA unsigned char static_block[kStaticBytes];
size_t static_used;

ZYG_HOT_CODE void* take_static(size_t bytes) {
  bytes = (bytes + 15) & ~(size_t)15;
  size_t at = __atomic_fetch_add(&static_used, bytes, __ATOMIC_RELAXED);
  if (at > kStaticBytes || bytes > kStaticBytes - at) return nullptr;
  return static_block + at;  // zero: .bss, and never handed out twice
}

bool is_static(const void* p) {
  const unsigned char* c = static_cast<const unsigned char*>(p);
  return c >= static_block && c < static_block + kStaticBytes;
}

}  // namespace

ZYG_HOT_CODE void* image_alloc(size_t bytes) {
  if (bytes == 0) return nullptr;
  void* p = take_static(bytes);
  return p != nullptr ? p : calloc(1, bytes);
}

void* image_alloc_static(size_t bytes) { return bytes == 0 ? nullptr : take_static(bytes); }

ZYG_HOT_CODE void image_free(void* p) {
  if (p != nullptr && !is_static(p)) free(p);
}

ZYG_HOT_CODE bitmask* mask_alloc(unsigned nbits) {
  if (nbits == 0) return nullptr;
  const size_t words = mask_words(nbits) * sizeof(unsigned long);
  // The structure and its words together: one block, released as one.
  auto* m = static_cast<bitmask*>(image_alloc(sizeof(bitmask) + words));
  if (!m) return nullptr;
  m->maskp = reinterpret_cast<unsigned long*>(m + 1);
  m->size = nbits;
  return m;
}

ZYG_HOT_CODE void mask_free(bitmask* m) { image_free(m); }

int mask_parse_hex(bitmask* m, const char* text) {
  if (!m) return -EINVAL;
  mask_clearall(m);
  size_t end = strlen(text);
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ')) end--;
  if (end == 0) return -EINVAL;
  // Digits counted from the right give the bit positions; commas only
  // separate the groups.
  unsigned digit = 0;
  for (size_t i = end; i-- > 0;) {
    char c = text[i];
    if (c == ',') continue;
    unsigned v;
    if (c >= '0' && c <= '9')
      v = (unsigned)(c - '0');
    else if (c >= 'a' && c <= 'f')
      v = (unsigned)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      v = (unsigned)(c - 'A' + 10);
    else
      return -EINVAL;
    for (unsigned b = 0; b < 4; b++)
      if (v & (1U << b)) mask_setbit(m, digit * 4 + b);
    digit++;
  }
  return 0;
}

ZYG_HOT_CODE int mask_isbitset(const bitmask* m, unsigned i) {
  if (!m || i >= m->size) return 0;
  return (m->maskp[i / kMaskWordBits] >> (i % kMaskWordBits)) & 1UL ? 1 : 0;
}

ZYG_HOT_CODE void mask_setbit(bitmask* m, unsigned i) {
  if (!m || i >= m->size) return;
  m->maskp[i / kMaskWordBits] |= 1UL << (i % kMaskWordBits);
}

ZYG_HOT_CODE void mask_clearall(bitmask* m) {
  if (!m) return;
  memset(m->maskp, 0, mask_words(m->size) * sizeof(unsigned long));
}

unsigned mask_weight(const bitmask* m) {
  if (!m) return 0;
  unsigned n = 0;
  size_t words = mask_words(m->size);
  for (size_t w = 0; w < words; w++) {
    unsigned long v = m->maskp[w];
    if (w == words - 1 && m->size % kMaskWordBits) v &= (1UL << (m->size % kMaskWordBits)) - 1;
    n += (unsigned)__builtin_popcountl(v);
  }
  return n;
}

ZYG_HOT_CODE int mask_next_set(const bitmask* m, unsigned from) {
  if (!m || from >= m->size) return -1;
  const size_t words = mask_words(m->size);
  size_t w = from / kMaskWordBits;
  unsigned long v = m->maskp[w] & (~0UL << (from % kMaskWordBits));
  while (v == 0) {
    if (++w == words) return -1;
    v = m->maskp[w];
  }
  const unsigned long bit = w * kMaskWordBits + (unsigned)__builtin_ctzl(v);
  return bit < m->size ? (int)bit : -1;
}

ZYG_HOT_CODE void format_node_list(const bitmask* m, char* text, size_t size) {
  if (size == 0) return;
  text[0] = 0;
  if (!m) return;
  size_t len = 0;
  for (int i = mask_next_set(m, 0); i >= 0; i = mask_next_set(m, (unsigned)i + 1)) {
    char item[16];
    int n = snprintf(item, sizeof item, len ? ",%d" : "%d", i);
    if (n < 0 || len + (size_t)n >= size) continue;  // does not fit: leave it out
    memcpy(text + len, item, (size_t)n + 1);
    len += (size_t)n;
  }
}

}  // namespace zyg
