// The launch log: one file shared by every process of a launched tree.
//
// Records are written by many threads and processes at once. Each record is
// formatted on the caller's stack and appended with a single write on an
// O_APPEND descriptor under an exclusive flock, so lines stay whole; the entry
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
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/ldata.h"
#include "core/sys.h"
#include "core/topology.h"
#include "report/debug.h"
#include "report/report.h"

namespace zyg {

namespace {

constexpr int kLogFdFloor = 100;        // reopened/created descriptors go at or above this
constexpr size_t kCmdlineMax = 256;     // bytes of the command line shown
constexpr unsigned kNodeBitsMax = 1024; // the kernel's largest node count (NODES_SHIFT 10)
constexpr int kMaxReopens = 3;          // per append, against a descriptor closed again and again
constexpr size_t kPathTextSize = 320;   // a message with a path of up to 256 characters

// Per-process state; a forked child inherits it with the open descriptor.
volatile uint32_t log_is_on;
volatile int log_fd = -1;
// Identity of the file behind log_fd: a descriptor the application closed and
// reused for one of its own files must never be locked or written.
volatile uint64_t log_dev;
volatile uint64_t log_ino;

// The command line, read once per process. cmdline_owner is the pid of the
// process that has taken the read on itself: a forked child whose parent was
// in the middle of reading sees a foreign pid and reads for itself.
char cmdline_text[kCmdlineMax + 1];
volatile int cmdline_owner;
volatile uint32_t cmdline_ready;

// The banner is written once, by the first process at start-up.
char banner_buf[kLogBannerSize];

void set_off() { __atomic_store_n(&log_is_on, 0u, __ATOMIC_RELEASE); }

void remember_identity(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0) {
    __atomic_store_n(&log_dev, (uint64_t)st.st_dev, __ATOMIC_RELAXED);
    __atomic_store_n(&log_ino, (uint64_t)st.st_ino, __ATOMIC_RELAXED);
  }
}

bool is_our_file(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  return (uint64_t)st.st_dev == __atomic_load_n(&log_dev, __ATOMIC_RELAXED) &&
         (uint64_t)st.st_ino == __atomic_load_n(&log_ino, __ATOMIC_RELAXED);
}

// Moves a new descriptor above the low numbers, which a program that closed
// its descriptors expects to get back from its own next open (0, 1, 2 in
// particular). When the limit does not allow it the descriptor stays where it is.
int move_high(int fd) {
  int high = fcntl(fd, F_DUPFD_CLOEXEC, kLogFdFloor);
  if (high < 0) return fd;
  close(fd);
  return high;
}

// Opening the log of an existing launch (every process but the first, and
// the reopen after the application closed our descriptor). Returns the
// descriptor or -1 after reporting and switching logging off.
__attribute__((noinline)) int open_existing(const char* path) {
  int fd = open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    char text[kPathTextSize];
    snprintf(text, sizeof text, "open(%s) failed. Logging disabled for pid %d", path, sys_getpid());
    set_off();
    report_warning(text, e, 4);
    if (e == EACCES) report_recovering("Try using the -w command line option", 10);
    return -1;
  }
  fd = move_high(fd);
  remember_identity(fd);
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
  int expected = stale;
  if (__atomic_compare_exchange_n(&log_fd, &expected, fd, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE))
    return fd;
  close(fd);
  return expected;
}

__attribute__((format(printf, 1, 2))) void warn_off(const char* fmt, ...);

void warn_off(const char* fmt, ...) {
  char text[96];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  set_off();
  report_warning(text, 0, 4);
}

