// The launch log: one file shared by every process of a launched tree.
//
// Records are written by many threads and processes at once. Each record is
// formatted on the caller's stack and appended with a single write on an
// O_APPEND descriptor, so lines stay whole without a lock; the entry
// number comes from the shared counter in the launch data. Failures never stop
// the program: they switch logging off for the one process (apart from the
// first process failing to create the file at all).
#include "report/log.h"

#include <errno.h>
#include <fcntl.h>
#include <numa.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "base/file.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/sys.h"
#include "base/trace.h"
#include "core/ldata.h"
#include "report/report.h"
#include "report/where.h"

namespace zyg {

namespace {

constexpr size_t kCmdlineMax = 256;      // bytes of the command line shown
constexpr unsigned kNodeBitsMax = 1024;  // the kernel's largest node count (NODES_SHIFT 10)
constexpr int kMaxReopens = 3;           // per append, against a descriptor closed again and again
constexpr size_t kPathTextSize = 320;    // a message with a path of up to 256 characters

// Per-process state; a forked child inherits it with the open descriptor.
volatile uint32_t log_is_on;
// A descriptor the application closed and reused for one of its own files
// must never be locked or written: kept_fd remembers the log's identity.
kept_fd log_fd = {-1, 0, 0};

// The command line, read once per process. cmdline_owner is the pid of the
// process that has taken the read on itself: a forked child whose parent was
// in the middle of reading sees a foreign pid and reads for itself.
char cmdline_text[kCmdlineMax + 1];
volatile int cmdline_owner;
volatile uint32_t cmdline_ready;

// The banner is written once, by the first process at start-up. After the
// small variables (ZYG_COLD_DATA, base/mask.h).
ZYG_COLD_DATA char banner_buf[kLogBannerSize];

void set_off() { __atomic_store_n(&log_is_on, 0u, __ATOMIC_RELEASE); }

// Opens the log for appending; `create` adds O_CREAT | O_TRUNC. Never
// through a symbolic link planted at the path, and never blocking on a FIFO
// or a device put there: only a regular file is written (anything else is
// refused with EINVAL). The descriptor, or -errno.
int open_log(const char* path, int create, unsigned mode) {
  return open_append_regular(path, create, mode);
}

// Opening the log of an existing launch (every process but the first, and
// the reopen after the application closed our descriptor). Returns the
// descriptor (not yet installed) or -1 after reporting and switching logging
// off.
ZYG_HOT_CODE __attribute__((noinline)) int open_existing(const char* path) {
  int fd = open_log(path, 0, 0);
  if (fd < 0) {
    int e = -fd;
    char text[kPathTextSize];
    snprintf(text, sizeof text, "open(%s) failed. Logging disabled for pid %d", path, sys_getpid());
    set_off();
    report_warning(text, e, RC_LOG);
    if (e == EACCES) report_recovering("Try using the -w command line option", RC_TRY_W);
    return -1;
  }
  return fd;
}

// Replaces the descriptor `stale` with a fresh one; another thread may have
// done it already, in which case its descriptor is used.
int reopen(int stale) {
  ldata_hdr* h = ld.hdr;
  if (h == nullptr) return -1;
  ZYG_TRACE("re-opening the log file\n");
  int fd = open_existing(h->log_file);
  if (fd < 0) return -1;
  return kept_replace(&log_fd, stale, fd);
}

__attribute__((format(printf, 1, 2))) void warn_off(const char* fmt, ...);

void warn_off(const char* fmt, ...) {
  char text[96];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  set_off();
  report_warning(text, 0, RC_LOG);
}

// Reads a /proc file of this process into buf (NUL-terminated, a final
// newline dropped); -1 after reporting the failure with the log's code.
ZYG_HOT_CODE int read_proc_file(const char* path, char* buf, size_t size, size_t* len,
                                bool one_line = false) {
  file_step failed;
  long got = one_line ? read_small_line_file(path, buf, size, &failed)
                      : read_small_file(path, buf, size, &failed);
  if (got < 0) {
    char text[64];
    snprintf(text, sizeof text, failed == FILE_OPEN ? "open(%s) failed" : "read(%s) failed", path);
    report_warning(text, (int)-got, RC_LOG);
    return -1;
  }
  if (got > 0 && buf[got - 1] == '\n') buf[--got] = '\0';
  *len = (size_t)got;
  return 0;
}

void read_cmdline() {
  char path[40];
  snprintf(path, sizeof path, "/proc/%d/cmdline", sys_getpid());
  size_t len = 0;
  if (read_proc_file(path, cmdline_text, sizeof cmdline_text, &len) != 0) {
    snprintf(cmdline_text, sizeof cmdline_text, "%s", "<unknown>");
    return;
  }
  for (size_t i = 0; i < len; i++)
    if (cmdline_text[i] == '\0') cmdline_text[i] = ' ';
}

// The command line of the process, read by the first record of the process.
const char* cmdline() {
  if (__atomic_load_n(&cmdline_ready, __ATOMIC_ACQUIRE)) return cmdline_text;
  int pid = sys_getpid();
  int owner = __atomic_load_n(&cmdline_owner, __ATOMIC_ACQUIRE);
  if (owner != pid && __atomic_compare_exchange_n(&cmdline_owner, &owner, pid, false,
                                                  __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    read_cmdline();
    __atomic_store_n(&cmdline_ready, 1u, __ATOMIC_RELEASE);
    return cmdline_text;
  }
  // Another thread of this process is reading it: a few microseconds.
  for (int i = 0; i < 10000; i++) {
    if (__atomic_load_n(&cmdline_ready, __ATOMIC_ACQUIRE)) return cmdline_text;
    sched_yield();
  }
  return "<unknown>";
}

// The domain column under L3 units: the CPU list of the l_nodes entry that
// holds the whole affinity, "-" when it is within none.
const char* domain_text(int unit) {
  if (unit < 0 || unit >= ld.b.avail_node_cnt || ld.l_nodes == nullptr) return "-";
  return ld.l_nodes[unit].cpulist;
}

// The comm, Node, CPU and (under L3 units, when l3 is given) L3 columns of a
// record. The node mask lives on the stack: records are written by many
// threads at once. The columns of the place come from one reading of the
// thread's affinity.
ZYG_HOT_CODE __attribute__((noinline)) void read_columns(const ldata_hdr* h, int pid, char* comm,
                                                         size_t comm_size, char* node,
                                                         size_t node_size, char* cpu,
                                                         size_t cpu_size, const char** l3) {
  char path[40];
  size_t len;
  snprintf(path, sizeof path, "/proc/%d/comm", pid);
  if (read_proc_file(path, comm, comm_size, &len, true) != 0)
    snprintf(comm, comm_size, "%s", "<unknown>");

  unsigned long words[kNodeBitsMax / (8 * sizeof(unsigned long))];
  memset(words, 0, sizeof words);
  unsigned nbits = h->possible_node_cnt > 0 && (unsigned)h->possible_node_cnt <= kNodeBitsMax
                       ? (unsigned)h->possible_node_cnt
                       : kNodeBitsMax;
  struct bitmask mask = {nbits, words};
  int launch_cpu, unit = -1;
  get_launch_nodes_cpu(&mask, &launch_cpu, l3 != nullptr ? &unit : nullptr);
  node[0] = '\0';
  format_node_list(&mask, node, node_size);
  snprintf(cpu, cpu_size, "%d", launch_cpu);
  if (l3 != nullptr) *l3 = domain_text(unit);
}

// Formats and appends the record line (and the column header before the
// first record of the launch); the time and the task's IDs are taken here.
// Kept apart so that the 1 KiB line buffer is not on the stack while the
// columns are gathered.
ZYG_HOT_CODE __attribute__((noinline)) void write_record(ldata_hdr* h, unsigned entry,
                                                         log_line* fields) {
  char line[kLogLineSize];

  // clock_gettime, not gettimeofday: the C library makes that one an IFUNC,
  // whose resolver the loader runs (a page fault) in every program.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long sec = (long)(now.tv_sec - h->log_start_sec);
  long usec = (long)(now.tv_nsec / 1000 - h->log_start_usec);
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  char timestamp[48], tid[24], ppid[16];
  snprintf(timestamp, sizeof timestamp, "%ld.%0*ld", sec, kLogMicroDigits, usec);
  snprintf(tid, sizeof tid, "%ld", (long)sys_gettid());
  snprintf(ppid, sizeof ppid, "%d", sys_getppid());
  fields->text[COL_TIMESTAMP] = timestamp;
  fields->text[COL_TID] = tid;
  fields->text[COL_PPID] = ppid;
  int n = format_log_line(line, sizeof line, *fields);
  // One record is one line: newlines inside the texts (a multi-line report, a
  // file name or argument with a newline) become spaces, and a line cut at the
  // buffer's end still ends with a newline.
  if (n > 0) {
    for (int i = 0; i < n - 1; i++)
      if (line[i] == '\n') line[i] = ' ';
    line[n - 1] = '\n';
  }
  if (entry != 1) {
    log_append(line, (size_t)n);
    return;
  }
  // The column header goes once per launch, before the first record, in the
  // same write. Taking it from the increment (not from a look at the counter
  // beforehand) means two first writers can never both write it.
  char header[kLogHeaderSize];
  header[0] = '\n';
  int hn = format_log_column_header(header + 1, sizeof header - 1, fields->l3_units);
  struct iovec parts[2] = {{header, (size_t)hn + 1}, {line, (size_t)n}};
  log_append_parts(parts, 2);
}

ZYG_HOT_CODE void record(const char* a, const char* b, const char* c) {
  ldata_hdr* h = ld.hdr;
  if (!__atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE) || h == nullptr) return;
  if (kept_load(&log_fd) < 0) {
    ZYG_TRACE("Log file not open yet!\n");
    return;
  }
  const char* cmd = cmdline();
  char comm[32];  // TASK_COMM_LEN is 16
  char node[256];
  char cpu[16];
  // One pid for the comm path and the record: the record is written by this
  // thread of this process.
  int pid = sys_getpid();
  const bool l3_units = ld.b.unit_kind == UNIT_L3;
  const char* l3 = nullptr;
  read_columns(h, pid, comm, sizeof comm, node, sizeof node, cpu, sizeof cpu,
               l3_units ? &l3 : nullptr);

  unsigned entry = __atomic_add_fetch(&h->log_entry_cnt, 1u, __ATOMIC_ACQ_REL);
  ZYG_TRACE("log #: %d, launch: node %s, cpu %s, from: %s%s%s, cmd: %s", (int)entry, node, cpu, a,
            b, c, cmd);
  ZYG_TRACE_RAW("\n");
  char entry_text[16], pid_text[16];
  snprintf(entry_text, sizeof entry_text, "%u", entry);
  snprintf(pid_text, sizeof pid_text, "%d", pid);
  log_line fields = {};
  fields.text[COL_ENTRY] = entry_text;
  fields.text[COL_PID] = pid_text;
  fields.text[COL_NODE] = node;
  fields.text[COL_CPU] = cpu;
  fields.text[COL_L3] = l3;
  fields.l3_units = l3_units;
  fields.text[COL_MESSAGE] = a;
  fields.message_more[0] = b;
  fields.message_more[1] = c;
  fields.text[COL_COMM] = comm;
  fields.text[COL_CMDLINE] = cmd;
  write_record(h, entry, &fields);
  ZYG_TRACE_SYNC();
}

}  // namespace

ZYG_HOT_CODE bool log_on() { return __atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE) != 0; }

