// memory_tiers.cpp - memory modes by name and the nearest memory-only node.
#include "shared/memory_tiers.h"

#include <string.h>

namespace zyg {

int memory_mode_named(const char* name) {
  if (name == nullptr) return -1;
  for (const memory_mode_info& m : kMemoryModes)
    if (strcmp(m.name, name) == 0) return (int)m.mode;
  return -1;
}

const char* memory_mode_name(uint32_t mode) {
  for (const memory_mode_info& m : kMemoryModes)
    if (m.mode == mode) return m.name;
  return nullptr;
}

int nearest_memonly(const int* distances, const bool* usable, int node_cnt) {
  int best = -1;
  bool best_known = false;
  for (int n = 0; n < node_cnt && n < kMaxTierNodes; n++) {
    if (!usable[n]) continue;
    const bool known = distances[n] > 0;
    // Strictly nearer only: among equals the first (lowest) node stays.
    if (best < 0 || (known && (!best_known || distances[n] < distances[best]))) {
      best = n;
      best_known = known;
    }
  }
  return best;
}

namespace {

// A decimal number at *p (advanced past it); -1 when there is none or it is
// out of range.
int read_number(const char** p, int limit) {
  if (**p < '0' || **p > '9') return -1;
  long v = 0;
  while (**p >= '0' && **p <= '9') {
    v = v * 10 + (**p - '0');
    if (v >= limit) return -1;
    ++*p;
  }
  return (int)v;
}

}  // namespace

int parse_node_bits(const char* text, bool* bits, int node_cnt) {
  for (int n = 0; n < node_cnt; n++) bits[n] = false;
  if (text == nullptr) return -1;
  const char* p = text;
  while (*p != '\0' && *p != '\n') {
    int lo = read_number(&p, node_cnt);
    if (lo < 0) return -1;
    int hi = lo;
    if (*p == '-') {
      ++p;
      hi = read_number(&p, node_cnt);
      if (hi < lo) return -1;
    }
    for (int n = lo; n <= hi; n++) bits[n] = true;
    if (*p == ',') {
      ++p;
      if (*p == '\0' || *p == '\n') return -1;
    } else if (*p != '\0' && *p != '\n') {
      return -1;
    }
  }
  return 0;
}

}  // namespace zyg
