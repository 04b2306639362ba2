// --plan: topology text, and the plans the library's policy code gives for
// the shapes its own documentation works through.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fake_ldata.h"
#include "placement/bind.h"
#include "placement/policy.h"
#include "plan/plan.h"
#include "shared/policy_table.h"
#include "start/config.h"

using namespace zr;

namespace {

std::vector<NodeCpus> topo(const char* text) {
  std::vector<NodeCpus> t;
  std::string why;
  EXPECT_TRUE(parse_nodes_cpus(text, t, why)) << why;
  return t;
}

Plan plan_for(const char* p, const char* t, const char* nodes_cpus, int children, int threads,
              bool cpu = false, const char* nodes = "") {
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

TEST(Plan, RoundRobinTreeContinuesOverTheTree) {
  // Launch nodes 0, 2 and 5: the first process on 0, its children on 2, 5, 0.
  Plan p = plan_for("rr_tree", "none", "0:0,2:1,5:2", 3, 0);
  EXPECT_EQ(process_nodes(p), (std::vector<std::string>{"0", "2", "5", "0"}));
}

TEST(Plan, FillFirstFillsANodeBeforeTheNext) {
  // Two nodes of four CPUs: the first process and three children fill node
  // 0, the next four go to node 1, the ninth task to node 0 again.
  Plan p = plan_for("ff_tree", "none", "0:0-3,1:4-7", 8, 0, true);
  EXPECT_EQ(process_nodes(p),
            (std::vector<std::string>{"0", "0", "0", "0", "1", "1", "1", "1", "0"}));
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
  for (const auto& t : p.tasks)
    EXPECT_EQ(t.node, t.process == 1 ? "1" : "0") << t.process << "." << t.thread;
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

// --memory: each launch node with its nearest memory-only node, by the
// library's rule, in the text and the JSON.
TEST(Plan, MemoryModeShowsEachLaunchNodesMemoryNode) {
  PlanRequest r;
  r.proc_policy = "rr_tree";
  r.topology = topo("0:0-3,1:4-7");
  r.memory = "nearest-memonly";
  r.tiers.usable = {false, false, true, true};
  r.tiers.distances = {{10, 21, 13, 31}, {21, 10, 31, 13}, {13, 31, 10, 41}, {31, 13, 41, 10}};
  Plan plan;
  std::string why;
  ASSERT_TRUE(make_plan(r, plan, why)) << why;
  EXPECT_EQ(plan.memory_nodes, (std::vector<std::pair<int, int>>{{0, 2}, {1, 3}}));
  std::ostringstream text, json;
  write_plan_text(text, plan);
  write_plan_json(json, plan);
  EXPECT_NE(text.str().find("\n  memory (nearest-memonly): node 0 -> 2, node 1 -> 3\n"),
            std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(json.str())["memory_nodes"][1]["memory_node"], 3);
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

// Every pair of policies, with and without CPU launch, that start-up
// accepts (the memfree policies have no plan).
struct Pair {
  const char* p;
  const char* t;
  bool cpu;
};

void PrintTo(const Pair& p, std::ostream* os) { *os << p.p << "/" << p.t << (p.cpu ? " -c" : ""); }

std::vector<Pair> accepted_pairs() {
  std::vector<Pair> v;
  for (const char* p : {"none", "rr_flat", "rr_tree", "ff_flat", "ff_tree", "pack", "rr_pack"})
    for (const char* t : {"none", "rr_flat", "rr_tree", "ff_flat", "ff_tree", "pack"})
      for (bool cpu : {false, true}) {
        bool pack = std::string(p) == "rr_pack";
        bool none = std::string(p) == "none" && std::string(t) == "none";
        if ((pack && (cpu || std::string(t) != "none")) || (cpu && none)) continue;
        v.push_back({p, t, cpu});
      }
  return v;
}

class PlanChildren : public ::testing::TestWithParam<Pair> {};

// Each child is planned where the library's fork puts it on the same
// counter tables: the parent chooses with get_proc_launch, the child binds
// itself as set_launch decides for that choice.
TEST_P(PlanChildren, AreBoundWhereTheLibrarysForkBindsThem) {
  const Pair& c = GetParam();
  const int children = 3;
  Plan plan = plan_for(c.p, c.t, "0:0-1,1:2-3,2:4-5,3:6-7", children, 1, c.cpu);
  std::vector<std::pair<std::string, int>> planned;
  for (const auto& t : plan.tasks)
    if (t.process > 0 && t.thread < 0) planned.push_back({t.node, t.cpu});

  int pk, ps, tk, ts;
  ASSERT_EQ(zyg::policy_from_name(c.p, false, &pk, &ps), 0);
  ASSERT_EQ(zyg::policy_from_name(c.t, true, &tk, &ts), 0);
  zyg_test::FakeLdata d{
      {{0, {0, 1}}, {1, {2, 3}}, {2, {4, 5}}, {3, {6, 7}}}, pk, ps, tk, ts, c.cpu};
  if (pk != zyg::KIND_NONE) zyg::get_proc_launch();  // the first process
  std::vector<std::pair<std::string, int>> library;
  for (int k = 0; k < children; ++k) {
    zyg::launch_choice l = zyg::get_proc_launch();
    switch (zyg::bind_target_of(l.unit, l.cpu)) {
      case zyg::BIND_CPU:
        library.push_back({std::to_string(l.unit), l.cpu});
        break;
      case zyg::BIND_NODE:
      case zyg::BIND_UNIT:
        library.push_back({std::to_string(l.unit), -1});
        break;
      case zyg::BIND_LAUNCH_NODES:
        library.push_back({"launch", -1});
        break;
      case zyg::BIND_NOTHING:
        library.push_back({"inherited", -1});
        break;
    }
  }
  EXPECT_EQ(planned, library);
}

INSTANTIATE_TEST_SUITE_P(Policies, PlanChildren, ::testing::ValuesIn(accepted_pairs()),
                         [](const auto& info) {
                           return std::string(info.param.p) + "_" + info.param.t +
                                  (info.param.cpu ? "_cpu" : "");
                         });

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
    ::testing::Values(
        Refused{"rr_pack_with_threads", "rr_pack", "rr_flat", false, "", "thread policy"},
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

namespace {

struct UnitPlanCase {
  bool cpu;
  const char* nodes;
  std::vector<int> units;  // each process's L3 domain, in creation order
  std::vector<int> cpus;   // each process's CPU (-1: the whole domain)
  std::vector<std::string> node_ids;
};

class UnitPlan : public ::testing::TestWithParam<UnitPlanCase> {};

// --unit=l3 on the l3 VM's shape: two nodes of two L3 sets each. The
// processes take the domains in turn, as the library's l3 launch does, the
// nodes taking turns: domains 0-1@0 4-5@1 2-3@0 6-7@1.
TEST_P(UnitPlan, ProcessesTakeTheDomainsInTurn) {
  const UnitPlanCase& c = GetParam();
  PlanRequest r;
  r.proc_policy = "rr_tree";
  r.thrd_policy = "rr_flat";
  r.topology = topo("0:0-3,1:4-7");
  r.children = 4;
  r.threads = 1;
  r.cpu_launch = c.cpu;
  r.nodes = c.nodes;
  r.unit = "l3";
  std::string why;
  ASSERT_TRUE(parse_l3_sets("0-1/2-3/4-5/6-7", r.l3_sets, why)) << why;
  Plan plan;
  ASSERT_TRUE(make_plan(r, plan, why)) << why;
  std::vector<int> units, cpus;
  for (const auto& t : plan.tasks)
    if (t.thread < 0) {
      units.push_back(t.unit);
      cpus.push_back(t.cpu);
    }
  EXPECT_EQ(units, c.units);
  EXPECT_EQ(cpus, c.cpus);
  EXPECT_EQ(process_nodes(plan), c.node_ids);
  std::ostringstream json;
  write_plan_json(json, plan);
  EXPECT_EQ(nlohmann::json::parse(json.str())["l3_domains"].size(), plan.units.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitPlan,
    ::testing::Values(
        UnitPlanCase{false, "", {0, 1, 2, 3, 0}, {-1, -1, -1, -1, -1}, {"0", "1", "0", "1", "0"}},
        UnitPlanCase{true, "", {0, 1, 2, 3, 0}, {0, 4, 2, 6, 1}, {"0", "1", "0", "1", "0"}},
        UnitPlanCase{
            false, "1", {0, 1, 0, 1, 0}, {-1, -1, -1, -1, -1}, {"1", "1", "1", "1", "1"}}));

// Two EPYC sockets of eight L3 domains each: a job of four processes of
// three threads each gets both sockets' memory bandwidth, half of it on each.
TEST(UnitPlan, TwoSocketsShareAJobSmallerThanTheDomains) {
  PlanRequest r;
  r.proc_policy = "rr_tree";
  r.thrd_policy = "rr_flat";
  r.topology = topo("0:0-63,1:64-127");
  r.children = 3;
  r.threads = 3;
  r.unit = "l3";
  std::string why;
  ASSERT_TRUE(parse_l3_sets("0-7/8-15/16-23/24-31/32-39/40-47/48-55/56-63/64-71/72-79/80-87/"
                            "88-95/96-103/104-111/112-119/120-127",
                            r.l3_sets, why))
      << why;
  Plan plan;
  ASSERT_TRUE(make_plan(r, plan, why)) << why;
  std::map<std::string, std::pair<int, int>> per_node;
  for (const auto& t : plan.tasks) ++(t.thread < 0 ? per_node[t.node].first : per_node[t.node].second);
  EXPECT_EQ(per_node["0"], std::make_pair(2, 6));
  EXPECT_EQ(per_node["1"], std::make_pair(2, 6));
  std::ostringstream text;
  write_plan_text(text, plan);
  EXPECT_NE(text.str().find("(L3 index: CPUs@node): 0: 0-7@0 1: 64-71@1 2: 8-15@0 3: 72-79@1"),
            std::string::npos)
      << text.str();
}

// A memory mode needs a policy that places tasks, as start-up says.
TEST(UnitPlanRefused, MemoryModeWithoutAPolicy) {
  PlanRequest r;
  r.topology = topo("0:0-3");
  r.memory = "nearest-memonly";
  Plan plan;
  std::string why;
  EXPECT_FALSE(make_plan(r, plan, why));
  EXPECT_EQ(why, zyg::kRuleMemoryNeedsPolicy.plan);
}

TEST(UnitPlanRefused, UnknownUnit) {
  PlanRequest r;
  r.proc_policy = "rr_tree";
  r.topology = topo("0:0-3");
  r.unit = "socket";
  Plan plan;
  std::string why;
  EXPECT_FALSE(make_plan(r, plan, why));
  EXPECT_EQ(why, "unknown unit \"socket\" (node or l3)");
}

}  // namespace
