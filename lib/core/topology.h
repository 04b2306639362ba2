// topology.h - this image's cache of the NUMA topology, and where the calling
// thread may run now.
//
// Every image keeps its own copy of each configured node's CPU mask and of
// the initial launch node/CPU masks (start-up builds them, start/topology_setup.h;
// afterwards they are only read). The queries here return an error instead
// of reporting it: the callers decide whether a failure is fatal, disables
// launching or is ignored.
#pragma once

#include <stddef.h>

struct bitmask;

namespace zyg {

inline constexpr const char kSysNodeDir[] = "/sys/devices/system/node";

// Per-process masks.
extern bitmask* all_nodes_mask;     // copy of numa_all_nodes_ptr
extern bitmask** node_cpu_cache;    // node_cpu_cache_cnt entries, possible_cpu_cnt bits each
extern int node_cpu_cache_cnt;      // entries of node_cpu_cache (this image's own copy of N)
extern bitmask* initial_node_mask;  // the initial launch nodes
extern bitmask* initial_cpu_mask;   // union of their CPUs

bitmask* node_cpus(int node);  // null when out of range or missing

// Under L3 units (--unit=l3) the CPUs of each l_nodes entry, built from
// l_nodes by every image; null and 0 under node units.
extern bitmask** unit_cpu_cache;
extern int unit_cpu_cache_cnt;
bitmask* unit_cpus(int unit);  // null when out of range or missing

// The l_nodes entry the calling thread runs in under L3 units: the first
// whose CPUs its affinity reaches (-1 when none). 0, or the errno value of
// reading the affinity.
int scan_launch_unit(int* unit);

// An exec'd image takes the entries of the launch's nodes from the launch
// data and reads no node's file at start-up. The other nodes' entries are
// read only when a thread's affinity reaches CPUs outside the entries read
// so far (a program that widened its own affinity beyond the launch).
extern bitmask* node_cpu_pending;  // nodes whose entry is not read yet; null when none
extern bitmask* node_cpu_known;    // the CPUs of the entries read so far

// A node's CPUs from sysfs (`dir`/node<node>/cpumap) into out, cleared
// first. 0; -1 when the node has no such file (a gap in the node numbers),
// -2 when it cannot be read or parsed (errno tells why, EINVAL for a bad
// text). Raw reads into a temporary mapping: usable anywhere.
int read_node_cpumap(const char* dir, int node, bitmask* out);

// The calling thread's launch nodes (the nodes with at least one CPU of its
// affinity): each goes into `out` when given (out is not cleared here), the
// lowest into *lowest (-1 when there is none). 0, or the errno value of
// reading the affinity.
int scan_launch_nodes(bitmask* out, int* lowest);

// The single CPU of the calling thread's affinity into *cpu (-1 when it may
// run on several). 0, or the errno value of reading the affinity.
int read_launch_cpu(int* cpu);

// Both of the above from one reading of the affinity (a launch log record
// shows both columns); under L3 units also the l_nodes entry whose CPUs hold
// the whole affinity into *unit when unit is given (-1 when the affinity is
// not within one entry, and always under node units).
int scan_launch_nodes_cpu(bitmask* out, int* lowest, int* cpu, int* unit = nullptr);

}  // namespace zyg
