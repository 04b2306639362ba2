// topology.cpp - masks, the per-process node/CPU cache, the launch nodes of
// the launch data, and the calling thread's launch node and CPU.
#include "core/topology.h"

#include <errno.h>
#include <fcntl.h>
#include <numa.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "core/init.h"
#include "core/ldata.h"
#include "core/state.h"
#include "core/sys.h"
#include "report/report.h"

namespace zyg {

bitmask* all_nodes_mask;
bitmask** node_cpu_cache;
bitmask* initial_node_mask;
bitmask* initial_cpu_mask;

namespace {

constexpr unsigned kWordBits = 8 * sizeof(unsigned long);
inline size_t mask_words(unsigned long nbits) { return (nbits + kWordBits - 1) / kWordBits; }

}  // namespace

int node_cpu_cache_cnt;

// ---------------------------------------------------------------------------
// Masks on libnuma's layout. Allocated like libnuma's own (structure and
// words separately), so numa_bitmask_free can release either kind.

bitmask* mask_alloc(unsigned nbits) {
  if (nbits == 0) return nullptr;
  bitmask* m = static_cast<bitmask*>(calloc(1, sizeof(bitmask)));
  if (!m) return nullptr;
  m->maskp = static_cast<unsigned long*>(calloc(mask_words(nbits), sizeof(unsigned long)));
  if (!m->maskp) {
    free(m);
    return nullptr;
  }
  m->size = nbits;
  return m;
}

int mask_isbitset(const bitmask* m, unsigned i) {
  if (!m || i >= m->size) return 0;
  return (m->maskp[i / kWordBits] >> (i % kWordBits)) & 1UL ? 1 : 0;
}

void mask_setbit(bitmask* m, unsigned i) {
  if (!m || i >= m->size) return;
  m->maskp[i / kWordBits] |= 1UL << (i % kWordBits);
}

void mask_clearall(bitmask* m) {
  if (!m) return;
  memset(m->maskp, 0, mask_words(m->size) * sizeof(unsigned long));
}

unsigned mask_weight(const bitmask* m) {
  if (!m) return 0;
  unsigned n = 0;
  size_t words = mask_words(m->size);
  for (size_t w = 0; w < words; w++) {
    unsigned long v = m->maskp[w];
    if (w == words - 1 && m->size % kWordBits) v &= (1UL << (m->size % kWordBits)) - 1;
    n += (unsigned)__builtin_popcountl(v);
  }
  return n;
}

void format_node_list(const bitmask* m, char* text, size_t size) {
  if (size == 0) return;
  text[0] = 0;
  if (!m) return;
  size_t len = 0;
  for (unsigned i = 0; i < m->size; i++) {
    if (!mask_isbitset(m, i)) continue;
    char item[16];
    int n = snprintf(item, sizeof item, len ? ",%u" : "%u", i);
    if (n < 0 || len + (size_t)n >= size) continue;  // does not fit: leave it out
    memcpy(text + len, item, (size_t)n + 1);
    len += (size_t)n;
  }
}

// ---------------------------------------------------------------------------
// Topology of the first process and the per-process cache.

void record_topology_counts() {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  // config_node_cnt was fixed with the file's layout by ldata_create.
  h->possible_node_cnt = numa_num_possible_nodes();
  h->config_cpu_cnt = numa_num_configured_cpus();
  h->possible_cpu_cnt = numa_num_possible_cpus();
  int nodes = h->config_node_cnt > 0 ? h->config_node_cnt : 1;
  if (h->config_cpu_cnt / nodes > kMaxCpusPerNode)
    report_fatal_text("total cpus per numa node > MAX_POSSIBLE_CPUS_PER_NODE");
}

namespace {

// A cache or mask failure: terminating in the first process, disabling in an
// exec'd one.
int cache_failure(const char* msg) {
  if (is_initial_process) report_fatal(msg, ENOMEM);
  report_disable(msg, 0, 1, (int)getpid());
  disable_launch();
  return -1;
}

}  // namespace

int build_node_cpu_cache() {
  const ldata_hdr* h = ld.hdr;
  if (!h || !numa_all_nodes_ptr) return cache_failure("Can't allocate memory for all nodes mask");

  all_nodes_mask = mask_alloc((unsigned)numa_all_nodes_ptr->size);
  if (!all_nodes_mask) return cache_failure("Can't allocate memory for all nodes mask");
  copy_bitmask_to_bitmask(numa_all_nodes_ptr, all_nodes_mask);

  const int n_nodes = h->config_node_cnt;
  node_cpu_cache = static_cast<bitmask**>(calloc((size_t)n_nodes, sizeof(bitmask*)));
  if (!node_cpu_cache) return cache_failure("Can't allocate memory for the node/cpu cache");
  node_cpu_cache_cnt = n_nodes;

  for (int n = 0; n < n_nodes; n++) {
    bitmask* entry = mask_alloc((unsigned)h->possible_cpu_cnt);
    if (!entry) return cache_failure("Can't allocate memory for the cpu cache");
    node_cpu_cache[n] = entry;
    // A node number missing from the system (node numbers with gaps) has no
    // CPUs; asking libnuma would fail and give every CPU instead.
    if (numa_nodes_ptr && !numa_bitmask_isbitset(numa_nodes_ptr, (unsigned)n)) continue;
    if (numa_node_to_cpus(n, entry) < 0) {
      char msg[64];
      snprintf(msg, sizeof msg, "Can't determine cpus in node %d", n);
      return cache_failure(msg);
    }
  }

  if (is_initial_process) return 0;

  initial_node_mask = numa_parse_nodestring(h->launch_nodes);
  if (!initial_node_mask) {
    // The list was checked by the first process; this process's cpuset
    // allows fewer nodes than it did.
    char msg[300];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", h->launch_nodes);
    report_disable(msg, 0, 1, (int)getpid());
    disable_launch();
    return -1;
  }
  return build_initial_cpu_mask();
}

bitmask* node_cpus(int node) {
  if (node < 0 || node >= node_cpu_cache_cnt || !node_cpu_cache) return nullptr;
  return node_cpu_cache[node];
}

int build_initial_cpu_mask() {
  const ldata_hdr* h = ld.hdr;
  initial_cpu_mask = h ? mask_alloc((unsigned)h->possible_cpu_cnt) : nullptr;
  if (!initial_cpu_mask) return cache_failure("Can't allocate memory for initial cpu launch mask");
  if (!initial_node_mask) return 0;
  const size_t words = mask_words(initial_cpu_mask->size);
  for (unsigned n = 0; n < initial_node_mask->size; n++) {
    if (!mask_isbitset(initial_node_mask, n)) continue;
    const bitmask* cpus = node_cpus((int)n);
    if (!cpus) continue;
    size_t cw = mask_words(cpus->size);
    for (size_t w = 0; w < words && w < cw; w++) initial_cpu_mask->maskp[w] |= cpus->maskp[w];
  }
  return 0;
}

void setup_initial_launch_nodes() {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  bitmask* run = numa_get_run_node_mask();
  if (!run) report_fatal("can't set initial launch nodes", ENOMEM);

  if (h->launch_nodes[0] == 0) {
    initial_node_mask = run;
    format_node_list(initial_node_mask, h->launch_nodes, 256);
    build_initial_cpu_mask();
    return;
  }

  initial_node_mask = numa_parse_nodestring(h->launch_nodes);
  if (!initial_node_mask) {
    char msg[300];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", h->launch_nodes);
    report_fatal_text(msg);
  }
  build_initial_cpu_mask();
  for (unsigned n = 0; n < initial_node_mask->size; n++) {
    if (!mask_isbitset(initial_node_mask, n) || mask_isbitset(run, n)) continue;
    int err = errno;
    char list[128];
    format_node_list(run, list, sizeof list);
    char msg[512];
    snprintf(msg, sizeof msg,
             "Specified node %d is not in the currently available node list (%s)", (int)n, list);
    report_fatal(msg, err);
  }
  if (numa_run_on_node_mask(initial_node_mask) != 0)
    report_fatal("can't set initial launch nodes", errno);
  numa_bitmask_free(run);
}

void build_l_nodes(const char* sysfs_dir) {
  ldata_hdr* h = ld.hdr;
  if (!h) return;
  const int n_nodes = h->config_node_cnt;
  for (int i = 0; i < n_nodes; i++) {
    memset(&ld.l_nodes[i], 0, sizeof(l_node));
    ld.l_nodes[i].node_id = -1;
  }
  h->avail_node_cnt = 0;
  h->avail_cpu_cnt = 0;

  bitmask* run = numa_get_run_node_mask();
  if (!run) report_fatal("can't set initial launch nodes", ENOMEM);

  int i = 0;
  for (unsigned n = 0; n < run->size && i < n_nodes; n++) {
    if (!mask_isbitset(run, n)) continue;
    // Nodes without CPUs (memory-only, or without a cache entry) are no
    // launch nodes and take no entry.
    const bitmask* cpus = node_cpus((int)n);
    if (!cpus || mask_weight(cpus) == 0) continue;

    l_node* e = &ld.l_nodes[i];
    e->node_id = (int32_t)n;
    int cnt = 0;
    // The entry holds at most 256 CPUs; a bigger node is launched on its
    // first 256.
    for (unsigned c = 0; c < cpus->size && cnt < kMaxCpusPerNode; c++)
      if (mask_isbitset(cpus, c)) e->cpus[cnt++] = c;
    e->num_cpus = cnt;
    h->avail_node_cnt++;
    h->avail_cpu_cnt += cnt;

    char path[257];
    snprintf(path, sizeof path, "%s/node%u/cpulist", sysfs_dir, n);
    char msg[300];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      snprintf(msg, sizeof msg, "open(%s) failed", path);
      report_fatal(msg, err);
    }
    ssize_t got;
    do {
      got = read(fd, e->cpulist, sizeof e->cpulist - 1);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      int err = errno;
      snprintf(msg, sizeof msg, "read(%s) failed", path);
      report_fatal(msg, err);
    }
    e->cpulist[got] = 0;
    close(fd);
    i++;
  }
  numa_bitmask_free(run);
}

