// topology.h - NUMA topology, masks and the calling thread's launch node/CPU.
//
// The first process of a launch records the machine's topology and the launch
// nodes (l_nodes) in the launch data; every image keeps its own cache of each
// configured node's CPU mask and of the initial launch node/CPU masks. Masks
// are libnuma's `struct bitmask` (size in bits + 64-bit words), manipulated
// with the library's own operations below. The per-process masks are built
// during launch_init (one thread) and only read afterwards.
#pragma once

#include <stddef.h>

struct bitmask;

namespace zyg {

inline constexpr const char kSysNodeDir[] = "/sys/devices/system/node";

// Mask operations on libnuma's layout.
bitmask* mask_alloc(unsigned nbits);  // all clear; null for 0 bits or no memory
int mask_isbitset(const bitmask* m, unsigned i);
void mask_setbit(bitmask* m, unsigned i);
void mask_clearall(bitmask* m);
unsigned mask_weight(const bitmask* m);

// Per-process masks.
extern bitmask* all_nodes_mask;     // copy of numa_all_nodes_ptr
extern bitmask** node_cpu_cache;    // config_node_cnt entries, possible_cpu_cnt bits each
extern int node_cpu_cache_cnt;      // entries of node_cpu_cache (this image's own copy of N)
extern bitmask* initial_node_mask;  // the initial launch nodes
extern bitmask* initial_cpu_mask;   // union of their CPUs

// First process: records config/possible node and CPU counts in the header
// and refuses more than 256 CPUs per node on average (terminating).
void record_topology_counts();

// Fills all_nodes_mask and node_cpu_cache; in an exec'd process also the
// initial masks from the header's launch_nodes. 0, or -1 after a failure
// (terminating in the first process; in an exec'd process reported and
// launching disabled).
int build_node_cpu_cache();
int build_initial_cpu_mask();

// First process: fixes the initial launch nodes. With a node list (header
// launch_nodes non-empty) checks it against the run node mask and moves the
// process onto it; without one records the run node mask in launch_nodes.
void setup_initial_launch_nodes();

// First process: builds l_nodes, avail_node_cnt and avail_cpu_cnt from the
// run node mask, reading each node's cpulist from `sysfs_dir`/node%d/cpulist.
void build_l_nodes(const char* sysfs_dir);

bitmask* node_cpus(int node);  // null when out of range or missing

// The calling thread's launch nodes (out: possible_node_cnt bits, cleared first).
void get_launch_nodes(bitmask* out);
int get_launch_node();  // lowest of them; possible_node_cnt + 1 when none
int get_launch_cpu();   // the single CPU of the thread's affinity, else -1

// Set bits as "%d" / ",%d" items; an item that does not fit is skipped.
void format_node_list(const bitmask* m, char* text, size_t size);

// Puts the calling thread back on the initial launch nodes (recovering reports).
void reset_initial_launch_nodes();

}  // namespace zyg