// Reads a /proc file of this process into buf (NUL-terminated); -1 after
// reporting the failure with report code 4.
int read_proc_file(const char* path, char* buf, size_t size, size_t* len) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    char text[64];
    snprintf(text, sizeof text, "open(%s) failed", path);
    report_warning(text, e, 4);
    return -1;
  }
  size_t got = 0;
  while (got < size - 1) {
    ssize_t n = read(fd, buf + got, size - 1 - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      char text[64];
      snprintf(text, sizeof text, "read(%s) failed", path);
      report_warning(text, e, 4);
      return -1;
    }
    if (n == 0) break;
    got += (size_t)n;
  }
  close(fd);
  if (got > 0 && buf[got - 1] == '\n') got--;
  buf[got] = '\0';
  *len = got;
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
  if (owner != pid &&
      __atomic_compare_exchange_n(&cmdline_owner, &owner, pid, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE)) {
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

int format_line_parts(char* buf, size_t size, long sec, long usec, unsigned entry, long tid,
                      int pid, int ppid, const char* node, const char* cpu, const char* a,
                      const char* b, const char* c, const char* comm, const char* cmd) {
  // The event text is left-aligned in 31 columns; it comes in up to three
  // pieces, padded here as a whole.
  size_t mlen = strlen(a) + strlen(b) + strlen(c);
  int pad = mlen < 31 ? (int)(31 - mlen) : 0;
  int n = snprintf(buf, size,
                   "%8ld.%06ld | %6u | %7ld | %7d | %7d | %4s | %3s | %s%s%s%*s | %-20s | %s\n",
                   sec, usec, entry, tid, pid, ppid, node, cpu, a, b, c, pad, "", comm, cmd);
  if (n < 0) n = 0;
  if (size > 0 && (size_t)n >= size) n = (int)size - 1;
  return n;
}

void record(const char* a, const char* b, const char* c) {
  ldata_hdr* h = ld.hdr;
  if (!__atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE) || h == nullptr) return;
  if (__atomic_load_n(&log_fd, __ATOMIC_ACQUIRE) < 0) {
    ZYG_TRACE("Log file not open yet!\n");
    return;
  }
  const char* cmd = cmdline();

  char comm[64];
  {
    char path[40];
    size_t len;
    snprintf(path, sizeof path, "/proc/%d/comm", sys_getpid());
    if (read_proc_file(path, comm, sizeof comm, &len) != 0)
      snprintf(comm, sizeof comm, "%s", "<unknown>");
  }

  // Node and CPU columns from the calling thread's affinity. The node mask
  // lives on the stack: records are written by many threads at once.
  char node[256];
  char cpu[16];
  {
    unsigned long words[kNodeBitsMax / (8 * sizeof(unsigned long))];
    memset(words, 0, sizeof words);
    unsigned nbits = h->possible_node_cnt > 0 && (unsigned)h->possible_node_cnt <= kNodeBitsMax
                         ? (unsigned)h->possible_node_cnt
                         : kNodeBitsMax;
    struct bitmask mask = {nbits, words};
    get_launch_nodes(&mask);
    node[0] = '\0';
    format_node_list(&mask, node, sizeof node);
    snprintf(cpu, sizeof cpu, "%d", get_launch_cpu());
  }

  char line[kLogLineSize];
  unsigned entry = __atomic_add_fetch(&h->log_entry_cnt, 1u, __ATOMIC_ACQ_REL);
  ZYG_TRACE("log #: %d, launch: node %s, cpu %s, from: %s%s%s, cmd: %s", (int)entry, node, cpu, a,
            b, c, cmd);
  ZYG_TRACE_RAW("\n");
  if (entry == 1) {
    // The column header goes once per launch, before the first record. Taking
    // it from the increment (not from a look at the counter beforehand) means
    // two first writers can never both write it.
    line[0] = '\n';
    int n = format_log_column_header(line + 1, sizeof line - 1);
    log_append(line, (size_t)n + 1);
  }

  struct timeval now;
  gettimeofday(&now, nullptr);
  long sec = (long)(now.tv_sec - h->log_start_sec);
  long usec = (long)(now.tv_usec - h->log_start_usec);
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  int n = format_line_parts(line, sizeof line, sec, usec, entry, sys_gettid(), sys_getpid(),
                            sys_getppid(), node, cpu, a, b, c, comm, cmd);
  // One record is one line: newlines inside the texts (a multi-line report, a
  // file name or argument with a newline) become spaces, and a line cut at the
  // buffer's end still ends with a newline.
  if (n > 0) {
    for (int i = 0; i < n - 1; i++)
      if (line[i] == '\n') line[i] = ' ';
    line[n - 1] = '\n';
  }
  log_append(line, (size_t)n);
  ZYG_TRACE_SYNC();
}

}  // namespace

bool log_on() { return __atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE) != 0; }

void log_open(bool first_process) {
  ZYG_TRACE("INIT : Opening log file\n");
  ldata_hdr* h = ld.hdr;
  if (h == nullptr || h->log_enabled == 0) {
    set_off();
    return;
  }
  __atomic_store_n(&log_is_on, 1u, __ATOMIC_RELEASE);
  if (!first_process) {
    int fd = open_existing(h->log_file);
    __atomic_store_n(&log_fd, fd, __ATOMIC_RELEASE);
    return;
  }

  ZYG_TRACE("INIT : Initializing log file\n");
  // A new launch starts a new file; deleting first also replaces a symbolic
  // link by a regular file instead of writing through it.
  unlink(h->log_file);
  int fd = open(h->log_file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                (mode_t)h->file_mode);
  if (fd < 0) {
    int e = errno;
    if (e == ELOOP) report_fatal_code("Log file cannot be a symbolic link", 0, 4);
    char text[kPathTextSize];
    snprintf(text, sizeof text, "open(%s) failed", h->log_file);
    report_fatal_code(text, e, 4);
  }
  fd = move_high(fd);
  remember_identity(fd);
  __atomic_store_n(&log_fd, fd, __ATOMIC_RELEASE);
  chmod(h->log_file, (mode_t)h->file_mode);

  struct timeval now;
  gettimeofday(&now, nullptr);
  h->log_start_sec = now.tv_sec;
  h->log_start_usec = now.tv_usec;

  int n = format_log_banner(banner_buf, sizeof banner_buf, h);
  log_append(banner_buf, (size_t)n);
  ZYG_TRACE("INIT : Done initializing log file\n");
}