ZYG_HOT_CODE void log_open(bool first_process, const job_text* job) {
  ZYG_TRACE("INIT : Opening log file\n");
  ldata_hdr* h = ld.hdr;
  if (h == nullptr || h->log_enabled == 0) {
    set_off();
    return;
  }
  __atomic_store_n(&log_is_on, 1u, __ATOMIC_RELEASE);
  if (!first_process) {
    int fd = open_existing(h->log_file);
    if (fd >= 0) kept_install(&log_fd, fd);
    return;
  }

  ZYG_TRACE("INIT : Initializing log file\n");
  // A new launch starts a new file: deleting first leaves a launch still
  // running with the old one undisturbed, and replaces a symbolic link by a
  // regular file instead of writing through it. Launches started together
  // with one path (mpirun -np 64 zyg-nox -l run.log) delete and create in
  // any order, so the open must take a file that another launch created a
  // moment ago (O_EXCL would stop all but one): their logs may then mix, but
  // every launch runs.
  // A job's launcher started its log, which the job's other launches on the
  // host (ranks given other CPUs) append to as well.
  if (job == nullptr) unlink(h->log_file);
  int fd = open_log(h->log_file, job == nullptr ? O_CREAT | O_TRUNC : O_CREAT, h->file_mode);
  if (fd < 0) {
    int e = -fd;
    if (e == ELOOP) report_fatal_code("Log file cannot be a symbolic link", 0, RC_LOG);
    char text[kPathTextSize];
    snprintf(text, sizeof text, "open(%s) failed", h->log_file);
    report_fatal_code(text, e, RC_LOG);
  }
  // On the descriptor: the path may name something else by now. On a file
  // that another user's launch created this fails, and its mode stays.
  fchmod(fd, (mode_t)h->file_mode);
  kept_install(&log_fd, fd);

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  h->log_start_sec = now.tv_sec;
  h->log_start_usec = now.tv_nsec / 1000;

  int n = format_log_banner(banner_buf, sizeof banner_buf, h, job);
  log_append(banner_buf, (size_t)n);
  ZYG_TRACE("INIT : Done initializing log file\n");
}

