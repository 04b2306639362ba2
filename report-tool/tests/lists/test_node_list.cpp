// Node lists as the launcher accepts them, expanded against a node count.
#include <gtest/gtest.h>

#include "lists/node_list.h"

using namespace zr;

namespace {

struct NodeListCase {
  const char* name;
  std::string text;
  int config;
  bool ok;
  std::vector<int> nodes;
};

class NodeList : public ::testing::TestWithParam<NodeListCase> {};

TEST_P(NodeList, Expands) {
  const auto& c = GetParam();
  std::vector<int> nodes;
  EXPECT_EQ(expand_node_list(c.text, c.config, nodes), c.ok);
  if (c.ok) {
    EXPECT_EQ(nodes, c.nodes);
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, NodeList,
                         ::testing::Values(NodeListCase{"single", "0", 1, true, {0}},
                                           NodeListCase{"range", "0-3", 4, true, {0, 1, 2, 3}},
                                           NodeListCase{"mixed", "1,3,6-7", 8, true, {1, 3, 6, 7}},
                                           NodeListCase{"inverted_only", "!2", 4, true, {0, 1, 3}},
                                           NodeListCase{
                                               "range_less_one", "0-3,!1", 4, true, {0, 2, 3}},
                                           NodeListCase{"all", "all", 2, true, {0, 1}},
                                           NodeListCase{"beyond_config", "5", 4, false, {}},
                                           NodeListCase{"reversed_range", "3-1", 4, false, {}},
                                           NodeListCase{"empty", "", 4, false, {}},
                                           NodeListCase{"words", "zero", 4, false, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
