// ldata.cpp - the launch data layout: this process's view, the checks an
// attaching process makes, and the counter tables.
#include "core/ldata.h"

#include "base/layout.h"
#include "base/lock.h"
#include "base/text.h"
#include "shared/memory_tiers.h"

#include <string.h>
#include <sys/mman.h>

namespace zyg {

ldata_view ld = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr, nullptr, -1,      0,       {},      nullptr, 0};

namespace {

// Bounds an attaching process accepts besides kMaxConfigNodes (ldata.h). A
// file is named by an environment variable any program can set, so nothing
// in it is trusted before these checks; the limits are far above any real
// machine.
constexpr int kMaxPossibleCount = 65536;

struct layout {
  uint32_t l_nodes, proc_tree, thrd_tree, proc_log, thrd_log;
};

layout layout_for(int n) {
  layout l;
  uint32_t t = (uint32_t)table_size(n);
  l.l_nodes = (uint32_t)sizeof(ldata_hdr);
  l.proc_tree = l.l_nodes + (uint32_t)n * (uint32_t)sizeof(l_node);
  l.thrd_tree = l.proc_tree + t;
  l.proc_log = l.proc_tree + 2 * t;
  l.thrd_log = l.proc_tree + 3 * t;
  return l;
}

}  // namespace

void ldata_write_layout(ldata_hdr* hdr, int config_node_cnt, int entry_cnt, uint32_t memory_mode,
                        uint32_t version) {
  const int n = entry_cnt > 0 ? entry_cnt : config_node_cnt;
  const layout l = layout_for(n);
  if (memory_mode != 0) {
    hdr->memory_mode = memory_mode;
    hdr->mem_nodes_offset = (uint32_t)ldata_file_size(n);
  }
  hdr->version = version;
  hdr->l_nodes_offset = l.l_nodes;
  hdr->proc_tree_offset = l.proc_tree;
  hdr->thrd_tree_offset = l.thrd_tree;
  hdr->proc_log_offset = l.proc_log;
  hdr->thrd_log_offset = l.thrd_log;
  // The layout depends on N; recording it here keeps file and header in step.
  hdr->config_node_cnt = config_node_cnt;
  hdr->unit_entry_cnt = entry_cnt > 0 ? entry_cnt : 0;
}

void ldata_set_pointers(ldata_view* v, void* base, size_t size) {
  ldata_set_view(v, base, size, static_cast<const ldata_hdr*>(base));
}

ZYG_HOT_CODE void ldata_set_view(ldata_view* v, void* base, size_t size, const ldata_hdr* from) {
  char* b = static_cast<char*>(base);
  v->hdr = reinterpret_cast<ldata_hdr*>(b);
  v->l_nodes =
      reinterpret_cast<l_node*>(b + __atomic_load_n(&from->l_nodes_offset, __ATOMIC_RELAXED));
  v->proc_tree =
      reinterpret_cast<node_table*>(b + __atomic_load_n(&from->proc_tree_offset, __ATOMIC_RELAXED));
  v->thrd_tree =
      reinterpret_cast<node_table*>(b + __atomic_load_n(&from->thrd_tree_offset, __ATOMIC_RELAXED));
  v->proc_log =
      reinterpret_cast<node_table*>(b + __atomic_load_n(&from->proc_log_offset, __ATOMIC_RELAXED));
  v->thrd_log =
      reinterpret_cast<node_table*>(b + __atomic_load_n(&from->thrd_log_offset, __ATOMIC_RELAXED));
  v->size = size;
  ldata_keep_bounds(v, from);
  // The section is there only when the mode asks for it and it fits.
  const uint32_t mode = __atomic_load_n(&from->memory_mode, __ATOMIC_RELAXED);
  const uint32_t at = __atomic_load_n(&from->mem_nodes_offset, __ATOMIC_RELAXED);
  const bool fits =
      at >= sizeof(ldata_hdr) && at <= size && size - at >= mem_nodes_size(v->b.entry_cnt);
  v->memory_mode = fits && mode != 0 ? mode : 0;
  v->mem_nodes = v->memory_mode != 0 ? reinterpret_cast<const int32_t*>(b + at) : nullptr;
}

namespace {
int clamp_count(int value, int lo, int hi) { return value < lo ? lo : value > hi ? hi : value; }
int load(const int32_t* field) { return __atomic_load_n(field, __ATOMIC_RELAXED); }
}  // namespace

ZYG_HOT_CODE void ldata_keep_bounds(ldata_view* v, const ldata_hdr* hdr) {
  ldata_bounds b;
  // No more nodes than the file (as this process mapped it) has room for.
  const size_t fixed = ldata_file_size(0);
  const size_t per_node = ldata_file_size(1) - fixed;
  size_t fits = v->size < fixed ? 0 : (v->size - fixed) / per_node;
  int room = fits > (size_t)kMaxConfigNodes ? kMaxConfigNodes : (int)fits;
  b.entry_cnt = clamp_count(ldata_entry_cnt(hdr), 0, room);
  b.node_id_cnt = clamp_count(load(&hdr->config_node_cnt), 0, kMaxConfigNodes);
  b.unit_kind = __atomic_load_n(&hdr->unit_kind, __ATOMIC_RELAXED) == UNIT_L3 ? UNIT_L3 : UNIT_NODE;
  b.avail_node_cnt = clamp_count(load(&hdr->avail_node_cnt), 0, b.entry_cnt);
  b.avail_cpu_cnt = clamp_count(load(&hdr->avail_cpu_cnt), 0, kMaxPossibleCount);
  b.config_cpu_cnt = clamp_count(load(&hdr->config_cpu_cnt), 0, kMaxPossibleCount);
  b.possible_cpu_cnt = clamp_count(load(&hdr->possible_cpu_cnt), 0, kMaxPossibleCount);
  b.possible_node_cnt = clamp_count(load(&hdr->possible_node_cnt), 0, kMaxPossibleCount);
  v->b = b;
}

