// ldata.h - the launch data file: its binary layout, this process's view of
// the mapping, the checks on a mapped file, and the readable dump (creating
// and attaching are start-up's: start/datafile.h).
//
// One file per launch, /dev/shm/zyg-nox.<pid>, mapped MAP_SHARED by every
// process of the launched tree. The layout is an ABI between program images
// (an exec'd program maps the file again): fixed-width native-endian fields at
// fixed offsets, checked by static_asserts below. N = the entry count
// (ldata_entry_cnt): config_node_cnt, or unit_entry_cnt when that is set.
//   header      0                       2048
//   l_nodes     2048                    N * 1288
//   proc_tree   2048 + N*1288           T = 4 + N*1032
//   thrd_tree   proc_tree + T           T
//   proc_log    proc_tree + 2T          T
//   thrd_log    proc_tree + 3T          T
//   mem_nodes   proc_tree + 4T          N * 4, only when memory_mode is not
//                                       local (a local launch's file ends at
//                                       thrd_log): for each l_nodes entry the
//                                       memory node its tasks use, or -1
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/layout.h"
#include "base/lock.h"
#include "shared/launch_id.h"

namespace zyg {

inline constexpr uint32_t kLdataVersion = 1;
inline constexpr int kMaxCpusPerNode = 256;  // MAX_POSSIBLE_CPUS_PER_NODE
// The most configured nodes an attaching process accepts in a file.
inline constexpr int kMaxConfigNodes = 4096;

struct node_rec {
  int32_t node_launched;                  // tasks placed on this node
  int32_t next_cpu_index;                 // CPU index the next CPU choice takes
  int32_t cpu_launched[kMaxCpusPerNode];  // tasks placed on each CPU, by CPU index
};
static_assert(sizeof(node_rec) == 1032);

// A node-counter table: next_node_index, then one node_rec per configured
// node starting at byte offset 4 (use table_node()).
struct node_table {
  int32_t next_node_index;
};

struct l_node {
  int32_t node_id;                 // -1 in entries not in use
  int32_t num_cpus;                // valid entries of cpus
  char cpulist[256];               // the node's cpulist text as sysfs shows it
  uint32_t cpus[kMaxCpusPerNode];  // CPU numbers, ascending
};
static_assert(sizeof(l_node) == 1288);

struct ldata_hdr {
  uint32_t version;           // 0
  uint32_t l_nodes_offset;    // 4
  uint32_t proc_tree_offset;  // 8
  uint32_t thrd_tree_offset;  // 12
  uint32_t proc_log_offset;   // 16
  uint32_t thrd_log_offset;   // 20
  int32_t lib_loaded_cnt;     // 24, atomic only
  int32_t avail_node_cnt;     // 28
  // Configured NUMA nodes, and the layout's entry count N unless
  // unit_entry_cnt is set (the view's bounds call N entry_cnt).
  int32_t config_node_cnt;    // 32
  int32_t avail_cpu_cnt;      // 36
  int32_t config_cpu_cnt;     // 40
  uint32_t cpu_launch;        // 44
  uint32_t proc_kind;         // 48
  uint32_t thrd_kind;         // 52
  uint32_t proc_scope;        // 56
  uint32_t thrd_scope;        // 60
  int64_t log_start_sec;      // 64
  int64_t log_start_usec;     // 72
  int32_t initial_pid;        // 80
  uint32_t log_enabled;       // 84
  uint32_t log_entry_cnt;     // 88, atomic only
  uint32_t file_mode;         // 92
  int32_t possible_cpu_cnt;   // 96
  int32_t possible_node_cnt;  // 100
  int32_t memfree_limit;      // 104
  uint32_t lock_recoveries;   // 108, atomic only: ldata_lock taken over from dead holders
  uint32_t memory_mode;       // 112, shared/memory_tiers.h (0 local)
  // The placement unit (--unit): an l_nodes entry is a NUMA node (0), or the
  // CPUs of one L3 cache within one node (1). Under l3 the entries may
  // outnumber the nodes: unit_entry_cnt is then the layout's N.
  uint32_t unit_kind;      // 116
  int32_t unit_entry_cnt;  // 120, 0: N = config_node_cnt
  // The program that fills the empty file its starter made (shared/
  // launch_id.h): claimed 0 -> its pid, atomically, by the first one.
  int32_t creator;            // 124
  futex_mutex ldata_lock;     // 128, futex mutex (base/lock.h): word, holder's namespace at 132
  uint32_t mem_nodes_offset;  // 136, 0 when the file has no mem_nodes section
  // Membership (core/membership.h): the serial of the last spawn mark, the
  // launch's identity tag (written by its starter) and the tag of the fields
  // a program takes paths from (written by the creator before the version),
  // and the children spawns made, "serial << 32 | pid", by serial.
  uint32_t spawn_serial;      // 140, atomic only
  uint64_t id_tag;            // 144
  uint64_t content_tag;       // 152
  uint64_t spawn_slots[16];   // 160, atomic only
  uint8_t reserved2[23];      // 288
  char launch_nodes[257];     // 311
  char data_file[65];         // 568
  char log_file[257];         // 633
  char error_file[257];       // 890
  char lib64[257];            // 1147
  char lib32[257];            // 1404
  char lib32_64[257];         // 1661
  char proc_policy_name[65];  // 1918
  char thrd_policy_name[65];  // 1983
};
static_assert(sizeof(ldata_hdr) == 2048);
static_assert(offsetof(ldata_hdr, lib_loaded_cnt) == 24);
static_assert(offsetof(ldata_hdr, log_start_sec) == 64);
static_assert(offsetof(ldata_hdr, initial_pid) == 80);
static_assert(offsetof(ldata_hdr, memfree_limit) == 104);
static_assert(offsetof(ldata_hdr, lock_recoveries) == 108);
static_assert(offsetof(ldata_hdr, memory_mode) == 112);
static_assert(offsetof(ldata_hdr, unit_kind) == 116);
static_assert(offsetof(ldata_hdr, unit_entry_cnt) == 120);
static_assert(offsetof(ldata_hdr, ldata_lock) == 128);
static_assert(offsetof(ldata_hdr, mem_nodes_offset) == 136);
static_assert(offsetof(ldata_hdr, creator) == 124);
static_assert(offsetof(ldata_hdr, id_tag) == kHdrIdTagOffset);
static_assert(offsetof(ldata_hdr, initial_pid) == kHdrInitialPidOffset);
static_assert(sizeof(ldata_hdr) == kHdrSize);
static_assert(offsetof(ldata_hdr, spawn_slots) == 160);
static_assert(offsetof(ldata_hdr, launch_nodes) == 311);
static_assert(offsetof(ldata_hdr, data_file) == 568);
static_assert(offsetof(ldata_hdr, log_file) == 633);
static_assert(offsetof(ldata_hdr, error_file) == 890);
static_assert(offsetof(ldata_hdr, lib64) == 1147);
static_assert(offsetof(ldata_hdr, lib32) == 1404);
static_assert(offsetof(ldata_hdr, lib32_64) == 1661);
static_assert(offsetof(ldata_hdr, proc_policy_name) == 1918);
static_assert(offsetof(ldata_hdr, thrd_policy_name) == 1983);

// The placement units of unit_kind.
enum unit_kind_value : uint32_t { UNIT_NODE = 0, UNIT_L3 = 1 };

// The layout's N: entries of l_nodes and of every node-counter table.
ZYG_HOT_INLINE int ldata_entry_cnt(const ldata_hdr* h) {
  int e = __atomic_load_n(&h->unit_entry_cnt, __ATOMIC_RELAXED);
  return e != 0 ? e : __atomic_load_n(&h->config_node_cnt, __ATOMIC_RELAXED);
}

inline size_t table_size(int n) { return 4 + (size_t)n * sizeof(node_rec); }
ZYG_HOT_INLINE size_t ldata_file_size(int n) {
  return sizeof(ldata_hdr) + (size_t)n * sizeof(l_node) + 4 * table_size(n);
}
// The mem_nodes section: one int32 per l_nodes entry, after thrd_log.
inline size_t mem_nodes_size(int n) { return (size_t)n * sizeof(int32_t); }
// The size of a file of n entries with the mem_nodes section (memory mode
// other than local) or without.
inline size_t ldata_file_size_for(int n, bool mem_nodes) {
  return ldata_file_size(n) + (mem_nodes ? mem_nodes_size(n) : 0);
}
inline node_rec* table_node(node_table* t, int i) {
  return reinterpret_cast<node_rec*>(reinterpret_cast<char*>(t) + 4 + sizeof(node_rec) * (size_t)i);
}
inline const node_rec* table_node(const node_table* t, int i) {
  return reinterpret_cast<const node_rec*>(reinterpret_cast<const char*>(t) + 4 +
                                           sizeof(node_rec) * (size_t)i);
}

// The header values that bound every table index and mask size, copied
// out of the file once they are known sound (at attach, or after the first
// process wrote them) and clamped into range. The file is writable by every
// process of the tree (and by its group): the header can change under us at
// any moment, so indexes are never taken from it after the copy.
struct ldata_bounds {
  int entry_cnt;       // entries of l_nodes and of every node-counter table
  int avail_node_cnt;  // l_nodes entries in use, <= entry_cnt
  // Configured NUMA nodes (the header's config_node_cnt): entries of the
  // node/CPU cache. The same as entry_cnt unless the units are L3 domains.
  int node_id_cnt;
  uint32_t unit_kind;  // UNIT_NODE or UNIT_L3
  int avail_cpu_cnt;
  int config_cpu_cnt;
  int possible_cpu_cnt;   // bits of the CPU masks the library builds
  int possible_node_cnt;  // bits of the node masks
};

// This process's view of the launch data. Forked children inherit it; an
// exec'd image rebuilds it by attaching. `proc`/`thrd` are the tables in use:
// proc_tree for process scope tree or rr_pack, else proc_flat; thrd_tree for
// thread scope tree, else thrd_flat. The flat tables are private memory
// (null when the scope is not flat).
struct ldata_view {
  ldata_hdr* hdr;  // null while no launch data is mapped
  l_node* l_nodes;
  node_table* proc_tree;
  node_table* thrd_tree;
  node_table* proc_log;
  node_table* thrd_log;
  node_table* proc_flat;
  node_table* thrd_flat;
  node_table* proc;
  node_table* thrd;
  int fd;  // stays open (close-on-exec) for the life of the image
  size_t size;
  ldata_bounds b;  // private copy of the bounding header values
  // The memory node of each l_nodes entry (b.entry_cnt of them); null
  // under the local memory mode, so that nothing else needs the mode.
  const int32_t* mem_nodes;
  uint32_t memory_mode;  // private copy, kept with mem_nodes
};
extern ldata_view ld;

// Sets l_nodes and the four shared table pointers from the header's offsets
// (read once), and the private bounds from the header.
void ldata_set_pointers(ldata_view* v, void* base, size_t size);
// The same with the offsets and bounds taken from `from`, a private copy of
// the header already validated.
void ldata_set_view(ldata_view* v, void* base, size_t size, const ldata_hdr* from);

// Copies the bounding values of `hdr` into v->b, clamped into the layout of
// a file of v->size bytes; every index the library takes is below them.
void ldata_keep_bounds(ldata_view* v, const ldata_hdr* hdr);

// A cursor or CPU index read from the shared file, forced into [0, n): a
// stray value starts over at 0 instead of reaching outside the mapping.
inline int clamp_cursor(int i, int n) { return (i >= 0 && i < n) ? i : 0; }

// Writes the version, the offsets of the layout for config_node_cnt nodes
// and config_node_cnt itself into a new header. With entry_cnt > 0 (L3
// units) the layout has entry_cnt entries, recorded in unit_entry_cnt; with a
// memory mode other than local the header also has the mode and the mem_nodes
// section's offset.
// `version` 0 keeps programs that wait to attach waiting (the creator stores
// the real one last).
void ldata_write_layout(ldata_hdr* hdr, int config_node_cnt, int entry_cnt = 0,
                        uint32_t memory_mode = 0, uint32_t version = kLdataVersion);

// Checks that a mapped file of `file_size` bytes really has this layout
// (size and offsets for its entry count and memory mode, avail_node_cnt <=
// that count, every in-use num_cpus <= 256, every in-use mem_nodes entry -1
// or a possible node). 0 when sound, -1 otherwise.
int ldata_validate(const ldata_hdr* hdr, size_t file_size);
// The same for a private copy `hdr` of the header of the file mapped at
// `base` (the l_nodes entries are read from the mapping).
int ldata_validate_copy(const ldata_hdr* hdr, const void* base, size_t file_size);

// The tree-wide lock. False when the calling thread holds it already (a
// signal handler interrupted it inside its own locked section): the caller
// must go on without it (a task created then is left unplaced). A lock taken
// over from a dead holder is counted in lock_recoveries.
bool ldata_lock_take();
void ldata_lock_give();

// Zeroes next_node_index and every node record of a table of n nodes.
void table_clear(node_table* t, int n);

// Allocates a private (flat) table for n nodes, zeroed; null on failure.
node_table* table_alloc(int n);

// Writes the readable dump of `v` to fd.
void dump_ldata_view(const ldata_view* v, int fd);
void dump_ldata(int fd);

}  // namespace zyg
