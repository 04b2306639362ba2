// ldata.cpp - creating, attaching, checking and dumping the launch data file.
#include "core/ldata.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/lock.h"
#include "core/names.h"
#include "report/debug.h"
#include "report/report.h"

namespace zyg {

ldata_view ld = {nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr, nullptr, nullptr, nullptr, nullptr, -1, 0};

namespace {

// Bounds an attaching process accepts. A file is named by an environment
// variable any program can set, so nothing in it is trusted before these
// checks; the limits are far above any real machine.
constexpr int kMaxConfigNodes = 4096;
constexpr int kMaxPossibleCount = 65536;

struct layout {
  uint32_t l_nodes, proc_tree, thrd_tree, proc_log, thrd_log;
};

layout layout_for(int n) {
  layout l;
  uint32_t t = (uint32_t)table_size(n);
  l.l_nodes = (uint32_t)sizeof(ldata_hdr);
  l.proc_tree = l.l_nodes + (uint32_t)n * (uint32_t)sizeof(l_node);
  l.thrd_tree = l.proc_tree + t;
  l.proc_log = l.proc_tree + 2 * t;
  l.thrd_log = l.proc_tree + 3 * t;
  return l;
}

bool terminated(const char* s, size_t size) { return memchr(s, 0, size) != nullptr; }

}  // namespace

void ldata_set_pointers(ldata_view* v, void* base, size_t size) {
  char* b = static_cast<char*>(base);
  v->hdr = reinterpret_cast<ldata_hdr*>(b);
  v->l_nodes = reinterpret_cast<l_node*>(b + v->hdr->l_nodes_offset);
  v->proc_tree = reinterpret_cast<node_table*>(b + v->hdr->proc_tree_offset);
  v->thrd_tree = reinterpret_cast<node_table*>(b + v->hdr->thrd_tree_offset);
  v->proc_log = reinterpret_cast<node_table*>(b + v->hdr->proc_log_offset);
  v->thrd_log = reinterpret_cast<node_table*>(b + v->hdr->thrd_log_offset);
  v->size = size;
}

void ldata_create(unsigned file_mode, int config_node_cnt, char* path_out) {
  const size_t size = ldata_file_size(config_node_cnt);
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;

  char base[40];  // "/dev/shm/zyg-nox." and a process ID
  snprintf(base, sizeof base, "/%s/%s/%s.%d", "dev", "shm", kProgName, (int)getpid());
  snprintf(path_out, kMaxDataFilePath + 1, "%s", base);
  // A file of an earlier launch by a process with our ID (after PID
  // wrap-around) may still be there: take the first free suffix.
  int fd = open(path_out, flags, file_mode);
  for (int k = 1; fd < 0 && errno == EEXIST && k <= 32767; k++) {
    snprintf(path_out, kMaxDataFilePath + 1, "%s.%d", base, k);
    fd = open(path_out, flags, file_mode);
  }
  if (fd < 0) {
    int err = errno;
    ZYG_TRACE("INIT : initial process open %s failed with %d\n", path_out, err);
    report_fatal("Can't create the data file", err);
  }

  // The umask must not decide who else in the tree may open the file.
  chmod(path_out, file_mode);

  ZYG_TRACE("INIT : initializing %s to \"%s\"\n", kEnvDataFile, path_out);
  if (setenv(kEnvDataFile, path_out, 1) != 0) {
    int err = errno;
    ZYG_TRACE("INIT : setenv of data file failed\n");
    report_fatal("Can't pass data file", err);
  }

  if (ftruncate(fd, (off_t)size) != 0) {
    int err = errno;
    ZYG_TRACE("INIT : ftruncate %s failed with %d\n", path_out, err);
    report_fatal("Can't truncate the data file", err);
  }
  // ftruncate only sets the length; on a nearly full /dev/shm the first touch
  // of a page would then kill the process with SIGBUS. Reserve the blocks now
  // so that a full file system is an error report instead.
  int err = posix_fallocate(fd, 0, (off_t)size);
  if (err != 0) {
    ZYG_TRACE("INIT : ftruncate %s failed with %d\n", path_out, err);
    report_fatal("Can't truncate the data file", err);
  }

  void* base_addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base_addr == MAP_FAILED) {
    err = errno;
    ZYG_TRACE("INIT : mmap failed with %d\n", err);
    report_fatal("Failed to allocate launch data", err);
  }

  ldata_hdr* hdr = static_cast<ldata_hdr*>(base_addr);
  const layout l = layout_for(config_node_cnt);
  hdr->version = kLdataVersion;
  hdr->l_nodes_offset = l.l_nodes;
  hdr->proc_tree_offset = l.proc_tree;
  hdr->thrd_tree_offset = l.thrd_tree;
  hdr->proc_log_offset = l.proc_log;
  hdr->thrd_log_offset = l.thrd_log;
  // The layout depends on N; recording it here keeps file and header in step.
  hdr->config_node_cnt = config_node_cnt;

  ldata_set_pointers(&ld, base_addr, size);
  ld.fd = fd;
}

