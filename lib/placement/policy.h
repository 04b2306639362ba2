// policy.h - placement policies: choosing and counting the node (and CPU) of
// a new process or thread, and taking a failed choice back.
//
// Operates on this process's view of the launch data (core/ldata.h): the
// tables in use `ld.proc` / `ld.thrd`, the tree-wide `proc_log` / `thrd_log`,
// and l_nodes. Every choice that touches a shared table is made under
// ldata_lock; no allocation happens on these paths.
#pragma once

#include "shared/policy_table.h"

namespace zyg {

// Which of the two policies a choice is made by, and so which tables it
// counts in: the process tables or the thread tables.
enum placed_task { PLACING_PROCESS, PLACING_THREAD };

// A choice names its placement unit in `unit`: the node_id under node units,
// the l_nodes index under L3 units (several entries may share a node there,
// and the entry is what set_launch binds to and the undo counts back). The
// functions below take a unit so named where they say `unit`; set_launch's
// `node` (placement/bind.h) is one too.
struct launch_choice {
  int unit;  // the unit chosen (see above), or -1 when nothing was chosen
  int cpu;   // CPU number, or -1
  int kind;  // policy kind applied (memfree may apply rr)
};

launch_choice get_proc_launch();
launch_choice get_thrd_launch();  // kind is informational only
void unset_proc_launch(int unit, int cpu, int kind);
void mark_proc_launch(int unit, int cpu);
void reset_proc_flat(int unit, int cpu);
void reset_thrd_flat();
void mark_thrd_launch(int unit, int cpu);

// Index in l_nodes of a unit as a choice names it (0 when absent) and of a
// CPU within an entry's list (0 when absent).
int node_index_of(int node_id);
int cpu_index_of(int node_index, int cpu);

// Free-memory choice: returns the node index to count and sets *kind to the
// kind to apply (1 found by round robin, 4 all below the limit). Returns
// holding ldata_lock, or -1 without it when the calling thread holds it
// already (re-entered from a signal handler). Reads <sysfs_dir>/node%d/meminfo;
// the library passes kSysNodeDir.
int get_memfree_launch(placed_task task, int* kind);
int get_memfree_launch_in(const char* sysfs_dir, placed_task task, int* kind);

// Directory get_memfree_launch reads (kSysNodeDir; tests point it elsewhere).
extern const char* memfree_sysfs_dir;

}  // namespace zyg
