// The plain-text report: settings, per-node table, process tree, warnings.
#include <algorithm>
#include <cstdio>
#include <map>

#include "lists/node_list.h"
#include "views/text.h"
#include "views/views.h"

namespace zr {

std::string fmt_duration(double s) {
  char buf[64];
  if (s < 0) return "?";
  if (s < 1e-3)
    std::snprintf(buf, sizeof buf, "%.0f us", s * 1e6);
  else if (s < 1.0)
    std::snprintf(buf, sizeof buf, "%.1f ms", s * 1e3);
  else if (s < 120.0)
    std::snprintf(buf, sizeof buf, "%.3f s", s);
  else
    std::snprintf(buf, sizeof buf, "%.1f min", s / 60.0);
  return buf;
}

std::string end_text(EndKind kind, const std::string& how) {
  switch (kind) {
    case EndKind::kExited:
      return how;
    case EndKind::kWithProcess:
      return "ended with its process";
    case EndKind::kLeftTree:
      return "left the tree (" + how + ")";
    case EndKind::kUntracked:
      return "untracked after start (rr_pack)";
    case EndKind::kNeverEnded:
      return "NEVER ENDED (killed or still running)";
  }
  return "";
}

namespace {

// Where a task ran last.  When something other than the policy moved it,
// where the policy had put it follows: "node 3 (placed on node 1)".
std::string where(const std::string& node, int cpu, const Moves& moves) {
  if (!moves.rebound()) return place_text(node, cpu);
  const Stay placed = moves.placed(node, cpu);
  const Stay& last = moves.stays.back();
  if (last.node != placed.node || last.cpu != placed.cpu)
    return place_text(last.node, last.cpu) + " (placed on " + place_text(placed.node, placed.cpu) +
           ")";
  const Stay* away = moves.away();
  return place_text(last.node, last.cpu) + " (ran on " + place_text(away->node, away->cpu) +
         " for a time)";
}

// A task's L3 domain after its place (under L3 units only).
std::string domain(const std::string& cpus) { return cpus.empty() ? "" : " l3 " + cpus; }

std::string when(double start, double end) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "@%.6f", start);
  return std::string(buf) + " " + (end < 0 ? std::string("-") : fmt_duration(end - start));
}

std::string clip(const std::string& s, std::size_t n) {
  return s.size() <= n ? s : s.substr(0, n - 3) + "...";
}

constexpr int kMaxShownDepth = 200;

class TreePrinter {
 public:
  TreePrinter(std::ostream& out, const Launch& launch, const TextOptions& opt)
      : out_(out), L_(launch), opt_(opt) {}

  void root(int id) {
    line("", id);
    children(id, "", 1);
  }

 private:
  std::ostream& out_;
  const Launch& L_;
  const TextOptions& opt_;

  void line(const std::string& lead, int id) {
    const Process& p = L_.procs[id];
    out_ << lead << p.pid << " " << p.chain() << "  [" << where(p.node, p.cpu, p.moves)
         << domain(p.l3_domain()) << "]  " << when(p.start, p.end) << "  "
         << end_text(p.end_kind, p.end_how) << "\n";
  }

