// The memory-only node nearest a node, on distance tables, and the kernel's
// node lists it is chosen from.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shared/memory_tiers.h"

namespace {

// The hbm machine: nodes 0 and 1 with CPUs, 2 and 3 memory only; 0-2 and 1-3
// at 13, 0-1 at 21, 0-3 and 1-2 at 31, 2-3 at 41.
const std::vector<std::vector<int>> kHbm = {
    {10, 21, 13, 31}, {21, 10, 31, 13}, {13, 31, 10, 41}, {31, 13, 41, 10}};

struct nearest_case {
  const char* name;
  std::vector<std::vector<int>> distances;
  std::vector<bool> usable;  // memory, no CPUs, in the cpuset
  int node;
  int want;
};

class Nearest : public testing::TestWithParam<nearest_case> {};

TEST_P(Nearest, ChoosesByDistanceThenNumber) {
  const nearest_case& c = GetParam();
  const int n = (int)c.usable.size();
  std::unique_ptr<bool[]> usable(new bool[n]);
  for (int i = 0; i < n; i++) usable[i] = c.usable[i];
  EXPECT_EQ(c.want, zyg::nearest_memonly(c.distances[c.node].data(), usable.get(), n));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Nearest,
    testing::Values(
        nearest_case{"node0_gets_2", kHbm, {false, false, true, true}, 0, 2},
        nearest_case{"node1_gets_3", kHbm, {false, false, true, true}, 1, 3},
        nearest_case{"tie_takes_lowest", {{10, 20, 20}}, {false, true, true}, 0, 1},
        nearest_case{"no_memonly_node", kHbm, {false, false, false, false}, 0, -1},
        nearest_case{"cpuset_excludes_nearest", kHbm, {false, false, false, true}, 0, 3},
        nearest_case{"unknown_distance_last", {{10, 0, 30}}, {false, true, true}, 0, 2}),
    [](const testing::TestParamInfo<nearest_case>& i) { return std::string(i.param.name); });

TEST(NodeBits, ParsesTheKernelsLists) {
  bool b[8];
  ASSERT_EQ(0, zyg::parse_node_bits("0-1,3,5-6\n", b, 8));
  EXPECT_EQ(std::string("11010110"), std::string(b[0] ? "1" : "0") + (b[1] ? "1" : "0") +
                                         (b[2] ? "1" : "0") + (b[3] ? "1" : "0") +
                                         (b[4] ? "1" : "0") + (b[5] ? "1" : "0") +
                                         (b[6] ? "1" : "0") + (b[7] ? "1" : "0"));
  ASSERT_EQ(0, zyg::parse_node_bits("", b, 8));
  for (bool bit : b) EXPECT_FALSE(bit);
  for (const char* bad : {"1-", "3-1", "a", "1,,2", "1,", "8", "0 1"})
    EXPECT_EQ(-1, zyg::parse_node_bits(bad, b, 8)) << bad;
}

}  // namespace
