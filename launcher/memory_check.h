// memory_check.h - a memory mode other than local needs a memory-only node
// (memory and no CPUs: HBM in flat mode, a CXL expander) that the command may
// take memory from. The launcher refuses the command before it starts when
// the machine, or the cpuset it runs in, has none; the library makes the
// same check for a variable set by hand.
#pragma once

#include <string>

namespace zyg::launcher {

// True when a node listed in `has_memory` and not in `has_cpu` (the kernel's
// lists, "0-1,3") is also in `mems_allowed` (Mems_allowed_list of
// /proc/self/status; "" stands for every node). An unreadable list is false.
bool memonly_node_allowed(const std::string& has_memory, const std::string& has_cpu,
                          const std::string& mems_allowed);

// The same for this machine: /sys/devices/system/node and /proc/self/status.
bool memonly_node_here();

}  // namespace zyg::launcher
