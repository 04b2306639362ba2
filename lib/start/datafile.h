// datafile.h - creating the launch data file (first process) or attaching to
// it (a program exec'd inside the tree), and setting up this image's view.
#pragma once

#include "start/config.h"

namespace zyg {

// First process: creates /dev/shm/zyg-nox.<pid> (or .<pid>.k), exports its
// path in ZYG_LAUNCH_DATA_FILE, reserves its blocks, maps it and writes the
// layout fields; `path_out` (65 bytes) receives the path. Failures are
// terminating reports. The caller fills the configuration fields.
void ldata_create(unsigned file_mode, int config_node_cnt, char* path_out);

// Exec'd process: maps the file named `path`, validates it and sets `ld`.
// Returns 0, or -1 after reporting (the caller then disables launching).
int ldata_attach(const char* path);

// The first process's launch data, with its header filled from c.
void create_launch_data(launch_config* c);
// An exec'd process's view of the tree's launch data. 0, or -1 with
// launching disabled.
int attach_launch_data(const char* path);

// Zeroes the private counters (and, in the first process, the shared ones)
// and points ld.proc / ld.thrd at the tables the policies' scopes use.
void clear_counters(bool first);
void choose_tables();

}  // namespace zyg
