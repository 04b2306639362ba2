// --topology: the L3 domains of a machine in the order --unit=l3 walks them,
// and the text and JSON of a machine as read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "topology/topology.h"
#include "topology/view.h"

using namespace zr;

namespace {

std::vector<std::string> as_text(const std::vector<NodeCpus>& domains) {
  std::vector<std::string> out;
  for (const auto& d : domains) {
    std::string cpus;
    for (int c : d.cpus) {
      if (!cpus.empty()) cpus += ',';
      cpus += std::to_string(c);
    }
    out.push_back(cpus + "@" + std::to_string(d.node_id));
  }
  return out;
}

// Each set cut to one node, the nodes taking turns; a set given twice is one
// domain, and a set over two nodes (sub-NUMA clustering) is one per node.
TEST(L3Domains, CutToNodesInRoundRobinOrder) {
  const std::vector<NodeCpus> nodes = {{0, {0, 1, 2, 3}}, {1, {4, 5, 6}}};
  EXPECT_EQ(as_text(l3_domains(nodes, {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 1}})),
            (std::vector<std::string>{"0,1@0", "4,5@1", "2,3@0", "6@1"}));
  EXPECT_EQ(as_text(l3_domains(nodes, {{0, 1, 2, 3, 4, 5, 6, 7}})),
            (std::vector<std::string>{"0,1,2,3@0", "4,5,6@1"}));
}

// The hbm machine: two nodes with CPUs, two memory-only ones near them.
MachineView hbm() {
  MachineView m;
  m.nodes = {{0, {0, 1, 2, 3}, 384 << 20, 300 << 20, {10, 21, 13, 31}, false},
             {1, {4, 5, 6, 7}, 384 << 20, 300 << 20, {21, 10, 31, 13}, false},
             {2, {}, 256 << 20, 250 << 20, {13, 31, 10, 41}, true},
             {3, {}, -1, -1, {31, 13, 41, 10}, true}};
  m.allowed_cpus = {0, 1, 2, 3, 4, 5, 6, 7};
  m.allowed_mems = {0, 1, 2, 3};
  m.l3_missing = "no level-3 cache information for CPU 0";
  m.memory_nodes = {{0, 2}, {1, 3}};
  return m;
}

TEST(MachineText, NodesDistancesAndWhatALaunchWouldUse) {
  std::ostringstream out;
  write_machine_text(out, hbm());
  const std::string t = out.str();
  EXPECT_NE(t.find("  2     -                   256.0 MiB    250.0 MiB  memory only\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("  3     -                           ?            ?  memory only\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("  node    0    1    2    3\n    0:   10   21   13   31\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("\n--unit=l3: refused here: no level-3 cache information for CPU 0\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("\n  node 0 -> 2, node 1 -> 3\n"), std::string::npos) << t;
}

TEST(MachineJson, HasEveryPartWithNullsForTheUnknown) {
  MachineView m = hbm();
  m.l3_domains = {{0, {0, 1}}, {1, {4, 5}}};
  m.memory_nodes = {{0, 2}, {1, -1}};
  std::ostringstream out;
  write_machine_json(out, m);
  const auto j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["format"], "zyg-nox-report-topology");
  EXPECT_EQ(j["nodes"][3]["memory_bytes"], nullptr);
  EXPECT_EQ(j["nodes"][2]["memory_only"], true);
  EXPECT_EQ(j["l3_domains"][1], nlohmann::json({{"cpus", {4, 5}}, {"node", 1}}));
  EXPECT_EQ(j["l3_missing"], nullptr);
  EXPECT_EQ(j["memory_nodes"][1]["memory_node"], nullptr);
}

}  // namespace
