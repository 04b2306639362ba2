// l3_cache.h - the placement units of --unit, and the L3 cache sets the
// kernel shows per CPU (/sys/devices/system/cpu/cpu<N>/cache/index<K>/, the
// entry whose `level` is 3, its `shared_cpu_list`). Read by the launcher
// (to refuse l3 where the CPUs have no such entry) and by start-up (to build
// the launch's units). Plain reads into the caller's buffers: no allocation.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

inline constexpr const char kSysCpuDir[] = "/sys/devices/system/cpu";

// The values of --unit / ZYG_LAUNCH_UNIT, by the header's unit_kind.
inline constexpr const char* const kUnitNames[] = {"node", "l3"};
inline constexpr int kUnitCount = 2;

// unit_kind of a name, -1 when it is none of kUnitNames.
int unit_kind_of(const char* name);

// A CPU list text ("0-3,8,10-11\n") into `words` (nwords, cleared first; CPUs
// beyond them dropped). 0, or -1 for a text that is no such list.
int parse_cpu_list(const char* text, unsigned long* words, size_t nwords);

// The set bits of `words` as a CPU list with ranges ("0-1,4"), cut short at
// a whole item when `size` is too small.
void format_cpu_list(const unsigned long* words, size_t nwords, char* out, size_t size);

// The L3 set of CPU `cpu` into `set` (cleared first). 0; -1 when the CPU
// has no level-3 cache entry; -2 when an entry could not be read or parsed.
int read_l3_set(const char* cpu_dir, int cpu, unsigned long* set, size_t nwords);

// Calls fn once per distinct L3 set that the CPUs of `cpus` reach, in the
// order of their lowest CPU: each set is read from the lowest CPU not yet
// covered by a set found, so a machine costs one read per cache, not per
// CPU. `set` and `covered` are the caller's scratch (nwords each). 0; else
// read_l3_set's -1 or -2 with *bad_cpu the CPU concerned.
int walk_l3_sets(const char* cpu_dir, const unsigned long* cpus, size_t nwords, unsigned long* set,
                 unsigned long* covered, void (*fn)(const unsigned long* set, void* ctx), void* ctx,
                 int* bad_cpu);

// The order round robin walks the L3 domains in. `node_of` gives each
// domain's NUMA node, the domains by lowest CPU; `order` receives their
// indexes with the nodes taking turns: the first domain of each node, then
// the second of each, and so on, the nodes in the order of their first
// domain (0-7@0 64-71@1 8-15@0 72-79@1 ...). A job with fewer tasks than
// domains then reaches every node's memory bandwidth, as spreading
// runtimes place it, instead of filling the first node's domains before
// the second node sees a task. `keys` is the caller's scratch (cnt ints):
// no allocation, for start-up.
void l3_round_robin_order(const int* node_of, int cnt, int* order, int* keys);

}  // namespace zyg
