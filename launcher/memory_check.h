// memory_check.h - a memory mode other than local needs a memory-only node
// (memory and no CPUs: HBM in flat mode, a CXL expander) that the command may
// take memory from, and a process or thread policy that places tasks on one
// node (the mode acts on no other task). The launcher refuses the command
// before it starts when either is missing; the library makes the same checks
// for variables set by hand.
#pragma once

#include <cstdio>
#include <string>

#include "launch_env.h"

namespace zyg::launcher {

// True when a node listed in `has_memory` and not in `has_cpu` (the kernel's
// lists, "0-1,3") is also in `mems_allowed` (Mems_allowed_list of
// /proc/self/status; "" stands for every node). An unreadable list is false.
bool memonly_node_allowed(const std::string& has_memory, const std::string& has_cpu,
                          const std::string& mems_allowed);

// The same for this machine: /sys/devices/system/node and /proc/self/status.
bool memonly_node_here();

// Whether the launch options appended to `env` name a process or a thread
// policy that places tasks (not none).
bool memory_mode_placed(const LaunchEnv& env);

// The checks of a memory mode (shared/memory_tiers.h) other than local: a
// policy among the options in `env`, a memory-only node here. False after
// one line on err saying what is missing.
bool memory_mode_usable(int mode, const LaunchEnv& env, FILE* err);

}  // namespace zyg::launcher
