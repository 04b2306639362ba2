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

// How the binding task's memory policy stands: unknown, or the default it
// inherited from a creator that knew its own to be the default (nothing to
// reset then under the local mode).
enum inherited_policy { POLICY_UNKNOWN, POLICY_DEFAULT };
// What a task inherited from its creator, as the creator knew it: its memory
// policy, and the binding the creator last made for itself (0: none known).
// A task chosen the same binding most likely holds that mask already; it
// asks the kernel, which costs a new task less than setting the mask again,
// and sets it only if it differs (the creator's mask may have been changed
// by the program or by another process since).
struct inherited_state {
  inherited_policy policy;
  unsigned binding;
};
// `own_state`: the task has thread-local storage of its own, where the
// outcome is noted for the tasks it creates.
int set_launch_known(int node, int cpu, inherited_state inherited, bool own_state);
// What a task's creator hands on: its own state, as it knows it.
inherited_state state_to_hand_on();
// Before a process's first thread or fork: under the local mode, asks the
// kernel once whether the policy its tasks inherit is the default already
// (an exec'd program inherits whatever its creator left).
void learn_policy_to_hand_on();

// For a thread placed by its creator or at start-up rather than by
// set_launch_known (an exec'd program's main thread), with node/cpu read
// from its affinity: notes the binding it most likely holds (one CPU counts
// as a CPU binding only under -c, else as its node). Its new tasks
// check it with the kernel before they rely on it, so a thread whose mask is
// not exactly that binding's costs them a question, never a wrong mask.
void note_binding_held(int node, int cpu);

// Puts the calling thread back on the initial launch nodes (recovering
// reports say how that went).
void reset_initial_launch_nodes();

}  // namespace zyg
