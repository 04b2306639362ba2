// fake_ldata.h - an in-memory launch data for placement tests.
//
// Builds what start-up would build (header, l_nodes, the four shared tables
// and the private flat tables) in ordinary memory and points the process
// view `zyg::ld` at it, so the placement code runs exactly as in a process
// of a launched tree.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <vector>

#include "core/ldata.h"
#include "base/lock.h"

namespace zyg_test {

struct fake_node {
  int node_id;
  std::vector<unsigned> cpus;
};

class FakeLdata {
 public:
  // config_node_cnt is max(nodes, config_nodes).
  FakeLdata(std::initializer_list<fake_node> nodes, int proc_kind, int proc_scope, int thrd_kind,
            int thrd_scope, bool cpu_launch, int config_nodes = 0) {
    n_ = (int)nodes.size();
    config_ = config_nodes > n_ ? config_nodes : n_;
    base_ = static_cast<char*>(calloc(1, zyg::ldata_file_size(config_)));
    auto* h = reinterpret_cast<zyg::ldata_hdr*>(base_);
    h->version = zyg::kLdataVersion;
    h->l_nodes_offset = sizeof(zyg::ldata_hdr);
    h->proc_tree_offset = (uint32_t)(h->l_nodes_offset + config_ * sizeof(zyg::l_node));
    h->thrd_tree_offset = (uint32_t)(h->proc_tree_offset + zyg::table_size(config_));
    h->proc_log_offset = (uint32_t)(h->thrd_tree_offset + zyg::table_size(config_));
    h->thrd_log_offset = (uint32_t)(h->proc_log_offset + zyg::table_size(config_));
    h->lib_loaded_cnt = 1;
    h->config_node_cnt = config_;
    h->avail_node_cnt = n_;
    h->cpu_launch = cpu_launch ? 1 : 0;
    h->proc_kind = (uint32_t)proc_kind;
    h->proc_scope = (uint32_t)proc_scope;
    h->thrd_kind = (uint32_t)thrd_kind;
    h->thrd_scope = (uint32_t)thrd_scope;
    h->memfree_limit = 50;
    zyg::mutex_init(&h->ldata_lock);

    auto* ln = reinterpret_cast<zyg::l_node*>(base_ + h->l_nodes_offset);
    for (int i = 0; i < config_; i++) ln[i].node_id = -1;
    int i = 0, cpu_total = 0, cpu_max = 0;
    for (const fake_node& fn : nodes) {
      ln[i].node_id = fn.node_id;
      ln[i].num_cpus = (int)fn.cpus.size();
      for (size_t k = 0; k < fn.cpus.size(); k++) {
        ln[i].cpus[k] = fn.cpus[k];
        if ((int)fn.cpus[k] + 1 > cpu_max) cpu_max = (int)fn.cpus[k] + 1;
      }
      cpu_total += (int)fn.cpus.size();
      i++;
    }
    h->avail_cpu_cnt = cpu_total;
    h->config_cpu_cnt = cpu_max;
    h->possible_cpu_cnt = cpu_max < 64 ? 64 : cpu_max;
    h->possible_node_cnt = 64;

    saved_ = zyg::ld;
    zyg::ld.hdr = h;
    zyg::ld.l_nodes = ln;
    zyg::ld.proc_tree = reinterpret_cast<zyg::node_table*>(base_ + h->proc_tree_offset);
    zyg::ld.thrd_tree = reinterpret_cast<zyg::node_table*>(base_ + h->thrd_tree_offset);
    zyg::ld.proc_log = reinterpret_cast<zyg::node_table*>(base_ + h->proc_log_offset);
    zyg::ld.thrd_log = reinterpret_cast<zyg::node_table*>(base_ + h->thrd_log_offset);
    zyg::ld.proc_flat = proc_scope == 10 ? alloc_table() : nullptr;
    zyg::ld.thrd_flat = thrd_scope != 11 ? alloc_table() : nullptr;
    zyg::ld.proc = proc_scope == 10 ? zyg::ld.proc_flat : zyg::ld.proc_tree;
    zyg::ld.thrd = thrd_scope == 11 ? zyg::ld.thrd_tree : zyg::ld.thrd_flat;
    zyg::ld.fd = -1;
    zyg::ld.size = zyg::ldata_file_size(config_);
    zyg::ldata_keep_bounds(&zyg::ld, h);
  }
  // After a test changed the header's counts as start-up would have.
  void keep_bounds() const { zyg::ldata_keep_bounds(&zyg::ld, zyg::ld.hdr); }
  ~FakeLdata() {
    free(zyg::ld.proc_flat);
    free(zyg::ld.thrd_flat);
    free(base_);
    zyg::ld = saved_;
  }
  FakeLdata(const FakeLdata&) = delete;
  FakeLdata& operator=(const FakeLdata&) = delete;

  zyg::ldata_hdr* hdr() const { return zyg::ld.hdr; }
  static zyg::node_rec* rec(zyg::node_table* t, int i) { return zyg::table_node(t, i); }
  int nodes() const { return n_; }

  // A byte copy of every table, to compare a state before and after.
  std::vector<char> snapshot() const {
    std::vector<char> s(base_, base_ + zyg::ldata_file_size(config_));
    append(s, zyg::ld.proc_flat);
    append(s, zyg::ld.thrd_flat);
    return s;
  }

 private:
  zyg::node_table* alloc_table() const {
    return static_cast<zyg::node_table*>(calloc(1, zyg::table_size(config_)));
  }
  void append(std::vector<char>& s, const zyg::node_table* t) const {
    if (!t) return;
    const char* p = reinterpret_cast<const char*>(t);
    s.insert(s.end(), p, p + zyg::table_size(config_));
  }
  int n_ = 0;
  int config_ = 0;
  char* base_ = nullptr;
  zyg::ldata_view saved_{};
};

}  // namespace zyg_test