  // Lines under a process (its details, then its children) start with this.
  void details(const std::string& pre, const Process& p) {
    // A forked child that did not exec runs its parent's command line:
    // shown once, at the parent.
    const std::string cmd = p.last_cmdline();
    const bool same_as_parent =
        p.parent >= 0 && p.execs.empty() && L_.procs[p.parent].last_cmdline() == cmd;
    if (!cmd.empty() && !same_as_parent) out_ << pre << "cmd: " << clip(cmd, 100) << "\n";
    for (const auto& e : p.execs) {
      // The chain on the process line names every image; the calls are
      // listed when asked for, or when one did not start a new image.
      if (!opt_.expand && e.started) continue;
      out_ << pre << e.call << "(" << e.file << ")"
           << (e.refused.empty() ? "" : " [" + e.refused + "]")
           << (e.started || !e.refused.empty() ? "" : " [no new image: failed or cut]") << "\n";
    }
    if (!p.main_thread_node.empty())
      out_ << pre << "main thread at its first thread creation: "
           << place_text(p.main_thread_node, p.main_thread_cpu) << domain(p.main_thread_l3())
           << "\n";
    if (!p.threads.empty()) {
      if (opt_.expand || p.threads.size() <= 8) {
        for (const auto& th : p.threads)
          out_ << pre << "thread " << th.tid << "  [" << where(th.node, th.cpu, th.moves)
               << domain(th.l3_domain()) << "]  " << when(th.start, th.end) << "  "
               << end_text(th.end_kind, th.end_how) << "\n";
      } else {
        std::map<std::string, int> per;
        int open = 0, moved = 0;
        for (const auto& th : p.threads) {
          ++per[th.node];
          open += th.end_kind == EndKind::kNeverEnded;
          moved += th.moves.rebound();
        }
        out_ << pre << p.threads.size() << " threads on";
        for (auto& [n, c] : per) out_ << " node " << n << ": " << c << ";";
        if (open) out_ << " " << open << " never ended";
        if (moved) out_ << (open ? ";" : "") << " " << moved << " moved outside the launch policy";
        out_ << " (--expand lists them)\n";
      }
    }
    // A make or a shell spawns the same program many times: one line each.
    std::vector<std::pair<std::string, int>> calls;
    for (const auto& c : p.calls) {
      auto it =
          std::find_if(calls.begin(), calls.end(), [&](const auto& e) { return e.first == c; });
      if (it == calls.end())
        calls.push_back({c, 1});
      else
        ++it->second;
    }
    for (const auto& [c, n] : calls)
      out_ << pre << "call: " << clip(c, 100) << (n > 1 ? " x " + std::to_string(n) : "") << "\n";
    for (const auto& n : p.notes) out_ << pre << "report: " << clip(n, 120) << "\n";
  }

  // One entry of a child list: a process, or a group of alike leaves.
  struct Entry {
    std::vector<int> ids;
  };

  bool plain_leaf(const Process& p) const {
    return p.children.empty() && p.threads.empty() && p.notes.empty() && p.calls.empty() &&
           p.end_kind == EndKind::kExited && p.main_thread_node.empty() && !p.moves.rebound();
  }

  // The children shown under --top (the largest subtrees, in their order of
  // creation); `hidden` and `hidden_procs` count what is left out.
  std::vector<int> shown_children(const Process& p, int& hidden, int& hidden_procs) const {
    std::vector<int> kids = p.children;
    hidden = 0;
    hidden_procs = 0;
    if (opt_.top >= 0 && static_cast<int>(kids.size()) > opt_.top) {
      std::stable_sort(kids.begin(), kids.end(), [&](int a, int b) {
        return L_.procs[a].subtree_size > L_.procs[b].subtree_size;
      });
      for (std::size_t i = opt_.top; i < kids.size(); ++i) {
        ++hidden;
        hidden_procs += L_.procs[kids[i]].subtree_size;
      }
      kids.resize(opt_.top);
      std::sort(kids.begin(), kids.end());
    }
    return kids;
  }

  // Alike leaves (same command chain, nothing below, a normal end) are
  // shown as one line: a make or a shell loop starts hundreds of them.
  std::vector<Entry> group_alike(const std::vector<int>& kids) const {
    std::vector<Entry> entries;
    std::map<std::string, std::size_t> group_of;
    for (int k : kids) {
      const Process& c = L_.procs[k];
      if (!opt_.expand && plain_leaf(c)) {
        auto it = group_of.find(c.chain());
        if (it != group_of.end()) {
          entries[it->second].ids.push_back(k);
          continue;
        }
        group_of[c.chain()] = entries.size();
      }
      entries.push_back({{k}});
    }
    return entries;
  }

  // One line for a group of alike leaves: their nodes and lifetimes.
  void group_line(const std::string& lead, const std::vector<int>& ids) {
    std::map<std::string, int> per;
    double lo = -1, hi = 0;
    std::string pids;
    for (std::size_t j = 0; j < ids.size(); ++j) {
      const Process& c = L_.procs[ids[j]];
      ++per[c.cpu >= 0 ? c.node + "/cpu " + std::to_string(c.cpu) : c.node];
      double d = c.end - c.start;
      lo = lo < 0 ? d : std::min(lo, d);
      hi = std::max(hi, d);
      if (j < 6) {
        if (j) pids += ",";
        pids += std::to_string(c.pid);
      }
    }
    if (ids.size() > 6) pids += ",...";
    out_ << lead << ids.size() << " x " << L_.procs[ids[0]].chain() << "  (PID " << pids << ")  [";
    bool first = true;
    for (auto& [n, c] : per) {
      out_ << (first ? "" : ", ") << "node " << n << ": " << c;
      first = false;
    }
    out_ << "]  lived " << fmt_duration(lo) << " to " << fmt_duration(hi) << "\n";
  }

