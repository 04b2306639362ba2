// topology.h - a machine's NUMA topology as the report tool needs it: its
// nodes with their CPUs, its L3 sets, its memory-only nodes and the
// distances between nodes. This machine's are read from /sys (and the cpuset
// of /proc/self/status); another machine's are given as text.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zr {

// A node and its CPUs, ascending.
struct NodeCpus {
  int node_id;
  std::vector<int> cpus;
};

// What a memory mode other than local needs of a machine: the nodes it may
// use (memory, no CPUs, in the cpuset) and each node's row of distances.
struct MemoryTiers {
  std::vector<bool> usable;                 // by node number
  std::vector<std::vector<int>> distances;  // by node number, then node number
};

// Parses "0:0-1,1:2-3" (node:cpulist, nodes separated by commas, each
// cpulist its own ranges joined by '+' or by further commas before the next
// "N:"); false with a reason when it cannot.
bool parse_nodes_cpus(const std::string& text, std::vector<NodeCpus>& out, std::string& why);
// "0-1/2-3/4-7": L3 sets, each a cpulist, separated by '/'.
bool parse_l3_sets(const std::string& text, std::vector<std::vector<int>>& out, std::string& why);
// This machine's L3 sets over the CPUs of `topology`, from /sys.
bool read_l3_sets(const std::vector<NodeCpus>& topology, std::vector<std::vector<int>>& out,
                  std::string& why);
// This machine's nodes that have CPUs, from /sys.
bool read_topology(std::vector<NodeCpus>& out, std::string& why);

// The L3 domains of `nodes` (their CPUs those the launch may use) as start-up
// builds them for --unit=l3: each L3 set cut to one node, in the order round
// robin walks them, the nodes taking turns (domains.cpp).
std::vector<NodeCpus> l3_domains(const std::vector<NodeCpus>& nodes,
                                 const std::vector<std::vector<int>>& sets);

// This machine's memory-only nodes and distances, from /sys and the cpuset
// of /proc/self/status; false with a reason when none can be used.
bool read_memory_tiers(MemoryTiers& out, std::string& why);
// The memory node a memory mode gives each of the launch nodes, by the
// library's rule (-1: none).
std::vector<std::pair<int, int>> memory_nodes_of(const MemoryTiers& t,
                                                 const std::vector<int>& launch);

}  // namespace zr
