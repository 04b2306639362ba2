// Tasks placed other than the launch's policies predict, by each policy's
// kind and scope (model/policies.h).
#include <algorithm>
#include <map>

#include "model/policies.h"
#include "model/warnings.h"

namespace zr {

namespace {

// What the policies spread over: the launch's L3 domains under L3 units
// (as the banner names them), its nodes otherwise; each by the text a
// task's place is counted under.
struct Units {
  std::vector<std::string> keys;
  const char* label;  // "node " or "domain "
};

Units units_of(const Launch& launch) {
  Units u{{}, "node "};
  if (launch.l3_units()) {
    u.label = "domain ";
    for (const auto& d : launch.domains)
      if (d.node >= 0) u.keys.push_back(d.cpus);
    return u;
  }
  for (int n : launch.launch_nodes) u.keys.push_back(std::to_string(n));
  return u;
}

// Where a task was placed, as Units counts it: its domain under L3 units.
const std::string& unit_of(const Launch& launch, const std::string& node, const std::string& l3) {
  return launch.l3_units() ? l3 : node;
}

// Counts of tasks over the units: max - min. Places outside them are
// ignored here (tasks off the launch nodes get their own warning).
int spread(const std::map<std::string, int>& counts, const Units& units) {
  if (units.keys.empty()) return 0;
  int lo = -1, hi = 0;
  for (const auto& k : units.keys) {
    auto it = counts.find(k);
    int c = it == counts.end() ? 0 : it->second;
    lo = lo < 0 ? c : std::min(lo, c);
    hi = std::max(hi, c);
  }
  return hi - lo;
}

std::string fmt_counts(const std::map<std::string, int>& counts, const Units& units) {
  std::string s;
  for (const auto& k : units.keys) {
    auto it = counts.find(k);
    s += (s.empty() ? "" : ", ") + std::string(units.label) + k + ": " +
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

// The units (nodes, or L3 domains) no task was placed on: "0-1, 4-5".
std::string unused_units(const Launch& launch) {
  std::string unused;
  auto add = [&](const std::string& name) { unused += (unused.empty() ? "" : ", ") + name; };
  if (launch.l3_units()) {
    for (const auto& d : launch.domains)
      if (d.node >= 0 && d.processes == 0 && d.threads == 0) add(d.cpus);
    return unused;
  }
  for (const auto& row : launch.nodes)
    if (row.launch_node && row.processes == 0 && row.threads == 0 && row.main_threads == 0)
      add(row.node);
  return unused;
}

// Launch nodes (or L3 domains) no task used although a spreading policy
// placed tasks enough, and nodes outside the launch nodes.
void warn_about_nodes(Launch& launch, bool memfree_warned) {
  const Banner& b = launch.banner;
  const int want = static_cast<int>(units_of(launch).keys.size());
  const bool by_procs = spreads(b.proc_policy) && static_cast<int>(launch.procs.size()) >= want;
  const bool by_threads = spreads(b.thrd_policy) && launch.thread_count() >= want;
  if (launch.has_banner && !memfree_warned && (by_procs || by_threads)) {
    const std::string unused = unused_units(launch);
    const bool memfree =
        (by_procs && is_memfree(b.proc_policy)) || (by_threads && is_memfree(b.thrd_policy));
    if (!unused.empty())
      warn(launch, std::string(launch.l3_units() ? "L3 domains never used: "
                                                 : "launch nodes never used: ") +
                       unused +
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

// The spread of tasks counted by unit: its warning's text (the policy
// named, the counts, `tail`) when it is wider than one.
bool uneven(Launch& launch, const std::map<std::string, int>& c, const std::string& what,
            const char* tail) {
  const Units units = units_of(launch);
  if (spread(c, units) <= 1) return false;
  warn(launch, what + " (" + fmt_counts(c, units) + tail + ")");
  return true;
}

constexpr char kRoundRobin[] = "; round robin predicts a difference of at most 1";

// The process policy's imbalance checks (see warn_about_spread).
void warn_process_spread(Launch& launch, const zyg::policy_info& pol) {
  const std::string name = pol.name;
  auto unit = [&](const Process& p) -> const std::string& {
    return unit_of(launch, p.node, p.l3_domain());
  };
  switch (spread_of(pol, false)) {
    case Spread::kEven: {
      std::map<std::string, int> c;
      for (const auto& p : launch.procs) ++c[unit(p)];
      uneven(launch, c, "processes are unevenly spread for " + name, kRoundRobin);
      return;
    }
    case Spread::kEvenPerCreator:
      for (const auto& p : launch.procs) {
        std::map<std::string, int> c;
        for (int ch : p.children) ++c[unit(launch.procs[ch])];
        if (p.children.size() >= units_of(launch).keys.size() &&
            uneven(launch, c,
                   "children of PID " + std::to_string(p.pid) + " are unevenly spread for " + name,
                   ""))
          return;
      }
      return;
    case Spread::kWithCreator:
      for (const auto& p : launch.procs)
        for (int ch : p.children) {
          const Process& c = launch.procs[ch];
          if (unit(c) != unit(p) && single_node(p.node)) {
            warn(launch, "under " + name + ", child PID " + std::to_string(c.pid) + " is on " +
                             units_of(launch).label + unit(c) + ", not on its creator's " +
                             units_of(launch).label + unit(p));
            return;
          }
        }
      return;
    case Spread::kUnjudged:
      return;
  }
}

// The thread policy's imbalance checks (see warn_about_spread).
void warn_thread_spread(Launch& launch, const zyg::policy_info& pol) {
  const std::string name = pol.name;
  auto unit = [&](const Thread& th) -> const std::string& {
    return unit_of(launch, th.node, th.l3_domain());
  };
  switch (spread_of(pol, true)) {
    case Spread::kEven: {
      // Main threads are counted where their process already runs, not by
      // the shared cursor, so only the threads themselves are judged.
      std::map<std::string, int> c;
      for (const auto& p : launch.procs)
        for (const auto& th : p.threads) ++c[unit(th)];
      uneven(launch, c, "threads are unevenly spread for " + name, kRoundRobin);
      return;
    }
    case Spread::kEvenPerCreator:
      for (const auto& p : launch.procs) {
        std::map<std::string, int> c;
        if (!p.main_thread_node.empty())
          ++c[unit_of(launch, p.main_thread_node, p.main_thread_l3())];
        for (const auto& th : p.threads) ++c[unit(th)];
        if (uneven(launch, c,
                   "threads of PID " + std::to_string(p.pid) + " are unevenly spread for " + name,
                   ""))
          return;
      }
      return;
    case Spread::kWithCreator:
      for (const auto& p : launch.procs)
        for (const auto& th : p.threads) {
          const std::string& own = unit_of(launch, p.node, p.l3_domain());
          if (unit(th) != own && single_node(p.node)) {
            warn(launch, "under thread policy " + name + ", thread " + std::to_string(th.tid) +
                             " is on " + units_of(launch).label + unit(th) +
                             ", not on its process's " + units_of(launch).label + own);
            return;
          }
        }
      return;
    case Spread::kUnjudged:
      return;
  }
}

}  // namespace

// Imbalance beyond what the policy predicts, over the units the policies
// chose among (the L3 domains under L3 units).  Round robin with counters
// shared by the tree keeps the counts within one of each other; with
// private counters the same holds for the children of each process;
// pack keeps every child on its creator's unit.  Fill-first and memfree
// depend on CPU counts and free memory that the log does not hold.
void warn_about_spread(Launch& launch) {
  if (!launch.has_banner || units_of(launch).keys.size() <= 1) return;
  if (const zyg::policy_info* p = policy_of(launch.banner.proc_policy))
    warn_process_spread(launch, *p);
  if (const zyg::policy_info* p = policy_of(launch.banner.thrd_policy))
    warn_thread_spread(launch, *p);
}

}  // namespace zr
