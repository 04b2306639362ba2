// --topology: this machine read from /sys and /proc/self/status, with the
// library's own rules for what a launch would make of it.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "lists/cpu_list.h"
#include "shared/memory_tiers.h"
#include "topology/view.h"

namespace zr {

namespace {

const char kNodeDir[] = "/sys/devices/system/node/";

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// "Node 0 MemTotal:   123 kB" lines of a node's meminfo.
void read_meminfo(MachineNode& n) {
  std::ifstream in(kNodeDir + ("node" + std::to_string(n.node_id)) + "/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    char key[64];
    long long kb;
    int node;
    if (std::sscanf(line.c_str(), "Node %d %63[^:]: %lld", &node, key, &kb) != 3) continue;
    if (std::string(key) == "MemTotal") n.memory_bytes = kb * 1024;
    if (std::string(key) == "MemFree") n.free_bytes = kb * 1024;
  }
}

// The node numbers of a kernel node list, as flags by number.
std::vector<bool> node_flags(const std::string& text) {
  std::unique_ptr<bool[]> bits(new bool[zyg::kMaxTierNodes]);
  if (zyg::parse_node_bits(text.c_str(), bits.get(), zyg::kMaxTierNodes) != 0) return {};
  return std::vector<bool>(bits.get(), bits.get() + zyg::kMaxTierNodes);
}

bool flag(const std::vector<bool>& f, int n) {
  return n >= 0 && n < static_cast<int>(f.size()) && f[n];
}

// Every node directory, by number, with its CPUs, memory and distances.
std::vector<MachineNode> read_nodes() {
  std::vector<MachineNode> nodes;
  DIR* d = opendir(kNodeDir);
  if (!d) return nodes;
  while (dirent* e = readdir(d)) {
    MachineNode n;
    char extra;
    if (std::sscanf(e->d_name, "node%d%c", &n.node_id, &extra) != 1) continue;
    const std::string dir = kNodeDir + std::string(e->d_name) + "/";
    n.cpus = parse_cpu_list(first_line(dir + "cpulist"));
    std::istringstream row(first_line(dir + "distance"));
    for (int v; row >> v;) n.distances.push_back(v);
    read_meminfo(n);
    nodes.push_back(n);
  }
  closedir(d);
  std::sort(nodes.begin(), nodes.end(),
            [](const MachineNode& a, const MachineNode& b) { return a.node_id < b.node_id; });
  const std::vector<bool> memory = node_flags(first_line(std::string(kNodeDir) + "has_memory"));
  const std::vector<bool> cpu = node_flags(first_line(std::string(kNodeDir) + "has_cpu"));
  for (auto& n : nodes) n.memory_only = flag(memory, n.node_id) && !flag(cpu, n.node_id);
  return nodes;
}

// A "Key:\tlist" line of /proc/self/status.
std::vector<int> status_list(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      const std::size_t at = line.find_first_not_of(" \t", key.size() + 1);
      return at == std::string::npos ? std::vector<int>() : parse_cpu_list(line.substr(at));
    }
  return {};
}

// The nodes with CPUs, cut to the allowed CPUs (a launch started here).
std::vector<NodeCpus> launch_nodes_of(const MachineView& m) {
  std::vector<NodeCpus> out;
  for (const auto& n : m.nodes) {
    NodeCpus c{n.node_id, {}};
    for (int cpu : n.cpus)
      if (std::binary_search(m.allowed_cpus.begin(), m.allowed_cpus.end(), cpu))
        c.cpus.push_back(cpu);
    if (!c.cpus.empty()) out.push_back(c);
  }
  return out;
}

// The memory-only node the library's rule picks for each launch node, as
// --plan and start-up pick it; -1 for each when none may be used here.
void pick_memory_nodes(MachineView& m, const std::vector<NodeCpus>& launch) {
  std::vector<int> ids;
  for (const auto& l : launch) ids.push_back(l.node_id);
  MemoryTiers tiers;
  std::string why;
  if (read_memory_tiers(tiers, why)) {
    m.memory_nodes = memory_nodes_of(tiers, ids);
    return;
  }
  for (int id : ids) m.memory_nodes.push_back({id, -1});
}

}  // namespace

bool read_machine(MachineView& m, std::string& why) {
  m = MachineView{};
  m.nodes = read_nodes();
  if (m.nodes.empty()) {
    why = "no node under /sys/devices/system/node";
    return false;
  }
  m.allowed_cpus = status_list("Cpus_allowed_list");
  m.allowed_mems = status_list("Mems_allowed_list");
  const std::vector<NodeCpus> launch = launch_nodes_of(m);
  std::vector<std::vector<int>> sets;
  if (read_l3_sets(launch, sets, m.l3_missing)) m.l3_domains = l3_domains(launch, sets);
  pick_memory_nodes(m, launch);
  return true;
}

}  // namespace zr
