// --live: a running launch seen through its launch data file and /proc.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
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
};

struct LiveData {
  uint32_t version = 0;
  int lib_loaded_cnt = 0;
  int avail_node_cnt = 0, config_node_cnt = 0, avail_cpu_cnt = 0;
  bool cpu_launch = false;
  int initial_pid = 0;
  uint32_t log_entry_cnt = 0;
  std::string launch_nodes, data_file, log_file, error_file, proc_policy, thrd_policy;
  std::vector<LiveNode> nodes;
};

// Reads a data file image; false with a one-line reason when the bytes are
// not a launch data file this tool can read.
bool decode_data_file(const std::string& bytes, LiveData& out, std::string& why);

// Where a process's memory is: its resident pages by node, as
// /proc/<pid>/numa_maps counts them. `own` holds the pages of the mappings
// that are the process's own (heap, stacks, anonymous mappings); the pages
// of files (libraries, the page cache) sit wherever their first reader put
// them, for every process alike, and count in `resident` only. So do the
// private copies of a file mapping's pages (a library's data): numa_maps
// counts them per node together with the file's own pages.
struct ProcMemory {
  std::map<int, uint64_t> own;  // node -> bytes
  uint64_t resident = 0;        // bytes of every mapped page, shared files included
};

// Reads numa_maps text; a line without kernelpagesize_kB counts pages of
// page_size bytes. Lines it cannot read add nothing.
ProcMemory parse_numa_maps(const std::string& text, uint64_t page_size);

// The process's own memory split by the nodes its tasks run on (their
// affinity): `remote` is what sits on any other node, `share` remote's part
// of the whole (0 with no memory).
struct MemoryShare {
  uint64_t local = 0, remote = 0;
  double share = 0;
};
MemoryShare memory_share(const std::map<int, uint64_t>& own, const std::set<int>& run_nodes);

// A process whose remote share is above this is warned about (when the
// remote part is at least kRemoteWarnBytes: a small child shares its
// parent's pages until it writes them, wherever the parent runs).
inline constexpr double kRemoteShareWarn = 0.25;
inline constexpr uint64_t kRemoteWarnBytes = uint64_t{4} << 20;
bool memory_warns(const MemoryShare& s);

// The CPUs of a list as sysfs and /proc write it ("0-3,8,10-11"); empty
// for text that is not such a list.
std::vector<int> parse_cpu_list(const std::string& text);

// What --live was asked for.
struct LiveRequest {
  std::string target;      // a PID, or a data file's path
  int watch_seconds = -1;  // refresh period; -1: show once
  bool json = false;       // one JSON document (schema/live-v1.json) instead of the text
};

// Runs --live; returns the exit status (see main.cpp).
int run_live(const LiveRequest& req, std::ostream& out, std::ostream& err);

}  // namespace zr
