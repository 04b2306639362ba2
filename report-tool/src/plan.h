// --plan: where the tasks of a program of a given shape would land, worked
// out by the preload library's own policy functions on counter tables in
// this program's memory.  Nothing is run or bound.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace zr {

struct PlanNode {
  int node_id;
  std::vector<int> cpus;
};

// What a memory mode other than local needs of a machine: the nodes it may
// use (memory, no CPUs, in the cpuset) and each node's row of distances.
struct MemoryTiers {
  std::vector<bool> usable;                 // by node number
  std::vector<std::vector<int>> distances;  // by node number, then node number
};

struct PlanRequest {
  std::string proc_policy = "none";
  std::string thrd_policy = "none";
  std::string nodes;  // launch node list; empty: every node given
  bool cpu_launch = false;
  int children = 3;
  int threads = 2;  // threads each process creates besides its main thread
  std::vector<PlanNode> topology;
  std::string topology_from;  // "this machine" or the --nodes-cpus text
  // --unit: "node", or "l3" with the machine's L3 sets (from --l3-sets, or
  // read from this machine when empty).
  std::string unit = "node";
  std::vector<std::vector<int>> l3_sets;
  std::string memory = "local";  // --memory: a mode of shared/memory_tiers.h
  MemoryTiers tiers;             // read from this machine when memory is not local
};

struct PlannedTask {
  int process;       // 0 for the first process, 1.. for its children
  int thread;        // -1 the process itself, 0 its main thread when placed anew, 1.. threads
  std::string node;  // node number, "launch" when bound to the CPUs of all the
                     // launch nodes, or "inherited" when nothing is chosen
  int cpu;           // -1 when not bound to one CPU
  int unit;          // under --unit=l3 the index in Plan::units, else -1
  std::string how;   // what decided it, e.g. "process policy", "counted where it runs"
};

struct Plan {
  PlanRequest req;
  std::vector<int> launch_nodes;
  std::vector<PlanNode> units;  // under --unit=l3: each L3 domain, by lowest CPU
  std::vector<PlannedTask> tasks;
  // Under a memory mode other than local: each launch node with the
  // memory-only node its tasks take memory from (-1: none, local memory).
  std::vector<std::pair<int, int>> memory_nodes;
};

// Parses "0:0-1,1:2-3" (node:cpulist, nodes separated by commas, each
// cpulist its own ranges joined by '+' or by further commas before the next
// "N:"); false with a reason when it cannot.
bool parse_nodes_cpus(const std::string& text, std::vector<PlanNode>& out, std::string& why);
// Parses a cpulist as the kernel writes it ("0-3,8,10-11").
bool parse_cpulist(const std::string& text, std::vector<int>& cpus);
// "0-1/2-3/4-7": L3 sets, each a cpulist, separated by '/'.
bool parse_l3_sets(const std::string& text, std::vector<std::vector<int>>& out, std::string& why);
// This machine's L3 sets over the CPUs of `topology`, from /sys.
bool read_l3_sets(const std::vector<PlanNode>& topology, std::vector<std::vector<int>>& out,
                  std::string& why);
// This machine's nodes that have CPUs, from /sys.
bool read_topology(std::vector<PlanNode>& out, std::string& why);

// This machine's memory-only nodes and distances, from /sys and the cpuset
// of /proc/self/status; false with a reason when none can be used.
bool read_memory_tiers(MemoryTiers& out, std::string& why);

// Works the plan out; false with a reason for a refused combination.
bool make_plan(const PlanRequest& req, Plan& plan, std::string& why);

void write_plan_text(std::ostream& out, const Plan& plan);
void write_plan_json(std::ostream& out, const Plan& plan);

}  // namespace zr
