// log_format.cpp - the texts of the launch log: banner, column header and
// record line, formatted into the caller's fixed buffers.
#include <stdio.h>
#include <string.h>

#include "core/ldata.h"
#include "report/log.h"
#include "shared/version.h"

namespace zyg {

namespace {
int clamp(int n, size_t size) {
  if (n < 0) n = 0;
  if (size > 0 && (size_t)n >= size) n = (int)size - 1;
  return n;
}
}  // namespace

int format_log_line_parts(char* buf, size_t size, long sec, long usec, unsigned entry, long tid,
                      int pid, int ppid, const char* node, const char* cpu, const char* a,
                      const char* b, const char* c, const char* comm, const char* cmd) {
  // The event text is left-aligned in 31 columns; it comes in up to three
  // pieces, padded here as a whole.
  size_t mlen = strlen(a) + strlen(b) + strlen(c);
  int pad = mlen < 31 ? (int)(31 - mlen) : 0;
  int n = snprintf(buf, size,
                   "%8ld.%06ld | %6u | %7ld | %7d | %7d | %4s | %3s | %s%s%s%*s | %-20s | %s\n",
                   sec, usec, entry, tid, pid, ppid, node, cpu, a, b, c, pad, "", comm, cmd);
  return clamp(n, size);
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
                   kVersionMajor, kVersionMinor, kVersionPatch,
                   (int)sizeof h->proc_policy_name, h->proc_policy_name,
                   (int)sizeof h->thrd_policy_name, h->thrd_policy_name,
                   h->cpu_launch ? "Yes" : "No", (int)sizeof h->launch_nodes, h->launch_nodes,
                   (int)sizeof h->log_file, h->log_file, (int)sizeof h->error_file,
                   h->error_file, (int)h->initial_pid, (int)h->config_node_cnt,
                   (int)h->avail_node_cnt);
  return clamp(n, size);
}

int format_log_column_header(char* buf, size_t size) {
  int n = snprintf(buf, size, "%15s | %6s | %7s | %7s | %7s | %4s | %3s | %-31s | %-20s | %s\n",
                   "Timestamp", "Entry#", "TID", "PID", "PPID", "Node", "CPU", "Log Message",
                   "comm", "full_cmdline");
  return clamp(n, size);
}

int format_log_line(char* buf, size_t size, long sec, long usec, unsigned entry, long tid,
                    int pid, int ppid, const char* node, const char* cpu, const char* msg,
                    const char* comm, const char* cmdline) {
  return format_log_line_parts(buf, size, sec, usec, entry, tid, pid, ppid, node, cpu, msg, "", "",
                           comm, cmdline);
}

}  // namespace zyg
