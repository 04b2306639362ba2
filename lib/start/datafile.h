// datafile.h - opening the launch data file in a program image: refusing a
// file that is not this launch's (core/membership.h), claiming the empty file
// its starter made and filling it (the first program of the launch), or
// attaching to it once it is whole; and starting a launch when the library
// was preloaded by hand.
#pragma once

#include <stdint.h>

#include "start/config.h"

namespace zyg {

struct l3_units;

// A library preloaded without the launcher starts the launch itself: a new
// identity, the data file of shared/launch_id.h with an anchor descriptor
// left open across exec, both in the environment. `path_out` (65 bytes)
// receives the path. Failures are terminating reports.
void start_launch_by_hand(unsigned file_mode, int pid, char* path_out);

// Opens the data file named `path` for this image (pid): refused with one
// line when it is not this launch's; waits (at most about two seconds) for a
// creator that is filling it; claims an empty one when `may_claim`. Returns
// 1 when this image claimed it (ld holds the file's empty header: fill it
// with create_launch_data), 0 when attached (ld is set up), -1 after a report
// (the caller disables launching).
int ldata_open(const char* path, int pid, bool may_claim);
// ldata_open without claiming (the tests and the fuzzer attach to files
// they made): 0 or -1.
int ldata_attach(const char* path);
// How many times (1 ms each) ldata_open looks again at a file whose
// creator has not finished it (tests that attach to crafted files: 0).
void ldata_set_ready_waits_for_test(int waits);

// The claimed file sized, mapped and its header filled from c (the data
// file's path in c->data_file). Under L3 units the launch's domains, which
// give the layout, go to *domains for build_l_nodes
// (start/topology_setup.h). Failures are terminating reports.
void create_launch_data(launch_config* c, l3_units* domains);
// Seals the header with the launch's content tag and stores the version:
// programs waiting to attach go on. Called again once the header's texts
// are final, it seals them anew.
void ldata_mark_ready();
// An exec'd process's view of the tree's launch data: opened, and its flat
// tables. 1 claimed, 0 attached, -1 with launching disabled.
int attach_launch_data(const char* path, int pid, bool may_claim);

// Zeroes the private counters (and, in the first process, the shared ones)
// and points ld.proc / ld.thrd at the tables the policies' scopes use.
void clear_counters(bool first);
void choose_tables();

}  // namespace zyg
