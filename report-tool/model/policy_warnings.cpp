// Tasks placed other than the launch's policies predict, by each policy's
// kind and scope (model/policies.h).
#include <algorithm>
#include <map>

#include "model/policies.h"
#include "model/warnings.h"

namespace zr {

namespace {

// Counts of tasks over the launch nodes: max - min.  Nodes outside the
// launch nodes are ignored here (they get their own warning).
int spread(const std::map<std::string, int>& counts, const std::vector<int>& launch_nodes) {
  if (launch_nodes.empty()) return 0;
  int lo = -1, hi = 0;
  for (int n : launch_nodes) {
    auto it = counts.find(std::to_string(n));
    int c = it == counts.end() ? 0 : it->second;
    lo = lo < 0 ? c : std::min(lo, c);
    hi = std::max(hi, c);
  }
  return hi - lo;
}

std::string fmt_counts(const std::map<std::string, int>& counts,
                       const std::vector<int>& launch_nodes) {
  std::string s;
  for (int n : launch_nodes) {
    auto it = counts.find(std::to_string(n));
    s += (s.empty() ? "" : ", ") + std::string("node ") + std::to_string(n) + ": " +
         std::to_string(it == counts.end() ? 0 : it->second);
  }
  return s;
}

// Round robin and memfree use every launch node (model/policies.h).
bool spreads(const std::string& policy) {
  const zyg::policy_info* p = policy_of(policy);
  return p && uses_every_node(*p);
}

bool is_memfree(const std::string& policy) {
  const zyg::policy_info* p = policy_of(policy);
  return p && p->kind == zyg::KIND_MEMFREE;
}

constexpr char kMemfreeLimit[] =
    "the free-memory limit's share of its memory free (the limit, set with -m, is not in the log)";

// The one node every task of a kind was placed on, or empty when they used
// more than one (or fewer than two were placed).
std::string single_node_of(const std::vector<const std::string*>& nodes) {
  if (nodes.size() < 2) return "";
  for (const std::string* n : nodes)
    if (*n != *nodes.front() || !single_node(*n)) return "";
  return *nodes.front();
}

}  // namespace

// Under memfree every choice takes the node with the most free memory when
// no launch node has the limit's share free: all tasks on one node say that
// no other launch node had it.  True when it warned.
bool warn_about_memfree(Launch& launch) {
  if (!launch.has_banner || launch.launch_nodes.size() <= 1) return false;
  bool warned = false;
  auto judge = [&](const std::string& policy, const char* what,
                   const std::vector<const std::string*>& nodes) {
    const std::string node = is_memfree(policy) ? single_node_of(nodes) : "";
    if (node.empty()) return;
    warn(launch, "under " + policy + " all " + std::to_string(nodes.size()) + " " + what +
                     " went to node " + node + ": no launch node other than node " + node +
                     " had " + kMemfreeLimit);
    warned = true;
  };
  std::vector<const std::string*> procs, threads;
  for (const auto& p : launch.procs) {
    procs.push_back(&p.node);
    for (const auto& th : p.threads) threads.push_back(&th.node);
  }
  judge(launch.banner.proc_policy, "processes", procs);
  judge(launch.banner.thrd_policy, "threads", threads);
  return warned;
}

// Launch nodes no task used although a spreading policy placed tasks
// enough, and nodes outside the launch nodes.
void warn_about_nodes(Launch& launch, bool memfree_warned) {
  const Banner& b = launch.banner;
  const int want = static_cast<int>(launch.launch_nodes.size());
  const bool by_procs = spreads(b.proc_policy) && static_cast<int>(launch.procs.size()) >= want;
  const bool by_threads = spreads(b.thrd_policy) && launch.thread_count() >= want;
  if (launch.has_banner && !memfree_warned && (by_procs || by_threads)) {
    std::string unused;
    for (const auto& row : launch.nodes)
      if (row.launch_node && row.processes == 0 && row.threads == 0 && row.main_threads == 0) {
        if (!unused.empty()) unused += ", ";
        unused += row.node;
      }
    const bool memfree =
        (by_procs && is_memfree(b.proc_policy)) || (by_threads && is_memfree(b.thrd_policy));
    if (!unused.empty())
      warn(launch, "launch nodes never used: " + unused +
                       (memfree ? std::string(" (memfree skips a node that has less than ") +
                                      kMemfreeLimit + ")"
                                : ""));
  }
  std::string off;
  for (const auto& row : launch.nodes)
    if (!row.launch_node && single_node(row.node) && !launch.launch_nodes.empty()) {
      if (!off.empty()) off += ", ";
      off += row.node;
    }
  if (!off.empty()) warn(launch, "tasks ran on nodes outside the launch nodes: " + off);
}

namespace {

// The spread of tasks counted by node: its warning's text (the policy
// named, the counts, `tail`) when it is wider than one.
bool uneven(Launch& launch, const std::map<std::string, int>& c, const std::string& what,
            const char* tail) {
  if (spread(c, launch.launch_nodes) <= 1) return false;
  warn(launch, what + " (" + fmt_counts(c, launch.launch_nodes) + tail + ")");
  return true;
}

constexpr char kRoundRobin[] = "; round robin predicts a difference of at most 1";

// The process policy's imbalance checks (see warn_about_spread).
void warn_process_spread(Launch& launch, const zyg::policy_info& pol) {
  const std::string name = pol.name;
  switch (spread_of(pol, false)) {
    case Spread::kEven: {
      std::map<std::string, int> c;
      for (const auto& p : launch.procs) ++c[p.node];
      uneven(launch, c, "processes are unevenly spread for " + name, kRoundRobin);
      return;
    }
    case Spread::kEvenPerCreator:
      for (const auto& p : launch.procs) {
        std::map<std::string, int> c;
        for (int ch : p.children) ++c[launch.procs[ch].node];
        if (p.children.size() >= launch.launch_nodes.size() &&
            uneven(launch, c,
                   "children of PID " + std::to_string(p.pid) + " are unevenly spread for " + name,
                   ""))
          return;
      }
      return;
    case Spread::kWithCreator:
      for (const auto& p : launch.procs)
        for (int ch : p.children)
          if (launch.procs[ch].node != p.node && single_node(p.node)) {
            warn(launch, "under " + name + ", child PID " + std::to_string(launch.procs[ch].pid) +
                             " is on node " + launch.procs[ch].node +
                             ", not on its creator's node " + p.node);
            return;
          }
      return;
    case Spread::kUnjudged:
      return;
  }
}

// The thread policy's imbalance checks (see warn_about_spread).
void warn_thread_spread(Launch& launch, const zyg::policy_info& pol) {
  const std::string name = pol.name;
  switch (spread_of(pol, true)) {
    case Spread::kEven: {
      // Main threads are counted where their process already runs, not by
      // the shared cursor, so only the threads themselves are judged.
      std::map<std::string, int> c;
      for (const auto& p : launch.procs)
        for (const auto& th : p.threads) ++c[th.node];
      uneven(launch, c, "threads are unevenly spread for " + name, kRoundRobin);
      return;
    }
    case Spread::kEvenPerCreator:
      for (const auto& p : launch.procs) {
        std::map<std::string, int> c;
        if (!p.main_thread_node.empty()) ++c[p.main_thread_node];
        for (const auto& th : p.threads) ++c[th.node];
        if (uneven(launch, c,
                   "threads of PID " + std::to_string(p.pid) + " are unevenly spread for " + name,
                   ""))
          return;
      }
      return;
    case Spread::kWithCreator:
      for (const auto& p : launch.procs)
        for (const auto& th : p.threads)
          if (th.node != p.node && single_node(p.node)) {
            warn(launch, "under thread policy " + name + ", thread " + std::to_string(th.tid) +
                             " is on node " + th.node + ", not on its process's node " + p.node);
            return;
          }
      return;
    case Spread::kUnjudged:
      return;
  }
}

}  // namespace

// Imbalance beyond what the policy predicts.  Round robin with counters
// shared by the tree keeps the counts within one of each other; with
// private counters the same holds for the children of each process;
// pack keeps every child on its creator's node.  Fill-first and memfree
// depend on CPU counts and free memory that the log does not hold.
void warn_about_spread(Launch& launch) {
  if (!launch.has_banner || launch.launch_nodes.size() <= 1) return;
  if (const zyg::policy_info* p = policy_of(launch.banner.proc_policy))
    warn_process_spread(launch, *p);
  if (const zyg::policy_info* p = policy_of(launch.banner.thrd_policy))
    warn_thread_spread(launch, *p);
}

}  // namespace zr
