// --live as text: the settings, the node table, every task, and the memory
// of each process by node.
#include <cstdio>

#include "lists/node_list.h"
#include "live/view.h"

namespace zr {
namespace live {

namespace {

// The table of the launch's entries (its nodes, or under L3 units its
// domains with their nodes): placements counted in the data file beside the
// tasks running on each entry's CPUs now, and under a memory mode each
// entry's memory node.
void write_nodes(std::ostream& out, const View& v) {
  std::map<int, int> running_on = tasks_now(v);
  const bool l3 = v.d.l3, memory = v.d.memory_mode != "local";
  char buf[256];
  if (l3)
    std::snprintf(buf, sizeof buf, "  %-12s %-5s %16s %16s %10s", "L3 domain", "Node",
                  "procs placed", "threads placed", "tasks now");
  else
    std::snprintf(buf, sizeof buf, "  %-5s %-12s %16s %16s %10s", "Node", "CPUs", "procs placed",
                  "threads placed", "tasks now");
  out << buf << (memory ? "  Memory node\n" : "\n");
  for (std::size_t i = 0; i < v.d.nodes.size(); ++i) {
    const LiveNode& n = v.d.nodes[i];
    const int now = running_on[static_cast<int>(i)];
    if (l3)
      std::snprintf(buf, sizeof buf, "  %-12s %-5d %16d %16d %10d", n.cpulist.c_str(), n.node_id,
                    n.proc_log, n.thrd_log, now);
    else
      std::snprintf(buf, sizeof buf, "  %-5d %-12s %16d %16d %10d", n.node_id, n.cpulist.c_str(),
                    n.proc_log, n.thrd_log, now);
    out << buf;
    if (memory) out << "  " << (n.mem_node < 0 ? std::string("local") : std::to_string(n.mem_node));
    out << "\n";
    if (v.d.cpu_launch) {
      out << "        per CPU (procs/threads):";
      for (std::size_t c = 0; c < n.cpus.size(); ++c)
        out << " " << n.cpus[c] << ":" << n.cpu_proc[c] << "/" << n.cpu_thrd[c];
      out << "\n";
    }
  }
  if (running_on.count(-1))
    out << "  (" << running_on[-1] << " tasks on CPUs outside the launch "
        << (l3 ? "domains" : "nodes") << ")\n";
}

// Every task of the tree, where it runs now.
void write_tasks(std::ostream& out, const View& v) {
  std::size_t tasks = 0;
  for (const auto& p : v.procs) tasks += p.tasks.size();
  out << "\n  " << v.procs.size() << " processes, " << tasks << " tasks\n";
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %7s %7s %7s %5s %4s %-12s %-5s %s\n", "PID", "PPID", "TID",
                "Node", "CPU", "Allowed", "State", "Command");
  out << buf;
  for (const auto& p : v.procs)
    for (const auto& t : p.tasks) {
      auto it = v.node_of_cpu.find(t.processor);
      std::string node = it == v.node_of_cpu.end() ? "?" : std::to_string(it->second);
      std::snprintf(buf, sizeof buf, "  %7ld %7ld %7ld %5s %4d %-12s %-5c %s\n", p.pid, p.ppid,
                    t.tid, node.c_str(), t.processor, t.allowed.c_str(), t.state,
                    t.tid == p.pid ? p.comm.c_str() : "  (thread)");
      out << buf;
    }
}

// The memory table's node columns: the launch's nodes and any other node
// that holds memory of the tree.
std::vector<int> memory_columns(const View& v) {
  std::set<int> ids;
  for (const auto& n : v.d.nodes) ids.insert(n.node_id);
  for (const auto& p : v.procs)
    for (const auto& [node, bytes] : p.memory.own) ids.insert(node);
  return {ids.begin(), ids.end()};
}

void write_memory_row(std::ostream& out, const Proc& p, const std::vector<int>& columns,
                      bool memory) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "  %7ld %-10s", p.pid, node_list(p.run_nodes).c_str());
  out << buf;
  if (memory) {
    std::snprintf(buf, sizeof buf, " %-10s", node_list(p.memory_nodes).c_str());
    out << buf;
  }
  for (int node : columns) {
    const auto it = p.memory.own.find(node);
    const double bytes = it == p.memory.own.end() ? 0.0 : static_cast<double>(it->second);
    if (p.memory_known)
      std::snprintf(buf, sizeof buf, " %8.1f", bytes / kMiB);
    else
      std::snprintf(buf, sizeof buf, " %8s", "-");
    out << buf;
  }
  if (p.memory_known && !p.run_nodes.empty())
    std::snprintf(buf, sizeof buf, " %6.0f%%", 100 * p.share.share);
  else
    std::snprintf(buf, sizeof buf, " %7s", "-");
  out << buf;
  if (p.memory_known)
    std::snprintf(buf, sizeof buf, " %9.1f", static_cast<double>(p.memory.resident) / kMiB);
  else
    std::snprintf(buf, sizeof buf, " %9s", "-");
  out << buf << "  " << p.comm << "\n";
}

