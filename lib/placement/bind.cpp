// bind.cpp - a task binds itself to the node or CPU chosen for it.
//
// Affinity and memory policy are per thread, so binding is always done by
// the task being placed. Memory follows the CPUs: the memory policy goes back
// to the default (local allocation) instead of binding memory to the node.
// This runs in forked children before user code and in new threads that may
// have small stacks: no allocation, a single-CPU mask on the stack that only
// spans the words up to the CPU (the kernel clears the rest of the mask).
#include "placement/bind.h"

#include <errno.h>
#include <numa.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>

#include "core/init.h"
#include "core/ldata.h"
#include "core/sys.h"
#include "core/topology.h"
#include "report/debug.h"
#include "report/report.h"

namespace zyg {

namespace {

constexpr int kMaxCpuWords = 64;  // single-CPU masks up to 4096 CPUs

size_t mask_bytes(const bitmask* m) { return ((m->size + 63) / 64) * 8; }

int fail(const char* msg, int err, int code) {
  report_disable(msg, err, code, sys_getpid());
  disable_launch();
  return -1;
}

// Single-CPU affinity for the calling thread; 0, or an errno value.
int bind_to_cpu(int cpu) {
  int possible = ld.hdr ? ld.hdr->possible_cpu_cnt : 0;
  if (cpu < 0 || (possible > 0 && cpu >= possible) || cpu / 64 >= kMaxCpuWords) return EINVAL;
  uint64_t mask[kMaxCpuWords];
  int words = cpu / 64 + 1;
  for (int w = 0; w < words; w++) mask[w] = 0;
  mask[cpu / 64] = 1ull << (cpu % 64);
  if (sched_setaffinity(0, (size_t)words * 8, reinterpret_cast<cpu_set_t*>(mask)) != 0)
    return errno ? errno : EINVAL;
  return 0;
}

int bind_to_mask(const bitmask* m) {
  if (sched_setaffinity(0, mask_bytes(m), reinterpret_cast<cpu_set_t*>(m->maskp)) != 0)
    return errno ? errno : EINVAL;
  return 0;
}

}  // namespace

int set_launch(int node, int cpu) {
  int saved_errno = errno;
  char msg[128];
  long tid = sys_gettid();
  int pid = sys_getpid();
  ZYG_TRACE("set_launch(%d, %d) - run_on_node\n", node, cpu);

  if (node != -1 && cpu != -1) {
    int err = bind_to_cpu(cpu);
    if (err) {
      snprintf(msg, sizeof(msg), "Can't launch tid %ld / pid %d on cpu %d of node %d", tid, pid,
               cpu, node);
      fail(msg, err, 19);
      errno = saved_errno;
      return -1;
    }
  } else if (node != -1) {
    int config_nodes = ld.hdr ? ld.hdr->config_node_cnt : 0;
    bitmask* m = (node >= 0 && node < config_nodes) ? node_cpus(node) : nullptr;
    if (!m) {
      snprintf(msg, sizeof(msg), "Can't obtain cpu mask for node %d", node);
      fail(msg, EINVAL, 2);
      errno = saved_errno;
      return -1;
    }
    int err = bind_to_mask(m);
    if (err) {
      snprintf(msg, sizeof(msg), "Can't launch tid %ld / pid %d on node %d", tid, pid, node);
      fail(msg, err, 2);
      errno = saved_errno;
      return -1;
    }
  } else if (ld.hdr && ld.hdr->proc_kind == 0 && ld.hdr->thrd_kind != 0) {
    // Processes are not placed but threads are: a task given no node goes
    // back to the initial launch nodes instead of keeping its creator's
    // binding.
    int err = initial_cpu_mask ? bind_to_mask(initial_cpu_mask) : EINVAL;
    if (err) {
      snprintf(msg, sizeof(msg), "Initial launch for tid %ld / pid %d failed", tid, pid);
      fail(msg, err, 2);
      errno = saved_errno;
      return -1;
    }
  }

  ZYG_TRACE("set_launch(%d, %d) - set_mempolicy\n", node, cpu);
  long r = raw_syscall3(SYS_set_mempolicy, 0 /* MPOL_DEFAULT */, 0, 0);
  if (r < 0 && r != -EPERM) {
    snprintf(msg, sizeof(msg), "Can't set memory policy for tid %ld / pid %d", tid, pid);
    fail(msg, (int)-r, 20);
    errno = saved_errno;
    return -1;
  }
  errno = saved_errno;
  return 0;
}

}  // namespace zyg
