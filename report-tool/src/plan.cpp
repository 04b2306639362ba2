// The dry run.  A launch's placements come from the counter tables of its
// data file and of each process's private (flat) tables; here both live in
// this program's memory, laid out exactly as the library lays them out, and
// the library's own policy functions make every choice.  The program shape
// is walked in a fixed order (the first process starts its threads, then its
// children one after another, each of which starts its threads), the order a
// program that creates and waits for each task in turn has.
#include "plan.h"

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/lock.h"
#include "core/ldata.h"
#include "logparse.h"
#include "placement/bind.h"
#include "placement/policy.h"
#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"
#include "shared/policy_table.h"

namespace zr {

bool parse_cpulist(const std::string& text, std::vector<int>& cpus) {
  cpus.clear();
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  if (t.empty()) return true;
  std::size_t pos = 0;
  while (pos <= t.size()) {
    std::size_t comma = t.find(',', pos);
    std::string item = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    int lo, hi;
    char extra;
    if (std::sscanf(item.c_str(), "%d-%d%c", &lo, &hi, &extra) == 2) {
    } else if (std::sscanf(item.c_str(), "%d%c", &lo, &extra) == 1) {
      hi = lo;
    } else {
      return false;
    }
    if (lo < 0 || hi < lo || hi > 65535) return false;
    for (int c = lo; c <= hi; ++c) cpus.push_back(c);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  std::sort(cpus.begin(), cpus.end());
  cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
  return true;
}

bool parse_nodes_cpus(const std::string& text, std::vector<PlanNode>& out, std::string& why) {
  out.clear();
  // Split at the commas; a word with ':' starts a node, a word without one
  // continues the CPU list of the node before it ("0:0-1,4,1:2-3").
  std::vector<std::pair<int, std::string>> parts;
  std::size_t pos = 0;
  while (true) {
    std::size_t comma = text.find(',', pos);
    std::string word =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    std::size_t colon = word.find(':');
    if (colon != std::string::npos) {
      int node;
      char extra;
      if (std::sscanf(word.substr(0, colon).c_str(), "%d%c", &node, &extra) != 1 || node < 0 ||
          node > 4095) {
        why = "bad node number in \"" + word + "\"";
        return false;
      }
      parts.push_back({node, word.substr(colon + 1)});
    } else if (!parts.empty() && !word.empty()) {
      parts.back().second += "," + word;
    } else {
      why = "\"" + word + "\" is not NODE:CPUS";
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  for (auto& [node, list] : parts) {
    PlanNode n{node, {}};
    if (!parse_cpulist(list, n.cpus) || n.cpus.empty()) {
      why = "bad CPU list \"" + list + "\" for node " + std::to_string(node);
      return false;
    }
    if (n.cpus.size() > static_cast<std::size_t>(zyg::kMaxCpusPerNode)) {
      why = "node " + std::to_string(node) + " has more than 256 CPUs";
      return false;
    }
    for (const auto& o : out)
      if (o.node_id == node) {
        why = "node " + std::to_string(node) + " given twice";
        return false;
      }
    out.push_back(n);
  }
  std::sort(out.begin(), out.end(),
            [](const PlanNode& a, const PlanNode& b) { return a.node_id < b.node_id; });
  return true;
}

bool read_topology(std::vector<PlanNode>& out, std::string& why) {
  out.clear();
  DIR* d = opendir("/sys/devices/system/node");
  if (!d) {
    why = "cannot read /sys/devices/system/node";
    return false;
  }
  while (dirent* e = readdir(d)) {
    int node;
    char extra;
    if (std::sscanf(e->d_name, "node%d%c", &node, &extra) != 1) continue;
    std::ifstream in(std::string("/sys/devices/system/node/") + e->d_name + "/cpulist");
    std::string list;
    std::getline(in, list);
    PlanNode n{node, {}};
    if (parse_cpulist(list, n.cpus) && !n.cpus.empty() &&
        n.cpus.size() <= static_cast<std::size_t>(zyg::kMaxCpusPerNode))
      out.push_back(n);
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const PlanNode& a, const PlanNode& b) { return a.node_id < b.node_id; });
  if (out.empty()) {
    why = "no node with CPUs under /sys/devices/system/node";
    return false;
  }
  return true;
}

bool parse_l3_sets(const std::string& text, std::vector<std::vector<int>>& out, std::string& why) {
  out.clear();
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t slash = text.find('/', pos);
    std::vector<int> cpus;
    if (!parse_cpulist(text.substr(pos, slash == std::string::npos ? slash : slash - pos), cpus) ||
        cpus.empty()) {
      why = "bad L3 set list \"" + text + "\" (cpulists separated by '/')";
      return false;
    }
    out.push_back(cpus);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return true;
}

namespace {
struct SetsFound {
  std::vector<std::vector<int>>* out;
  std::size_t words;
};
void keep_set(const unsigned long* set, void* ctx) {
  auto* f = static_cast<SetsFound*>(ctx);
  std::vector<int> cpus;
  for (std::size_t w = 0; w < f->words; ++w)
    for (unsigned b = 0; b < 8 * sizeof(unsigned long); ++b)
      if ((set[w] >> b) & 1UL) cpus.push_back(static_cast<int>(w * 8 * sizeof(unsigned long) + b));
  f->out->push_back(cpus);
}
}  // namespace

bool read_l3_sets(const std::vector<PlanNode>& topology, std::vector<std::vector<int>>& out,
                  std::string& why) {
  out.clear();
  int top = 0;
  for (const auto& n : topology)
    for (int c : n.cpus) top = std::max(top, c + 1);
  const std::size_t words = (static_cast<std::size_t>(top) + 63) / 64;
  std::vector<unsigned long> cpus(words), set(words), covered(words);
  for (const auto& n : topology)
    for (int c : n.cpus) cpus[c / 64] |= 1UL << (c % 64);
  SetsFound f{&out, words};
  int bad = -1;
  if (zyg::walk_l3_sets(zyg::kSysCpuDir, cpus.data(), words, set.data(), covered.data(), keep_set,
                        &f, &bad) != 0) {
    why = "no level-3 cache information for CPU " + std::to_string(bad) + " (give --l3-sets)";
    return false;
  }
  return true;
}

namespace {

std::string first_line_of(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A node list of the kernel into bits by node number.
bool node_bits(const std::string& text, std::vector<bool>& bits) {
  bool b[zyg::kMaxTierNodes];
  if (zyg::parse_node_bits(text.c_str(), b, zyg::kMaxTierNodes) != 0) return false;
  bits.assign(b, b + zyg::kMaxTierNodes);
  return true;
}

// "Mems_allowed_list:\t0-3" of /proc/self/status; every node when absent.
std::string mems_allowed_list() {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = "Mems_allowed_list:";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) {
      std::size_t at = line.find_first_not_of(" \t", key.size());
      return at == std::string::npos ? "" : line.substr(at);
    }
  return "0-" + std::to_string(zyg::kMaxTierNodes - 1);
}

}  // namespace

bool read_memory_tiers(MemoryTiers& out, std::string& why) {
  const std::string dir = "/sys/devices/system/node/";
  std::vector<bool> memory, cpu, allowed;
  if (!node_bits(first_line_of(dir + "has_memory"), memory) ||
      !node_bits(first_line_of(dir + "has_cpu"), cpu) || !node_bits(mems_allowed_list(), allowed)) {
    why = "cannot read the memory nodes under " + dir;
    return false;
  }
  out.usable.assign(zyg::kMaxTierNodes, false);
  out.distances.assign(zyg::kMaxTierNodes, {});
  bool any = false;
  for (int n = 0; n < zyg::kMaxTierNodes; ++n) {
    out.usable[n] = memory[n] && !cpu[n] && allowed[n];
    any = any || out.usable[n];
    if (!memory[n] && !cpu[n]) continue;
    std::istringstream row(first_line_of(dir + "node" + std::to_string(n) + "/distance"));
    for (int d; row >> d;) out.distances[n].push_back(d);
  }
  if (!any) {
    why = "no memory-only node on this machine or in its cpuset (a node with memory and no CPUs)";
    return false;
  }
  return true;
}

namespace {

// Each launch node's memory node by the library's own rule.
std::vector<std::pair<int, int>> memory_nodes_of(const MemoryTiers& t,
                                                 const std::vector<int>& launch) {
  std::vector<std::pair<int, int>> out;
  const int cnt = static_cast<int>(t.usable.size());
  std::vector<int> row(cnt, 0);
  std::unique_ptr<bool[]> usable(new bool[cnt]);
  for (int n = 0; n < cnt; ++n) usable[n] = t.usable[n];
  for (int node : launch) {
    const std::vector<int>* d =
        node >= 0 && node < static_cast<int>(t.distances.size()) ? &t.distances[node] : nullptr;
    for (int n = 0; n < cnt; ++n) row[n] = d && n < static_cast<int>(d->size()) ? (*d)[n] : 0;
    out.push_back({node, zyg::nearest_memonly(row.data(), usable.get(), cnt)});
  }
  return out;
}

// A binding: one node (and one CPU), the CPUs of all the launch nodes, or
// none (the task may run anywhere it inherited). Under L3 units `unit` is
// the l_nodes entry (the domain) and `node` its node.
struct Binding {
  int node = -1;
  int cpu = -1;
  bool launch_nodes = false;
  int unit = -1;
};

bool l3_units() { return zyg::ld.b.unit_kind == zyg::UNIT_L3; }

// How a choice or a count names the binding's unit (launch_choice).
int unit_value(const Binding& b) { return l3_units() ? b.unit : b.node; }

// What the library binds a new task to for the choice `c`, as set_launch
// decides it; `inherited` when it binds nothing.
Binding bound(const zyg::launch_choice& c, const Binding& inherited) {
  const int node = l3_units() && c.node >= 0 ? zyg::ld.l_nodes[c.node].node_id : c.node;
  const int unit = l3_units() ? c.node : -1;
  switch (zyg::bind_target_of(c.node, c.cpu)) {
    case zyg::BIND_CPU:
      return {node, c.cpu, false, unit};
    case zyg::BIND_NODE:
    case zyg::BIND_UNIT:
      return {node, -1, false, unit};
    case zyg::BIND_LAUNCH_NODES:
      return {-1, -1, true};
    case zyg::BIND_NOTHING:
      break;
  }
  return inherited;
}

// Each simulated process has its own private tables, as a forked child has
// its own copy of its parent's.
struct FlatTables {
  std::vector<int32_t> proc, thrd;  // empty when that scope is not flat
};

// The policies of a request, by their rows in the library's table.
struct Policies {
  const zyg::policy_info* proc;
  const zyg::policy_info* thrd;
  bool placed_processes() const { return proc->kind != zyg::KIND_NONE; }
  bool placed_threads() const { return thrd->kind != zyg::KIND_NONE; }
};

class Simulation {
 public:
  // `nodes` are the l_nodes entries: the launch nodes, or under L3 units
  // (`l3`) the domains.
  Simulation(const std::vector<PlanNode>& nodes, const Policies& pol, bool cpu, bool l3 = false)
      : proc_scope_(pol.proc->scope), thrd_scope_(pol.thrd->scope) {
    int config = 1;
    for (const auto& n : nodes) config = std::max(config, n.node_id + 1);
    const int node_cnt = config;
    config_ = l3 ? std::max(1, static_cast<int>(nodes.size()))
                 : std::max(config, static_cast<int>(nodes.size()));
    mem_.assign((zyg::ldata_file_size(config_) + 7) / 8, 0);
    auto* h = reinterpret_cast<zyg::ldata_hdr*>(mem_.data());
    zyg::ldata_write_layout(h, l3 ? node_cnt : config_, l3 ? config_ : 0);
    h->unit_kind = l3 ? zyg::UNIT_L3 : zyg::UNIT_NODE;
    h->avail_node_cnt = static_cast<int32_t>(nodes.size());
    h->cpu_launch = cpu ? 1 : 0;
    h->proc_kind = static_cast<uint32_t>(pol.proc->kind);
    h->proc_scope = static_cast<uint32_t>(pol.proc->scope);
    h->thrd_kind = static_cast<uint32_t>(pol.thrd->kind);
    h->thrd_scope = static_cast<uint32_t>(pol.thrd->scope);
    h->memfree_limit = 50;
    h->lib_loaded_cnt = 1;
    zyg::mutex_init(&h->ldata_lock);
    saved_ = zyg::ld;
    zyg::ldata_set_pointers(&zyg::ld, mem_.data(), zyg::ldata_file_size(config_));
    h->avail_cpu_cnt = fill_nodes(nodes);
  }
  ~Simulation() { zyg::ld = saved_; }
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  FlatTables fresh() const {
    FlatTables t;
    const std::size_t words = (zyg::table_size(config_) + 3) / 4;
    if (proc_scope_ == zyg::SCOPE_FLAT) t.proc.assign(words, 0);
    if (thrd_scope_ != zyg::SCOPE_TREE) t.thrd.assign(words, 0);
    return t;
  }

  // Points the library's view at one process's private tables.
  void enter(FlatTables& t) {
    zyg::ld.proc_flat =
        t.proc.empty() ? nullptr : reinterpret_cast<zyg::node_table*>(t.proc.data());
    zyg::ld.thrd_flat =
        t.thrd.empty() ? nullptr : reinterpret_cast<zyg::node_table*>(t.thrd.data());
    zyg::ld.proc = proc_scope_ == zyg::SCOPE_FLAT ? zyg::ld.proc_flat : zyg::ld.proc_tree;
    zyg::ld.thrd = thrd_scope_ == zyg::SCOPE_TREE ? zyg::ld.thrd_tree : zyg::ld.thrd_flat;
  }

 private:
  // The launch nodes into l_nodes, the others marked unused; returns their
  // CPU count.
  int fill_nodes(const std::vector<PlanNode>& nodes) {
    int cpus = 0;
    for (int i = 0; i < config_; ++i) zyg::ld.l_nodes[i].node_id = -1;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      zyg::l_node& ln = zyg::ld.l_nodes[i];
      ln.node_id = nodes[i].node_id;
      ln.num_cpus = static_cast<int32_t>(nodes[i].cpus.size());
      for (std::size_t k = 0; k < nodes[i].cpus.size(); ++k)
        ln.cpus[k] = static_cast<uint32_t>(nodes[i].cpus[k]);
      cpus += ln.num_cpus;
    }
    return cpus;
  }

  zyg::policy_scope proc_scope_, thrd_scope_;
  int config_ = 1;
  std::vector<uint64_t> mem_;
  zyg::ldata_view saved_{};
};

std::string node_text(const Binding& b) {
  if (b.launch_nodes) return "launch";
  return b.node < 0 ? "inherited" : std::to_string(b.node);
}

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
bool launch_nodes_of(const PlanRequest& req, std::vector<PlanNode>& nodes, std::string& why) {
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

// The program shape walked on the simulation: the first process with its
// threads, then each child in turn with its threads.
class Walk {
 public:
  Walk(const PlanRequest& req, const Policies& pol, Simulation& sim, Plan& plan)
      : req_(req), pol_(pol), sim_(sim), plan_(plan) {}

  void run() {
    FlatTables first = sim_.fresh();
    sim_.enter(first);
    Binding p0;
    if (pol_.placed_processes()) p0 = bound(zyg::get_proc_launch(), p0);
    add(0, -1, p0, pol_.placed_processes() ? "process policy (the first process)" : "not placed");
    // After its threads the main thread may have been moved (process policy
    // none): a child given no binding keeps that of the thread that forks it.
    const Binding forker = threads_of(0, p0, false);
    for (int k = 1; k <= req_.children; ++k) child(k, first, forker);
  }

 private:
  void add(int proc, int thread, const Binding& b, const std::string& how) {
    plan_.tasks.push_back({proc, thread, node_text(b), b.cpu, l3_units() ? b.unit : -1, how});
  }

  // Child k, made by the library's fork: the parent chooses (nothing
  // without a process policy), the child binds itself as set_launch decides.
  void child(int k, FlatTables& parent, const Binding& forker) {
    sim_.enter(parent);
    zyg::launch_choice c = zyg::get_proc_launch();
    Binding b = bound(c, forker);
    std::string how = pol_.placed_processes() ? "process policy"
                      : b.launch_nodes        ? "back on the launch nodes (only threads are placed)"
                                              : "inherits its parent's binding";
    add(k, -1, b, how);
    // The child starts with a copy of its parent's private tables, which
    // it then resets for itself.
    FlatTables own = parent;
    sim_.enter(own);
    zyg::reset_proc_flat(c.node, c.cpu);  // c.node: the unit as chosen
    zyg::reset_thrd_flat();
    threads_of(k, b, pol_.proc->alone);
  }

  // One process's threads; `alone_child`: placed by a policy that runs its
  // children without the library, so it places nothing. Returns where its
  // main thread runs after them.
  Binding threads_of(int proc, Binding self, bool alone_child) {
    const bool placing = pol_.placed_threads() && !alone_child;
    Binding main = self;
    if (req_.threads > 0 && placing) {
      // At its first thread creation the main thread is counted where the
      // process policy put it, or placed now when there is none.
      if (pol_.placed_processes()) {
        zyg::mark_thrd_launch(unit_value(self), self.cpu);
      } else {
        main = bound(zyg::get_thrd_launch(), self);
        add(proc, 0, main, "main thread placed at its first thread creation");
      }
    }
    for (int t = 1; t <= req_.threads; ++t) {
      if (placing)
        add(proc, t, bound(zyg::get_thrd_launch(), main), "thread policy");
      else if (alone_child)
        add(proc, t, main, std::string("stays with its ") + pol_.proc->name + " process");
      else
        add(proc, t, main, "inherits its creator's binding");
    }
    return main;
  }

  const PlanRequest& req_;
  const Policies& pol_;
  Simulation& sim_;
  Plan& plan_;
};

// The L3 domains of the launch nodes: each set cut to one node, by lowest
// CPU, as start-up builds them.
std::vector<PlanNode> l3_domains(const std::vector<PlanNode>& nodes,
                                 const std::vector<std::vector<int>>& sets) {
  std::vector<PlanNode> units;
  for (const auto& set : sets) {
    for (const auto& n : nodes) {
      PlanNode u{n.node_id, {}};
      for (int c : n.cpus)
        if (std::find(set.begin(), set.end(), c) != set.end()) u.cpus.push_back(c);
      if (!u.cpus.empty()) units.push_back(u);
    }
  }
  std::sort(units.begin(), units.end(),
            [](const PlanNode& a, const PlanNode& b) { return a.cpus.front() < b.cpus.front(); });
  units.erase(std::unique(units.begin(), units.end(),
                          [](const PlanNode& a, const PlanNode& b) { return a.cpus == b.cpus; }),
              units.end());
  return units;
}

}  // namespace

bool make_plan(const PlanRequest& req, Plan& plan, std::string& why) {
  plan = Plan{};
  plan.req = req;
  Policies pol{};
  if (!check_request(req, pol, why)) return false;
  std::vector<PlanNode> nodes;
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
  Walk(req, pol, sim, plan).run();
  return true;
}

namespace {

std::string cpus_text(const std::vector<int>& cpus) {
  std::string t;
  for (std::size_t i = 0; i < cpus.size(); ++i) {
    std::size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
    char item[32];
    if (j > i)
      std::snprintf(item, sizeof item, "%s%d-%d", t.empty() ? "" : ",", cpus[i], cpus[j]);
    else
      std::snprintf(item, sizeof item, "%s%d", t.empty() ? "" : ",", cpus[i]);
    t += item;
    i = j;
  }
  return t;
}

// Under --unit=l3: each domain's index, CPUs and node.
void write_plan_domains(std::ostream& out, const Plan& plan) {
  out << "\n  unit: l3, domains (L3 index: CPUs@node):";
  for (std::size_t i = 0; i < plan.units.size(); ++i)
    out << " " << i << ": " << cpus_text(plan.units[i].cpus) << "@" << plan.units[i].node_id;
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
