#include "model/counts.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

namespace zr {

bool single_node(const std::string& node_text) {
  return !node_text.empty() && node_text.find(',') == std::string::npos;
}

namespace {

// When a task was alive in one place: from its start, or a move, to its
// next move, its end or the log's last record.
struct Span {
  double start, end;
};
using NodeRows = std::map<std::string, NodeRow>;

// The lives of the tasks, split where they moved, per node and (with CPU
// launch) per CPU.
struct Lives {
  std::map<std::string, std::vector<Span>> nodes;
  std::map<int, std::vector<Span>> cpus;
  std::map<int, std::string> node_of_cpu;
  bool per_cpu = false;

  void add(double start, double end, const std::string& node, int cpu, const Moves& moves) {
    const std::string* n = &node;
    int c = cpu;
    for (const Stay& s : moves.stays) {
      add_span(start, s.from, *n, c);
      start = s.from;
      n = &s.node;
      c = s.cpu;
    }
    add_span(start, end, *n, c);
  }

  void add_span(double start, double end, const std::string& node, int cpu) {
    nodes[node].push_back({start, end});
    if (!per_cpu || cpu < 0) return;
    cpus[cpu].push_back({start, end});
    node_of_cpu[cpu] = node;
  }
};

NodeRow& row_of(NodeRows& rows, const std::string& node) {
  NodeRow& row = rows[node];
  row.node = node;
  return row;
}

// One process and its threads counted into the rows, their lives into
// `lives`.
void count_process(const Launch& launch, const Process& p, NodeRows& rows, Lives& lives) {
  auto end_or_span = [&](double e) { return e < 0 ? launch.span : e; };
  const bool cpus = launch.banner.cpu_launch;
  NodeRow& row = row_of(rows, p.node);
  ++row.processes;
  if (cpus && p.cpu >= 0) ++row.cpus[p.cpu];
  // The main thread is the process's own task, counted as its process:
  // the threads count holds the threads it started, no more. Its placement
  // by the thread policy is counted apart (the library's thread counters
  // hold both); placed on a CPU of its own, it is a task on that CPU.
  if (!p.main_thread_node.empty()) {
    NodeRow& main_row = row_of(rows, p.main_thread_node);
    ++main_row.main_threads;
    if (cpus && p.main_thread_cpu >= 0 &&
        (p.main_thread_cpu != p.cpu || p.main_thread_node != p.node))
      ++main_row.cpus[p.main_thread_cpu];
  }
  lives.add(p.start, end_or_span(p.end), p.node, p.cpu, p.moves);
  for (const auto& th : p.threads) {
    NodeRow& trow = row_of(rows, th.node);
    ++trow.threads;
    if (cpus && th.cpu >= 0) ++trow.cpus[th.cpu];
    lives.add(th.start, end_or_span(th.end), th.node, th.cpu, th.moves);
  }
}

// The most spans open at once.
int peak_alive(const std::vector<Span>& list) {
  std::vector<std::pair<double, int>> ev;
  for (const auto& s : list) {
    ev.push_back({s.start, +1});
    ev.push_back({s.end, -1});
  }
  // At equal times ends go first: a task that ends as another starts
  // was not alive together with it.
  std::sort(ev.begin(), ev.end());
  int cur = 0, peak = 0;
  for (auto& e : ev) peak = std::max(peak, cur += e.second);
  return peak;
}

}  // namespace

std::vector<CrowdedCpu> count_nodes(Launch& launch) {
  NodeRows rows;
  for (int n : launch.launch_nodes) row_of(rows, std::to_string(n)).launch_node = true;
  Lives lives;
  lives.per_cpu = launch.banner.cpu_launch;
  for (const auto& p : launch.procs) count_process(launch, p, rows, lives);
  for (auto& [key, list] : lives.nodes) row_of(rows, key).peak_alive = peak_alive(list);
  std::vector<NodeRow> ordered;
  for (auto& [k, v] : rows) ordered.push_back(v);
  std::sort(ordered.begin(), ordered.end(), [](const NodeRow& a, const NodeRow& b) {
    bool sa = single_node(a.node), sb = single_node(b.node);
    if (sa != sb) return sa;
    if (sa) return std::stoi(a.node) < std::stoi(b.node);
    return a.node < b.node;
  });
  launch.nodes = ordered;
  std::vector<CrowdedCpu> crowded;
  for (auto& [cpu, list] : lives.cpus)
    if (int peak = peak_alive(list); peak > 1)
      crowded.push_back({cpu, lives.node_of_cpu[cpu], peak});
  return crowded;
}

void count_domains(Launch& launch) {
  if (launch.banner.unit.empty()) return;
  std::istringstream words(launch.banner.l3_domains);
  std::string w;
  while (words >> w) {
    const std::size_t at = w.rfind('@');
    if (at == std::string::npos) continue;
    DomainRow row;
    row.cpus = w.substr(0, at);
    row.node = std::atoi(w.c_str() + at + 1);
    launch.domains.push_back(row);
  }
  auto row_named = [&](const std::string& text) -> DomainRow& {
    const std::string cpus = text.empty() ? "-" : text;
    for (auto& row : launch.domains)
      if (row.cpus == cpus) return row;
    launch.domains.push_back({cpus});
    return launch.domains.back();
  };
  for (const auto& p : launch.procs) {
    ++row_named(p.l3_domain()).processes;
    for (const auto& th : p.threads) ++row_named(th.l3_domain()).threads;
    // A main thread placed by the thread policy (an OpenMP thread 0) is a
    // thread placement in its domain, as the library counts it.
    if (p.main_thread_record) {
      DomainRow& row = row_named(p.main_thread_l3());
      ++row.threads;
      ++row.main_threads;
    }
  }
}

}  // namespace zr
