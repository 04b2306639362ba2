// l3_cache.cpp - unit names and the L3 cache sets of sysfs.
#include "shared/l3_cache.h"

#include "shared/list_text.h"
#include "shared/read_text.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace zyg {

namespace {

constexpr unsigned kWordBits = 8 * sizeof(unsigned long);
// Far above any CPU number a kernel gives.
constexpr unsigned long kCpuNumberLimit = 1UL << 24;
// More cache entries per CPU than any machine shows (L1d, L1i, L2, L3, L4).
constexpr int kMaxCacheIndex = 32;

bool bit(const unsigned long* w, size_t nwords, unsigned long i) {
  return i / kWordBits < nwords && (w[i / kWordBits] >> (i % kWordBits)) & 1UL;
}

}  // namespace

int unit_kind_of(const char* name) {
  if (name == nullptr) return -1;
  for (int k = 0; k < kUnitCount; ++k)
    if (strcmp(name, kUnitNames[k]) == 0) return k;
  return -1;
}

int parse_cpu_list(const char* text, unsigned long* words, size_t nwords) {
  memset(words, 0, nwords * sizeof(unsigned long));
  const int r = for_each_list_range(text, kCpuNumberLimit, [&](unsigned long lo, unsigned long hi) {
    for (unsigned long c = lo; c <= hi && c / kWordBits < nwords; ++c)
      words[c / kWordBits] |= 1UL << (c % kWordBits);
  });
  return r == 0 ? 0 : -1;
}

void format_cpu_list(const unsigned long* words, size_t nwords, char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  size_t len = 0;
  const unsigned long nbits = nwords * kWordBits;
  for (unsigned long c = 0; c < nbits; ++c) {
    if (!bit(words, nwords, c)) continue;
    unsigned long end = c;
    while (end + 1 < nbits && bit(words, nwords, end + 1)) ++end;
    char item[48];
    int n = end == c ? snprintf(item, sizeof item, "%s%lu", len ? "," : "", c)
                     : snprintf(item, sizeof item, "%s%lu-%lu", len ? "," : "", c, end);
    if (n < 0 || len + (size_t)n + 1 > size) return;
    memcpy(out + len, item, (size_t)n + 1);
    len += (size_t)n;
    c = end;
  }
}

int read_l3_set(const char* cpu_dir, int cpu, unsigned long* set, size_t nwords) {
  char path[320];
  char text[4096];
  for (int k = 0; k < kMaxCacheIndex; ++k) {
    snprintf(path, sizeof path, "%s/cpu%d/cache/index%d/level", cpu_dir, cpu, k);
    long got = read_text(path, text, sizeof text);
    if (got == -1) return -1;  // no more entries: none was of level 3
    if (got < 0) return -2;
    if (strcmp(text, "3\n") != 0 && strcmp(text, "3") != 0) continue;
    snprintf(path, sizeof path, "%s/cpu%d/cache/index%d/shared_cpu_list", cpu_dir, cpu, k);
    got = read_text(path, text, sizeof text);
    if (got < 0 || (size_t)got + 1 >= sizeof text) return -2;
    return parse_cpu_list(text, set, nwords) == 0 ? 0 : -2;
  }
  return -1;
}

int walk_l3_sets(const char* cpu_dir, const unsigned long* cpus, size_t nwords, unsigned long* set,
                 unsigned long* covered, void (*fn)(const unsigned long* set, void* ctx), void* ctx,
                 int* bad_cpu) {
  memset(covered, 0, nwords * sizeof(unsigned long));
  for (size_t w = 0; w < nwords; ++w) {
    for (;;) {
      unsigned long left = cpus[w] & ~covered[w];
      if (left == 0) break;
      int cpu = (int)(w * kWordBits) + __builtin_ctzl(left);
      int rc = read_l3_set(cpu_dir, cpu, set, nwords);
      if (rc != 0) {
        *bad_cpu = cpu;
        return rc;
      }
      // A set that does not name its own CPU still covers it.
      set[w] |= 1UL << (cpu % kWordBits);
      for (size_t v = 0; v < nwords; ++v) covered[v] |= set[v];
      if (fn != nullptr) fn(set, ctx);
    }
  }
  return 0;
}

void l3_round_robin_order(const int* node_of, int cnt, int* order, int* keys) {
  for (int i = 0; i < cnt; ++i) {
    // The domain's rank within its node, and its node's place: the index of
    // the node's first domain.
    int rank = 0, first = i;
    for (int j = 0; j < i; ++j) {
      if (node_of[j] != node_of[i]) continue;
      if (rank++ == 0) first = j;
    }
    keys[i] = rank * cnt + first;
    order[i] = i;
  }
  // Few domains: an insertion sort, stable.
  for (int i = 1; i < cnt; ++i)
    for (int j = i; j > 0 && keys[order[j]] < keys[order[j - 1]]; --j) {
      const int t = order[j];
      order[j] = order[j - 1];
      order[j - 1] = t;
    }
}

}  // namespace zyg
