// data_file.h - a launch data file read from a snapshot of its bytes (never
// from a mapping that others write to), by the library's own layout
// (core/ldata.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zr {

// The parts of a launch data file that the live view shows, read from a
// snapshot of the file (never from a mapping that others write to).
struct LiveNode {
  int node_id = -1;
  std::string cpulist;
  std::vector<int> cpus;
  int proc_log = 0, thrd_log = 0;       // placements made on the node, whole tree
  int proc_tree = 0, thrd_tree = 0;     // the tree-shared policy counters
  std::vector<int> cpu_proc, cpu_thrd;  // per CPU (index like cpus), from proc_log/thrd_log
  int mem_node = -1;  // under a memory mode: the memory-only node its tasks take memory from
};

struct LiveData {
  uint32_t version = 0;
  int lib_loaded_cnt = 0;
  int avail_node_cnt = 0, avail_cpu_cnt = 0;
  int entry_cnt = 0;  // node entries: the nodes, or under L3 units the domains
  bool cpu_launch = false;
  bool l3 = false;          // --unit=l3: each entry is an L3 domain of its node
  std::string memory_mode;  // "local", or the mode of --memory
  int initial_pid = 0;
  uint32_t log_entry_cnt = 0;
  std::string launch_nodes, data_file, log_file, error_file, proc_policy, thrd_policy;
  std::vector<LiveNode> nodes;
  std::vector<int> mem_nodes;  // each entry's memory node, under a memory mode only
};

// Reads a data file image; false with a one-line reason when the bytes are
// not a launch data file this tool can read.
bool decode_data_file(const std::string& bytes, LiveData& out, std::string& why);

}  // namespace zr
