// memory_tiers.h - where a placed task's memory goes: the memory modes by
// name, and the rule that picks the memory-only node (HBM in flat mode, a
// CXL expander: a node with memory and no CPUs) nearest a task's node.
//
// The first process applies the rule once per launch unit and records the
// answer in the launch data; the launcher uses the node-list parse to refuse
// a memory mode on a machine that has no memory-only node; the report tool's
// --plan shows the same answer. Pure functions: no state, no allocation,
// usable from the library, the launcher and the report tool.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zyg {

// Stored in the launch data header (memory_mode): the numbers are part of
// the file's layout. Local is today's behaviour and writes nothing new.
enum memory_mode : uint32_t {
  MEMORY_LOCAL = 0,
  MEMORY_NEAREST_MEMONLY = 1,
  MEMORY_INTERLEAVE_MEMONLY = 2,
};

struct memory_mode_info {
  const char* name;
  memory_mode mode;
};

// In the order the usage text and the manual list them.
inline constexpr memory_mode_info kMemoryModes[] = {
    {"local", MEMORY_LOCAL},
    {"nearest-memonly", MEMORY_NEAREST_MEMONLY},
    {"interleave-memonly", MEMORY_INTERLEAVE_MEMONLY},
};
inline constexpr int kMemoryModeCount = 3;

// The mode of a name, or -1 for an unknown one.
int memory_mode_named(const char* name);
// The name of a mode as stored in a header; null for a number no mode has.
const char* memory_mode_name(uint32_t mode);

// The most nodes the rule and the node-list parse consider.
inline constexpr int kMaxTierNodes = 1024;

// The memory-only node nearest `node` among the nodes marked in `usable`
// (memory, no CPUs, allowed to the launch): the smallest distance in
// `distances` (that node's row of the kernel's table, indexed by node;
// 0 or less means unknown and counts as farther than any known distance),
// the lowest node number among equals. -1 when no node is usable.
int nearest_memonly(const int* distances, const bool* usable, int node_cnt);

// Sets the bits of a kernel node list ("0-1,3", as /sys and
// /proc/self/status show them) in `bits` (node_cnt entries, cleared first).
// 0, or -1 for a text that is not such a list.
int parse_node_bits(const char* text, bool* bits, int node_cnt);

}  // namespace zyg
