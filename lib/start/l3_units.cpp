// l3_units.cpp - the L3 domains of a launch, and each image's masks of them.
#include "start/l3_units.h"

#include <errno.h>
#include <numa.h>  // struct bitmask
#include <stdio.h>
#include <string.h>

#include "base/mask.h"
#include "base/os.h"
#include "core/ldata.h"
#include "core/topology.h"
#include "report/report.h"
#include "shared/l3_cache.h"
#include "start/numa_lib.h"

namespace zyg {

namespace {

struct walk_ctx {
  const bitmask* launch;
  bitmask* const* node_cpus;
  int n_nodes;
  l3_units* out;
  bool no_memory;
};

// One L3 set found by the walk: a unit per node it reaches within the launch.
void add_set(const unsigned long* set, void* p) {
  walk_ctx* c = static_cast<walk_ctx*>(p);
  const size_t words = mask_words(c->launch->size);
  for (int n = 0; n < c->n_nodes && !c->no_memory; n++) {
    const bitmask* node = c->node_cpus[n];
    if (!node) continue;
    const size_t nw = mask_words(node->size);
    bool any = false;
    for (size_t w = 0; w < words && w < nw && !any; w++)
      any = (set[w] & c->launch->maskp[w] & node->maskp[w]) != 0;
    if (!any) continue;
    l3_units* u = c->out;
    bitmask* m = u->cnt < u->cap ? mask_alloc(c->launch->size) : nullptr;
    if (!m) {
      c->no_memory = true;
      return;
    }
    for (size_t w = 0; w < words && w < nw; w++)
      m->maskp[w] = set[w] & c->launch->maskp[w] & node->maskp[w];
    u->cpus[u->cnt] = m;
    u->node[u->cnt] = n;
    u->cnt++;
  }
}

int lowest_cpu(const bitmask* m) {
  for (size_t w = 0; w < mask_words(m->size); w++)
    if (m->maskp[w]) return (int)(w * kMaskWordBits) + __builtin_ctzl(m->maskp[w]);
  return -1;
}

// By lowest CPU (few units: insertion sort).
void sort_units(l3_units* u) {
  for (int i = 1; i < u->cnt; i++) {
    for (int j = i; j > 0 && lowest_cpu(u->cpus[j]) < lowest_cpu(u->cpus[j - 1]); j--) {
      bitmask* m = u->cpus[j];
      u->cpus[j] = u->cpus[j - 1];
      u->cpus[j - 1] = m;
      int n = u->node[j];
      u->node[j] = u->node[j - 1];
      u->node[j - 1] = n;
    }
  }
}

}  // namespace

int find_l3_units(const char* cpu_dir, const bitmask* launch, bitmask* const* node_cpus,
                  int n_nodes, l3_units* out, int* bad_cpu) {
  memset(out, 0, sizeof *out);
  const size_t words = mask_words(launch->size);
  out->cap = (int)mask_weight(launch);
  bitmask* set = mask_alloc(launch->size);
  bitmask* covered = mask_alloc(launch->size);
  if (out->cap > 0) {
    out->cpus = static_cast<bitmask**>(image_alloc((size_t)out->cap * sizeof(bitmask*)));
    out->node = static_cast<int*>(image_alloc((size_t)out->cap * sizeof(int)));
  }
  int rc = -3;
  if (set && covered && (out->cap == 0 || (out->cpus && out->node))) {
    walk_ctx c = {launch, node_cpus, n_nodes, out, false};
    rc = walk_l3_sets(cpu_dir, launch->maskp, words, set->maskp, covered->maskp, add_set, &c,
                      bad_cpu);
    if (rc == 0 && c.no_memory) rc = -3;
  }
  mask_free(set);
  mask_free(covered);
  if (rc != 0) {
    free_l3_units(out);
    return rc;
  }
  sort_units(out);
  return 0;
}

void free_l3_units(l3_units* u) {
  for (int i = 0; i < u->cnt; i++) mask_free(u->cpus[i]);
  image_free(u->cpus);
  image_free(u->node);
  memset(u, 0, sizeof *u);
}

int prepare_l3_units(const char* cpu_dir, l3_units* out) {
  const numa_fns& numa = numa_lib();
  const int n_nodes = numa.num_configured_nodes();
  const unsigned bits = (unsigned)numa.num_possible_cpus();
  bitmask* own = mask_alloc(bits);
  bitmask** nodes = static_cast<bitmask**>(image_alloc((size_t)n_nodes * sizeof(bitmask*)));
  if (!own || !nodes) report_fatal("Can't allocate memory for the cpu cache", ENOMEM);
  if (os_get_affinity(own->maskp, mask_words(bits)) != 0)
    report_fatal_text("Can't obtain current launch nodes");
  const bitmask* present = *numa.nodes_ptr;
  for (int n = 0; n < n_nodes; n++) {
    if (present && !mask_isbitset(present, (unsigned)n)) continue;
    nodes[n] = mask_alloc(bits);
    if (!nodes[n]) report_fatal("Can't allocate memory for the cpu cache", ENOMEM);
    if (numa.node_to_cpus(n, nodes[n]) < 0) mask_clearall(nodes[n]);
  }
  int bad = -1;
  int rc = find_l3_units(cpu_dir, own, nodes, n_nodes, out, &bad);
  for (int n = 0; n < n_nodes; n++) mask_free(nodes[n]);
  image_free(nodes);
  mask_free(own);
  if (rc == -3) report_fatal("Can't allocate memory for the cpu cache", ENOMEM);
  if (rc != 0 || out->cnt == 0) {
    char msg[128];
    snprintf(msg, sizeof msg, "--unit=l3: no level-3 cache information for cpu %d", bad);
    report_fatal_text(msg);
  }
  return out->cnt;
}

namespace {

// Each unit cut to `launch_cpus` (null: uncut); the units left with CPUs
// into `kept`, by lowest CPU still. How many.
int cut_units(l3_units* units, const bitmask* launch_cpus, int* kept) {
  int n = 0;
  for (int u = 0; u < units->cnt; u++) {
    bitmask* m = units->cpus[u];
    if (launch_cpus) {
      const size_t words = mask_words(m->size), iw = mask_words(launch_cpus->size);
      for (size_t w = 0; w < words; w++) m->maskp[w] &= w < iw ? launch_cpus->maskp[w] : 0;
    }
    if (mask_weight(m) != 0) kept[n++] = u;  // else outside the launch's nodes or CPUs
  }
  return n;
}

// l_nodes entry i from unit mask m of node `node`.
void fill_entry(int i, const bitmask* m, int node) {
  l_node* e = &ld.l_nodes[i];
  e->node_id = node;
  int cnt = 0;
  for (int c = mask_next_set(m, 0); c >= 0 && cnt < kMaxCpusPerNode;
       c = mask_next_set(m, (unsigned)c + 1))
    e->cpus[cnt++] = (uint32_t)c;
  e->num_cpus = cnt;
  format_cpu_list(m->maskp, mask_words(m->size), e->cpulist, sizeof e->cpulist);
  ld.hdr->avail_node_cnt++;
  ld.hdr->avail_cpu_cnt += cnt;
}

}  // namespace

void build_l3_entries(l3_units* units, const bitmask* launch_cpus) {
  // kept, their nodes, the order and its scratch: four lists of the units.
  const int cnt = units->cnt;
  int* lists = static_cast<int*>(image_alloc((size_t)(cnt > 0 ? cnt : 1) * 4 * sizeof(int)));
  if (!lists) report_fatal("Can't allocate memory for the cpu cache", ENOMEM);
  int *kept = lists, *node_of = lists + cnt, *order = lists + 2 * cnt, *keys = lists + 3 * cnt;
  const int n = cut_units(units, launch_cpus, kept);
  for (int k = 0; k < n; k++) node_of[k] = units->node[kept[k]];
  // The entries in the order round robin walks them; first-fill finds its
  // next domain by CPU (placement/policy.cpp).
  l3_round_robin_order(node_of, n, order, keys);
  for (int k = 0; k < n && k < ld.b.entry_cnt; k++) {
    const int u = kept[order[k]];
    fill_entry(k, units->cpus[u], units->node[u]);
  }
  image_free(lists);
  free_l3_units(units);
  ldata_keep_bounds(&ld, ld.hdr);
  if (build_unit_cpu_cache() != 0) report_fatal("Can't allocate memory for the cpu cache", ENOMEM);
}

int build_unit_cpu_cache() {
  const int n = ld.b.avail_node_cnt;
  if (n <= 0) return 0;
  bitmask** cache = static_cast<bitmask**>(image_alloc((size_t)n * sizeof(bitmask*)));
  if (!cache) return -1;
  for (int i = 0; i < n; i++) {
    cache[i] = mask_alloc((unsigned)ld.b.possible_cpu_cnt);
    if (!cache[i]) return -1;
    const l_node* e = &ld.l_nodes[i];
    int cpus = e->num_cpus < 0 ? 0 : e->num_cpus > kMaxCpusPerNode ? kMaxCpusPerNode : e->num_cpus;
    for (int k = 0; k < cpus; k++)
      if ((int)e->cpus[k] < ld.b.possible_cpu_cnt) mask_setbit(cache[i], e->cpus[k]);
  }
  unit_cpu_cache = cache;
  unit_cpu_cache_cnt = n;
  return 0;
}

}  // namespace zyg
