// This machine's topology, from /sys and /proc/self/status.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/ldata.h"
#include "lists/cpu_list.h"
#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"
#include "topology/topology.h"

namespace zr {

bool read_topology(std::vector<NodeCpus>& out, std::string& why) {
  out.clear();
  DIR* d = opendir("/sys/devices/system/node");
  if (!d) {
    why = "cannot read /sys/devices/system/node";
    return false;
  }
  while (dirent* e = readdir(d)) {
    int node;
    char extra;
    if (std::sscanf(e->d_name, "node%d%c", &node, &extra) != 1) continue;
    std::ifstream in(std::string("/sys/devices/system/node/") + e->d_name + "/cpulist");
    std::string list;
    std::getline(in, list);
    NodeCpus n{node, {}};
    if (parse_cpulist(list, n.cpus) && !n.cpus.empty() &&
        n.cpus.size() <= static_cast<std::size_t>(zyg::kMaxCpusPerNode))
      out.push_back(n);
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const NodeCpus& a, const NodeCpus& b) { return a.node_id < b.node_id; });
  if (out.empty()) {
    why = "no node with CPUs under /sys/devices/system/node";
    return false;
  }
  return true;
}

namespace {
struct SetsFound {
  std::vector<std::vector<int>>* out;
  std::size_t words;
};
void keep_set(const unsigned long* set, void* ctx) {
  auto* f = static_cast<SetsFound*>(ctx);
  std::vector<int> cpus;
  for (std::size_t w = 0; w < f->words; ++w)
    for (unsigned b = 0; b < 8 * sizeof(unsigned long); ++b)
      if ((set[w] >> b) & 1UL) cpus.push_back(static_cast<int>(w * 8 * sizeof(unsigned long) + b));
  f->out->push_back(cpus);
}
}  // namespace

bool read_l3_sets(const std::vector<NodeCpus>& topology, std::vector<std::vector<int>>& out,
                  std::string& why) {
  out.clear();
  int top = 0;
  for (const auto& n : topology)
    for (int c : n.cpus) top = std::max(top, c + 1);
  const std::size_t words = (static_cast<std::size_t>(top) + 63) / 64;
  std::vector<unsigned long> cpus(words), set(words), covered(words);
  for (const auto& n : topology)
    for (int c : n.cpus) cpus[c / 64] |= 1UL << (c % 64);
  SetsFound f{&out, words};
  int bad = -1;
  if (zyg::walk_l3_sets(zyg::kSysCpuDir, cpus.data(), words, set.data(), covered.data(), keep_set,
                        &f, &bad) != 0) {
    why = "no level-3 cache information for CPU " + std::to_string(bad);
    return false;
  }
  return true;
}

namespace {

std::string first_line_of(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A node list of the kernel into bits by node number.
bool node_bits(const std::string& text, std::vector<bool>& bits) {
  bool b[zyg::kMaxTierNodes];
  if (zyg::parse_node_bits(text.c_str(), b, zyg::kMaxTierNodes) != 0) return false;
  bits.assign(b, b + zyg::kMaxTierNodes);
  return true;
}

// "Mems_allowed_list:\t0-3" of /proc/self/status; every node when absent.
std::string mems_allowed_list() {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = "Mems_allowed_list:";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) {
      std::size_t at = line.find_first_not_of(" \t", key.size());
      return at == std::string::npos ? "" : line.substr(at);
    }
  return "0-" + std::to_string(zyg::kMaxTierNodes - 1);
}

}  // namespace

// Each launch node's memory node by the library's own rule.
std::vector<std::pair<int, int>> memory_nodes_of(const MemoryTiers& t,
                                                 const std::vector<int>& launch) {
  std::vector<std::pair<int, int>> out;
  const int cnt = static_cast<int>(t.usable.size());
  std::vector<int> row(cnt, 0);
  std::unique_ptr<bool[]> usable(new bool[cnt]);
  for (int n = 0; n < cnt; ++n) usable[n] = t.usable[n];
  for (int node : launch) {
    const std::vector<int>* d =
        node >= 0 && node < static_cast<int>(t.distances.size()) ? &t.distances[node] : nullptr;
    for (int n = 0; n < cnt; ++n) row[n] = d && n < static_cast<int>(d->size()) ? (*d)[n] : 0;
    out.push_back({node, zyg::nearest_memonly(row.data(), usable.get(), cnt)});
  }
  return out;
}

bool read_memory_tiers(MemoryTiers& out, std::string& why) {
  const std::string dir = "/sys/devices/system/node/";
  std::vector<bool> memory, cpu, allowed;
  if (!node_bits(first_line_of(dir + "has_memory"), memory) ||
      !node_bits(first_line_of(dir + "has_cpu"), cpu) || !node_bits(mems_allowed_list(), allowed)) {
    why = "cannot read the memory nodes under " + dir;
    return false;
  }
  out.usable.assign(zyg::kMaxTierNodes, false);
  out.distances.assign(zyg::kMaxTierNodes, {});
  bool any = false;
  for (int n = 0; n < zyg::kMaxTierNodes; ++n) {
    out.usable[n] = memory[n] && !cpu[n] && allowed[n];
    any = any || out.usable[n];
    if (!memory[n] && !cpu[n]) continue;
    std::istringstream row(first_line_of(dir + "node" + std::to_string(n) + "/distance"));
    for (int d; row >> d;) out.distances[n].push_back(d);
  }
  if (!any) {
    why = "no memory-only node on this machine or in its cpuset (a node with memory and no CPUs)";
    return false;
  }
  return true;
}

}  // namespace zr
