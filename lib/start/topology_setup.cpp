// topology_setup.cpp - recording the topology and building this image's
// node/CPU cache at start-up.
#include "start/topology_setup.h"

#include <errno.h>
#include <numa.h>  // struct bitmask
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/file.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/os.h"
#include "base/sys.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/state.h"
#include "core/topology.h"
#include "report/report.h"
#include "start/l3_units.h"
#include "start/numa_lib.h"

namespace zyg {

void record_topology_counts() {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  // config_node_cnt was fixed with the file's layout by ldata_create.
  const numa_fns& numa = numa_lib();
  h->possible_node_cnt = numa.num_possible_nodes();
  h->config_cpu_cnt = numa.num_configured_cpus();
  h->possible_cpu_cnt = numa.num_possible_cpus();
  int nodes = h->config_node_cnt > 0 ? h->config_node_cnt : 1;
  if (h->config_cpu_cnt / nodes > kMaxCpusPerNode)
    report_fatal_text("total cpus per numa node > MAX_POSSIBLE_CPUS_PER_NODE");
  ldata_keep_bounds(&ld, h);
}

namespace {

// A cache or mask failure: terminating in the first process, disabling in an
// exec'd one.
int cache_failure(const char* msg) {
  if (is_initial_process) report_fatal(msg, ENOMEM);
  report_disable(msg, 0, RC_MEMORY, sys_getpid());
  disable_launch();
  return -1;
}

// The CPUs an outer launcher (mpirun, srun, taskset, numactl, a cgroup
// cpuset) gave the launch are all it may use: placing a task on a node must
// never widen it to CPUs of that node it was not given. So each node's entry
// of the cache holds only the node's CPUs that the launch may use: in the
// first process those of its own affinity at start-up, in a later image the
// node's CPUs the first process recorded in l_nodes.
void confine_to_own_affinity(int n_nodes, int possible_cpus) {
  size_t words = mask_words((unsigned)possible_cpus);
  bitmask* own = mask_alloc((unsigned)possible_cpus);
  if (!own) return;
  if (os_get_affinity(own->maskp, words) == 0) {
    for (int n = 0; n < n_nodes; n++)
      for (size_t w = 0; w < words; w++) node_cpu_cache[n]->maskp[w] &= own->maskp[w];
  }
  mask_free(own);
}

// The nodes whose CPUs confine_to_l_nodes sets from l_nodes (null when out
// of memory).
bitmask* nodes_listed_in_l_nodes(int n_nodes) {
  bitmask* listed = mask_alloc((unsigned)n_nodes);
  if (!listed) return nullptr;
  for (int i = 0; i < ld.b.avail_node_cnt && i < ld.b.entry_cnt; i++) {
    const l_node* e = &ld.l_nodes[i];
    if (e->node_id < 0 || e->node_id >= n_nodes || e->num_cpus >= kMaxCpusPerNode) continue;
    mask_setbit(listed, (unsigned)e->node_id);
  }
  return listed;
}

void confine_to_l_nodes(int n_nodes) {
  const ldata_hdr* h = ld.hdr;
  const int entries = ldata_entry_cnt(h);
  // A node may have several entries (L3 units): its CPUs are all of theirs.
  for (int pass = 0; pass < 2; pass++) {
    for (int i = 0; i < h->avail_node_cnt && i < entries; i++) {
      const l_node* e = &ld.l_nodes[i];
      // A full entry may stand for a node with more CPUs than it can list.
      if (e->node_id < 0 || e->node_id >= n_nodes || e->num_cpus >= kMaxCpusPerNode) continue;
      bitmask* entry = node_cpu_cache[e->node_id];
      if (pass == 0) {
        mask_clearall(entry);
        continue;
      }
      for (int k = 0; k < e->num_cpus; k++) mask_setbit(entry, e->cpus[k]);
    }
  }
}

}  // namespace

namespace {

// The first process: libnuma's view of every node, confined to the CPUs
// this process was given.
int build_cache_first(int n_nodes) {
  const numa_fns& numa = numa_lib();
  all_nodes_mask = mask_alloc((unsigned)(*numa.all_nodes_ptr)->size);
  if (!all_nodes_mask) return cache_failure("Can't allocate memory for all nodes mask");
  const bitmask* all = *numa.all_nodes_ptr;
  for (int n = mask_next_set(all, 0); n >= 0; n = mask_next_set(all, (unsigned)n + 1))
    mask_setbit(all_nodes_mask, (unsigned)n);
  const bitmask* present = *numa.nodes_ptr;
  for (int n = 0; n < n_nodes; n++) {
    // A node number missing from the system (node numbers with gaps) has no
    // CPUs; asking libnuma would fail and give every CPU instead.
    if (present && !mask_isbitset(present, (unsigned)n)) continue;
    if (numa.node_to_cpus(n, node_cpu_cache[n]) < 0) {
      char msg[64];
      snprintf(msg, sizeof msg, "Can't determine cpus in node %d", n);
      return cache_failure(msg);
    }
  }
  confine_to_own_affinity(n_nodes, ld.b.possible_cpu_cnt);
  return 0;
}

// A program exec'd inside the launch: the CPUs of the launch's nodes come
// from l_nodes (confine_to_l_nodes), the nodes it may use from the kernel
// (a system call, where libnuma would read /proc/self/status); no node's
// file is read. The other nodes' entries wait until a thread's affinity
// reaches beyond the launch (core/topology.h).
ZYG_HOT_CODE int build_cache_exec(int n_nodes) {
  const ldata_hdr* h = ld.hdr;
  all_nodes_mask = mask_alloc((unsigned)ld.b.possible_node_cnt);
  if (!all_nodes_mask) return cache_failure("Can't allocate memory for all nodes mask");
  if (os_get_mems_allowed(all_nodes_mask->maskp, all_nodes_mask->size) != 0) {
    // As libnuma does when it cannot tell: every configured node.
    for (int n = 0; n < n_nodes; n++) mask_setbit(all_nodes_mask, (unsigned)n);
  }
  bitmask* listed = nodes_listed_in_l_nodes(n_nodes);
  if (!listed) return cache_failure("Can't allocate memory for the cpu cache");
  confine_to_l_nodes(n_nodes);
  // A launch node with more CPUs than its entry lists is read whole (an L3
  // unit is its entry's CPUs, never more).
  const int whole = ld.b.unit_kind == UNIT_L3 ? 0 : n_nodes;
  for (int i = 0; i < ld.b.avail_node_cnt && i < whole; i++) {
    const l_node* e = &ld.l_nodes[i];
    if (e->node_id < 0 || e->node_id >= n_nodes || e->num_cpus < kMaxCpusPerNode) continue;
    if (read_node_cpumap(kSysNodeDir, e->node_id, node_cpu_cache[e->node_id]) != 0) {
      char msg[64];
      snprintf(msg, sizeof msg, "Can't determine cpus in node %d", (int)e->node_id);
      return cache_failure(msg);
    }
    mask_setbit(listed, (unsigned)e->node_id);
  }
  node_cpu_known = mask_alloc((unsigned)ld.b.possible_cpu_cnt);
  if (!node_cpu_known) return cache_failure("Can't allocate memory for the cpu cache");
  const size_t words = mask_words(node_cpu_known->size);
  bool unread = false;
  for (int n = 0; n < n_nodes; n++) {
    if (!mask_isbitset(listed, (unsigned)n)) {
      unread = true;
      continue;
    }
    for (size_t w = 0; w < words; w++) node_cpu_known->maskp[w] |= node_cpu_cache[n]->maskp[w];
  }
  // The nodes of l_nodes: the first process's initial launch nodes (it ran
  // on them when it built l_nodes), which this process must be allowed too.
  initial_node_mask = mask_alloc((unsigned)ld.b.possible_node_cnt);
  if (!initial_node_mask) return cache_failure("Can't allocate memory for the cpu cache");
  bool allowed = true;
  for (int n = 0; n < n_nodes; n++) {
    if (!mask_isbitset(listed, (unsigned)n)) continue;
    mask_setbit(initial_node_mask, (unsigned)n);
    if (!mask_isbitset(all_nodes_mask, (unsigned)n)) allowed = false;
  }
  if (unread) {
    node_cpu_pending = listed;
    for (unsigned w = 0; w < mask_words(listed->size); w++) listed->maskp[w] = ~listed->maskp[w];
  } else {
    mask_free(listed);
  }
  if (h->launch_nodes[0] != 0 && !allowed) {
    // The list was checked by the first process; this process's cpuset
    // allows fewer nodes than it did.
    char msg[300];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", h->launch_nodes);
    report_disable(msg, 0, RC_MEMORY, sys_getpid());
    disable_launch();
    return -1;
  }
  if (ld.b.unit_kind == UNIT_L3 && build_unit_cpu_cache() != 0)
    return cache_failure("Can't allocate memory for the cpu cache");
  return build_initial_cpu_mask();
}

}  // namespace

ZYG_HOT_CODE int build_node_cpu_cache() {
  const ldata_hdr* h = ld.hdr;
  if (!h) return cache_failure("Can't allocate memory for all nodes mask");

  const int n_nodes = ld.b.node_id_cnt;
  node_cpu_cache = static_cast<bitmask**>(image_alloc((size_t)n_nodes * sizeof(bitmask*)));
  if (!node_cpu_cache) return cache_failure("Can't allocate memory for the node/cpu cache");
  node_cpu_cache_cnt = n_nodes;
  for (int n = 0; n < n_nodes; n++) {
    node_cpu_cache[n] = mask_alloc((unsigned)ld.b.possible_cpu_cnt);
    if (!node_cpu_cache[n]) return cache_failure("Can't allocate memory for the cpu cache");
  }
  return is_initial_process ? build_cache_first(n_nodes) : build_cache_exec(n_nodes);
}

ZYG_HOT_CODE int build_initial_cpu_mask() {
  const ldata_hdr* h = ld.hdr;
  initial_cpu_mask = h ? mask_alloc((unsigned)ld.b.possible_cpu_cnt) : nullptr;
  if (!initial_cpu_mask) return cache_failure("Can't allocate memory for initial cpu launch mask");
  if (!initial_node_mask) return 0;
  const size_t words = mask_words(initial_cpu_mask->size);
  const bitmask* nodes = initial_node_mask;
  for (int n = mask_next_set(nodes, 0); n >= 0; n = mask_next_set(nodes, (unsigned)n + 1)) {
    const bitmask* cpus = node_cpus(n);
    if (!cpus) continue;
    size_t cw = mask_words(cpus->size);
    for (size_t w = 0; w < words && w < cw; w++) initial_cpu_mask->maskp[w] |= cpus->maskp[w];
  }
  return 0;
}

void setup_initial_launch_nodes() {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  const numa_fns& numa = numa_lib();
  bitmask* run = numa.get_run_node_mask();
  if (!run) report_fatal("can't set initial launch nodes", ENOMEM);

  if (h->launch_nodes[0] == 0) {
    initial_node_mask = run;
    format_node_list(initial_node_mask, h->launch_nodes, 256);
    build_initial_cpu_mask();
    return;
  }

  initial_node_mask = numa.parse_nodestring(h->launch_nodes);
  if (!initial_node_mask) {
    char msg[300];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", h->launch_nodes);
    report_fatal_text(msg);
  }
  build_initial_cpu_mask();
  const bitmask* nodes = initial_node_mask;
  for (int n = mask_next_set(nodes, 0); n >= 0; n = mask_next_set(nodes, (unsigned)n + 1)) {
    if (mask_isbitset(run, (unsigned)n)) continue;
    int err = errno;
    char list[128];
    format_node_list(run, list, sizeof list);
    char msg[512];
    snprintf(msg, sizeof msg, "Specified node %d is not in the currently available node list (%s)",
             n, list);
    report_fatal(msg, err);
  }
  // Onto the given nodes, but only onto CPUs the launch was given.
  int err = -os_set_affinity_mask(initial_cpu_mask);
  if (err != 0) report_fatal("can't set initial launch nodes", err);
  numa.bitmask_free(run);
}

void build_l_nodes(const char* sysfs_dir, l3_units* domains) {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  const int n_nodes = ldata_entry_cnt(h);
  for (int i = 0; i < n_nodes; i++) {
    memset(&ld.l_nodes[i], 0, sizeof(l_node));
    ld.l_nodes[i].node_id = -1;
  }
  h->avail_node_cnt = 0;
  h->avail_cpu_cnt = 0;
  if (ld.b.unit_kind == UNIT_L3) {
    build_l3_entries(domains, initial_cpu_mask);
    return;
  }

  bitmask* run = numa_lib().get_run_node_mask();
  if (!run) report_fatal("can't set initial launch nodes", ENOMEM);

  int i = 0;
  for (int n = mask_next_set(run, 0); n >= 0 && i < n_nodes;
       n = mask_next_set(run, (unsigned)n + 1)) {
    // Nodes without CPUs (memory-only, or without a cache entry) are no
    // launch nodes and take no entry.
    const bitmask* cpus = node_cpus(n);
    if (!cpus || mask_weight(cpus) == 0) continue;

    l_node* e = &ld.l_nodes[i];
    e->node_id = (int32_t)n;
    int cnt = 0;
    // The entry holds at most 256 CPUs; a bigger node is launched on its
    // first 256.
    for (int c = mask_next_set(cpus, 0); c >= 0 && cnt < kMaxCpusPerNode;
         c = mask_next_set(cpus, (unsigned)c + 1))
      e->cpus[cnt++] = (uint32_t)c;
    e->num_cpus = cnt;
    h->avail_node_cnt++;
    h->avail_cpu_cnt += cnt;

    char path[257];
    snprintf(path, sizeof path, "%s/node%u/cpulist", sysfs_dir, n);
    file_step failed;
    long got = read_small_file(path, e->cpulist, sizeof e->cpulist, &failed);
    if (got < 0) {
      char msg[300];
      snprintf(msg, sizeof msg, failed == FILE_OPEN ? "open(%s) failed" : "read(%s) failed", path);
      report_fatal(msg, (int)-got);
    }
    i++;
  }
  numa_lib().bitmask_free(run);
  // From here on the tree's processes index with these.
  ldata_keep_bounds(&ld, h);
}

}  // namespace zyg
