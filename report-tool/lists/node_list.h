// node_list.h - node lists as the launcher accepts them ("0-3", "1,3,6-8",
// "!2", "all"), which the banner repeats and --plan takes, and the text of
// each launch node's memory node.
#pragma once

#include <string>
#include <vector>

namespace zr {

// Expands a node list against config_node_cnt nodes; false when the text
// cannot be read.
bool expand_node_list(const std::string& text, int config_node_cnt, std::vector<int>& nodes);

// Each launch node's memory node as the text outputs show it: "node 0 -> 2,
// node 1 -> local". `nodes` holds (node, memory node) pairs, -1 for none.
template <class Pairs>
std::string memory_nodes_text(const Pairs& nodes) {
  std::string out;
  for (const auto& [node, mem] : nodes)
    out += (out.empty() ? "node " : ", node ") + std::to_string(node) + " -> " +
           (mem < 0 ? std::string("local") : std::to_string(mem));
  return out;
}

}  // namespace zr
