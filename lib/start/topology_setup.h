// topology_setup.h - the topology part of start-up: the counts the first
// process records in the launch data, this image's node/CPU cache, the
// initial launch nodes and the l_nodes table. Failures are terminating in
// the first process and disable launching in an exec'd one.
#pragma once

namespace zyg {

struct l3_units;

// First process: records config/possible node and CPU counts in the header
// and refuses more than 256 CPUs per node on average (terminating).
void record_topology_counts();

// Fills all_nodes_mask and node_cpu_cache; in an exec'd process also the
// initial masks from the header's launch_nodes. 0, or -1 after a failure.
int build_node_cpu_cache();
int build_initial_cpu_mask();

// First process: fixes the initial launch nodes. With a node list (header
// launch_nodes non-empty) checks it against the run node mask and moves the
// process onto it; without one records the run node mask in launch_nodes.
void setup_initial_launch_nodes();

// First process: builds l_nodes, avail_node_cnt and avail_cpu_cnt from the
// run node mask, reading each node's cpulist from `sysfs_dir`/node%d/cpulist;
// under L3 units from `domains` (prepare_l3_units, start/l3_units.h), which
// it frees.
void build_l_nodes(const char* sysfs_dir, l3_units* domains);

}  // namespace zyg