// ---------------------------------------------------------------------------
// The calling thread's launch nodes and CPU. These run in new threads (whose
// stack may be 16 KiB) and on the log path: the affinity buffer lives on the
// stack for up to 1024 CPUs and in a temporary anonymous mapping beyond that.

namespace {

constexpr size_t kStackAffinityWords = 1024 / kWordBits;

struct affinity {
  unsigned long* words;
  size_t nwords;
  unsigned nbits;
  unsigned long stack[kStackAffinityWords];
};

// 0, or -1 with errno set.
int affinity_read(affinity* a) {
  int bits = ld.hdr ? ld.hdr->possible_cpu_cnt : 0;
  if (bits < 1) bits = (int)(kStackAffinityWords * kWordBits);
  a->nbits = (unsigned)bits;
  a->nwords = mask_words(a->nbits);
  a->words = a->stack;
  if (a->nwords > kStackAffinityWords) {
    void* p = mmap(nullptr, a->nwords * sizeof(unsigned long), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      a->words = nullptr;
      return -1;
    }
    a->words = static_cast<unsigned long*>(p);
  }
  memset(a->words, 0, a->nwords * sizeof(unsigned long));
  if (sched_getaffinity(0, a->nwords * sizeof(unsigned long),
                        reinterpret_cast<cpu_set_t*>(a->words)) != 0)
    return -1;
  return 0;
}

void affinity_release(affinity* a) {
  if (a->words && a->words != a->stack) munmap(a->words, a->nwords * sizeof(unsigned long));
  a->words = nullptr;
}

// Every launch node the calling thread may run on now goes into `out` (if
// given); returns the lowest, or -1 when there is none or the affinity could
// not be read (then reported: terminating before start-up completed,
// disabling after).
int scan_launch_nodes(bitmask* out) {
  affinity a;
  if (affinity_read(&a) != 0) {
    affinity_release(&a);
    if (!launch_initialized) report_fatal_text("Can't obtain current launch nodes");
    report_disable("Can't obtain current launch nodes", 0, 18, (int)getpid());
    disable_launch();
    return -1;
  }
  int lowest = -1;
  for (int n = 0; n < node_cpu_cache_cnt; n++) {
    const bitmask* cpus = node_cpus(n);
    if (!cpus || !mask_isbitset(all_nodes_mask, (unsigned)n)) continue;
    // Compare whole words: any CPU of the node that the thread may use.
    size_t words = mask_words(cpus->size);
    if (words > a.nwords) words = a.nwords;
    bool hit = false;
    for (size_t w = 0; w < words && !hit; w++) hit = (cpus->maskp[w] & a.words[w]) != 0;
    if (!hit) continue;
    if (lowest < 0) lowest = n;
    if (!out) break;
    mask_setbit(out, (unsigned)n);
  }
  affinity_release(&a);
  return lowest;
}

}  // namespace

