// memory_setup.h - the first process finds, for every launch unit, the
// memory-only node its tasks take their memory from (--memory other than
// local), and records it in the launch data's mem_nodes section, so that no
// later program of the tree reads a node file for it.
#pragma once

namespace zyg {

// Fills mem_nodes for every l_nodes entry (build_l_nodes has run). Under the
// local mode it does nothing. A launch that may use no memory-only node is a
// terminating report. `sysfs_dir` is kSysNodeDir (tests point it elsewhere).
void record_mem_nodes(const char* sysfs_dir);

}  // namespace zyg
