// memory_setup.cpp - the nearest memory-only node of each launch unit.
#include "start/memory_setup.h"

#include <stdio.h>

#include "base/file.h"
#include "base/mask.h"
#include "base/os.h"
#include "core/ldata.h"
#include "report/report.h"
#include "shared/memory_tiers.h"
#include "start/numa_lib.h"

namespace zyg {

namespace {

// Only the first process's start-up uses these, in one thread: kept off its
// stack (about 6 KiB together), and out of the pages every image touches.
ZYG_COLD_DATA bool usable[kMaxTierNodes];
ZYG_COLD_DATA bool has_cpu[kMaxTierNodes];
ZYG_COLD_DATA int distances[kMaxTierNodes];
ZYG_COLD_DATA unsigned long allowed[kMaxTierNodes / kMaskWordBits];

// One of the kernel's node lists (has_memory, has_cpu) into bits; false when
// it cannot be read or parsed.
bool read_node_bits(const char* sysfs_dir, const char* name, bool* bits, int cnt) {
  char path[300];
  char text[4096];
  snprintf(path, sizeof path, "%s/%s", sysfs_dir, name);
  long got = read_small_file(path, text, sizeof text - 1);
  if (got < 0) return false;
  text[got] = '\0';
  return parse_node_bits(text, bits, cnt) == 0;
}

// The nodes a memory mode may use: memory and no CPUs (the kernel's
// has_memory and has_cpu), and in the launch's cpuset. How many there are.
int find_memonly(const char* sysfs_dir, int cnt) {
  if (!read_node_bits(sysfs_dir, "has_memory", usable, cnt)) return 0;
  if (!read_node_bits(sysfs_dir, "has_cpu", has_cpu, cnt)) return 0;
  const bool got_allowed = os_get_mems_allowed(allowed, (size_t)cnt) == 0;
  int found = 0;
  for (int n = 0; n < cnt; n++) {
    const bool in_cpuset =
        !got_allowed || ((allowed[n / kMaskWordBits] >> (n % kMaskWordBits)) & 1UL) != 0;
    usable[n] = usable[n] && !has_cpu[n] && in_cpuset;
    if (usable[n]) found++;
  }
  return found;
}

}  // namespace

void record_mem_nodes(const char* sysfs_dir) {
  ldata_hdr* h = ld.hdr;
  if (h == nullptr || ld.mem_nodes == nullptr) return;
  int cnt = ld.b.possible_node_cnt;
  if (cnt > kMaxTierNodes) cnt = kMaxTierNodes;
  if (find_memonly(sysfs_dir, cnt) == 0) {
    char msg[160];
    snprintf(msg, sizeof msg,
             "--memory=%s: no memory-only node on this machine or in its cpuset (a node "
             "with memory and no CPUs)",
             memory_mode_name(h->memory_mode));
    report_fatal_text(msg);
  }
  const numa_fns& numa = numa_lib();
  int32_t* mem = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(h) + h->mem_nodes_offset);
  for (int i = 0; i < ld.b.entry_cnt; i++) mem[i] = -1;
  for (int i = 0; i < ld.b.avail_node_cnt; i++) {
    const int node = ld.l_nodes[i].node_id;
    for (int n = 0; n < cnt; n++) distances[n] = usable[n] ? numa.distance(node, n) : 0;
    mem[i] = nearest_memonly(distances, usable, cnt);
  }
}

}  // namespace zyg
