#include "base/os.h"

#include <numa.h>
#include <numaif.h>
#include <sched.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/sys.h"

namespace zyg {

// The affinity calls go straight to the kernel, as the C library's wrappers
// do, but without touching errno and without a call into the C library: in a
// forked child that call would be a page fault on a C library page the child
// uses nowhere else (a fork copies no page table entries of file mappings).
// The kernel returns the number of mask bytes it wrote (its own mask size):
// the words after those are CPUs it does not have.
namespace {
// The calling thread's affinity into words: the number of words the kernel
// wrote, or a negative errno.
long read_affinity(unsigned long* words, size_t nwords) {
  long r =
      raw_syscall3(SYS_sched_getaffinity, 0, (long)(nwords * sizeof(unsigned long)), (long)words);
  return r < 0 ? r : r / (long)sizeof(unsigned long);
}
}  // namespace

ZYG_HOT_CODE int os_get_affinity(unsigned long* words, size_t nwords) {
  long got = read_affinity(words, nwords);
  // The rest read as clear CPUs, as the C library's wrapper leaves them.
  for (size_t w = got < 0 ? 0 : (size_t)got; w < nwords; w++) words[w] = 0;
  return got < 0 ? (int)got : 0;
}

ZYG_HOT_CODE int os_set_affinity(const unsigned long* words, size_t nwords) {
  long r =
      raw_syscall3(SYS_sched_setaffinity, 0, (long)(nwords * sizeof(unsigned long)), (long)words);
  return r < 0 ? (int)r : 0;
}

ZYG_HOT_CODE int os_set_affinity_mask(const bitmask* m) {
  if (m == nullptr) return -EINVAL;
  return os_set_affinity(m->maskp, mask_words(m->size));
}

ZYG_HOT_CODE bool os_affinity_is(const bitmask* m) {
  constexpr size_t kWords = kMaxBindCpu / kMaskWordBits;
  unsigned long now[kWords];
  if (m == nullptr) return false;
  // Only the words the kernel wrote are compared: it asks every new thread
  // on its creator's binding, and clearing and comparing the whole buffer
  // cost more than the rest of the library's work for a thread.
  const long got = read_affinity(now, kWords);
  if (got <= 0) return false;
  const size_t words = mask_words(m->size);
  for (size_t w = 0; w < (size_t)got || w < words; w++)
    if ((w < (size_t)got ? now[w] : 0UL) != (w < words ? m->maskp[w] : 0UL)) return false;
  return true;
}

int os_set_affinity_cpu(int cpu) {
  constexpr int kWords = kMaxBindCpu / (int)kMaskWordBits;
  if (cpu < 0 || cpu >= kMaxBindCpu) return -EINVAL;
  // Only the words up to the CPU: the kernel treats the rest as clear.
  unsigned long mask[kWords];
  int words = cpu / (int)kMaskWordBits + 1;
  for (int w = 0; w < words; w++) mask[w] = 0;
  mask[cpu / (int)kMaskWordBits] = 1UL << (cpu % (int)kMaskWordBits);
  return os_set_affinity(mask, (size_t)words);
}

int os_get_mempolicy(os_mempolicy* p) {
  p->mode = MPOL_DEFAULT;
  for (size_t w = 0; w < kMempolicyWords; w++) p->nodes[w] = 0;
  long r = raw_syscall6(SYS_get_mempolicy, (long)&p->mode, (long)p->nodes,
                        (long)(kMempolicyWords * 8 * sizeof(unsigned long)), 0, 0, 0);
  return r < 0 ? (int)r : 0;
}

int os_set_mempolicy(const os_mempolicy* p) {
  os_mempolicy_forget();
  // The kernel counts one bit less than maxnode (its nodemask convention).
  long r = raw_syscall3(SYS_set_mempolicy, p->mode, (long)p->nodes,
                        (long)(kMempolicyWords * 8 * sizeof(unsigned long) + 1));
  if (r == -EINVAL) {
    // Modes without nodes (MPOL_DEFAULT, MPOL_LOCAL) refuse a mask.
    r = raw_syscall3(SYS_set_mempolicy, p->mode, 0, 0);
  }
  return r < 0 ? (int)r : 0;
}

ZYG_HOT_CODE int os_get_mems_allowed(unsigned long* words, size_t nbits) {
  size_t nwords = mask_words(nbits);
  // The kernel counts one bit less than maxnode, and writes every word of
  // the mask it is given (those beyond its own nodes cleared).
  long r = raw_syscall6(SYS_get_mempolicy, 0, (long)words, (long)(nwords * kMaskWordBits + 1), 0,
                        MPOL_F_MEMS_ALLOWED, 0);
  if (r == 0) return 0;
  for (size_t w = 0; w < nwords; w++) words[w] = 0;
  return (int)r;
}

ZYG_HOT_CODE int os_mempolicy_default() {
  long r = raw_syscall3(SYS_set_mempolicy, MPOL_DEFAULT, 0, 0);
  return r < 0 ? (int)r : 0;
}

namespace {
// Per thread: never asked (zero in every new image and in every new
// thread's own storage), known default, or not known to be the default.
enum policy_knowledge : unsigned char { POLICY_NEVER_ASKED, POLICY_IS_DEFAULT, POLICY_NOT_KNOWN };
__thread policy_knowledge policy_known;
}  // namespace

ZYG_HOT_CODE bool os_mempolicy_known_default() { return policy_known == POLICY_IS_DEFAULT; }
ZYG_HOT_CODE unsigned char os_mempolicy_state() {
  return __atomic_load_n(&policy_known, __ATOMIC_RELAXED);
}

ZYG_HOT_CODE void os_mempolicy_note_default(unsigned char since) {
  // One instruction: a signal handler of this thread that forgot the policy
  // after `since` was read (it set one of its own) keeps it forgotten.
  policy_knowledge expected = static_cast<policy_knowledge>(since);
  __atomic_compare_exchange_n(&policy_known, &expected, POLICY_IS_DEFAULT, false, __ATOMIC_RELAXED,
                              __ATOMIC_RELAXED);
}

void os_mempolicy_forget() { __atomic_store_n(&policy_known, POLICY_NOT_KNOWN, __ATOMIC_RELAXED); }

void os_mempolicy_learn() {
  if (policy_known != POLICY_NEVER_ASKED) return;
  if (os_mempolicy_is_default()) {
    os_mempolicy_note_default(POLICY_NEVER_ASKED);
  } else {
    os_mempolicy_forget();
  }
}

bool os_mempolicy_is_default() {
  os_mempolicy p;
  return os_get_mempolicy(&p) == 0 && p.mode == MPOL_DEFAULT;
}

namespace {

// The kernel's number (linux/mempolicy.h); older numaif.h lacks it.
constexpr int kMpolPreferredMany = 5;
// Set once a kernel has refused MPOL_PREFERRED_MANY: every later call goes
// straight to MPOL_PREFERRED. A plain flag, read and set without a lock: at
// worst two threads both learn it.
int preferred_many_refused;

constexpr int kPolicyWords = kMaxPolicyNode / (int)kMaskWordBits;

// set_mempolicy(mode) with the nodes of `nodes` (cnt of them, each checked).
int set_policy_nodes(int mode, const int* nodes, int cnt) {
  os_mempolicy_forget();
  unsigned long mask[kPolicyWords];
  int words = 1;
  for (int i = 0; i < cnt; i++) {
    if (nodes[i] < 0 || nodes[i] >= kMaxPolicyNode) return -EINVAL;
    if (nodes[i] / (int)kMaskWordBits + 1 > words) words = nodes[i] / (int)kMaskWordBits + 1;
  }
  for (int w = 0; w < words; w++) mask[w] = 0;
  for (int i = 0; i < cnt; i++)
    mask[nodes[i] / (int)kMaskWordBits] |= 1UL << (nodes[i] % (int)kMaskWordBits);
  // The kernel counts one bit less than maxnode.
  long r = raw_syscall3(SYS_set_mempolicy, mode, (long)mask, (long)(words * kMaskWordBits + 1));
  return r < 0 ? (int)r : 0;
}

}  // namespace

int os_mempolicy_prefer(int node) {
  if (!__atomic_load_n(&preferred_many_refused, __ATOMIC_RELAXED)) {
    int r = set_policy_nodes(kMpolPreferredMany, &node, 1);
    // A node out of range is refused before the kernel is asked.
    if (r != -EINVAL || node < 0 || node >= kMaxPolicyNode) return r;
    // The mode, not the node, was refused when the older one is taken.
    r = set_policy_nodes(MPOL_PREFERRED, &node, 1);
    if (r == 0) __atomic_store_n(&preferred_many_refused, 1, __ATOMIC_RELAXED);
    return r;
  }
  return set_policy_nodes(MPOL_PREFERRED, &node, 1);
}

int os_mempolicy_interleave(int a, int b) {
  const int nodes[2] = {a, b};
  return set_policy_nodes(MPOL_INTERLEAVE, nodes, 2);
}

}  // namespace zyg