void get_launch_nodes(bitmask* out) {
  int saved = errno;
  mask_clearall(out);
  scan_launch_nodes(out);
  errno = saved;
}

int get_launch_node() {
  int saved = errno;
  int n = scan_launch_nodes(nullptr);
  errno = saved;
  if (n >= 0) return n;
  return (ld.hdr ? ld.hdr->possible_node_cnt : 0) + 1;
}

int get_launch_cpu() {
  int saved = errno;
  affinity a;
  if (affinity_read(&a) != 0) {
    int err = errno;
    affinity_release(&a);
    char msg[96];
    snprintf(msg, sizeof msg, "Can't obtain launch CPUs of tid %ld / pid %d", sys_gettid(),
             (int)getpid());
    if (!launch_initialized) report_fatal(msg, err);
    report_disable(msg, err, 18, (int)getpid());
    disable_launch();
    errno = saved;
    return -1;
  }
  int cpu = -1, count = 0;
  for (size_t w = 0; w < a.nwords && count < 2; w++) {
    unsigned long v = a.words[w];
    if (w == a.nwords - 1 && a.nbits % kWordBits) v &= (1UL << (a.nbits % kWordBits)) - 1;
    if (!v) continue;
    count += __builtin_popcountl(v);
    cpu = (int)(w * kWordBits) + __builtin_ctzl(v);
  }
  affinity_release(&a);
  errno = saved;
  return count == 1 ? cpu : -1;
}

void reset_initial_launch_nodes() {
  if (ld.hdr && ld.hdr->launch_nodes[0] && initial_cpu_mask) {
    if (sched_setaffinity(0, mask_words(initial_cpu_mask->size) * sizeof(unsigned long),
                          reinterpret_cast<cpu_set_t*>(initial_cpu_mask->maskp)) != 0) {
      report_recovering("can't reset initial launch nodes", 18);
      return;
    }
    raw_syscall3(SYS_set_mempolicy, 0 /* MPOL_DEFAULT */, 0, 0);
    report_recovering("Using initial launch nodes", 18);
    return;
  }
  report_recovering("can't determine initial launch nodes", 18);
}

}  // namespace zyg
