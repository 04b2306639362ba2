// simulation.h - a launch's counter tables in this program's memory, laid out
// exactly as the library lays them out, with the library's view `ld` pointed
// at them for the time of a plan: its own policy functions then make every
// choice, and its own rule says what each choice binds. Internal to --plan.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ldata.h"
#include "placement/policy.h"
#include "shared/policy_table.h"
#include "start/datafile.h"
#include "topology/topology.h"

namespace zr {

// A binding: one node (and one CPU), the CPUs of all the launch nodes, or
// none (the task may run anywhere it inherited). Under L3 units `unit` is
// the l_nodes entry (the domain) and `node` its node.
struct Binding {
  int node = -1;
  int cpu = -1;
  bool launch_nodes = false;
  int unit = -1;
};

// Whether the simulated launch places on L3 domains (the library's view).
bool l3_units();

// How a choice or a count names the binding's unit (launch_choice).
int unit_value(const Binding& b);

// What the library binds a new task to for the choice `c`, as set_launch
// decides it; `inherited` when it binds nothing.
Binding bound(const zyg::launch_choice& c, const Binding& inherited);

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
  Simulation(const std::vector<NodeCpus>& nodes, const Policies& pol, bool cpu, bool l3 = false)
      : proc_scope_(pol.proc->scope), thrd_scope_(pol.thrd->scope) {
    int config = 1;
    for (const auto& n : nodes) config = std::max(config, n.node_id + 1);
    const int node_cnt = config;
    entries_ = l3 ? std::max(1, static_cast<int>(nodes.size()))
                  : std::max(config, static_cast<int>(nodes.size()));
    mem_.assign((zyg::ldata_file_size(entries_) + 7) / 8, 0);
    auto* h = reinterpret_cast<zyg::ldata_hdr*>(mem_.data());
    zyg::ldata_write_layout(h, l3 ? node_cnt : entries_, l3 ? entries_ : 0);
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
    zyg::ldata_set_pointers(&zyg::ld, mem_.data(), zyg::ldata_file_size(entries_));
    h->avail_cpu_cnt = fill_nodes(nodes);
  }
  ~Simulation() { zyg::ld = saved_; }
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  FlatTables fresh() const {
    FlatTables t;
    const std::size_t words = (zyg::table_size(entries_) + 3) / 4;
    if (proc_scope_ == zyg::SCOPE_FLAT) t.proc.assign(words, 0);
    if (thrd_scope_ != zyg::SCOPE_TREE) t.thrd.assign(words, 0);
    return t;
  }

  // Points the library's view at one process's private tables; which table
  // each policy then counts in is start-up's own choice by the scopes in
  // the header.
  void enter(FlatTables& t) {
    zyg::ld.proc_flat =
        t.proc.empty() ? nullptr : reinterpret_cast<zyg::node_table*>(t.proc.data());
    zyg::ld.thrd_flat =
        t.thrd.empty() ? nullptr : reinterpret_cast<zyg::node_table*>(t.thrd.data());
    zyg::choose_tables();
  }

 private:
  // The launch nodes into l_nodes, the others marked unused; returns their
  // CPU count.
  int fill_nodes(const std::vector<NodeCpus>& nodes) {
    int cpus = 0;
    for (int i = 0; i < entries_; ++i) zyg::ld.l_nodes[i].node_id = -1;
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
  int entries_ = 1;  // l_nodes entries: node numbers up to the highest, or the domains
  std::vector<uint64_t> mem_;
  zyg::ldata_view saved_{};
};

}  // namespace zr
