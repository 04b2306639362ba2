// log_format.cpp - the texts of the launch log: banner, column header and
// record line, formatted into the caller's fixed buffers. The columns' order,
// widths and titles are those of shared/log_schema.h.
#include <stdio.h>
#include <string.h>

#include "core/ldata.h"
#include "report/log.h"
#include "shared/log_schema.h"
#include "shared/version.h"

namespace zyg {

namespace {
int clamp(int n, size_t size) {
  if (n < 0) n = 0;
  if (size > 0 && (size_t)n >= size) n = (int)size - 1;
  return n;
}

// A line being put together in the caller's buffer. As with snprintf, what
// does not fit is dropped but counted, and the buffer always ends with a NUL.
struct line_out {
  char* buf;
  size_t size;
  size_t len;  // the length of the whole line, also past the buffer's end
};

void put(line_out* o, const char* text, size_t n) {
  if (o->len + 1 < o->size) {
    size_t room = o->size - 1 - o->len;
    memcpy(o->buf + o->len, text, n < room ? n : room);
  }
  o->len += n;
  if (o->size > 0) o->buf[o->len < o->size ? o->len : o->size - 1] = '\0';
}

void put_text(line_out* o, const char* text) { put(o, text, strlen(text)); }

void put_spaces(line_out* o, size_t n) {
  static constexpr char kSpaces[] = "                                ";
  for (size_t chunk; n > 0; n -= chunk) {
    chunk = n < sizeof kSpaces - 1 ? n : sizeof kSpaces - 1;
    put(o, kSpaces, chunk);
  }
}

// One column: the pieces joined and padded to the column's width as a whole,
// after the separator unless it is the first.
void put_column(line_out* o, log_column col, const char* a, const char* b = "",
                const char* c = "") {
  const log_column_def& def = kLogColumns[col];
  if (col != 0) put(o, kLogSeparator, kLogSeparatorLen);
  size_t len = strlen(a) + strlen(b) + strlen(c);
  size_t pad = len < (size_t)def.width ? (size_t)def.width - len : 0;
  if (!def.left) put_spaces(o, pad);
  put_text(o, a);
  put_text(o, b);
  put_text(o, c);
  if (def.left) put_spaces(o, pad);
}

int finish(line_out* o) {
  put(o, "\n", 1);
  return clamp((int)o->len, o->size);
}
}  // namespace

int format_log_line(char* buf, size_t size, const log_line& l) {
  char ts[48], entry[16], tid[24], pid[16], ppid[16];
  snprintf(ts, sizeof ts, "%ld.%0*ld", l.sec, kLogMicroDigits, l.usec);
  snprintf(entry, sizeof entry, "%u", l.entry);
  snprintf(tid, sizeof tid, "%ld", l.tid);
  snprintf(pid, sizeof pid, "%d", l.pid);
  snprintf(ppid, sizeof ppid, "%d", l.ppid);
  line_out o = {buf, size, 0};
  if (size > 0) buf[0] = '\0';
  put_column(&o, COL_TIMESTAMP, ts);
  put_column(&o, COL_ENTRY, entry);
  put_column(&o, COL_TID, tid);
  put_column(&o, COL_PID, pid);
  put_column(&o, COL_PPID, ppid);
  put_column(&o, COL_NODE, l.node);
  put_column(&o, COL_CPU, l.cpu);
  put_column(&o, COL_MESSAGE, l.message[0], l.message[1], l.message[2]);
  put_column(&o, COL_COMM, l.comm);
  put_column(&o, COL_CMDLINE, l.cmdline);
  return finish(&o);
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
                   kVersionMajor, kVersionMinor, kVersionPatch, (int)sizeof h->proc_policy_name,
                   h->proc_policy_name, (int)sizeof h->thrd_policy_name, h->thrd_policy_name,
                   h->cpu_launch ? "Yes" : "No", (int)sizeof h->launch_nodes, h->launch_nodes,
                   (int)sizeof h->log_file, h->log_file, (int)sizeof h->error_file, h->error_file,
                   (int)h->initial_pid, (int)h->config_node_cnt, (int)h->avail_node_cnt);
  return clamp(n, size);
}

int format_log_column_header(char* buf, size_t size) {
  line_out o = {buf, size, 0};
  if (size > 0) buf[0] = '\0';
  for (int c = 0; c < COL_COUNT; c++) put_column(&o, (log_column)c, kLogColumns[c].title);
  return finish(&o);
}

}  // namespace zyg
