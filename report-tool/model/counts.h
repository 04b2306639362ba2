// counts.h - the per-node table (the tasks started and placed on each node,
// the most alive there at once, the CPUs used under CPU launch) and, under
// L3 units, the per-domain table. Internal to the model (model/build.cpp).
#pragma once

#include <string>
#include <vector>

#include "model/launch.h"

namespace zr {

// A Node column value that names one node ("2", not "0,1" nor "").
bool single_node(const std::string& node_text);

// A CPU that held more than one task at once.
struct CrowdedCpu {
  int cpu;
  std::string node;
  int peak;
};

// The per-node table: the launch nodes always, single nodes in numeric
// order, then the lists of unbound tasks.  Returns the CPUs that held
// more than one task at once (CPU launch only).
std::vector<CrowdedCpu> count_nodes(Launch& launch);

// The per-domain table under L3 units: each domain of the banner
// ("0-1@0 2-3@0 ..."), and the tasks counted by the domain they started in,
// a main thread by the domain it was placed in at its first thread creation.
void count_domains(Launch& launch);

}  // namespace zr
