// bind.cpp - a task binds itself to the node or CPU chosen for it.
//
// Affinity and memory policy are per thread, so binding is always done by
// the task being placed. Memory follows the CPUs: the memory policy goes back
// to the default (local allocation) instead of binding memory to the node;
// under a memory-only mode it goes to the node's memory node instead.
// This runs in forked children before user code and in new threads that may
// have small stacks: no allocation, the masks live on the stack (base/os.h).
#include "placement/bind.h"

#include <errno.h>
#include <stdio.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/os.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/topology.h"
#include "placement/policy.h"
#include "report/report.h"
#include "shared/memory_tiers.h"

namespace zyg {

namespace {

// Reports, disables launching, and hands the bind's error number back.
// The calls before a failure are raw system calls, which leave errno alone,
// so errno is still the application's here and the guard keeps it so.
__attribute__((noinline, cold)) int fail(const char* msg, int err, report_code code) {
  errno_guard keep;
  report_disable(msg, err, code, sys_getpid());
  disable_launch();
  return err;
}

// The texts of the failures name the task; its ids are asked for only then
// (two system calls a placement would otherwise pay every time).
enum bind_step { STEP_CPU, STEP_NODE, STEP_INITIAL, STEP_MEMPOLICY };

__attribute__((noinline, cold)) int fail_task(bind_step step, int err, report_code code, int node,
                                              int cpu) {
  errno_guard keep;
  char msg[128];
  long tid = sys_gettid();
  int pid = sys_getpid();
  switch (step) {
    case STEP_CPU:
      snprintf(msg, sizeof(msg), "Can't launch tid %ld / pid %d on cpu %d of node %d", tid, pid,
               cpu, node);
      break;
    case STEP_NODE:
      snprintf(msg, sizeof(msg), "Can't launch tid %ld / pid %d on node %d", tid, pid, node);
      break;
    case STEP_INITIAL:
      snprintf(msg, sizeof(msg), "Initial launch for tid %ld / pid %d failed", tid, pid);
      break;
    case STEP_MEMPOLICY:
      snprintf(msg, sizeof(msg), "Can't set memory policy for tid %ld / pid %d", tid, pid);
      break;
  }
  return fail(msg, err, code);
}

// The binding this thread last made for itself (binding_key), or 0: a hint
// its new tasks check with the kernel before they rely on it. Written by
// the thread itself, except where a task without storage of its own makes
// the first creation of its process (a raw clone thread): relaxed atomics.
__thread unsigned own_binding;

unsigned binding_hint() { return __atomic_load_n(&own_binding, __ATOMIC_RELAXED); }
void note_binding(unsigned key) { __atomic_store_n(&own_binding, key, __ATOMIC_RELAXED); }

// Names a binding: the target and the node, unit or CPU it binds to (node
// ids and CPU numbers fit in 24 bits). 0 for a task that binds nothing.
unsigned binding_key(bind_target target, int node, int cpu) {
  int what = target == BIND_CPU ? cpu : target == BIND_LAUNCH_NODES ? 0 : node;
  return target == BIND_NOTHING ? 0u : ((unsigned)target << 24) | ((unsigned)what & 0xffffffu);
}

// The CPUs a node, unit or launch-nodes target binds to; null when unknown.
const bitmask* target_mask(bind_target target, int node) {
  if (target == BIND_LAUNCH_NODES) return initial_cpu_mask;
  if (target == BIND_UNIT) return unit_cpus(node);
  int config_nodes = ld.hdr ? ld.b.node_id_cnt : 0;
  return target == BIND_NODE && node >= 0 && node < config_nodes ? node_cpus(node) : nullptr;
}

// Binds the calling thread to mask m, unless it holds that mask already: a
// task whose creator made the same binding most likely inherited it, and
// asking costs a new thread a fraction of what setting the mask costs it (a
// set makes the kernel allocate, check and save the mask). 0, or an errno
// value.
int bind_to_mask(const bitmask* m, bool likely_held) {
  if (likely_held && os_affinity_is(m)) return 0;
  return -os_set_affinity_mask(m);
}

// Single-CPU affinity for the calling thread; 0, or an errno value.
int bind_to_cpu(int cpu) {
  int possible = ld.hdr ? ld.b.possible_cpu_cnt : 0;
  if (possible > 0 && cpu >= possible) return EINVAL;
  return -os_set_affinity_cpu(cpu);
}

// The node of a chosen unit, for the failure texts (which name nodes).
int node_of_unit(int unit) {
  if (!ld.hdr || ld.b.unit_kind != UNIT_L3) return unit;
  return unit >= 0 && unit < ld.b.avail_node_cnt ? ld.l_nodes[unit].node_id : unit;
}

// The memory node recorded for a chosen unit, or -1; *own is the unit's NUMA
// node. Under L3 units the unit is an l_nodes entry. Under node units it is
// the node, and the node's first entry answers: the entries of one node all
// have the same memory node (it is chosen by the node's distances).
int mem_node_of(int unit, int* own) {
  *own = unit;
  if (ld.b.unit_kind == UNIT_L3) {
    if (unit < 0 || unit >= ld.b.avail_node_cnt) return -1;
    *own = ld.l_nodes[unit].node_id;
    return ld.mem_nodes[unit];
  }
  for (int i = 0; i < ld.b.avail_node_cnt; i++)
    if (ld.l_nodes[i].node_id == unit) return ld.mem_nodes[i];
  return -1;
}

// The memory policy a bound task takes; 0, or an errno value. Under the
// local mode, the default (memory follows the CPUs). Under a memory-only
// mode a task bound to one unit (or one CPU of it) prefers, or interleaves
// with, its node's memory node; a task bound to several nodes (the initial
// launch nodes) has no one nearest memory node and allocates locally; a
// task that binds nothing keeps what it inherited from its creator, which
// is placed on the same node.
int apply_memory(bind_target target, int unit) {
  if (ld.mem_nodes == nullptr) return -os_mempolicy_default();
  if (target == BIND_NOTHING) return 0;
  int own = unit;
  const bool one_unit = target == BIND_CPU || target == BIND_NODE || target == BIND_UNIT;
  const int mem = one_unit ? mem_node_of(unit, &own) : -1;
  if (mem < 0) return -os_mempolicy_default();
  if (ld.memory_mode == MEMORY_INTERLEAVE_MEMONLY) return -os_mempolicy_interleave(own, mem);
  return -os_mempolicy_prefer(mem);
}

}  // namespace

ZYG_HOT_CODE bind_target bind_target_of(int node, int cpu) {
  if (node != -1) {
    if (cpu != -1) return BIND_CPU;
    return ld.hdr && ld.b.unit_kind == UNIT_L3 ? BIND_UNIT : BIND_NODE;
  }
  // Processes are not placed but threads are: a task given no node goes
  // back to the initial launch nodes instead of keeping its creator's
  // binding (which may be the node of one of its creator's threads).
  if (ld.hdr && ld.hdr->proc_kind == KIND_NONE && ld.hdr->thrd_kind != KIND_NONE)
    return BIND_LAUNCH_NODES;
  return BIND_NOTHING;
}

int set_launch(int node, int cpu) {
  return set_launch_known(node, cpu, inherited_state{POLICY_UNKNOWN, 0}, false);
}

ZYG_HOT_CODE inherited_state state_to_hand_on() {
  return {os_mempolicy_known_default() ? POLICY_DEFAULT : POLICY_UNKNOWN, binding_hint()};
}

void learn_policy_to_hand_on() {
  if (ld.mem_nodes == nullptr) os_mempolicy_learn();
}

void note_binding_held(int node, int cpu) {
  // One CPU is a CPU binding only where the launch binds CPUs (-c). Else the
  // launch confined the node to that CPU (taskset, a core an MPI rank or a
  // Slurm task was bound to, a node of one CPU): the program's threads are
  // given the node, and must find the node noted to skip setting its mask.
  if (ld.hdr != nullptr && ld.hdr->cpu_launch == 0) cpu = -1;
  note_binding(binding_key(bind_target_of(node, cpu), node, cpu));
}

ZYG_HOT_CODE int set_launch_known(int node, int cpu, inherited_state inherited, bool own_state) {
  // No errno_guard here: everything on the way to a successful bind is a raw
  // system call, and the failure paths keep errno themselves. A forked child
  // binding itself thus never calls into the C library for errno.
  ZYG_TRACE("set_launch(%d, %d) - run_on_node\n", node, cpu);

  const bind_target target = bind_target_of(node, cpu);
  const unsigned key = binding_key(target, node, cpu);
  const bool likely_held = key != 0 && key == inherited.binding;
  switch (target) {
    case BIND_CPU: {
      int err = bind_to_cpu(cpu);
      if (err) return fail_task(STEP_CPU, err, RC_BIND_CPU, node_of_unit(node), cpu);
      break;
    }
    case BIND_NODE:
    case BIND_UNIT: {
      const bitmask* m = target_mask(target, node);
      if (!m) {
        errno_guard keep;
        char msg[128];
        snprintf(msg, sizeof(msg), "Can't obtain cpu mask for %s %d",
                 target == BIND_UNIT ? "L3 domain" : "node", node);
        return fail(msg, EINVAL, RC_BIND_NODE);
      }
      int err = bind_to_mask(m, likely_held);
      if (err) return fail_task(STEP_NODE, err, RC_BIND_NODE, node_of_unit(node), cpu);
      break;
    }
    case BIND_LAUNCH_NODES: {
      const bitmask* m = target_mask(target, node);
      int err = m ? bind_to_mask(m, likely_held) : EINVAL;
      if (err) return fail_task(STEP_INITIAL, err, RC_BIND_NODE, node, cpu);
      break;
    }
    case BIND_NOTHING:
      break;
  }

  // Under the local mode every placed task takes the default policy: one
  // that inherited it known has nothing to reset (a system call per thread).
  const bool local = ld.mem_nodes == nullptr;
  const unsigned char known_before = os_mempolicy_state();
  int err = 0;
  if (!local || inherited.policy != POLICY_DEFAULT) {
    ZYG_TRACE("set_launch(%d, %d) - set_mempolicy\n", node, cpu);
    err = apply_memory(target, node);
  }
  if (own_state) {
    note_binding(target == BIND_NOTHING ? inherited.binding : key);
    if (local && err == 0) {
      os_mempolicy_note_default(known_before);
    } else {
      os_mempolicy_forget();
    }
  }
  if (err != 0 && err != EPERM) return fail_task(STEP_MEMPOLICY, err, RC_MEMPOLICY, node, cpu);
  return 0;
}

void reset_initial_launch_nodes() {
  if (ld.hdr && ld.hdr->launch_nodes[0] && initial_cpu_mask) {
    if (os_set_affinity_mask(initial_cpu_mask) != 0) {
      report_recovering("can't reset initial launch nodes", RC_LAUNCH_NODES);
      return;
    }
    os_mempolicy_default();
    report_recovering("Using initial launch nodes", RC_LAUNCH_NODES);
    return;
  }
  report_recovering("can't determine initial launch nodes", RC_LAUNCH_NODES);
}

}  // namespace zyg
