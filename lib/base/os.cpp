#include "base/os.h"

#include <numa.h>
#include <numaif.h>
#include <sched.h>

#include "base/errors.h"
#include "base/mask.h"
#include "base/sys.h"

namespace zyg {

int os_get_affinity(unsigned long* words, size_t nwords) {
  errno_guard keep;
  for (size_t w = 0; w < nwords; w++) words[w] = 0;
  if (sched_getaffinity(0, nwords * sizeof(unsigned long), reinterpret_cast<cpu_set_t*>(words)) != 0)
    return errno != 0 ? errno : EINVAL;
  return 0;
}

int os_set_affinity(const unsigned long* words, size_t nwords) {
  errno_guard keep;
  if (sched_setaffinity(0, nwords * sizeof(unsigned long),
                        reinterpret_cast<const cpu_set_t*>(words)) != 0)
    return errno != 0 ? errno : EINVAL;
  return 0;
}

int os_set_affinity_mask(const bitmask* m) {
  if (m == nullptr) return EINVAL;
  return os_set_affinity(m->maskp, mask_words(m->size));
}

int os_set_affinity_cpu(int cpu) {
  constexpr int kWords = kMaxBindCpu / (int)kMaskWordBits;
  if (cpu < 0 || cpu >= kMaxBindCpu) return EINVAL;
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
  return r < 0 ? (int)-r : 0;
}

int os_set_mempolicy(const os_mempolicy* p) {
  // The kernel counts one bit less than maxnode (its nodemask convention).
  long r = raw_syscall3(SYS_set_mempolicy, p->mode, (long)p->nodes,
                        (long)(kMempolicyWords * 8 * sizeof(unsigned long) + 1));
  if (r == -EINVAL) {
    // Modes without nodes (MPOL_DEFAULT, MPOL_LOCAL) refuse a mask.
    r = raw_syscall3(SYS_set_mempolicy, p->mode, 0, 0);
  }
  return r < 0 ? (int)-r : 0;
}

int os_mempolicy_default() {
  long r = raw_syscall3(SYS_set_mempolicy, MPOL_DEFAULT, 0, 0);
  return r < 0 ? (int)-r : 0;
}

}  // namespace zyg
