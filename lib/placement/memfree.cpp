// memfree.cpp - the free-memory policy: round robin over the launch nodes
// that still have at least memfree_limit percent of their memory free.
//
// The figures are read afresh from each node's meminfo at every choice, before
// ldata_lock is taken (the lock is never held across file input). This runs
// in new threads, which may have small stacks, so the file is read with
// open/read through one line-sized buffer and only one eligibility bit per
// node is kept instead of a table of figures.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/errors.h"
#include "base/file.h"
#include "core/ldata.h"
#include "core/topology.h"
#include "placement/policy.h"
#include "report/report.h"

namespace zyg {

const char* memfree_sysfs_dir = kSysNodeDir;

namespace {

// Node numbers are below the kernel's MAX_NUMNODES (at most 1024).
constexpr int kMaxMemfreeNodes = 1024;

struct meminfo_figures {
  unsigned long total_kb;
  unsigned long free_kb;
  bool have_total;
  bool have_free;
};

// One line, NUL-terminated. A line that has "MemTotal" or "MemFree" and a
// ':' carries its number right after the first ':'.
void parse_line(char* line, meminfo_figures* f) {
  bool total = strstr(line, "MemTotal") != nullptr;
  bool free_line = !total && strstr(line, "MemFree") != nullptr;
  if (!total && !free_line) return;
  char* colon = strchr(line, ':');
  if (!colon) return;
  char* p = colon + 1;
  while (*p == ' ' || *p == '\t') p++;
  char* end = p;
  unsigned long v = strtoul(p, &end, 0);
  if (end == p) return;  // no digit: not found
  if (total) {
    f->total_kb = v;
    f->have_total = true;
  } else {
    f->free_kb = v;
    f->have_free = true;
  }
}

// Reads lines of at most 511 characters (longer ones are taken in pieces)
// until both figures are found or the file ends. 0 when both were found.
int read_meminfo(int fd, meminfo_figures* f) {
  char buf[512];
  int have = 0;
  bool eof = false;
  while (!(f->have_total && f->have_free)) {
    char* nl = static_cast<char*>(memchr(buf, '\n', (size_t)have));
    if (nl || have == (int)sizeof(buf) - 1 || (eof && have > 0)) {
      int len = nl ? (int)(nl - buf) : have;
      buf[len] = '\0';
      parse_line(buf, f);
      int used = nl ? len + 1 : len;
      memmove(buf, buf + used, (size_t)(have - used));
      have -= used;
      continue;
    }
    if (eof) break;
    ssize_t r = read(fd, buf + have, sizeof(buf) - 1 - (size_t)have);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      eof = true;
      continue;
    }
    have += (int)r;
  }
  return (f->have_total && f->have_free) ? 0 : -1;
}

// Rounded free share of a node in percent. A node without memory (MemTotal
// below 1 MiB) has no free share at all rather than a division by zero; a
// node claiming more free than total memory counts as fully free.
int rounded_share(unsigned long free_mib, unsigned long total_mib) {
  if (total_mib == 0) return 0;
  float share = (float)free_mib / (float)total_mib * 100.0f;
  if (share > 100.0f) share = 100.0f;
  return (int)(share + 0.5f);
}

node_table* cursor_table(placed_task task) { return task == PLACING_PROCESS ? ld.proc : ld.thrd; }

int clamped_cursor(placed_task task, int n) {
  node_table* t = cursor_table(task);
  return clamp_cursor(t ? t->next_node_index : 0, n);
}

int fall_back(const char* fmt, const char* path, placed_task task, int* kind) {
  char msg[192];
  snprintf(msg, sizeof(msg), fmt, path);
  report_warning(msg, 0, RC_MEMFREE);
  report_recovering("Disabling the memfree launch policy, defaulting to rr", RC_MEMFREE);
  uint32_t* field = task == PLACING_PROCESS ? &ld.hdr->proc_kind : &ld.hdr->thrd_kind;
  __atomic_store_n(field, (uint32_t)KIND_RR, __ATOMIC_RELEASE);
  if (!ldata_lock_take()) return -1;
  *kind = KIND_RR;
  node_table* t = cursor_table(task);
  return t ? t->next_node_index : 0;
}

}  // namespace

int get_memfree_launch_in(const char* sysfs_dir, placed_task task, int* kind) {
  errno_guard keep;
  int n = ld.b.avail_node_cnt;
  if (n > kMaxMemfreeNodes) n = kMaxMemfreeNodes;
  if (n < 0) n = 0;

  uint64_t eligible[kMaxMemfreeNodes / 64] = {};
  int below = 0;
  int best = 0;  // also the answer when no node has 1 MiB free
  unsigned long best_free = 0;
  for (int i = 0; i < n; i++) {
    char path[128];
    snprintf(path, sizeof(path), "%s/node%d/%s", sysfs_dir, ld.l_nodes[i].node_id, "meminfo");
    int fd = open_retry(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fall_back("Can't open %s\n", path, task, kind);
    meminfo_figures f = {0, 0, false, false};
    int rc = read_meminfo(fd, &f);
    close(fd);
    if (rc != 0) return fall_back("Can't find MemTotal or MemFree in %s\n", path, task, kind);
    unsigned long free_mib = f.free_kb / 1024;
    unsigned long total_mib = f.total_kb / 1024;
    if (rounded_share(free_mib, total_mib) < ld.hdr->memfree_limit)
      below++;
    else
      eligible[i / 64] |= 1ull << (i % 64);
    if (free_mib > best_free) {
      best_free = free_mib;
      best = i;
    }
  }

  if (!ldata_lock_take()) return -1;
  if (below >= n) {
    *kind = KIND_MEMFREE;
    return best;
  }
  node_table* t = cursor_table(task);
  int i = clamped_cursor(task, n);
  for (int step = 0; step < n; step++) {
    if (eligible[i / 64] & (1ull << (i % 64))) break;
    i = (i + 1 >= n) ? 0 : i + 1;
  }
  if (t) t->next_node_index = i;
  *kind = KIND_RR;
  return i;
}

int get_memfree_launch(placed_task task, int* kind) {
  return get_memfree_launch_in(memfree_sysfs_dir, task, kind);
}

}  // namespace zyg
