// Another machine's topology given as text: nodes with their CPU lists.
#include <gtest/gtest.h>

#include "topology/topology.h"

using namespace zr;

namespace {

TEST(NodesCpus, ParsesNodesAndTheirCpuLists) {
  std::vector<NodeCpus> t;
  std::string why;
  ASSERT_TRUE(parse_nodes_cpus("1:2-3,0:0-1,4,2:8", t, why)) << why;
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].node_id, 0);
  EXPECT_EQ(t[0].cpus, (std::vector<int>{0, 1, 4}));
  EXPECT_EQ(t[1].cpus, (std::vector<int>{2, 3}));
  EXPECT_EQ(t[2].cpus, (std::vector<int>{8}));
}

class BadNodesCpus : public ::testing::TestWithParam<const char*> {};

TEST_P(BadNodesCpus, IsRefused) {
  std::vector<NodeCpus> t;
  std::string why;
  EXPECT_FALSE(parse_nodes_cpus(GetParam(), t, why));
  EXPECT_FALSE(why.empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, BadNodesCpus,
                         ::testing::Values("", "0-1", "x:0", "0:", "0:3-1", "0:0,0:1", "-1:0",
                                           "0:a"));

}  // namespace
