// view.h - --topology: this machine as zyg-nox sees it before a launch. The
// nodes with their CPUs and memory (as numactl -H shows them), the distance
// table, the memory-only nodes and the one --memory would pick for each
// node with CPUs, the L3 domains in the order --unit=l3 walks them (what
// likwid-pin -p shows of caches), and what this process's cpuset allows
// (view.cpp reads it; view_write.cpp writes its text and JSON,
// schema/topology-v1.json).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "topology/topology.h"

namespace zr {

struct MachineNode {
  int node_id = -1;
  std::vector<int> cpus;       // every CPU of the node, its cpuset or not
  int64_t memory_bytes = -1;   // MemTotal of its meminfo; -1 unknown
  int64_t free_bytes = -1;     // MemFree
  std::vector<int> distances;  // its row of the kernel's table, by node
  bool memory_only = false;    // memory and no CPUs (HBM in flat mode, CXL)
};

struct MachineView {
  std::vector<MachineNode> nodes;  // every node the kernel shows, by number
  std::vector<int> allowed_cpus;   // this process's Cpus_allowed_list
  std::vector<int> allowed_mems;   // its Mems_allowed_list
  // Under --unit=l3, started here: the domains cut to the allowed CPUs, in
  // the order round robin walks them; empty with `l3_missing` saying why
  // when the CPUs show no level-3 cache.
  std::vector<NodeCpus> l3_domains;
  std::string l3_missing;
  // Each node with allowed CPUs and the memory-only node --memory would pick
  // for its tasks (-1: none allowed here, the modes are refused).
  std::vector<std::pair<int, int>> memory_nodes;
};

// Reads this machine (/sys and /proc/self/status); false with a reason when
// the kernel shows no node.
bool read_machine(MachineView& out, std::string& why);

void write_machine_text(std::ostream& out, const MachineView& m);
void write_machine_json(std::ostream& out, const MachineView& m);

}  // namespace zr
