// The order round robin walks the L3 domains in: the nodes take turns, each
// node's domains by lowest CPU, the nodes in the order of their first domain.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/l3_cache.h"

namespace {

struct order_case {
  const char* name;
  std::vector<int> node_of;  // each domain's node, the domains by lowest CPU
  std::vector<int> want;     // the domains' indexes in round-robin order
};

class RoundRobinOrder : public testing::TestWithParam<order_case> {};

TEST_P(RoundRobinOrder, NodesTakeTurns) {
  const order_case& c = GetParam();
  const int n = (int)c.node_of.size();
  std::vector<int> order(n + 1, -7), keys(n + 1);
  zyg::l3_round_robin_order(c.node_of.data(), n, order.data(), keys.data());
  order.pop_back();
  EXPECT_EQ(order, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundRobinOrder,
    testing::Values(
        // Two EPYC sockets of four domains each (NPS1).
        order_case{"two_sockets", {0, 0, 0, 0, 1, 1, 1, 1}, {0, 4, 1, 5, 2, 6, 3, 7}},
        // A node with fewer domains drops out of the turns when it has none left.
        order_case{"uneven", {0, 0, 0, 1}, {0, 3, 1, 2}},
        order_case{"one_node", {3, 3, 3}, {0, 1, 2}},
        // The node whose CPUs come first goes first, whatever its number.
        order_case{"node_numbers_not_in_cpu_order", {1, 0, 1, 0}, {0, 1, 2, 3}},
        order_case{"three_nodes", {0, 0, 1, 2, 2, 2}, {0, 2, 3, 1, 4, 5}},
        order_case{"none", {}, {}}),
    [](const testing::TestParamInfo<order_case>& i) { return std::string(i.param.name); });

}  // namespace
