// memory_tiers.cpp - memory modes by name and the nearest memory-only node.
#include "shared/memory_tiers.h"

#include "shared/list_text.h"

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

int parse_node_bits(const char* text, bool* bits, int node_cnt) {
  for (int n = 0; n < node_cnt; n++) bits[n] = false;
  const int r =
      for_each_list_range(text, (unsigned long)node_cnt, [&](unsigned long lo, unsigned long hi) {
        for (unsigned long n = lo; n <= hi; n++) bits[n] = true;
      });
  return r == 0 ? 0 : -1;
}

}  // namespace zyg
