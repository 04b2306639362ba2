// policy.h - placement policies: choosing and counting the node (and CPU) of
// a new process or thread, and taking a failed choice back.
//
// Operates on this process's view of the launch data (core/ldata.h): the
// tables in use `ld.proc` / `ld.thrd`, the tree-wide `proc_log` / `thrd_log`,
// and l_nodes. Every choice that touches a shared table is made under
// ldata_lock; no allocation happens on these paths.
#pragma once

namespace zyg {

enum policy_kind { KIND_NONE = 0, KIND_RR = 1, KIND_FF = 2, KIND_PACK = 3, KIND_MEMFREE = 4 };
enum policy_scope { SCOPE_FLAT = 10, SCOPE_TREE = 11, SCOPE_RR_PACK = 12 };

struct launch_choice {
  int node;  // node_id, or -1 when nothing was chosen
  int cpu;   // CPU number, or -1
  int kind;  // policy kind applied (memfree may apply rr)
};

launch_choice get_proc_launch();
launch_choice get_thrd_launch();  // kind is informational only
void unset_proc_launch(int node, int cpu, int kind);
void mark_proc_launch(int node, int cpu);
void reset_proc_flat(int node, int cpu);
void reset_thrd_flat();
void mark_thrd_launch(int node, int cpu);

// Index in l_nodes of a node id (0 when absent) and of a CPU within a node's
// list (0 when absent).
int node_index_of(int node_id);
int cpu_index_of(int node_index, int cpu);

// Free-memory choice: returns the node index to count and sets *kind to the
// kind to apply (1 found by round robin, 4 all below the limit). Returns
// holding ldata_lock, or -1 without it when the calling thread holds it
// already (re-entered from a signal handler). mode 1 = process, 2 = thread. Reads
// <sysfs_dir>/node%d/meminfo; the library passes kSysNodeDir.
int get_memfree_launch(int mode, int* kind);
int get_memfree_launch_in(const char* sysfs_dir, int mode, int* kind);

// Directory get_memfree_launch reads (kSysNodeDir; tests point it elsewhere).
extern const char* memfree_sysfs_dir;

}  // namespace zyg
