// dump.cpp - the readable dump of the launch data (the debug trace shows it
// once the first process is placed).
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/file.h"
#include "core/ldata.h"

namespace zyg {

namespace {

// Collects formatted text in a fixed buffer and writes it out whenever the
// next piece would not fit; no piece is ever cut.
struct dump_out {
  int fd;
  size_t len;
  char buf[1024];
};

void dump_flush(dump_out* o) {
  (void)write_all(o->fd, o->buf, o->len);
  o->len = 0;
}

__attribute__((format(printf, 2, 3))) void dump_put(dump_out* o, const char* fmt, ...) {
  for (int attempt = 0; attempt < 2; attempt++) {
    size_t room = sizeof o->buf - o->len;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(o->buf + o->len, room, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n < room) {
      o->len += (size_t)n;
      return;
    }
    if (o->len == 0) {  // longer than the whole buffer: keep what fitted
      o->len = sizeof o->buf - 1;
      return;
    }
    dump_flush(o);
  }
}

// Length-limited texts: a field is never read past its end.
#define FIELD(f) (int)strnlen(f, sizeof(f)), f

void dump_cpus(dump_out* o, const char* heading, int i, const node_rec* rec, const l_node* node,
               int num_cpus) {
  dump_put(o, heading, i);
  for (int j = 0; j < num_cpus; j++) {
    dump_put(o, " %3d (%d)", (int)node->cpus[j], rec->cpu_launched[j]);
    if ((j + 1) % 8 == 0) {
      dump_put(o, "\n");
      if (j + 1 < num_cpus) dump_put(o, "***\t");
    }
  }
  if (num_cpus == 0 || num_cpus % 8 != 0) dump_put(o, "\n");
}

int next_node_id(const ldata_view* v, const node_table* t, int* index) {
  *index = t ? t->next_node_index : 0;
  if (*index >= 0 && *index < v->b.avail_node_cnt) return v->l_nodes[*index].node_id;
  return -1;
}

}  // namespace

void dump_ldata_view(const ldata_view* v, int fd) {
  if (!v || !v->hdr) return;
  const ldata_hdr* h = v->hdr;
  dump_out o;
  o.fd = fd;
  o.len = 0;

  dump_put(&o, "\n*** Shm data vers   == %d\n", (int)h->version);
  dump_put(&o, "*** 64-bit Library  == %.*s\n", FIELD(h->lib64));
  dump_put(&o, "*** 32-bit Library  == %.*s\n", FIELD(h->lib32));
  dump_put(&o, "*** Process Launch  == %.*s\n", FIELD(h->proc_policy_name));
  dump_put(&o, "*** Thread Launch   == %.*s\n", FIELD(h->thrd_policy_name));
  dump_put(&o, "*** CPU Launch      == %s\n", h->cpu_launch ? "Yes" : "No");
  dump_put(&o, "*** Launch Nodes    == %.*s\n", FIELD(h->launch_nodes));
  dump_put(&o, "*** Log File        == %.*s\n", FIELD(h->log_file));
  dump_put(&o, "*** Error File      == %.*s\n", FIELD(h->error_file));
  dump_put(&o, "*** Shm Data File   == %.*s\n", FIELD(h->data_file));
  dump_put(&o, "*** Initial Process == %d\n*** \n", h->initial_pid);
  dump_put(&o,
           "*** config_cpu_cnt  == %d\n*** config_node_cnt == %d\n*** avail_cpu_cnt   == %d\n"
           "*** avail_node_cnt  == %d\n*** \n",
           h->config_cpu_cnt, h->config_node_cnt, h->avail_cpu_cnt, h->avail_node_cnt);

  int avail = v->b.avail_node_cnt;
  const node_table* thrd = v->thrd ? v->thrd : v->thrd_tree;
  for (int i = 0; i < avail; i++) {
    const l_node* node = &v->l_nodes[i];
    const node_rec* pt = table_node(v->proc_tree, i);
    const node_rec* pl = table_node(v->proc_log, i);
    const node_rec* tt = table_node(v->thrd_tree, i);
    const node_rec* tl = table_node(v->thrd_log, i);
    dump_put(&o, "*** l_nodes[%d].node_id  = %3d\n*** l_nodes[%d].num_cpus = %3d\n", i,
             node->node_id, i, node->num_cpus);
    dump_put(&o, "*** proc_tree->node[%d].node_launched  =    %4d\t    (proc_log = %d)\n", i,
             pt->node_launched, pl->node_launched);
    dump_put(&o, "*** thrd_tree->node[%d].node_launched  =    %4d\t    (thrd_log = %d)\n", i,
             tt->node_launched, tl->node_launched);
    if (v->proc_flat)
      dump_put(&o, "*** proc_flat->node[%d].node_launched  =    %4d\n", i,
               table_node(v->proc_flat, i)->node_launched);
    if (v->thrd_flat)
      dump_put(&o, "*** thrd_flat->node[%d].node_launched  =    %4d\n", i,
               table_node(v->thrd_flat, i)->node_launched);
    if (!h->cpu_launch) {
      dump_put(&o, "*** \n");
      continue;
    }
    int num_cpus = node->num_cpus;
    if (num_cpus < 0) num_cpus = 0;
    if (num_cpus > kMaxCpusPerNode) num_cpus = kMaxCpusPerNode;
    dump_cpus(&o, "*** proc_tree->node[%d].cpu_launched[]\n***\t", i, pt, node, num_cpus);
    if (pt->node_launched != pl->node_launched)
      dump_cpus(&o, "*** proc_log->node[%d].cpu_launched[]\n***\t", i, pl, node, num_cpus);
    dump_cpus(&o, "*** thrd_tree->node[%d].cpu_launched[]\n***\t", i, tt, node, num_cpus);
    if (table_node(thrd, i)->node_launched != tl->node_launched)
      dump_cpus(&o, "*** thrd_log->node[%d].cpu_launched[]\n***\t", i, tl, node, num_cpus);
    dump_put(&o, "*** \n");
  }

  int pi, ti;
  const node_table* proc = v->proc ? v->proc : v->proc_tree;
  int pid_node = next_node_id(v, proc, &pi);
  int tid_node = next_node_id(v, thrd, &ti);
  dump_put(&o,
           "*** proc->next_node_index == %2d     node ID == %d\n"
           "*** thrd->next_node_index == %2d     node ID == %d\n***\n"
           "*** lib_loaded_cnt  == %d\n\n",
           pi, pid_node, ti, tid_node, __atomic_load_n(&h->lib_loaded_cnt, __ATOMIC_RELAXED));
  dump_flush(&o);
}

#undef FIELD

void dump_ldata(int fd) { dump_ldata_view(&ld, fd); }

}  // namespace zyg
