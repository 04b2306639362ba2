// The L3 domains of a set of nodes, as start-up builds them for --unit=l3.
#include <algorithm>

#include "shared/l3_cache.h"
#include "topology/topology.h"

namespace zr {

std::vector<NodeCpus> l3_domains(const std::vector<NodeCpus>& nodes,
                                 const std::vector<std::vector<int>>& sets) {
  std::vector<NodeCpus> units;
  for (const auto& set : sets) {
    for (const auto& n : nodes) {
      NodeCpus u{n.node_id, {}};
      for (int c : n.cpus)
        if (std::find(set.begin(), set.end(), c) != set.end()) u.cpus.push_back(c);
      if (!u.cpus.empty()) units.push_back(u);
    }
  }
  std::sort(units.begin(), units.end(),
            [](const NodeCpus& a, const NodeCpus& b) { return a.cpus.front() < b.cpus.front(); });
  units.erase(std::unique(units.begin(), units.end(),
                          [](const NodeCpus& a, const NodeCpus& b) { return a.cpus == b.cpus; }),
              units.end());
  // By lowest CPU, then in the order round robin walks them: the library's
  // own rule (shared/l3_cache.h), so that a plan and this view show the
  // order a launch uses.
  const int cnt = static_cast<int>(units.size());
  std::vector<int> node_of(cnt), order(cnt), keys(cnt);
  for (int i = 0; i < cnt; ++i) node_of[i] = units[i].node_id;
  zyg::l3_round_robin_order(node_of.data(), cnt, order.data(), keys.data());
  std::vector<NodeCpus> ordered;
  for (int i : order) ordered.push_back(units[i]);
  return ordered;
}

}  // namespace zr
