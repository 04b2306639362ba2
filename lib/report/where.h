// where.h - the calling thread's launch nodes and CPU as the launch log and
// the placement code use them. Reading the affinity can fail: before
// start-up completes that is terminating, afterwards it is reported and
// launching is disabled for the process.
#pragma once

struct bitmask;

namespace zyg {

// The calling thread's launch nodes (out: possible_node_cnt bits, cleared first).
void get_launch_nodes(bitmask* out);
int get_launch_node();  // lowest of them; possible_node_cnt + 1 when none
int get_launch_cpu();   // the single CPU of the thread's affinity, else -1
// The placement unit the thread runs in, as the policies name a choice: its
// node (get_launch_node) under node units, its l_nodes entry under L3 units
// (0 when it runs in none).
int get_launch_unit();
// get_launch_nodes and get_launch_cpu from one reading of the affinity, with
// the same reports when reading fails; with unit, also the l_nodes entry that
// holds the whole affinity under L3 units (-1 when none, or unreadable).
void get_launch_nodes_cpu(bitmask* out, int* cpu, int* unit = nullptr);

}  // namespace zyg
