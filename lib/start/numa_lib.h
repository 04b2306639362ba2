// numa_lib.h - libnuma, reached only by the process that needs it.
//
// The library needs nothing but the C library at load time: libnuma's own
// start-up (it reads /proc/self/status twice, lists the node directory and
// reads every node's meminfo) would otherwise run in every program of a
// launched tree, and an exec'd program takes its topology from the launch
// data. The first process of a launch opens libnuma at start-up and calls
// it through this table: its node-list parser gives the texts users see,
// and its view of the topology is what the launch data records.
#pragma once

struct bitmask;

namespace zyg {

struct numa_fns {
  int (*available)();
  bitmask* (*parse_nodestring)(const char*);
  void (*bitmask_free)(bitmask*);
  int (*num_configured_nodes)();
  int (*num_possible_nodes)();
  int (*num_configured_cpus)();
  int (*num_possible_cpus)();
  bitmask* (*get_run_node_mask)();
  int (*node_to_cpus)(int, bitmask*);
  int (*distance)(int, int);  // the kernel's distance table; 0 when unknown
  // libnuma's own variables (the address of each pointer).
  bitmask** all_nodes_ptr;
  bitmask** all_cpus_ptr;
  bitmask** nodes_ptr;
};

// The table, opening libnuma.so.1 on first use. A library that cannot be
// opened or lacks a function, or that did not initialise, is a fatal report
// ("Can't load libnuma.so.1: ...", "libnuma not initialized").
const numa_fns& numa_lib();

}  // namespace zyg
