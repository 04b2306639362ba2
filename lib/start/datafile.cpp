// datafile.cpp - opening, claiming, filling and attaching the launch data file.
#include "start/datafile.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/file.h"
#include "base/layout.h"
#include "base/lock.h"
#include "base/mask.h"
#include "base/sys.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/membership.h"
#include "placement/policy.h"
#include "report/error_file.h"
#include "report/report.h"
#include "shared/data_path.h"
#include "shared/l3_cache.h"
#include "shared/launch_id.h"
#include "shared/names.h"
#include "start/l3_units.h"
#include "start/numa_lib.h"

namespace zyg {

namespace {

// How long an opening program waits for the program that is filling the
// launch data to finish it: the creator is running its start-up, which takes
// well under a millisecond. A creator that is gone is not waited for.
constexpr int kReadyWaits = 2000;
int ready_waits = kReadyWaits;
constexpr long kReadyWaitNs = 1000000;

// A file of a size the launch data can have: at least its header (mapping
// a shorter file and reading the header would fault), at most the largest.
ZYG_HOT_CODE bool mappable_size(size_t size) {
  return size >= sizeof(ldata_hdr) && size <= ldata_file_size_for(kMaxConfigNodes, true);
}

// "Data file <path> <why>": the one line of a file that is not this launch's.
void refuse(const char* path, member_refusal why, int pid) {
  char msg[kMaxDataFilePath + 96];
  text_out o = text_start(msg, sizeof msg);
  text_put(&o, "Data file ");
  text_put(&o, path);
  text_put_char(&o, ' ');
  text_put(&o, member_refusal_text(why));
  report_disable(msg, 0, RC_OPEN_DATA, pid);
}

// The file behind fd mapped once it is whole (its creator writes the version
// last), or claimed by this image while it is empty. `base` is null when the
// file never became one or is not a regular file of a size it can have
// (map_err 0), or when the mapping failed (map_err is its errno); `refused`
// says why a file is not this launch's.
struct mapped_file {
  void* base;
  size_t size;
  int map_err;
  bool claimed;
  member_refusal refused;
};

ZYG_HOT_CODE mapped_file wait_until_ready(int fd, const launch_id& id, int pid, bool may_claim) {
  for (int waits = 0;; ++waits) {
    struct stat st;
    if (sys_fstat_fd(fd, &st) != 0) return {nullptr, 0, 0, false, MEMBER_OK};
    if (member_refusal r = member_check_file(&st, id); r != MEMBER_OK)
      return {nullptr, 0, 0, false, r};
    const size_t size = (size_t)st.st_size;
    if (!mappable_size(size)) {
      // Never a launch data file: its starter writes a whole header.
      if (size >= sizeof(ldata_hdr) || waits >= ready_waits)
        return {nullptr, size, 0, false, MEMBER_OK};
    } else {
      long mapped = sys_map_shared(fd, size, PROT_READ | PROT_WRITE);
      if (mapped < 0 && mapped > -4096) return {nullptr, size, (int)-mapped, false, MEMBER_OK};
      void* base = reinterpret_cast<void*>(mapped);
      auto* h = static_cast<ldata_hdr*>(base);
      if (!member_identity_matches(h, id)) {
        sys_unmap(base, size);
        return {nullptr, 0, 0, false, MEMBER_IDENTITY};
      }
      if (__atomic_load_n(&h->version, __ATOMIC_ACQUIRE) != 0)
        return {base, size, 0, false, MEMBER_OK};
      int creator = __atomic_load_n(&h->creator, __ATOMIC_ACQUIRE);
      if (creator == 0 && may_claim &&
          __atomic_compare_exchange_n(&h->creator, &creator, pid, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE))
        return {base, size, 0, true, MEMBER_OK};
      // A creator that is gone will never finish it: the version check
      // reports the file as it is.
      if (waits >= ready_waits || (creator > 0 && sys_probe_task(creator) == -ESRCH))
        return {base, size, 0, false, MEMBER_OK};
      sys_unmap(base, size);
    }
    struct timespec ts = {0, kReadyWaitNs};
    nanosleep(&ts, nullptr);
  }
}

// The descriptor of a file that stat found at path, opened as a program of
// the launch opens it; -1 after a report.
ZYG_HOT_CODE int open_data_file(const char* path, int pid) {
  struct stat st;
  if (long r = sys_stat_path(path, &st); r != 0) {
    int err = (int)-r;
    ZYG_TRACE("INIT : stat %s failed with %d\n", path, err);
    report_disable("Can't stat the data file", err, RC_STAT, pid);
    return -1;
  }
  // A FIFO or a device named there must not even be opened (opening one can
  // block, or act). Reported as the open a directory fails with.
  if (!S_ISREG(st.st_mode)) {
    report_disable("Can't open the data file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL, RC_OPEN_DATA,
                   pid);
    return -1;
  }
  int fd = (int)sys_open_path(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = -fd;
    ZYG_TRACE("INIT : open %s failed with %d\n", path, err);
    report_disable("Can't open the data file", err, RC_OPEN_DATA, pid);
    if (err == EACCES) {
      report_recovering("", RC_TRY_W);
      report_recovering("Try using the -w command line option", RC_TRY_W);
      report_recovering("", RC_TRY_W);
    }
    return -1;
  }
  return fd;
}

// Attaches to a whole file mapped at m: 0, or -1 after a report.
ZYG_HOT_CODE int attach_mapped(const char* path, int fd, const mapped_file& m, const launch_id& id,
                               int pid) {
  // Checked and used from one private copy: any process of the tree may
  // rewrite the shared header between a check and a use.
  ldata_hdr hdr;
  memcpy(&hdr, m.base, sizeof hdr);
  if (hdr.version != kLdataVersion) {
    ZYG_TRACE("INIT : invalid verion %d\n", (int)hdr.version);
    char msg[128];
    snprintf(msg, sizeof msg, "Data file is v%d, but %s is compiled with v%d", (int)hdr.version,
             kProgName, (int)kLdataVersion);
    report_disable(msg, 0, RC_VERSION, pid);
    return -1;
  }
  // Paths are taken only from a header the launch itself wrote.
  if (hdr.content_tag != member_content_tag(&hdr, id)) {
    refuse(path, MEMBER_IDENTITY, pid);
    return -1;
  }
  if (ldata_validate_copy(&hdr, m.base, m.size) != 0) {
    report_disable("Failed to attach launch data", EINVAL, RC_MAP, pid);
    return -1;
  }
  ldata_set_view(&ld, m.base, m.size, &hdr);
  ld.fd = fd;
  return 0;
}

// This process's own counter table for a flat scope; false, with launching
// disabled, when there is no memory for it.
bool flat_table(node_table** t, int n, const char* which) {
  // From the static block while it has room: its first page is touched by
  // start-up anyway, where a mapping of its own costs every exec'd program
  // under a flat policy a system call and a page fault.
  *t = static_cast<node_table*>(image_alloc_static(table_size(n)));
  if (*t == nullptr) *t = table_alloc(n);
  if (*t != nullptr) return true;
  int err = errno;
  char msg[64];
  snprintf(msg, sizeof msg, "Failed to allocate local %s launch count", which);
  report_disable(msg, err, RC_MEMORY, sys_getpid());
  disable_launch();
  return false;
}

}  // namespace

void start_launch_by_hand(unsigned file_mode, int pid, char* path_out) {
  launch_id id;
  launch_id_make(&id, (uint32_t)geteuid());
  int fd = launch_file_create(id, pid, file_mode, path_out, kMaxDataFilePath + 1);
  if (fd < 0) report_fatal("Can't create the data file", -fd);
  launch_file_anchor(fd);  // open for the whole tree, across every exec
  char text[kLaunchIdText];
  launch_id_format(id, text, sizeof text);
  if (setenv(kEnvDataFile, path_out, 1) != 0 || setenv(kEnvLaunchId, text, 1) != 0) {
    int err = errno;
    ZYG_TRACE("INIT : setenv of data file failed\n");
    report_fatal("Can't pass data file", err);
  }
  member_set_identity(id);
}

void ldata_set_ready_waits_for_test(int waits) { ready_waits = waits; }

ZYG_HOT_CODE int ldata_open(const char* path, int pid, bool may_claim) {
  // Raw calls (base/sys.h): every exec'd program of the tree comes here.
  int fd = open_data_file(path, pid);
  if (fd < 0) return -1;
  launch_id id;
  if (!member_identity(&id)) {
    sys_close_fd(fd);
    refuse(path, MEMBER_NO_ID, pid);
    return -1;
  }
  // Size, type and owner of what we actually opened (the path may have
  // changed since the stat), once its creator has finished it.
  const mapped_file m = wait_until_ready(fd, id, pid, may_claim);
  int result = -1;
  if (m.refused != MEMBER_OK) {
    refuse(path, m.refused, pid);
  } else if (m.base == nullptr) {
    if (m.map_err != 0) ZYG_TRACE("INIT : mmap %s failed with %d\n", path, m.map_err);
    report_disable("Failed to attach launch data", m.map_err != 0 ? m.map_err : EINVAL, RC_MAP,
                   pid);
  } else if (m.claimed) {
    // Its creator: the header alone is mapped until the launch's size is known.
    ld.hdr = static_cast<ldata_hdr*>(m.base);
    ld.size = m.size;
    ld.fd = fd;
    result = 1;
  } else if (attach_mapped(path, fd, m, id, pid) == 0) {
    result = 0;
  }
  if (result < 0) {
    if (m.base != nullptr) sys_unmap(m.base, m.size);
    sys_close_fd(fd);
    return -1;
  }
  // Held while this image lives: the launch is not over while it runs.
  launch_file_lock_shared(fd);
  return result;
}

int ldata_attach(const char* path) { return ldata_open(path, sys_getpid(), false) == 0 ? 0 : -1; }

ZYG_HOT_CODE void ldata_mark_ready() {
  if (ld.hdr == nullptr) return;
  launch_id id;
  if (member_identity(&id)) ld.hdr->content_tag = member_content_tag(ld.hdr, id);
  __atomic_store_n(&ld.hdr->version, kLdataVersion, __ATOMIC_RELEASE);
}

// Sizes the claimed file for the launch, maps it whole and fills its header.
void create_launch_data(launch_config* c, l3_units* domains) {
  const int nodes = numa_lib().num_configured_nodes();
  // Under L3 units an entry is a domain: their count gives the layout.
  const int entries = c->unit_kind == UNIT_L3 ? prepare_l3_units(kSysCpuDir, domains) : 0;
  const int n = entries > 0 ? entries : nodes;
  ZYG_TRACE("INIT : allocating ldata\n");
  ZYG_TRACE("INIT : initializing %s to \"%s\"\n", kEnvDataFile, c->data_file);
  const size_t size = ldata_file_size_for(n, c->memory_mode != 0);
  const int fd = ld.fd;
  if (ftruncate(fd, (off_t)size) != 0) {
    int err = errno;
    ZYG_TRACE("INIT : ftruncate %s failed with %d\n", c->data_file, err);
    report_fatal("Can't truncate the data file", err);
  }
  // ftruncate only sets the length; on a nearly full /dev/shm the first touch
  // of a page would then kill the process with SIGBUS. Reserve the blocks now
  // so that a full file system is an error report instead.
  int err = posix_fallocate(fd, 0, (off_t)size);
  if (err != 0) {
    ZYG_TRACE("INIT : ftruncate %s failed with %d\n", c->data_file, err);
    report_fatal("Can't truncate the data file", err);
  }
  sys_unmap(ld.hdr, ld.size);
  ld.hdr = nullptr;
  void* base_addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base_addr == MAP_FAILED) {
    err = errno;
    ZYG_TRACE("INIT : mmap failed with %d\n", err);
    report_fatal("Failed to allocate launch data", err);
  }
  auto* h = static_cast<ldata_hdr*>(base_addr);
  // Other programs of the tree wait for the version, which ldata_mark_ready
  // stores once the launch is whole.
  ldata_write_layout(h, nodes, entries, c->memory_mode, 0);
  ldata_set_pointers(&ld, base_addr, size);
  ld.fd = fd;
  if (c->proc_scope == SCOPE_FLAT) {
    ld.proc_flat = table_alloc(n);
    if (ld.proc_flat == nullptr) report_fatal("Failed to allocate local proc launch count", errno);
  }
  if (c->thrd_scope == SCOPE_FLAT) {
    ld.thrd_flat = table_alloc(n);
    if (ld.thrd_flat == nullptr) report_fatal("Failed to allocate local thrd launch count", errno);
  }

