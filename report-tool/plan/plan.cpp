// The dry run.  A launch's placements come from the counter tables of its
// data file and of each process's private (flat) tables; here both live in
// this program's memory, laid out exactly as the library lays them out, and
// the library's own policy functions make every choice.  The program shape
// is walked in a fixed order (the first process starts its threads, then its
// children one after another, each of which starts its threads), the order a
// program that creates and waits for each task in turn has.
#include "plan/plan.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "lists/node_list.h"
#include "plan/simulation.h"
#include "plan/walk.h"
#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"

namespace zr {

namespace {

// A rule's --plan text, with the process policy's name for its %s.
std::string rule_text(const zyg::policy_rule& rule, const zyg::policy_info& proc) {
  char buf[256];
  std::snprintf(buf, sizeof buf, rule.plan, proc.name);
  return buf;
}

// The request's policies, refused as start-up refuses them, and the
// memfree policies, which have no plan.
bool check_request(const PlanRequest& req, Policies& pol, std::string& why) {
  pol.proc = zyg::policy_named(req.proc_policy.c_str(), false);
  if (pol.proc == nullptr) {
    why = "unknown process policy \"" + req.proc_policy + "\"";
    return false;
  }
  pol.thrd = zyg::policy_named(req.thrd_policy.c_str(), true);
  if (pol.thrd == nullptr) {
    why = "unknown thread policy \"" + req.thrd_policy + "\"";
    return false;
  }
  const zyg::policy_rule* rule = nullptr;
  if (!pol.proc->plannable || !pol.thrd->plannable) rule = &zyg::kRuleNotPlannable;
  if (rule == nullptr) rule = zyg::pair_refused(*pol.proc, *pol.thrd);
  if (rule == nullptr && req.cpu_launch) rule = zyg::cpu_launch_refused(*pol.proc, *pol.thrd);
  if (rule == nullptr && req.memory != "local")
    rule = zyg::memory_mode_refused(*pol.proc, *pol.thrd);
  if (rule != nullptr) {
    why = rule_text(*rule, *pol.proc);
    return false;
  }
  if (req.children < 0 || req.threads < 0 || req.children > 10000 || req.threads > 10000) {
    why = "--children and --threads take 0 to 10000";
    return false;
  }
  return true;
}

// Launch nodes: the nodes of the list that have CPUs, in ascending order.
bool launch_nodes_of(const PlanRequest& req, std::vector<NodeCpus>& nodes, std::string& why) {
  if (req.nodes.empty()) {
    nodes = req.topology;
  } else {
    int config = 0;
    for (const auto& n : req.topology) config = std::max(config, n.node_id + 1);
    std::vector<int> wanted;
    if (!expand_node_list(req.nodes, config, wanted)) {
      why = "bad node list \"" + req.nodes + "\" for nodes 0-" + std::to_string(config - 1);
      return false;
    }
    for (const auto& n : req.topology)
      if (std::find(wanted.begin(), wanted.end(), n.node_id) != wanted.end()) nodes.push_back(n);
  }
  if (nodes.empty()) {
    why = "no launch node with CPUs";
    return false;
  }
  return true;
}

}  // namespace

bool make_plan(const PlanRequest& req, Plan& plan, std::string& why) {
  plan = Plan{};
  plan.req = req;
  Policies pol{};
  if (!check_request(req, pol, why)) return false;
  std::vector<NodeCpus> nodes;
  if (!launch_nodes_of(req, nodes, why)) return false;
  for (const auto& n : nodes) plan.launch_nodes.push_back(n.node_id);
  const int unit = zyg::unit_kind_of(req.unit.c_str());
  if (unit < 0) {
    why = "unknown unit \"" + req.unit + "\" (node or l3)";
    return false;
  }
  if (unit == zyg::UNIT_L3) {
    plan.units = l3_domains(nodes, req.l3_sets);
    if (plan.units.empty()) {
      why = "no L3 set holds a CPU of the launch nodes";
      return false;
    }
  }
  if (req.memory != "local") {
    if (zyg::memory_mode_named(req.memory.c_str()) < 0) {
      why = "unknown memory mode \"" + req.memory + "\"";
      return false;
    }
    plan.memory_nodes = memory_nodes_of(req.tiers, plan.launch_nodes);
  }
  Simulation sim(unit == zyg::UNIT_L3 ? plan.units : nodes, pol, req.cpu_launch,
                 unit == zyg::UNIT_L3);
  walk_shape(req, pol, sim, plan);
  return true;
}

}  // namespace zr