ZYG_HOT_CODE void log_append(const char* text, size_t len) {
  struct iovec part = {const_cast<char*>(text), len};
  log_append_parts(&part, 1);
}

ZYG_HOT_CODE void log_append_parts(const struct iovec* parts, int count) {
  int fd = kept_load(&log_fd);
  if (fd < 0 || !__atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE)) return;
  // The application may have closed our descriptor, or closed it and opened
  // one of its own files under the same number.
  for (int reopens = 0; !kept_is_ours(&log_fd, fd); reopens++) {
    ZYG_TRACE("ERROR: Someone closed our log file fd!!!\n");
    if (reopens >= kMaxReopens) return;
    fd = reopen(fd);
    if (fd < 0) return;
  }
  // One writev on an O_APPEND descriptor: the kernel puts the whole of it at
  // the end of the file at once, so records of different writers never mix
  // and no lock is held that a writer killed half-way could leave behind.
  ZYG_TRACE("Writing to log file\n");
  ssize_t n;
  do n = writev(fd, parts, count);
  while (n < 0 && errno == EINTR);
  if (n < 0) warn_off("Log file write() failed. Logging disabled for pid %d", sys_getpid());
}

ZYG_HOT_CODE void log_record(const char* text) { record(text != nullptr ? text : "", "", ""); }

ZYG_HOT_CODE void log_record(log_message m) { record(log_text(m), "", ""); }

void log_record_parts(const char* a, const char* b, const char* c) {
  record(a != nullptr ? a : "", b != nullptr ? b : "", c != nullptr ? c : "");
}

void log_fini() {
  ZYG_TRACE("Finalizing log file\n");
  ZYG_TRACE("Log file complete\n");
}

void log_reset_for_test() {
  __atomic_store_n(&log_is_on, 0u, __ATOMIC_RELEASE);
  kept_reset(&log_fd);
  __atomic_store_n(&cmdline_ready, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&cmdline_owner, 0, __ATOMIC_RELEASE);
}

}  // namespace zyg