int ldata_validate(const ldata_hdr* hdr, size_t file_size) {
  if (file_size < sizeof(ldata_hdr)) return -1;
  const int n = hdr->config_node_cnt;
  if (n < 1 || n > kMaxConfigNodes) return -1;
  if (file_size != ldata_file_size(n)) return -1;
  const layout l = layout_for(n);
  if (hdr->l_nodes_offset != l.l_nodes || hdr->proc_tree_offset != l.proc_tree ||
      hdr->thrd_tree_offset != l.thrd_tree || hdr->proc_log_offset != l.proc_log ||
      hdr->thrd_log_offset != l.thrd_log)
    return -1;
  if (hdr->avail_node_cnt < 0 || hdr->avail_node_cnt > n) return -1;
  // Mask sizes are taken from these counts.
  if (hdr->possible_cpu_cnt < 1 || hdr->possible_cpu_cnt > kMaxPossibleCount) return -1;
  if (hdr->possible_node_cnt < 1 || hdr->possible_node_cnt > kMaxPossibleCount) return -1;
  if (hdr->config_cpu_cnt < 0 || hdr->config_cpu_cnt > kMaxPossibleCount) return -1;
  // Every text is printed and copied with %s: each must end inside its field.
  if (!terminated(hdr->launch_nodes, sizeof hdr->launch_nodes) ||
      !terminated(hdr->data_file, sizeof hdr->data_file) ||
      !terminated(hdr->log_file, sizeof hdr->log_file) ||
      !terminated(hdr->error_file, sizeof hdr->error_file) ||
      !terminated(hdr->lib64, sizeof hdr->lib64) || !terminated(hdr->lib32, sizeof hdr->lib32) ||
      !terminated(hdr->lib32_64, sizeof hdr->lib32_64) ||
      !terminated(hdr->proc_policy_name, sizeof hdr->proc_policy_name) ||
      !terminated(hdr->thrd_policy_name, sizeof hdr->thrd_policy_name))
    return -1;
  const l_node* nodes =
      reinterpret_cast<const l_node*>(reinterpret_cast<const char*>(hdr) + l.l_nodes);
  for (int i = 0; i < hdr->avail_node_cnt; i++) {
    if (nodes[i].num_cpus < 0 || nodes[i].num_cpus > kMaxCpusPerNode) return -1;
    if (nodes[i].node_id < 0 || nodes[i].node_id >= hdr->possible_node_cnt) return -1;
    if (!terminated(nodes[i].cpulist, sizeof nodes[i].cpulist)) return -1;
  }
  return 0;
}

int ldata_attach(const char* path) {
  const int pid = (int)getpid();
  struct stat st;
  if (stat(path, &st) != 0) {
    int err = errno;
    ZYG_TRACE("INIT : stat %s failed with %d\n", path, err);
    report_disable("Can't stat the data file", err, 5, pid);
    return -1;
  }
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    ZYG_TRACE("INIT : open %s failed with %d\n", path, err);
    report_disable("Can't open the data file", err, 25, pid);
    if (err == EACCES) {
      report_recovering("", 10);
      report_recovering("Try using the -w command line option", 10);
      report_recovering("", 10);
    }
    return -1;
  }
  // Size and type of what we actually opened (the path may have changed
  // since the stat). Only a regular file of at least a header is mapped:
  // mapping a shorter file and reading the header would fault.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size < sizeof(ldata_hdr) ||
      (size_t)st.st_size > ldata_file_size(kMaxConfigNodes)) {
    close(fd);
    report_disable("Failed to attach launch data", EINVAL, 12, pid);
    return -1;
  }
  const size_t size = (size_t)st.st_size;
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    int err = errno;
    ZYG_TRACE("INIT : mmap %s failed with %d\n", path, err);
    close(fd);
    report_disable("Failed to attach launch data", err, 12, pid);
    return -1;
  }
  const ldata_hdr* hdr = static_cast<const ldata_hdr*>(base);
  if (hdr->version != kLdataVersion) {
    ZYG_TRACE("INIT : invalid verion %d\n", (int)hdr->version);
    char msg[128];
    snprintf(msg, sizeof msg, "Data file is v%d, but %s is compiled with v%d", (int)hdr->version,
             kProgName, (int)kLdataVersion);
    munmap(base, size);
    close(fd);
    report_disable(msg, 0, 26, pid);
    return -1;
  }
  if (ldata_validate(hdr, size) != 0) {
    munmap(base, size);
    close(fd);
    report_disable("Failed to attach launch data", EINVAL, 12, pid);
    return -1;
  }
  ldata_set_pointers(&ld, base, size);
  ld.fd = fd;
  return 0;
}

void table_clear(node_table* t, int n) { memset(t, 0, table_size(n)); }

node_table* table_alloc(int n) {
  // Anonymous pages: zeroed, independent of the application's allocator, and
  // copied into forked children like the rest of the process's memory.
  void* p = mmap(nullptr, table_size(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<node_table*>(p);
}

// ---------------------------------------------------------------------------
// Readable dump.

namespace {

// Collects formatted text in a fixed buffer and writes it out whenever the
// next piece would not fit; no piece is ever cut.
struct dump_out {
  int fd;
  size_t len;
  char buf[1024];
};

void dump_flush(dump_out* o) {
  size_t off = 0;
  while (off < o->len) {
    ssize_t w = write(o->fd, o->buf + off, o->len - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    off += (size_t)w;
  }
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
  if (*index >= 0 && *index < v->hdr->config_node_cnt) return v->l_nodes[*index].node_id;
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

  int avail = h->avail_node_cnt;
  if (avail > h->config_node_cnt) avail = h->config_node_cnt;
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
