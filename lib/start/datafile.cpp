// datafile.cpp - creating and attaching the launch data file.
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

#include "base/layout.h"
#include "base/lock.h"
#include "base/mask.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "placement/policy.h"
#include "report/error_file.h"
#include "report/report.h"
#include "shared/data_path.h"
#include "shared/l3_cache.h"
#include "shared/names.h"
#include "start/l3_units.h"
#include "start/numa_lib.h"

namespace zyg {

namespace {

// Opens a new data file. With `given` (the name the launcher chose) only
// that name is tried: -1 with errno EEXIST means the launch exists already
// and the caller attaches to it instead. Without, the first free name for
// this process's ID.
int open_new_data_file(const char* given, unsigned file_mode, char* path_out) {
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  if (given != nullptr) {
    snprintf(path_out, kMaxDataFilePath + 1, "%s", given);
    return open(path_out, flags, file_mode);
  }
  const int pid = (int)getpid();
  // A file of an earlier launch by a process with our ID (after PID
  // wrap-around) may still be there: take the first free suffix.
  int fd = -1;
  errno = EEXIST;
  for (int k = 0; fd < 0 && errno == EEXIST && k <= kMaxDataFileSuffix; k++) {
    if (format_data_file_path(path_out, kMaxDataFilePath + 1, pid, k) < 0) break;
    fd = open(path_out, flags, file_mode);
  }
  return fd;
}

// How long an attaching program waits for the process that is creating the
// launch data to finish it: the creator is running its start-up, which takes
// well under a millisecond. A creator that has written its pid and is gone
// is not waited for.
constexpr int kReadyWaits = 2000;
int ready_waits = kReadyWaits;
constexpr long kReadyWaitNs = 1000000;

// A file of a size the launch data can have: at least its header (mapping
// a shorter file and reading the header would fault), at most the largest.
bool mappable_size(size_t size) {
  return size >= sizeof(ldata_hdr) && size <= ldata_file_size_for(kMaxConfigNodes, true);
}

// The file behind fd, mapped once it is a whole launch data file (its
// creator writes the version last); the header is read in the mapping,
// where the attach reads it anyway. `base` is null when the file never
// became one or is not a regular file of a size it can have (map_err 0),
// or when the mapping failed (map_err is its errno).
struct mapped_file {
  void* base;
  size_t size;
  int map_err;
};

mapped_file wait_until_ready(int fd) {
  for (int waits = 0;; ++waits) {
    struct stat st;
    if (sys_fstat_fd(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {nullptr, 0, 0};
    const size_t size = (size_t)st.st_size;
    if (!mappable_size(size)) {
      // Still being sized by its creator, or never a launch data file.
      if (size >= sizeof(ldata_hdr) || waits >= ready_waits) return {nullptr, size, 0};
    } else {
      long mapped = sys_map_shared(fd, size, PROT_READ | PROT_WRITE);
      if (mapped < 0 && mapped > -4096) return {nullptr, size, (int)-mapped};
      void* base = reinterpret_cast<void*>(mapped);
      const auto* h = static_cast<ldata_hdr*>(base);
      if (__atomic_load_n(&h->version, __ATOMIC_ACQUIRE) != 0) return {base, size, 0};
      const int creator = __atomic_load_n(&h->initial_pid, __ATOMIC_RELAXED);
      // A creator that is gone will never finish it: the version check
      // reports the file as it is.
      if (waits >= ready_waits || (creator > 0 && sys_probe_task(creator) == -ESRCH))
        return {base, size, 0};
      sys_unmap(base, size);
    }
    struct timespec ts = {0, kReadyWaitNs};
    nanosleep(&ts, nullptr);
  }
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

int ldata_create(const char* given, unsigned file_mode, int config_node_cnt, char* path_out,
                 int entry_cnt, uint32_t memory_mode) {
  const size_t size =
      ldata_file_size_for(entry_cnt > 0 ? entry_cnt : config_node_cnt, memory_mode != 0);
  int fd = open_new_data_file(given, file_mode, path_out);
  if (fd < 0) {
    int err = errno;
    if (given != nullptr && err == EEXIST) return -1;
    ZYG_TRACE("INIT : initial process open %s failed with %d\n", path_out, err);
    report_fatal("Can't create the data file", err);
  }

  // The umask must not decide who else in the tree may open the file.
  fchmod(fd, file_mode);

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

  auto* hdr = static_cast<ldata_hdr*>(base_addr);
  // Named first: a program that attaches meanwhile waits only for a creator
  // that is alive.
  hdr->initial_pid = sys_getpid();
  ldata_write_layout(hdr, config_node_cnt, entry_cnt, memory_mode);
  // Other programs of the tree may open the file from now on (its name was
  // in the environment before it existed): they wait for the version, which
  // ldata_mark_ready stores once the launch is whole.
  __atomic_store_n(&hdr->version, 0u, __ATOMIC_RELEASE);

  ldata_set_pointers(&ld, base_addr, size);
  ld.fd = fd;
  return 0;
}

void ldata_set_ready_waits_for_test(int waits) { ready_waits = waits; }

void ldata_mark_ready() {
  if (ld.hdr != nullptr) __atomic_store_n(&ld.hdr->version, kLdataVersion, __ATOMIC_RELEASE);
}

ZYG_HOT_CODE int ldata_attach(const char* path) {
  // The process's ID appears only in reports: it is asked for on those
  // paths alone.
  // Raw calls (base/sys.h): every exec'd program of the tree comes here.
  struct stat st;
  if (long r = sys_stat_path(path, &st); r != 0) {
    int err = (int)-r;
    ZYG_TRACE("INIT : stat %s failed with %d\n", path, err);
    report_disable("Can't stat the data file", err, RC_STAT, sys_getpid());
    return -1;
  }
  // The path comes from the environment: a FIFO or a device named there
  // must not even be opened (opening one can block, or act). Reported as
  // the open a directory fails with.
  if (!S_ISREG(st.st_mode)) {
    report_disable("Can't open the data file", S_ISDIR(st.st_mode) ? EISDIR : EINVAL, RC_OPEN_DATA,
                   sys_getpid());
    return -1;
  }
  int fd = (int)sys_open_path(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = -fd;
    ZYG_TRACE("INIT : open %s failed with %d\n", path, err);
    report_disable("Can't open the data file", err, RC_OPEN_DATA, sys_getpid());
    if (err == EACCES) {
      report_recovering("", RC_TRY_W);
      report_recovering("Try using the -w command line option", RC_TRY_W);
      report_recovering("", RC_TRY_W);
    }
    return -1;
  }
  // Size and type of what we actually opened (the path may have changed
  // since the stat), once its creator has finished it.
  const mapped_file m = wait_until_ready(fd);
  if (m.base == nullptr) {
    if (m.map_err != 0) ZYG_TRACE("INIT : mmap %s failed with %d\n", path, m.map_err);
    close(fd);
    report_disable("Failed to attach launch data", m.map_err != 0 ? m.map_err : EINVAL, RC_MAP,
                   sys_getpid());
    return -1;
  }
  void* base = m.base;
  const size_t size = m.size;
  // Checked and used from one private copy: any process of the tree may
  // rewrite the shared header between a check and a use.
  ldata_hdr hdr;
  memcpy(&hdr, base, sizeof hdr);
  if (hdr.version != kLdataVersion) {
    ZYG_TRACE("INIT : invalid verion %d\n", (int)hdr.version);
    char msg[128];
    snprintf(msg, sizeof msg, "Data file is v%d, but %s is compiled with v%d", (int)hdr.version,
             kProgName, (int)kLdataVersion);
    munmap(base, size);
    close(fd);
    report_disable(msg, 0, RC_VERSION, sys_getpid());
    return -1;
  }
  if (ldata_validate_copy(&hdr, base, size) != 0) {
    munmap(base, size);
    close(fd);
    report_disable("Failed to attach launch data", EINVAL, RC_MAP, sys_getpid());
    return -1;
  }
  ldata_set_view(&ld, base, size, &hdr);
  ld.fd = fd;
  return 0;
}

// Creates the launch data and fills its header from the configuration.
int create_launch_data(launch_config* c, const char* given, l3_units* domains) {
  const int nodes = numa_lib().num_configured_nodes();
  // Under L3 units an entry is a domain: their count gives the layout.
  const int entries = c->unit_kind == UNIT_L3 ? prepare_l3_units(kSysCpuDir, domains) : 0;
  const int n = entries > 0 ? entries : nodes;
  ZYG_TRACE("INIT : allocating ldata\n");
  if (ldata_create(given, c->file_mode, nodes, c->data_file, entries, c->memory_mode) != 0)
    return -1;
  if (c->proc_scope == SCOPE_FLAT) {
    ld.proc_flat = table_alloc(n);
    if (ld.proc_flat == nullptr) report_fatal("Failed to allocate local proc launch count", errno);
  }
  if (c->thrd_scope == SCOPE_FLAT) {
    ld.thrd_flat = table_alloc(n);
    if (ld.thrd_flat == nullptr) report_fatal("Failed to allocate local thrd launch count", errno);
  }

  ZYG_TRACE("INIT : initializing ldata\n");
  ldata_hdr* h = ld.hdr;
  mutex_init(&h->ldata_lock);
  h->initial_pid = sys_getpid();
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
  return 0;
}

// Exec'd process: attaches to the tree's launch data. 0, or -1 with
// launching disabled.
ZYG_HOT_CODE int attach_launch_data(const char* path) {
  if (ldata_attach(path) != 0) {
    disable_launch();
    return -1;
  }
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