int ldata_validate(const ldata_hdr* hdr, size_t file_size) {
  return ldata_validate_copy(hdr, hdr, file_size);
}

ZYG_HOT_CODE int ldata_validate_copy(const ldata_hdr* hdr, const void* base, size_t file_size) {
  if (file_size < sizeof(ldata_hdr)) return -1;
  if (hdr->config_node_cnt < 1 || hdr->config_node_cnt > kMaxConfigNodes) return -1;
  // Node units keep today's layout; only L3 units may give their own count.
  if (hdr->unit_kind != UNIT_NODE && hdr->unit_kind != UNIT_L3) return -1;
  if (hdr->unit_entry_cnt < 0 || (hdr->unit_kind == UNIT_NODE && hdr->unit_entry_cnt != 0))
    return -1;
  const int n = ldata_entry_cnt(hdr);
  if (n < 1 || n > kMaxConfigNodes) return -1;
  // A local launch has no mem_nodes section and names none; every other
  // mode has it right after thrd_log.
  const bool mem_nodes = hdr->memory_mode != 0;
  if (mem_nodes && memory_mode_name(hdr->memory_mode) == nullptr) return -1;
  if (hdr->mem_nodes_offset != (mem_nodes ? ldata_file_size(n) : 0)) return -1;
  if (file_size != ldata_file_size_for(n, mem_nodes)) return -1;
  const layout l = layout_for(n);
  if (hdr->l_nodes_offset != l.l_nodes || hdr->proc_tree_offset != l.proc_tree ||
      hdr->thrd_tree_offset != l.thrd_tree || hdr->proc_log_offset != l.proc_log ||
      hdr->thrd_log_offset != l.thrd_log)
    return -1;
  if (hdr->avail_node_cnt < 0 || hdr->avail_node_cnt > n) return -1;
  // Mask sizes are taken from these counts.
  if (hdr->possible_cpu_cnt < 1 || hdr->possible_cpu_cnt > kMaxPossibleCount) return -1;
  if (hdr->possible_node_cnt < 1 || hdr->possible_node_cnt > kMaxPossibleCount) return -1;
  if (hdr->config_cpu_cnt < 0 || hdr->config_cpu_cnt > kMaxPossibleCount) return -1;
  // Every text is printed and copied with %s: each must end inside its field.
  if (!text_ends_within(hdr->launch_nodes, sizeof hdr->launch_nodes) ||
      !text_ends_within(hdr->data_file, sizeof hdr->data_file) ||
      !text_ends_within(hdr->log_file, sizeof hdr->log_file) ||
      !text_ends_within(hdr->error_file, sizeof hdr->error_file) ||
      !text_ends_within(hdr->lib64, sizeof hdr->lib64) ||
      !text_ends_within(hdr->lib32, sizeof hdr->lib32) ||
      !text_ends_within(hdr->lib32_64, sizeof hdr->lib32_64) ||
      !text_ends_within(hdr->proc_policy_name, sizeof hdr->proc_policy_name) ||
      !text_ends_within(hdr->thrd_policy_name, sizeof hdr->thrd_policy_name))
    return -1;
  const l_node* nodes = reinterpret_cast<const l_node*>(static_cast<const char*>(base) + l.l_nodes);
  for (int i = 0; i < hdr->avail_node_cnt; i++) {
    // Read from the mapping: the owner may rewrite them meanwhile, so every
    // user clamps num_cpus again (the check only refuses a broken file).
    if (nodes[i].num_cpus < 0 || nodes[i].num_cpus > kMaxCpusPerNode) return -1;
    if (nodes[i].node_id < 0 || nodes[i].node_id >= hdr->possible_node_cnt) return -1;
    if (!text_ends_within(nodes[i].cpulist, sizeof nodes[i].cpulist)) return -1;
  }
  if (mem_nodes) {
    const int32_t* mem =
        reinterpret_cast<const int32_t*>(static_cast<const char*>(base) + hdr->mem_nodes_offset);
    for (int i = 0; i < hdr->avail_node_cnt; i++)
      if (mem[i] < -1 || mem[i] >= hdr->possible_node_cnt) return -1;
  }
  return 0;
}

ZYG_HOT_CODE bool ldata_lock_take() {
  lock_result r = mutex_lock(&ld.hdr->ldata_lock);
  if (r == LOCK_REENTERED) return false;
  if (r == LOCK_RECOVERED) __atomic_add_fetch(&ld.hdr->lock_recoveries, 1u, __ATOMIC_RELAXED);
  return true;
}

ZYG_HOT_CODE void ldata_lock_give() { mutex_unlock(&ld.hdr->ldata_lock); }

void table_clear(node_table* t, int n) { memset(t, 0, table_size(n)); }

node_table* table_alloc(int n) {
  // Anonymous pages: zeroed, independent of the application's allocator, and
  // copied into forked children like the rest of the process's memory.
  void* p =
      mmap(nullptr, table_size(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<node_table*>(p);
}

}  // namespace zyg
