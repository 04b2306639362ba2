// topology.cpp - the per-process node/CPU cache and the calling thread's
// launch nodes and CPU.
#include "core/topology.h"

#include <errno.h>
#include <numa.h>
#include <string.h>
#include <sys/mman.h>

#include "base/file.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/os.h"
#include "base/scratch.h"
#include "core/ldata.h"

namespace zyg {

bitmask* all_nodes_mask;
bitmask** node_cpu_cache;
int node_cpu_cache_cnt;
bitmask* initial_node_mask;
bitmask* initial_cpu_mask;

bitmask* node_cpu_pending;
bitmask* node_cpu_known;

bitmask** unit_cpu_cache;
int unit_cpu_cache_cnt;

int read_node_cpumap(const char* dir, int node, bitmask* out) {
  if (!out || node < 0) {
    errno = EINVAL;
    return -2;
  }
  char path[256];
  size_t len = strlen(dir);
  if (len > sizeof path - 40) {
    errno = ENAMETOOLONG;
    return -2;
  }
  memcpy(path, dir, len);
  memcpy(path + len, "/node", 5);
  len += 5;
  char digits[12];
  int nd = 0;
  for (unsigned v = (unsigned)node; nd == 0 || v != 0; v /= 10) digits[nd++] = (char)('0' + v % 10);
  while (nd > 0) path[len++] = digits[--nd];
  memcpy(path + len, "/cpumap", 8);
  // Nine characters per 32 CPUs (kernels print their own count of CPUs,
  // which may exceed the mask's), and a margin.
  size_t size = (out->size / 32 + 2) * 9 + 4096;
  char* text = static_cast<char*>(scratch_alloc(size));
  if (!text) {
    errno = ENOMEM;
    return -2;
  }
  file_step failed;
  long got = read_small_file(path, text, size, &failed);
  int rc = 0;
  if (got < 0) {
    errno = (int)-got;
    rc = failed == FILE_OPEN && got == -ENOENT ? -1 : -2;
  } else if ((size_t)got >= size - 1) {
    errno = EFBIG;
    rc = -2;
  } else if (mask_parse_hex(out, text) != 0) {
    errno = EINVAL;
    rc = -2;
  }
  scratch_free(text);
  return rc;
}

ZYG_HOT_CODE bitmask* node_cpus(int node) {
  if (node < 0 || node >= node_cpu_cache_cnt || !node_cpu_cache) return nullptr;
  return node_cpu_cache[node];
}

bitmask* unit_cpus(int unit) {
  if (unit < 0 || unit >= unit_cpu_cache_cnt || !unit_cpu_cache) return nullptr;
  return unit_cpu_cache[unit];
}

// ---------------------------------------------------------------------------
// These run in new threads (whose stack may be 16 KiB) and on the log path:
// the affinity buffer lives on the stack for up to 1024 CPUs and in a
// temporary anonymous mapping beyond that.

namespace {

constexpr size_t kStackAffinityWords = 1024 / kMaskWordBits;

struct affinity {
  unsigned long* words;
  size_t nwords;
  unsigned nbits;
  unsigned long stack[kStackAffinityWords];
};

// 0, or an errno value.
ZYG_HOT_CODE int affinity_read(affinity* a) {
  int bits = ld.hdr ? ld.b.possible_cpu_cnt : 0;
  if (bits < 1) bits = (int)(kStackAffinityWords * kMaskWordBits);
  a->nbits = (unsigned)bits;
  a->nwords = mask_words(a->nbits);
  a->words = a->stack;
  if (a->nwords > kStackAffinityWords) {
    void* p = mmap(nullptr, a->nwords * sizeof(unsigned long), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      a->words = nullptr;
      return errno;
    }
    a->words = static_cast<unsigned long*>(p);
  }
  return -os_get_affinity(a->words, a->nwords);
}

ZYG_HOT_CODE void affinity_release(affinity* a) {
  if (a->words && a->words != a->stack) munmap(a->words, a->nwords * sizeof(unsigned long));
  a->words = nullptr;
}

}  // namespace

namespace {

int pending_claimed;

// Reads the entries start-up left unread, once an affinity reaches CPUs that
// the read ones do not hold. One thread reads them; the others skip those
// nodes until it is done.
void read_pending_if_needed(const affinity& a) {
  bitmask* pending = __atomic_load_n(&node_cpu_pending, __ATOMIC_ACQUIRE);
  if (!pending || !node_cpu_known) return;
  size_t kw = mask_words(node_cpu_known->size);
  bool outside = false;
  for (size_t w = 0; w < a.nwords && !outside; w++)
    outside = (a.words[w] & ~(w < kw ? node_cpu_known->maskp[w] : 0UL)) != 0;
  if (!outside || __atomic_exchange_n(&pending_claimed, 1, __ATOMIC_ACQ_REL) != 0) return;
  int saved = errno;
  for (int n = 0; n < node_cpu_cache_cnt; n++) {
    if (!mask_isbitset(pending, (unsigned)n) || !node_cpu_cache[n]) continue;
    // A node that cannot be read keeps no CPUs.
    if (read_node_cpumap(kSysNodeDir, n, node_cpu_cache[n]) != 0) mask_clearall(node_cpu_cache[n]);
  }
  errno = saved;
  __atomic_store_n(&node_cpu_pending, nullptr, __ATOMIC_RELEASE);
}

// The launch nodes in an affinity read (see scan_launch_nodes).
void nodes_of(const affinity& a, bitmask* out, int* lowest) {
  read_pending_if_needed(a);
  const bitmask* pending = __atomic_load_n(&node_cpu_pending, __ATOMIC_ACQUIRE);
  for (int n = 0; n < node_cpu_cache_cnt; n++) {
    const bitmask* cpus = node_cpus(n);
    if (!cpus || !mask_isbitset(all_nodes_mask, (unsigned)n)) continue;
    if (pending && mask_isbitset(pending, (unsigned)n)) continue;
    // Compare whole words: any CPU of the node that the thread may use.
    size_t words = mask_words(cpus->size);
    if (words > a.nwords) words = a.nwords;
    bool hit = false;
    for (size_t w = 0; w < words && !hit; w++) hit = (cpus->maskp[w] & a.words[w]) != 0;
    if (!hit) continue;
    if (*lowest < 0) *lowest = n;
    if (!out) break;
    mask_setbit(out, (unsigned)n);
  }
}

// The single CPU of an affinity read, else -1.
int cpu_of(const affinity& a) {
  int found = -1, count = 0;
  for (size_t w = 0; w < a.nwords && count < 2; w++) {
    unsigned long v = a.words[w];
    if (w == a.nwords - 1 && a.nbits % kMaskWordBits) v &= (1UL << (a.nbits % kMaskWordBits)) - 1;
    if (!v) continue;
    count += __builtin_popcountl(v);
    found = (int)(w * kMaskWordBits) + __builtin_ctzl(v);
  }
  return count == 1 ? found : -1;
}

// The unit entry whose CPUs hold every CPU of an affinity read, else -1.
// Entries never share a CPU, so the first that holds one CPU is the only
// candidate.
int unit_holding(const affinity& a) {
  for (int u = 0; u < unit_cpu_cache_cnt; u++) {
    const bitmask* cpus = unit_cpus(u);
    if (!cpus) continue;
    size_t words = mask_words(cpus->size);
    bool inside = true, any = false;
    for (size_t w = 0; w < a.nwords && inside; w++) {
      unsigned long v = a.words[w];
      if (w == a.nwords - 1 && a.nbits % kMaskWordBits) v &= (1UL << (a.nbits % kMaskWordBits)) - 1;
      unsigned long held = w < words ? cpus->maskp[w] : 0UL;
      inside = (v & ~held) == 0;
      any = any || (v & held) != 0;
    }
    if (any) return inside ? u : -1;
  }
  return -1;
}

}  // namespace

namespace {

// One read of the calling thread's affinity for any of the four views: its
// launch nodes (lowest, and all of them in out unless it is null), its
// single CPU (cpu) and the unit entry holding it (unit); a null lowest, cpu
// or unit skips that view.
ZYG_HOT_CODE int read_affinity_view(bitmask* out, int* lowest, int* cpu, int* unit = nullptr) {
  if (lowest) *lowest = -1;
  if (cpu) *cpu = -1;
  if (unit) *unit = -1;
  affinity a;
  int err = affinity_read(&a);
  if (err == 0) {
    if (lowest) nodes_of(a, out, lowest);
    if (cpu) *cpu = cpu_of(a);
    if (unit) *unit = unit_holding(a);
  }
  affinity_release(&a);
  return err;
}

}  // namespace

int scan_launch_nodes(bitmask* out, int* lowest) {
  return read_affinity_view(out, lowest, nullptr);
}

int scan_launch_unit(int* unit) {
  *unit = -1;
  affinity a;
  int err = affinity_read(&a);
  for (int u = 0; err == 0 && u < unit_cpu_cache_cnt && *unit < 0; u++) {
    const bitmask* cpus = unit_cpus(u);
    if (!cpus) continue;
    size_t words = mask_words(cpus->size);
    if (words > a.nwords) words = a.nwords;
    for (size_t w = 0; w < words; w++)
      if (cpus->maskp[w] & a.words[w]) {
        *unit = u;
        break;
      }
  }
  affinity_release(&a);
  return err;
}

int read_launch_cpu(int* cpu) { return read_affinity_view(nullptr, nullptr, cpu); }

ZYG_HOT_CODE int scan_launch_nodes_cpu(bitmask* out, int* lowest, int* cpu, int* unit) {
  return read_affinity_view(out, lowest, cpu, unit);
}

}  // namespace zyg