void log_append(const char* text, size_t len) {
  int fd = __atomic_load_n(&log_fd, __ATOMIC_ACQUIRE);
  if (fd < 0 || !__atomic_load_n(&log_is_on, __ATOMIC_ACQUIRE)) return;
  ZYG_TRACE("Acquiring log file lock\n");
  int reopens = 0;
  for (;;) {
    // The application may have closed our descriptor, or closed it and opened
    // one of its own files under the same number.
    bool ours = is_our_file(fd);
    if (ours) {
      if (flock(fd, LOCK_EX) == 0) break;
      if (errno == EINTR) {
        ZYG_TRACE("EINTR on log file lock, trying again\n");
        continue;
      }
      if (errno != EBADF) {
        warn_off("Log file flock(EX) failed. Logging disabled for pid %d", sys_getpid());
        return;
      }
    }
    ZYG_TRACE("ERROR: Someone closed our log file fd!!!\n");
    if (++reopens > kMaxReopens) return;
    fd = reopen(fd);
    if (fd < 0) return;
  }

  ZYG_TRACE("Writing to log file\n");
  lseek(fd, 0, SEEK_END);
  ssize_t n;
  do n = write(fd, text, len);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    flock(fd, LOCK_UN);
    warn_off("Log file write() failed. Logging disabled for pid %d", sys_getpid());
    return;
  }

  ZYG_TRACE("Releasing log file lock\n");
  if (flock(fd, LOCK_UN) != 0)
    warn_off("Log file flock(UN) failed. Logging disabled for pid %d", sys_getpid());
}

void log_record(const char* text) { record(text != nullptr ? text : "", "", ""); }

void log_record_parts(const char* a, const char* b, const char* c) {
  record(a != nullptr ? a : "", b != nullptr ? b : "", c != nullptr ? c : "");
}

void log_fini() {
  ZYG_TRACE("Finalizing log file\n");
  ZYG_TRACE("Log file complete\n");
}

void log_reset_for_test() {
  __atomic_store_n(&log_is_on, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&log_fd, -1, __ATOMIC_RELEASE);
  __atomic_store_n(&cmdline_ready, 0u, __ATOMIC_RELEASE);
  __atomic_store_n(&cmdline_owner, 0, __ATOMIC_RELEASE);
}

int format_log_banner(char* buf, size_t size, const ldata_hdr* h) {
  int n = snprintf(buf, size,
                   "\n"
                   "Warning: format/content of this file may change between revisions\n"
                   "Do not write programs that depend on format or content across revisions\n"
                   "\n"
                   "Launch  Version       | %d.%d.%d\n"
                   "Process launch policy | %.*s\n"
                   "Thread  launch policy | %.*s\n"
                   "CPU     launch policy | %s\n"
                   "Initial launch nodes  | %.*s\n"
                   "Log file              | %.*s\n"
                   "Error file            | %.*s\n"
                   "Initial PID           | %d\n"
                   "Configured node count | %d\n"
                   "Available node count  | %d\n"
                   "\n"
                   "Possibly 4 records per process\n"
                   "    1) process/thread creation,\n"
                   "    2) if an exec function is called\n"
                   "    3) process/pthread termination (clone thread termination not logged)\n"
                   "    4) the initial thread - only if it creates threads\n"
                   "\n",
                   1, 0, 4, (int)sizeof h->proc_policy_name, h->proc_policy_name,
                   (int)sizeof h->thrd_policy_name, h->thrd_policy_name,
                   h->cpu_launch ? "Yes" : "No", (int)sizeof h->launch_nodes, h->launch_nodes,
                   (int)sizeof h->log_file, h->log_file, (int)sizeof h->error_file,
                   h->error_file, (int)h->initial_pid, (int)h->config_node_cnt,
                   (int)h->avail_node_cnt);
  if (n < 0) n = 0;
  if (size > 0 && (size_t)n >= size) n = (int)size - 1;
  return n;
}

int format_log_column_header(char* buf, size_t size) {
  int n = snprintf(buf, size, "%15s | %6s | %7s | %7s | %7s | %4s | %3s | %-31s | %-20s | %s\n",
                   "Timestamp", "Entry#", "TID", "PID", "PPID", "Node", "CPU", "Log Message",
                   "comm", "full_cmdline");
  if (n < 0) n = 0;
  if (size > 0 && (size_t)n >= size) n = (int)size - 1;
  return n;
}

int format_log_line(char* buf, size_t size, long sec, long usec, unsigned entry, long tid,
                    int pid, int ppid, const char* node, const char* cpu, const char* msg,
                    const char* comm, const char* cmdline) {
  return format_line_parts(buf, size, sec, usec, entry, tid, pid, ppid, node, cpu, msg, "", "",
                           comm, cmdline);
}

}  // namespace zyg
