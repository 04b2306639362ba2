// --topology's text and JSON (schema/topology-v1.json).
#include <cstdio>
#include <nlohmann/json.hpp>

#include "lists/cpu_list.h"
#include "lists/node_list.h"
#include "topology/view.h"

namespace zr {

namespace {

std::string bytes_text(int64_t b) {
  if (b < 0) return "?";
  char buf[32];
  const double mib = static_cast<double>(b) / (1024.0 * 1024.0);
  if (mib >= 10240)
    std::snprintf(buf, sizeof buf, "%.1f GiB", mib / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", mib);
  return buf;
}

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

void write_nodes(std::ostream& out, const MachineView& m) {
  char buf[160];
  out << "Nodes\n";
  std::snprintf(buf, sizeof buf, "  %-5s %-16s %12s %12s\n", "Node", "CPUs", "Memory", "Free");
  out << buf;
  for (const auto& n : m.nodes) {
    std::snprintf(buf, sizeof buf, "  %-5d %-16s %12s %12s%s\n", n.node_id,
                  or_dash(range_list(n.cpus)).c_str(), bytes_text(n.memory_bytes).c_str(),
                  bytes_text(n.free_bytes).c_str(), n.memory_only ? "  memory only" : "");
    out << buf;
  }
}

void write_distances(std::ostream& out, const MachineView& m) {
  char buf[16];
  out << "\nDistances\n  node";
  for (const auto& n : m.nodes) {
    std::snprintf(buf, sizeof buf, " %4d", n.node_id);
    out << buf;
  }
  out << "\n";
  for (const auto& n : m.nodes) {
    std::snprintf(buf, sizeof buf, "  %3d:", n.node_id);
    out << buf;
    for (const auto& to : m.nodes) {
      const bool known = to.node_id < static_cast<int>(n.distances.size());
      std::snprintf(buf, sizeof buf, " %4s",
                    known ? std::to_string(n.distances[to.node_id]).c_str() : "?");
      out << buf;
    }
    out << "\n";
  }
}

void write_launch_view(std::ostream& out, const MachineView& m) {
  out << "\nThis process may use\n  CPUs    " << or_dash(range_list(m.allowed_cpus))
      << "\n  memory  nodes " << or_dash(range_list(m.allowed_mems)) << "\n";
  if (m.l3_domains.empty()) {
    out << "\n--unit=l3: refused here: " << m.l3_missing << "\n";
  } else {
    out << "\n--unit=l3: " << m.l3_domains.size()
        << (m.l3_domains.size() == 1 ? " L3 domain" : " L3 domains")
        << ", in the order round robin takes them (CPUs@node)\n";
    for (std::size_t i = 0; i < m.l3_domains.size(); ++i)
      out << "  " << i << ": " << range_list(m.l3_domains[i].cpus) << "@"
          << m.l3_domains[i].node_id;
    out << "\n";
  }
  bool any = false;
  for (const auto& [node, mem] : m.memory_nodes) any = any || mem >= 0;
  if (any)
    out << "\n--memory: the memory-only node each node's tasks take memory from\n  "
        << memory_nodes_text(m.memory_nodes) << "\n";
  else
    out << "\n--memory: refused here: no memory-only node (memory, no CPUs) on this machine or "
           "in its cpuset\n";
}

}  // namespace

void write_machine_text(std::ostream& out, const MachineView& m) {
  out << "This machine  (zyg-nox-report --topology)\n\n";
  write_nodes(out, m);
  write_distances(out, m);
  write_launch_view(out, m);
}

void write_machine_json(std::ostream& out, const MachineView& m) {
  using nlohmann::ordered_json;
  auto opt = [](int64_t v) { return v < 0 ? ordered_json(nullptr) : ordered_json(v); };
  ordered_json nodes = ordered_json::array();
  for (const auto& n : m.nodes)
    nodes.push_back({{"node", n.node_id},
                     {"cpus", n.cpus},
                     {"memory_bytes", opt(n.memory_bytes)},
                     {"free_bytes", opt(n.free_bytes)},
                     {"memory_only", n.memory_only},
                     {"distances", n.distances}});
  ordered_json domains = ordered_json::array();
  for (const auto& d : m.l3_domains) domains.push_back({{"cpus", d.cpus}, {"node", d.node_id}});
  ordered_json mem = ordered_json::array();
  for (const auto& [node, mn] : m.memory_nodes)
    mem.push_back(
        {{"node", node}, {"memory_node", mn < 0 ? ordered_json(nullptr) : ordered_json(mn)}});
  ordered_json j = {
      {"format", "zyg-nox-report-topology"},
      {"version", 1},
      {"nodes", nodes},
      {"allowed_cpus", m.allowed_cpus},
      {"allowed_mems", m.allowed_mems},
      {"l3_domains", domains},
      {"l3_missing", m.l3_domains.empty() ? ordered_json(m.l3_missing) : ordered_json(nullptr)},
      {"memory_nodes", mem}};
  out << j.dump(2) << "\n";
}

}  // namespace zr
