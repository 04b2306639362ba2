// plan.h - --plan: where the tasks of a program of a given shape would land,
// worked out by the preload library's own policy functions on counter
// tables in this program's memory. Nothing is run or bound.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "topology/topology.h"

namespace zr {

struct PlanRequest {
  std::string proc_policy = "none";
  std::string thrd_policy = "none";
  std::string nodes;  // launch node list; empty: every node given
  bool cpu_launch = false;
  int children = 3;
  int threads = 2;  // threads each process creates besides its main thread
  std::vector<NodeCpus> topology;
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
  std::vector<NodeCpus> units;  // under --unit=l3: each L3 domain, in round-robin order
  std::vector<PlannedTask> tasks;
  // Under a memory mode other than local: each launch node with the
  // memory-only node its tasks take memory from (-1: none, local memory).
  std::vector<std::pair<int, int>> memory_nodes;
};

// Works the plan out; false with a reason for a refused combination.
bool make_plan(const PlanRequest& req, Plan& plan, std::string& why);

void write_plan_text(std::ostream& out, const Plan& plan);
void write_plan_json(std::ostream& out, const Plan& plan);

}  // namespace zr
