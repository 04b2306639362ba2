// policy.cpp - choosing and counting the node (and CPU) of new tasks.
//
// A choice reads the cursor of the table in use, counts the task on that node
// (and on the node's next CPU when CPU launch is on) in the table in use and
// in the tree-wide log table, then moves the cursor as the policy kind says.
// Shared tables are only touched under ldata_lock; the private (flat) tables
// are touched without it only while the process has a single thread
// (start-up, or a forked child before user code).
//
// Cursors and CPU indexes live in a file that every process of the tree can
// write, so they are clamped into range before being used as array indexes:
// a stray value must not make us write outside the mapping.
#include "placement/policy.h"

#include "base/layout.h"
#include "core/ldata.h"

namespace zyg {

namespace {

int node_count() {
  return ld.b.avail_node_cnt;  // the private copy: never above config_node_cnt
}

int num_cpus_of(int i) {
  int c = ld.l_nodes[i].num_cpus;
  if (c > kMaxCpusPerNode) c = kMaxCpusPerNode;
  return c < 0 ? 0 : c;
}

// How a choice names entry i (launch_choice).
int unit_value(int i) { return ld.b.unit_kind == UNIT_L3 ? i : ld.l_nodes[i].node_id; }

int next_wrap(int i, int n) { return (i + 1 >= n) ? 0 : i + 1; }

// The entry first-fill goes on to once entry i is full. Under L3 units the
// entries are in round-robin order (the nodes take turns, start/l3_units.h)
// while fill keeps to CPU order: the domain whose CPUs come next, else the
// lowest. Entries hold their CPUs ascending; runs only when a unit fills.
int next_fill(int i, int n) {
  if (ld.b.unit_kind != UNIT_L3) return next_wrap(i, n);
  auto first_cpu = [](int e) { return num_cpus_of(e) > 0 ? ld.l_nodes[e].cpus[0] : UINT32_MAX; };
  const uint32_t from = first_cpu(i);
  int next = -1, lowest = 0;
  for (int e = 0; e < n; e++) {
    const uint32_t c = first_cpu(e);
    if (c < first_cpu(lowest)) lowest = e;
    if (c > from && (next < 0 || c < first_cpu(next))) next = e;
  }
  return next >= 0 ? next : lowest;
}

// How a kind moves the cursor of a table once a task is counted on node i.
enum cursor_move {
  CURSOR_STAYS,
  CURSOR_NEXT,                // to the node after i
  CURSOR_NEXT_WHEN_FULL,      // to the next node in CPU order once each of i's CPUs has a task
  CURSOR_HERE,                // to i
  CURSOR_HERE_IF_NEXT_EMPTY,  // back to i unless a task is counted where it points now
};

// What each kind does to the cursor, indexed by kind.
struct kind_moves {
  cursor_move chosen;   // after a choice on node i
  cursor_move undone;   // after a choice on node i was taken back
  cursor_move counted;  // after a task was counted where it already runs, on node i
  bool counts;          // a choice of this kind counted a task (undone counts it back)
};

constexpr kind_moves kMoves[] = {
    {CURSOR_STAYS, CURSOR_STAYS, CURSOR_STAYS, false},  // KIND_NONE
    {CURSOR_NEXT, CURSOR_HERE, CURSOR_NEXT, true},      // KIND_RR
    // Rewound only when nobody has been counted on the node the cursor
    // moved on to; otherwise a later placement already relies on it.
    {CURSOR_NEXT_WHEN_FULL, CURSOR_HERE_IF_NEXT_EMPTY, CURSOR_HERE, true},  // KIND_FF
    {CURSOR_STAYS, CURSOR_STAYS, CURSOR_HERE, true},                        // KIND_PACK
    {CURSOR_STAYS, CURSOR_STAYS, CURSOR_NEXT, true},                        // KIND_MEMFREE
};
static_assert(sizeof kMoves / sizeof kMoves[0] == kKindCount, "one row per kind");

// The kind's moves; a kind read from the shared file that is none of ours
// moves nothing.
const kind_moves& moves_of(uint32_t kind) {
  return kind < kKindCount ? kMoves[kind] : kMoves[KIND_NONE];
}

// Moves the cursor of t (n nodes in use) after a task on node i.
ZYG_HOT_CODE void move_cursor(node_table* t, cursor_move m, int i, int n) {
  switch (m) {
    case CURSOR_STAYS:
      break;
    case CURSOR_NEXT:
      t->next_node_index = next_wrap(i, n);
      break;
    case CURSOR_NEXT_WHEN_FULL: {
      int cpus = num_cpus_of(i);
      if (cpus > 0 && table_node(t, i)->node_launched % cpus == 0)
        t->next_node_index = next_fill(i, n);
      break;
    }
    case CURSOR_HERE:
      t->next_node_index = i;
      break;
    case CURSOR_HERE_IF_NEXT_EMPTY:
      if (table_node(t, clamp_cursor(t->next_node_index, n))->node_launched == 0)
        t->next_node_index = i;
      break;
  }
}

// The common choice of get_proc_launch / get_thrd_launch.
ZYG_HOT_CODE launch_choice choose(placed_task task) {
  launch_choice c = {-1, -1, KIND_NONE};
  if (!ld.hdr) return c;
  const bool proc = task == PLACING_PROCESS;
  uint32_t* kind_field = proc ? &ld.hdr->proc_kind : &ld.hdr->thrd_kind;
  int kind = (int)__atomic_load_n(kind_field, __ATOMIC_ACQUIRE);
  if (kind == KIND_NONE) return c;
  node_table* t = proc ? ld.proc : ld.thrd;
  node_table* log = proc ? ld.proc_log : ld.thrd_log;
  if (!t || !log) return c;

  int i;
  if (kind == KIND_MEMFREE) {
    // Returns with ldata_lock held, and the kind to apply (rr or memfree);
    // -1 without it (re-entered: the task goes unplaced).
    i = get_memfree_launch(task, &kind);
    if (i < 0) return c;
  } else {
    if (!ldata_lock_take()) return c;  // re-entered from a signal handler
    i = t->next_node_index;
    // Memfree may have given way to rr meanwhile (never to anything else).
    kind = (int)__atomic_load_n(kind_field, __ATOMIC_ACQUIRE);
  }
  int n = node_count();
  if (n <= 0) {
    ldata_lock_give();
    c.kind = kind;
    return c;
  }
  i = clamp_cursor(i, n);

  c.unit = unit_value(i);
  c.kind = kind;
  node_rec* r = table_node(t, i);
  r->node_launched++;
  table_node(log, i)->node_launched++;
  move_cursor(t, moves_of((uint32_t)kind).chosen, i, n);

  if (ld.hdr->cpu_launch) {
    int cpus = num_cpus_of(i);
    if (cpus > 0) {
      int k = clamp_cursor(r->next_cpu_index, cpus);
      c.cpu = (int)ld.l_nodes[i].cpus[k];
      r->next_cpu_index = next_wrap(k, cpus);
      r->cpu_launched[k]++;
      table_node(log, i)->cpu_launched[k]++;
    }
  }
  ldata_lock_give();
  return c;
}

// Stores v unless the field holds it already. A forked child clears its
// inherited private tables; a store of the value already there would still
// cost the child a copy of the page.
template <typename T, typename V>
inline void set_if_changed(T* field, V v) {
  if (*field != static_cast<T>(v)) *field = static_cast<T>(v);
}

// Clears the counts of a private table (the cursor is left alone).
void clear_counts(node_table* t) {
  int n = node_count();
  for (int i = 0; i < n; i++) {
    node_rec* r = table_node(t, i);
    set_if_changed(&r->node_launched, 0);
    if (ld.hdr->cpu_launch) {
      int cpus = num_cpus_of(i);
      for (int k = 0; k < cpus; k++) set_if_changed(&r->cpu_launched[k], 0);
      set_if_changed(&r->next_cpu_index, 0);
    }
  }
}

// Takes ldata_lock when the launch has nodes to count on, with their number
// in *n; false, and the lock not held, otherwise (no nodes, or re-entered
// from a signal handler while this thread holds it).
bool lock_for_counting(int* n) {
  if (!ldata_lock_take()) return false;
  *n = node_count();
  if (*n > 0) return true;
  ldata_lock_give();
  return false;
}

}  // namespace

int node_index_of(int node_id) {
  if (!ld.hdr || !ld.l_nodes) return 0;
  int n = node_count();
  if (ld.b.unit_kind == UNIT_L3) return (node_id >= 0 && node_id < n) ? node_id : 0;
  for (int i = 0; i < n; i++)
    if (ld.l_nodes[i].node_id == node_id) return i;
  return 0;
}

int cpu_index_of(int node_index, int cpu) {
  if (!ld.hdr || !ld.l_nodes) return 0;
  int n = node_count();
  if (n <= 0) return 0;
  node_index = clamp_cursor(node_index, n);
  int cpus = num_cpus_of(node_index);
  for (int k = 0; k < cpus; k++)
    if ((int)ld.l_nodes[node_index].cpus[k] == cpu) return k;
  return 0;
}

ZYG_HOT_CODE launch_choice get_proc_launch() { return choose(PLACING_PROCESS); }

launch_choice get_thrd_launch() { return choose(PLACING_THREAD); }

void unset_proc_launch(int unit, int cpu, int kind) {
  if (!ld.hdr || !ld.proc || !ld.proc_log) return;
  if (ld.hdr->proc_kind == KIND_NONE) return;
  int i = node_index_of(unit);
  int n;
  if (!lock_for_counting(&n)) return;
  node_table* t = ld.proc;
  const kind_moves& m = moves_of((uint32_t)kind);
  move_cursor(t, m.undone, i, n);
  if (m.counts) {
    table_node(t, i)->node_launched--;
    table_node(ld.proc_log, i)->node_launched--;
  }
  if (ld.hdr->cpu_launch && cpu != -1 && num_cpus_of(i) > 0) {
    int k = cpu_index_of(i, cpu);
    table_node(t, i)->next_cpu_index = k;
    table_node(t, i)->cpu_launched[k]--;
    table_node(ld.proc_log, i)->cpu_launched[k]--;
  }
  ldata_lock_give();
}

void mark_proc_launch(int unit, int cpu) {
  if (!ld.hdr || !ld.proc) return;
  if (ld.hdr->proc_scope == SCOPE_TREE || ld.hdr->proc_scope == SCOPE_RR_PACK) return;
  uint32_t kind = ld.hdr->proc_kind;
  if (kind == KIND_NONE) return;
  int n = node_count();
  if (n <= 0) return;
  int i = node_index_of(unit);
  node_rec* r = table_node(ld.proc, i);
  r->node_launched++;
  move_cursor(ld.proc, moves_of(kind).counted, i, n);
  int cpus = num_cpus_of(i);
  if (ld.hdr->cpu_launch && cpu != -1 && cpus > 0) {
    int k = cpu_index_of(i, cpu);
    r->cpu_launched[k]++;
    r->next_cpu_index = next_wrap(k, cpus);
  }
}

ZYG_HOT_CODE void reset_proc_flat(int unit, int cpu) {
  if (!ld.hdr || !ld.proc) return;
  if (ld.hdr->proc_kind == KIND_NONE) return;
  if (ld.hdr->proc_scope == SCOPE_TREE || ld.hdr->proc_scope == SCOPE_RR_PACK) return;
  clear_counts(ld.proc);
  mark_proc_launch(unit, cpu);
}

ZYG_HOT_CODE void reset_thrd_flat() {
  if (!ld.hdr || !ld.thrd) return;
  if (ld.hdr->thrd_kind == KIND_NONE || ld.hdr->thrd_scope == SCOPE_TREE) return;
  // The cursor keeps the value inherited from the parent.
  clear_counts(ld.thrd);
}

void mark_thrd_launch(int unit, int cpu) {
  if (!ld.hdr || !ld.thrd || !ld.thrd_log) return;
  if (ld.hdr->thrd_kind == KIND_NONE) return;
  int i = node_index_of(unit);
  int n;
  if (!lock_for_counting(&n)) return;
  node_table* t = ld.thrd;
  node_rec* r = table_node(t, i);
  r->node_launched++;
  table_node(ld.thrd_log, i)->node_launched++;
  int cpus = num_cpus_of(i);
  int k = -1;
  if (ld.hdr->cpu_launch && cpu != -1 && cpus > 0) {
    k = cpu_index_of(i, cpu);
    r->cpu_launched[k]++;
  }
  long sum = 0;
  for (int j = 0; j < n; j++) sum += table_node(t, j)->node_launched;
  if (sum <= 1) {
    // The first thread counted in this table: later choices start from it.
    move_cursor(t, moves_of(ld.hdr->thrd_kind).counted, i, n);
    if (k >= 0) r->next_cpu_index = next_wrap(k, cpus);
  }
  ldata_lock_give();
}

}  // namespace zyg
