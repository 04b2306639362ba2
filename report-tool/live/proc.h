// proc.h - a running launch as /proc shows it: the processes that map its
// data file, their tasks (where each runs now, its allowed CPUs, its state)
// and their memory by node; and the data file of the launch a process
// belongs to. Internal to --live.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "live/memory.h"

namespace zr {
namespace live {

// A file read whole (at most 64 MiB); false with the errno in `error`.
bool read_file(const std::string& path, std::string& out, int& error);
// A PID or TID as a directory of /proc names it.
bool all_digits(const std::string& s);

struct Task {
  long tid = 0;
  char state = '?';
  int processor = -1;
  std::string allowed;
};

struct Proc {
  long pid = 0;
  long ppid = 0;
  std::string comm;
  std::vector<Task> tasks;
  bool memory_known = false;  // numa_maps read (not: gone meanwhile, or another user's)
  ProcMemory memory;
  std::set<int> run_nodes;  // the nodes of its tasks' affinity
  // Under a memory mode: the memory nodes of its tasks bound to one entry
  // (a task bound to several allocates locally); its memory there is its own.
  std::set<int> memory_nodes;
  MemoryShare share;  // with memory_known and run_nodes known
};

// Processes of the launch whose data file is at data_path (its real path):
// every process of the tree maps it (forked children inherit the mapping,
// exec'd programs map it again). By PID.
std::vector<Proc> tree_processes(const std::string& data_path);

// What --live looks at: the data file, and the PID it was found from.
struct Target {
  std::string path;
  long pid = 0;         // the PID asked for; 0 when a file was named
  bool member = false;  // found through the process itself (maps, environment)
};

// A PID (any process of a launch) or a data file's path, as --live names it.
Target resolve_target(const std::string& target);

}  // namespace live
}  // namespace zr
