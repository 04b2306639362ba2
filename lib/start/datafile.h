// datafile.h - creating the launch data file (first process) or attaching to
// it (a program exec'd inside the tree), and setting up this image's view.
#pragma once

#include <stdint.h>

#include "start/config.h"

namespace zyg {

struct l3_units;

// First process: creates the data file `given` (the name the launcher chose)
// or, without one, /dev/shm/zyg-nox.<pid> (or .<pid>.k); exports its path in
// ZYG_LAUNCH_DATA_FILE, reserves its blocks, maps it and writes the layout
// fields, all but the version; `path_out` (65 bytes) receives the path.
// Failures are terminating reports, but for a `given` file that exists
// already: -1, and the caller attaches to it. The caller fills the
// configuration fields and calls ldata_mark_ready when the launch is whole.
// A memory mode other than local adds the mem_nodes section (core/ldata.h).
int ldata_create(const char* given, unsigned file_mode, int config_node_cnt, char* path_out,
                 int entry_cnt = 0, uint32_t memory_mode = 0);
// Stores the version: programs waiting to attach go on.
void ldata_mark_ready();
// How many times (1 ms each) ldata_attach looks again at a file whose
// creator has not finished it (tests that attach to crafted files: 0).
void ldata_set_ready_waits_for_test(int waits);

// Exec'd process: maps the file named `path` (waiting, for at most about two
// seconds, for its creator to finish it), validates it and sets `ld`.
// Returns 0, or -1 after reporting (the caller then disables launching).
int ldata_attach(const char* path);

// The first process's launch data, with its header filled from c; -1 when
// the `given` file exists (see ldata_create). Under L3 units the launch's
// domains, which give the layout, go to *domains for build_l_nodes
// (start/topology_setup.h).
int create_launch_data(launch_config* c, const char* given, l3_units* domains);
// An exec'd process's view of the tree's launch data. 0, or -1 with
// launching disabled.
int attach_launch_data(const char* path);

// Zeroes the private counters (and, in the first process, the shared ones)
// and points ld.proc / ld.thrd at the tables the policies' scopes use.
void clear_counters(bool first);
void choose_tables();

}  // namespace zyg