  ZYG_TRACE("INIT : initializing ldata\n");
  // The starter wrote the first process's pid and the identity; the claim
  // wrote the creator.
  mutex_init(&h->ldata_lock);
  h->cpu_launch = c->cpu_launch;
  h->proc_kind = (uint32_t)c->proc_kind;
  h->proc_scope = (uint32_t)c->proc_scope;
  h->thrd_kind = (uint32_t)c->thrd_kind;
  h->thrd_scope = (uint32_t)c->thrd_scope;
  h->memfree_limit = c->memfree_limit;
  h->lib_loaded_cnt = 1;
  h->file_mode = c->file_mode;
  copy_text(h->launch_nodes, sizeof h->launch_nodes, c->launch_nodes);
  copy_text(h->lib64, sizeof h->lib64, c->lib64);
  copy_text(h->lib32, sizeof h->lib32, c->lib32);
  copy_text(h->lib32_64, sizeof h->lib32_64, c->lib32_64);
  copy_text(h->proc_policy_name, sizeof h->proc_policy_name, c->proc_policy_name);
  copy_text(h->thrd_policy_name, sizeof h->thrd_policy_name, c->thrd_policy_name);
  h->log_enabled = c->log_enabled;
  copy_text(h->log_file, sizeof h->log_file, c->log_enabled ? c->log_file : "");
  h->log_entry_cnt = 0;
  copy_text(h->data_file, sizeof h->data_file, c->data_file);
  copy_text(h->error_file, sizeof h->error_file, error_file_path());
  for (int i = 0; i < n; ++i) {
    ld.l_nodes[i].node_id = -1;
    ld.l_nodes[i].num_cpus = 0;
  }
  h->config_node_cnt = nodes;
  h->unit_kind = c->unit_kind;
  ldata_keep_bounds(&ld, h);
  h->avail_node_cnt = 0;
  h->avail_cpu_cnt = 0;
  h->config_cpu_cnt = 0;
}