  void children(int id, const std::string& pre, int depth) {
    const Process& p = L_.procs[id];
    const bool more = !p.children.empty();
    details(pre + (more ? "|   " : "    "), p);
    if (!more) return;
    // Without --depth a chain of thousands of processes would indent off
    // any screen (and recurse as deep): it is cut at kMaxShownDepth.
    const int limit = opt_.depth >= 0 ? opt_.depth : kMaxShownDepth;
    if (depth > limit) {
      out_ << pre << "`-- ... " << (p.subtree_size - 1) << " descendant processes below depth "
           << limit << " (--depth)\n";
      return;
    }
    int hidden, hidden_procs;
    const std::vector<Entry> entries = group_alike(shown_children(p, hidden, hidden_procs));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const bool last = i + 1 == entries.size() && hidden == 0;
      const auto& ids = entries[i].ids;
      if (ids.size() >= 3) {
        group_line(pre + (last ? "`-- " : "|-- "), ids);
        continue;
      }
      for (std::size_t j = 0; j < ids.size(); ++j) {
        const bool l2 = last && j + 1 == ids.size();
        line(pre + (l2 ? "`-- " : "|-- "), ids[j]);
        children(ids[j], pre + (l2 ? "    " : "|   "), depth + 1);
      }
    }
    if (hidden)
      out_ << pre << "`-- ... " << hidden << " more children with " << hidden_procs
           << " processes (--top)\n";
  }
};

// The banner's node counts. Under L3 units the available count is the
// domains'.
std::string nodes_counted(const Banner& b) {
  if (!b.unit.empty())
    return std::to_string(b.config_node_cnt) + " configured; " + std::to_string(b.avail_node_cnt) +
           " L3 domains available";
  return std::to_string(b.avail_node_cnt) + " available of " + std::to_string(b.config_node_cnt) +
         " configured";
}

void write_settings(std::ostream& out, const Launch& launch) {
  out << "\nLaunch settings\n";
  if (launch.has_banner) {
    const Banner& b = launch.banner;
    std::string nodes = b.launch_nodes;
    if (!launch.launch_nodes.empty()) {
      nodes += "  (nodes";
      for (int n : launch.launch_nodes) {
        nodes += ' ';
        nodes += std::to_string(n);
      }
      nodes += ")";
    }
    out << "  Version            " << b.version << "\n"
        << "  Process policy     " << b.proc_policy << "\n"
        << "  Thread policy      " << b.thrd_policy << "\n"
        << "  CPU launch         " << (b.cpu_launch ? "Yes" : "No") << "\n"
        << "  Launch nodes       " << nodes << "\n"
        << "  Nodes              " << nodes_counted(b) << "\n"
        << "  Initial PID        " << b.initial_pid << "\n"
        << "  Log file           " << (b.log_file.empty() ? "-" : b.log_file) << "\n"
        << "  Error file         " << (b.error_file.empty() ? "-" : b.error_file) << "\n";
    if (!b.unit.empty())
      out << "  Placement unit     " << b.unit << "\n"
          << "  L3 domains         " << b.l3_domains << "  (CPUs@node, in round-robin order)\n";
    if (!b.memory_mode.empty())
      out << "  Memory             " << b.memory_mode << " (" << memory_nodes_text(b.memory_nodes)
          << ")\n";
  } else {
    out << "  (unknown: no banner)\n";
  }
  out << "  Records            " << launch.records << " over " << fmt_duration(launch.span) << ": "
      << launch.procs.size() << (launch.procs.size() == 1 ? " process, " : " processes, ")
      << launch.thread_count() << (launch.thread_count() == 1 ? " thread\n" : " threads\n");
}

