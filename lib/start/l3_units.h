// l3_units.h - the launch's L3 domains as placement units (--unit=l3): an L3
// set of the kernel's cache entries, cut to the launch's CPUs and to one
// NUMA node, so that an entry never spans two nodes and an outer launcher's
// confinement holds. The first process finds them once, before the data file
// exists (their count is the layout's entry count), and hands them on to
// the step that fills l_nodes once the launch CPUs are fixed: the caller
// holds them between the two. Every image builds its own mask per entry
// from l_nodes (unit_cpu_cache, core/topology.h).
#pragma once

struct bitmask;

namespace zyg {

struct l3_units {
  int cnt;
  int cap;
  bitmask** cpus;  // each unit's CPUs, ordered by their lowest CPU
  int* node;       // each unit's NUMA node
};

// The units of `launch` (CPUs) on nodes whose CPUs are node_cpus[0..n_nodes)
// (null entries have none), reading `cpu_dir`/cpu<N>/cache/. 0; -1 when a
// CPU of the launch has no level-3 entry, -2 when one could not be read
// (*bad_cpu names it), -3 when out of memory.
int find_l3_units(const char* cpu_dir, const bitmask* launch, bitmask* const* node_cpus,
                  int n_nodes, l3_units* out, int* bad_cpu);
void free_l3_units(l3_units* u);

// First process, under L3 units, before the data file exists: the units of
// its own CPUs into *out, for build_l3_entries; their count (the layout's
// N). A CPU without level-3 information is a terminating report.
int prepare_l3_units(const char* cpu_dir, l3_units* out);

// First process: l_nodes from `units`, each cut to `launch_cpus` (the
// initial launch CPUs; null: uncut), a unit left without CPUs taking no
// entry, at most the layout's entry count, in the order round robin walks
// them (the nodes in turn, shared/l3_cache.h); avail_node_cnt and
// avail_cpu_cnt; then unit_cpu_cache. Frees the units.
void build_l3_entries(l3_units* units, const bitmask* launch_cpus);

// Any image under L3 units: unit_cpu_cache from l_nodes. 0, or -1 when out
// of memory.
int build_unit_cpu_cache();

}  // namespace zyg