ZYG_HOT_CODE int attach_launch_data(const char* path, int pid, bool may_claim) {
  int r = ldata_open(path, pid, may_claim);
  if (r < 0) {
    disable_launch();
    return -1;
  }
  if (r == 1) return 1;
  int n = ld.b.entry_cnt;
  if (ld.hdr->proc_scope == SCOPE_FLAT && !flat_table(&ld.proc_flat, n, "proc")) return -1;
  if (ld.hdr->thrd_scope == SCOPE_FLAT && !flat_table(&ld.thrd_flat, n, "thrd")) return -1;
  return 0;
}

ZYG_HOT_CODE void clear_counters(bool first) {
  ZYG_TRACE("INIT : initializing proc and thrd counts\n");
  int n = ld.b.entry_cnt;
  if (ld.proc_flat != nullptr) table_clear(ld.proc_flat, n);
  if (ld.thrd_flat != nullptr) table_clear(ld.thrd_flat, n);
  if (first) {
    table_clear(ld.proc_tree, n);
    table_clear(ld.thrd_tree, n);
    table_clear(ld.proc_log, n);
    table_clear(ld.thrd_log, n);
  }
}

ZYG_HOT_CODE void choose_tables() {
  ZYG_TRACE("INIT : initializing global proc and thrd pointers\n");
  uint32_t ps = ld.hdr->proc_scope;
  ld.proc = (ps == SCOPE_TREE || ps == SCOPE_RR_PACK) ? ld.proc_tree : ld.proc_flat;
  ld.thrd = ld.hdr->thrd_scope == SCOPE_TREE ? ld.thrd_tree : ld.thrd_flat;
}

}  // namespace zyg