void write_node_table(std::ostream& out, const Launch& launch) {
  out << "\nPer node\n";
  const bool cpus = launch.banner.cpu_launch;
  // Under a memory mode other than local: each node's memory node.
  const bool memory = !launch.banner.memory_mode.empty();
  char buf[160];
  std::snprintf(buf, sizeof buf, "  %-8s %10s %8s %11s%s%s\n", "Node", "Processes", "Threads",
                "Peak alive", memory ? "  Memory node" : "", cpus ? "  CPUs used (tasks)" : "");
  out << buf;
  for (const auto& row : launch.nodes) {
    std::string name = row.node.empty() ? "(none)" : row.node;
    if (!row.launch_node && !launch.launch_nodes.empty()) name += "*";
    std::snprintf(buf, sizeof buf, "  %-8s %10d %8d %11d", name.c_str(), row.processes, row.threads,
                  row.peak_alive);
    out << buf;
    if (memory) {
      const int mem = memory_node_of(launch.banner, row.node);
      std::snprintf(buf, sizeof buf, "  %11s", mem < 0 ? "-" : std::to_string(mem).c_str());
      out << buf;
    }
    if (cpus) {
      out << " ";
      for (auto& [c, n] : row.cpus) out << " " << c << "(" << n << ")";
    }
    out << "\n";
  }
  if (!launch.launch_nodes.empty())
    for (const auto& row : launch.nodes)
      if (!row.launch_node) {
        out << "  * not a single launch node (an unbound task shows all its nodes)\n";
        break;
      }
}

// Under L3 units: the tasks that started in each domain.
void write_domain_table(std::ostream& out, const Launch& launch) {
  if (launch.domains.empty()) return;
  out << "\nPer L3 domain\n";
  char buf[160];
  std::snprintf(buf, sizeof buf, "  %-12s %4s %10s %8s\n", "Domain CPUs", "Node", "Processes",
                "Threads");
  out << buf;
  int main_threads = 0;
  for (const auto& row : launch.domains) {
    std::snprintf(buf, sizeof buf, "  %-12s %4s %10d %8d\n", row.cpus.c_str(),
                  row.node < 0 ? "-" : std::to_string(row.node).c_str(), row.processes,
                  row.threads);
    out << buf;
    main_threads += row.main_threads;
  }
  if (main_threads > 0)
    out << "  Threads: placed by the thread policy, " << main_threads
        << (main_threads == 1 ? " main thread" : " main threads")
        << " placed at the first thread creation included (as --live counts them)\n";
}

void write_tree(std::ostream& out, const Launch& launch, const TextOptions& opt) {
  out << "\nProcess tree  " << kTreeLegend << "\n";
  TreePrinter tp(out, launch, opt);
  for (int r : launch.roots) tp.root(r);
  if (launch.roots.empty()) out << "  (no process records)\n";
}

void write_launch(std::ostream& out, const Launch& launch, const TextOptions& opt,
                  std::size_t index, std::size_t count) {
  if (count > 1)
    out << "\n=== Launch " << index + 1 << " of " << count << " (from line " << launch.first_line
        << ")\n";
  write_settings(out, launch);
  write_node_table(out, launch);
  write_domain_table(out, launch);
  if (!opt.summary) write_tree(out, launch, opt);
  out << "\nWarnings\n";
  if (launch.warnings.empty()) out << "  none\n";
  for (const auto& w : launch.warnings) out << "  - " << w << "\n";
}

}  // namespace

void write_process_tree(std::ostream& out, const Launch& launch, int root, const TextOptions& opt) {
  TreePrinter(out, launch, opt).root(root);
}

void write_text(std::ostream& out, const Report& rep, const TextOptions& opt) {
  out << "zyg-nox launch report: " << rep.source << "\n";
  for (std::size_t i = 0; i < rep.launches.size(); ++i)
    write_launch(out, rep.launches[i], opt, i, rep.launches.size());
  const Input& in = rep.input;
  if (!in.bad_lines.empty() || in.last_line_cut) {
    out << "\nInput problems\n";
    if (in.last_line_cut)
      out << "  - the last line is cut short (the log was still being written, or was truncated)\n";
    for (const auto& b : in.bad_lines) out << "  - line " << b.line << ": " << b.why << "\n";
  }
}

}  // namespace zr
