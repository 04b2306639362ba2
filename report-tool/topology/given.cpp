// Another machine's topology, given as text on the command line.
#include <algorithm>
#include <cstdio>

#include "core/ldata.h"
#include "lists/cpu_list.h"
#include "topology/topology.h"

namespace zr {

bool parse_nodes_cpus(const std::string& text, std::vector<NodeCpus>& out, std::string& why) {
  out.clear();
  // Split at the commas; a word with ':' starts a node, a word without one
  // continues the CPU list of the node before it ("0:0-1,4,1:2-3").
  std::vector<std::pair<int, std::string>> parts;
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = text.find(',', pos);
    std::string word =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    std::size_t colon = word.find(':');
    if (colon != std::string::npos) {
      int node;
      char extra;
      if (std::sscanf(word.substr(0, colon).c_str(), "%d%c", &node, &extra) != 1 || node < 0 ||
          node > 4095) {
        why = "bad node number in \"" + word + "\"";
        return false;
      }
      parts.push_back({node, word.substr(colon + 1)});
    } else if (!parts.empty() && !word.empty()) {
      parts.back().second += "," + word;
    } else {
      why = "\"" + word + "\" is not NODE:CPUS";
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  for (auto& [node, list] : parts) {
    NodeCpus n{node, {}};
    if (!parse_cpulist(list, n.cpus) || n.cpus.empty()) {
      why = "bad CPU list \"" + list + "\" for node " + std::to_string(node);
      return false;
    }
    if (n.cpus.size() > static_cast<std::size_t>(zyg::kMaxCpusPerNode)) {
      why = "node " + std::to_string(node) + " has more than 256 CPUs";
      return false;
    }
    for (const auto& o : out)
      if (o.node_id == node) {
        why = "node " + std::to_string(node) + " given twice";
        return false;
      }
    out.push_back(n);
  }
  std::sort(out.begin(), out.end(),
            [](const NodeCpus& a, const NodeCpus& b) { return a.node_id < b.node_id; });
  return true;
}

bool parse_l3_sets(const std::string& text, std::vector<std::vector<int>>& out, std::string& why) {
  out.clear();
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t slash = text.find('/', pos);
    std::vector<int> cpus;
    if (!parse_cpulist(text.substr(pos, slash == std::string::npos ? slash : slash - pos), cpus) ||
        cpus.empty()) {
      why = "bad L3 set list \"" + text + "\" (cpulists separated by '/')";
      return false;
    }
    out.push_back(cpus);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return true;
}

}  // namespace zr
