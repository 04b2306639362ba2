// --plan's text and JSON (schema/plan-v1.json).
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "lists/cpu_list.h"
#include "lists/node_list.h"
#include "plan/plan.h"

namespace zr {

namespace {

// Under --unit=l3: each domain's index, CPUs and node.
void write_plan_domains(std::ostream& out, const Plan& plan) {
  out << "\n  unit: l3, domains in the order round robin takes them (L3 index: CPUs@node):";
  for (std::size_t i = 0; i < plan.units.size(); ++i)
    out << " " << i << ": " << range_list(plan.units[i].cpus) << "@" << plan.units[i].node_id;
}

std::string task_name(const PlannedTask& t) {
  std::string p = t.process == 0 ? "first process" : "child " + std::to_string(t.process);
  if (t.thread < 0) return p;
  if (t.thread == 0) return "  main thread of " + p;
  return "  thread " + std::to_string(t.process) + "." + std::to_string(t.thread);
}

}  // namespace

void write_plan_text(std::ostream& out, const Plan& plan) {
  const PlanRequest& r = plan.req;
  out << "Plan (nothing is run): processes " << r.proc_policy << ", threads " << r.thrd_policy
      << ", CPU launch " << (r.cpu_launch ? "Yes" : "No") << "\n  topology (" << r.topology_from
      << "):";
  for (const auto& n : r.topology) {
    out << " node " << n.node_id << ":";
    for (std::size_t i = 0; i < n.cpus.size() && i < 16; ++i) out << (i ? "," : "") << n.cpus[i];
    if (n.cpus.size() > 16) out << ",...";
  }
  out << "\n  launch nodes:";
  for (int n : plan.launch_nodes) out << " " << n;
  const bool l3 = !plan.units.empty();
  if (l3) write_plan_domains(out, plan);
  if (!plan.memory_nodes.empty()) {
    out << "\n  memory (" << r.memory << "): " << memory_nodes_text(plan.memory_nodes);
  }
  out << "\n  shape: the first process starts " << r.threads << " threads, then " << r.children
      << " children one after another, each of which starts " << r.threads << " threads\n\n";
  char buf[200];
  if (l3)
    std::snprintf(buf, sizeof buf, "  %-30s %9s %4s %4s  %s\n", "Task", "Node", "L3", "CPU",
                  "Decided by");
  else
    std::snprintf(buf, sizeof buf, "  %-30s %9s %4s  %s\n", "Task", "Node", "CPU", "Decided by");
  out << buf;
  std::map<std::string, std::pair<int, int>> per;
  std::map<int, std::pair<int, int>> per_unit;
  for (const auto& t : plan.tasks) {
    const std::string cpu = t.cpu < 0 ? "-" : std::to_string(t.cpu);
    if (l3)
      std::snprintf(buf, sizeof buf, "  %-30s %9s %4s %4s  %s\n", task_name(t).c_str(),
                    t.node.c_str(), t.unit < 0 ? "-" : std::to_string(t.unit).c_str(), cpu.c_str(),
                    t.how.c_str());
    else
      std::snprintf(buf, sizeof buf, "  %-30s %9s %4s  %s\n", task_name(t).c_str(), t.node.c_str(),
                    cpu.c_str(), t.how.c_str());
    out << buf;
    auto& c = per[t.node];
    (t.thread < 0 ? c.first : c.second)++;
    if (t.unit >= 0) (t.thread < 0 ? per_unit[t.unit].first : per_unit[t.unit].second)++;
  }
  if (l3) {
    out << "\n  Per L3 domain:";
    for (std::size_t i = 0; i < plan.units.size(); ++i)
      out << "  " << i << ": " << per_unit[static_cast<int>(i)].first << " processes, "
          << per_unit[static_cast<int>(i)].second << " threads;";
  }
  out << "\n  Per node:";
  for (int n : plan.launch_nodes) {
    auto it = per.find(std::to_string(n));
    out << "  node " << n << ": " << (it == per.end() ? 0 : it->second.first) << " processes, "
        << (it == per.end() ? 0 : it->second.second) << " threads;";
  }
  out << "\n";
}

void write_plan_json(std::ostream& out, const Plan& plan) {
  using nlohmann::json;
  const PlanRequest& r = plan.req;
  json topo = json::array();
  for (const auto& n : r.topology) topo.push_back({{"node", n.node_id}, {"cpus", n.cpus}});
  json tasks = json::array();
  for (const auto& t : plan.tasks) {
    const bool on_launch_nodes = t.node == "launch";
    json node = t.node == "inherited" || on_launch_nodes ? json(nullptr) : json(std::stoi(t.node));
    json task = {{"process", t.process},
                 {"thread", t.thread < 0 ? json(nullptr) : json(t.thread)},
                 {"node", node},
                 {"cpu", t.cpu < 0 ? json(nullptr) : json(t.cpu)},
                 {"decided_by", t.how}};
    if (on_launch_nodes) task["launch_nodes"] = true;
    if (!plan.units.empty()) task["l3_domain"] = t.unit < 0 ? json(nullptr) : json(t.unit);
    tasks.push_back(task);
  }
  json j = {{"format", "zyg-nox-report-plan"},
            {"version", 1},
            {"process_policy", r.proc_policy},
            {"thread_policy", r.thrd_policy},
            {"cpu_launch", r.cpu_launch},
            {"topology_from", r.topology_from},
            {"topology", topo},
            {"launch_nodes", plan.launch_nodes},
            {"children", r.children},
            {"threads", r.threads},
            {"tasks", tasks}};
  if (!plan.units.empty()) {
    j["unit"] = "l3";
    json domains = json::array();
    for (const auto& u : plan.units) domains.push_back({{"cpus", u.cpus}, {"node", u.node_id}});
    j["l3_domains"] = domains;
  }
  if (!plan.memory_nodes.empty()) {
    json mem = json::array();
    for (auto& [node, m] : plan.memory_nodes) mem.push_back({{"node", node}, {"memory_node", m}});
    j["memory_mode"] = r.memory;
    j["memory_nodes"] = mem;
  }
  out << j.dump(2) << "\n";
}

}  // namespace zr
