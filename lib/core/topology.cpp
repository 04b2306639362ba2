// Placeholder bodies, replaced by the real implementation.
#include "core/topology.h"

namespace zyg {

bitmask* all_nodes_mask;
bitmask** node_cpu_cache;
bitmask* initial_node_mask;
bitmask* initial_cpu_mask;
bitmask* mask_alloc(unsigned) { return nullptr; }
int mask_isbitset(const bitmask*, unsigned) { return 0; }
void mask_setbit(bitmask*, unsigned) {}
void mask_clearall(bitmask*) {}
unsigned mask_weight(const bitmask*) { return 0; }
void record_topology_counts() {}
int build_node_cpu_cache() { return -1; }
int build_initial_cpu_mask() { return -1; }
void setup_initial_launch_nodes() {}
void build_l_nodes(const char*) {}
bitmask* node_cpus(int) { return nullptr; }
void get_launch_nodes(bitmask*) {}
int get_launch_node() { return -1; }
int get_launch_cpu() { return -1; }
void format_node_list(const bitmask*, char* t, size_t) { t[0] = 0; }
void reset_initial_launch_nodes() {}
}  // namespace zyg
