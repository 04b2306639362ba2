// memory.h - where a process's memory is, by node, as its numa_maps tells,
// and how much of its own memory lies away from the nodes its tasks run on.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace zr {

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

}  // namespace zr
