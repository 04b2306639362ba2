// bind.h - binding the calling thread to its chosen node or CPU, and back to
// the initial launch nodes.
#pragma once

namespace zyg {

// What set_launch(node, cpu) binds the calling task to.
enum bind_target {
  BIND_NOTHING,       // nothing: the task keeps the binding it inherited
  BIND_CPU,           // the one CPU `cpu`
  BIND_NODE,          // the CPUs of `node`
  BIND_LAUNCH_NODES,  // the CPUs of the initial launch nodes
  BIND_UNIT,          // the CPUs of the l_nodes entry `node` (L3 units)
};

// The rule set_launch applies; it binds nothing itself (the dry run of
// zyg-nox-report asks it too). Reads the policy kinds of the launch data.
bind_target bind_target_of(int node, int cpu);

// node/cpu as chosen by the policies (-1 = none; node names the unit, see
// launch_choice). Applies the affinity and resets the memory policy to the
// default (or, under a memory-only mode, sets the policy of the node's memory
// node). 0, or the error number of the
// failed call after reporting and disabling launch (errno itself is left as
// it was on entry, so a caller that reports the failure must use this).
int set_launch(int node, int cpu);

// Puts the calling thread back on the initial launch nodes (recovering
// reports say how that went).
void reset_initial_launch_nodes();

}  // namespace zyg
