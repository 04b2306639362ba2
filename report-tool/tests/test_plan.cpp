// --plan: topology text, and the plans the library's policy code gives for
// the shapes its own documentation works through.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "plan.h"

using namespace zr;

namespace {

std::vector<PlanNode> topo(const char* text) {
  std::vector<PlanNode> t;
  std::string why;
  EXPECT_TRUE(parse_nodes_cpus(text, t, why)) << why;
  return t;
}

Plan plan_for(const char* p, const char* t, const char* nodes_cpus, int children, int threads, bool cpu = false,
              const char* nodes = "") {
  PlanRequest r;
  r.proc_policy = p;
  r.thrd_policy = t;
  r.topology = topo(nodes_cpus);
  r.children = children;
  r.threads = threads;
  r.cpu_launch = cpu;
  r.nodes = nodes;
  Plan plan;
  std::string why;
  EXPECT_TRUE(make_plan(r, plan, why)) << why;
  return plan;
}

std::vector<std::string> process_nodes(const Plan& p) {
  std::vector<std::string> v;
  for (const auto& t : p.tasks)
    if (t.thread < 0) v.push_back(t.node);
  return v;
}

TEST(NodesCpus, ParsesNodesAndTheirCpuLists) {
  auto t = topo("1:2-3,0:0-1,4,2:8");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].node_id, 0);
  EXPECT_EQ(t[0].cpus, (std::vector<int>{0, 1, 4}));
  EXPECT_EQ(t[1].cpus, (std::vector<int>{2, 3}));
  EXPECT_EQ(t[2].cpus, (std::vector<int>{8}));
}

class BadNodesCpus : public ::testing::TestWithParam<const char*> {};

TEST_P(BadNodesCpus, IsRefused) {
  std::vector<PlanNode> t;
  std::string why;
  EXPECT_FALSE(parse_nodes_cpus(GetParam(), t, why));
  EXPECT_FALSE(why.empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, BadNodesCpus,
                         ::testing::Values("", "0-1", "x:0", "0:", "0:3-1", "0:0,0:1", "-1:0", "0:a"));

TEST(Plan, RoundRobinTreeContinuesOverTheTree) {
  // Launch nodes 0, 2 and 5: the first process on 0, its children on 2, 5, 0.
  Plan p = plan_for("rr_tree", "none", "0:0,2:1,5:2", 3, 0);
  EXPECT_EQ(process_nodes(p), (std::vector<std::string>{"0", "2", "5", "0"}));
}

TEST(Plan, FillFirstFillsANodeBeforeTheNext) {
  // Two nodes of four CPUs: the first process and three children fill node
  // 0, the next four go to node 1, the ninth task to node 0 again.
  Plan p = plan_for("ff_tree", "none", "0:0-3,1:4-7", 8, 0, true);
  EXPECT_EQ(process_nodes(p), (std::vector<std::string>{"0", "0", "0", "0", "1", "1", "1", "1", "0"}));
  std::vector<int> cpus;
  for (const auto& t : p.tasks) cpus.push_back(t.cpu);
  EXPECT_EQ(cpus, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 0}));
}

TEST(Plan, PackKeepsEverythingOnTheFirstNode) {
  Plan p = plan_for("pack", "pack", "0:0-1,1:2-3", 3, 2);
  for (const auto& t : p.tasks) EXPECT_EQ(t.node, "0");
}

TEST(Plan, RrPackChildrenKeepTheirThreads) {
  Plan p = plan_for("rr_pack", "none", "0:0-1,1:2-3", 2, 2);
  for (const auto& t : p.tasks) EXPECT_EQ(t.node, t.process == 1 ? "1" : "0") << t.process << "." << t.thread;
}

TEST(Plan, FlatThreadsStartAfterTheirProcessNode) {
  Plan p = plan_for("rr_tree", "rr_flat", "0:0,1:1,2:2,3:3", 1, 3);
  // First process on 0 counts its main thread there: threads on 1, 2, 3.
  // The child on 1 counts its main thread there: threads on 2, 3, 0.
  std::vector<std::string> nodes;
  for (const auto& t : p.tasks) nodes.push_back(t.node);
  EXPECT_EQ(nodes, (std::vector<std::string>{"0", "1", "2", "3", "1", "2", "3", "0"}));
}

TEST(Plan, LaunchNodeListLimitsTheNodes) {
  Plan p = plan_for("rr_tree", "none", "0:0,1:1,2:2,3:3", 3, 0, false, "1-2");
  EXPECT_EQ(p.launch_nodes, (std::vector<int>{1, 2}));
  EXPECT_EQ(process_nodes(p), (std::vector<std::string>{"1", "2", "1", "2"}));
}

TEST(Plan, NoProcessPolicyPlacesTheMainThreadAtItsFirstThread) {
  Plan p = plan_for("none", "rr_tree", "0:0,1:1", 0, 2);
  ASSERT_EQ(p.tasks.size(), 4u);
  EXPECT_EQ(p.tasks[0].node, "inherited");
  EXPECT_EQ(p.tasks[1].thread, 0);
  EXPECT_EQ(p.tasks[1].node, "0");
  EXPECT_EQ(p.tasks[2].node, "1");
  EXPECT_EQ(p.tasks[3].node, "0");
}

struct Refused {
  const char* name;
  const char* p;
  const char* t;
  bool cpu;
  const char* nodes;
  const char* why;
};

class RefusedPlan : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedPlan, SaysWhy) {
  const auto& c = GetParam();
  PlanRequest r;
  r.proc_policy = c.p;
  r.thrd_policy = c.t;
  r.cpu_launch = c.cpu;
  r.nodes = c.nodes;
  r.topology = topo("0:0-1,1:2-3");
  Plan plan;
  std::string why;
  EXPECT_FALSE(make_plan(r, plan, why));
  EXPECT_NE(why.find(c.why), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, RefusedPlan,
    ::testing::Values(Refused{"rr_pack_with_threads", "rr_pack", "rr_flat", false, "", "thread policy"},
                      Refused{"rr_pack_with_cpu", "rr_pack", "none", true, "", "CPU launch"},
                      Refused{"cpu_without_policy", "none", "none", true, "", "needs a process or a thread"},
                      Refused{"rr_pack_for_threads", "none", "rr_pack", false, "", "unknown thread policy"},
                      Refused{"unknown_process", "round", "none", false, "", "unknown process policy"},
                      Refused{"memfree", "memfree_tree", "none", false, "", "free memory"},
                      Refused{"bad_nodes", "rr_tree", "none", false, "7", "bad node list"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Plan, JsonListsEveryTask) {
  Plan p = plan_for("rr_tree", "rr_tree", "0:0-1,1:2-3", 2, 1, true);
  std::ostringstream out;
  write_plan_json(out, p);
  auto j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["format"], "zyg-nox-report-plan");
  EXPECT_EQ(j["tasks"].size(), 6u);
  EXPECT_EQ(j["tasks"][0]["thread"], nullptr);
  EXPECT_EQ(j["tasks"][1]["thread"], 1);
  EXPECT_EQ(j["launch_nodes"], nlohmann::json({0, 1}));
}

}  // namespace