// Where each process's memory is, and the processes whose memory is
// mostly away from their tasks.
void write_memory(std::ostream& out, const View& v) {
  const std::vector<int> columns = memory_columns(v);
  const bool memory = v.d.memory_mode != "local";
  out << "\n  Memory by node, MiB (own pages: heap, stacks, anonymous mappings;\n"
      << (memory
              ? "  Remote: their share on nodes its tasks neither run on nor take memory from "
                "(Memory on: their memory nodes under --memory); Resident: with files)\n"
              : "  Remote: their share on nodes its tasks do not run on; Resident: with files)\n");
  char buf[64];
  std::snprintf(buf, sizeof buf, "  %7s %-10s", "PID", "Runs on");
  out << buf;
  if (memory) {
    std::snprintf(buf, sizeof buf, " %-10s", "Memory on");
    out << buf;
  }
  for (int node : columns) {
    std::snprintf(buf, sizeof buf, " %8s", ("Node " + std::to_string(node)).c_str());
    out << buf;
  }
  std::snprintf(buf, sizeof buf, " %7s %9s  %s\n", "Remote", "Resident", "Command");
  out << buf;
  for (const auto& p : v.procs) write_memory_row(out, p, columns, memory);
  for (const auto& w : memory_warnings(v)) out << "  warning: " << w << "\n";
}

// A line for a launch under L3 units or a memory mode: "  unit l3 (4 L3
// domains), memory nearest-memonly (node 0 -> 2, node 1 -> 3)"; nothing for
// the defaults.
std::string unit_and_memory(const LiveData& d) {
  std::string s;
  if (d.l3)
    s += "unit l3 (" + std::to_string(d.nodes.size()) +
         (d.nodes.size() == 1 ? " L3 domain)" : " L3 domains)");
  if (d.memory_mode != "local") {
    std::map<int, int> per_node;
    for (const auto& n : d.nodes) per_node.emplace(n.node_id, n.mem_node);
    s += (s.empty() ? "" : ", ") + std::string("memory ") + d.memory_mode + " (" +
         memory_nodes_text(per_node) + ")";
  }
  return s.empty() ? s : "  " + s + "\n";
}

}  // namespace

void write_live_text(std::ostream& out, const View& v) {
  const LiveData& d = v.d;
  const Target& t = v.target;
  if (t.pid > 0 && d.initial_pid != t.pid) {
    if (t.member)
      out << "note: PID " << t.pid << " is a process of the launch of PID " << d.initial_pid
          << "\n";
    else
      out << "note: " << t.path << " belongs to the launch of PID " << d.initial_pid << "\n";
  }
  char ts[32];
  std::strftime(ts, sizeof ts, "%H:%M:%S", std::localtime(&v.when));
  out << "zyg-nox launch of PID " << d.initial_pid << " at " << ts << "  (data file " << t.path
      << ")\n"
      << "  processes " << d.proc_policy << ", threads " << d.thrd_policy << ", CPU launch "
      << (d.cpu_launch ? "Yes" : "No") << ", launch nodes " << d.launch_nodes << "\n"
      << unit_and_memory(d) << "  processes with the library loaded: " << d.lib_loaded_cnt
      << "; log records: " << d.log_entry_cnt << (d.log_file.empty() ? "" : " (" + d.log_file + ")")
      << "\n\n";
  write_nodes(out, v);
  write_tasks(out, v);
  write_memory(out, v);
}

}  // namespace live
}  // namespace zr
