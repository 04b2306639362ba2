// log_format.cpp - the texts of the launch log: banner, column header and
// record line, formatted into the caller's fixed buffers. The columns' order,
// widths and titles are those of shared/log_schema.h.
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

#include "base/layout.h"
#include "core/ldata.h"
#include "report/log.h"
#include "shared/job_text.h"
#include "shared/l3_cache.h"
#include "shared/log_schema.h"
#include "shared/memory_tiers.h"
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

ZYG_HOT_CODE void put(line_out* o, const char* text, size_t n) {
  if (o->len + 1 < o->size) {
    size_t room = o->size - 1 - o->len;
    memcpy(o->buf + o->len, text, n < room ? n : room);
  }
  o->len += n;
  if (o->size > 0) o->buf[o->len < o->size ? o->len : o->size - 1] = '\0';
}

ZYG_HOT_CODE void put_text(line_out* o, const char* text) {
  if (text != nullptr) put(o, text, strlen(text));
}

size_t text_len(const char* text) { return text != nullptr ? strlen(text) : 0; }

ZYG_HOT_CODE void put_spaces(line_out* o, size_t n) {
  static constexpr char kSpaces[] = "                                ";
  for (size_t chunk; n > 0; n -= chunk) {
    chunk = n < sizeof kSpaces - 1 ? n : sizeof kSpaces - 1;
    put(o, kSpaces, chunk);
  }
}

// One column: the pieces joined and padded to the column's width as a whole,
// after the separator unless it is the first. A null piece is empty.
ZYG_HOT_CODE void put_column(line_out* o, log_column col, const char* a, const char* b = nullptr,
                             const char* c = nullptr) {
  const log_column_def& def = kLogColumns[col];
  if (col != 0) put(o, kLogSeparator, kLogSeparatorLen);
  size_t len = text_len(a) + text_len(b) + text_len(c);
  size_t pad = len < (size_t)def.width ? (size_t)def.width - len : 0;
  if (!def.left) put_spaces(o, pad);
  put_text(o, a);
  put_text(o, b);
  put_text(o, c);
  if (def.left) put_spaces(o, pad);
}

ZYG_HOT_CODE int finish(line_out* o) {
  put(o, "\n", 1);
  return clamp((int)o->len, o->size);
}

// A banner setting: the key padded to the longest, the separator, the value
// (at most max bytes, or up to its NUL), the line end.
void put_setting(line_out* o, banner_field f, const char* value, size_t max = (size_t)-1) {
  put_text(o, kBannerKeys[f]);
  put_spaces(o, (size_t)kBannerKeyWidth - strlen(kBannerKeys[f]));
  put(o, kLogSeparator, kLogSeparatorLen);
  put(o, value, strnlen(value, max));
  put(o, "\n", 1);
}

void put_setting_number(line_out* o, banner_field f, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  put_setting(o, f, text);
}

// The l_nodes entries as "<CPU list>@<node> ..." (the L3 domains under L3
// units, the launch nodes else), from this process's view; a list too long
// for the banner ends with "...".
// An entry's CPUs as a list with ranges: the cpulist text of an L3 domain
// (its CPUs exactly), the CPUs a launch node's entry holds otherwise (its
// cpulist names the whole node, beyond the launch's cpuset).
void entry_cpus(const l_node& e, bool from_list, char* out, size_t size) {
  if (from_list) {
    snprintf(out, size, "%.256s", e.cpulist);
    return;
  }
  unsigned long words[256] = {};  // CPUs below 16384
  constexpr unsigned kBits = 8 * sizeof(unsigned long);
  const int cnt = e.num_cpus < 0 ? 0 : e.num_cpus > kMaxCpusPerNode ? kMaxCpusPerNode : e.num_cpus;
  for (int k = 0; k < cnt; k++)
    if (e.cpus[k] / kBits < sizeof words / sizeof words[0])
      words[e.cpus[k] / kBits] |= 1UL << (e.cpus[k] % kBits);
  format_cpu_list(words, sizeof words / sizeof words[0], out, size);
}

void put_entries(line_out* o, banner_field f) {
  char list[768];
  size_t len = 0;
  list[0] = '\0';
  for (int i = 0; i < ld.b.avail_node_cnt && ld.l_nodes; i++) {
    const l_node& e = ld.l_nodes[i];
    char cpus[260];
    entry_cpus(e, f == BAN_L3_DOMAINS, cpus, sizeof cpus);
    char item[300];
    int n = snprintf(item, sizeof item, "%s%s@%d", i ? " " : "", cpus, (int)e.node_id);
    if (n < 0 || len + (size_t)n + 4 >= sizeof list) {
      memcpy(list + len, " ...", 5);
      break;
    }
    memcpy(list + len, item, (size_t)n + 1);
    len += (size_t)n;
  }
  put_setting(o, f, list);
}

// The unit and the domains of L3 units.
void put_l3_settings(line_out* o) {
  put_setting(o, BAN_UNIT, kUnitNames[UNIT_L3]);
  put_entries(o, BAN_L3_DOMAINS);
}

// The memory placement line: the mode, then each launch node with its
// memory node (a node listed once, however many entries it has).
void put_memory_setting(line_out* o, const ldata_hdr* h) {
  const char* mode = memory_mode_name(h->memory_mode);
  if (mode == nullptr || ld.hdr != h || ld.mem_nodes == nullptr) return;
  char text[kLogBannerSize / 2];
  size_t len = (size_t)snprintf(text, sizeof text, "%s", mode);
  for (int i = 0; i < ld.b.avail_node_cnt && len < sizeof text; i++) {
    const int node = ld.l_nodes[i].node_id;
    bool listed = false;
    for (int k = 0; k < i && !listed; k++) listed = ld.l_nodes[k].node_id == node;
    if (listed) continue;
    len += (size_t)snprintf(text + len, sizeof text - len, " %d:%d", node, (int)ld.mem_nodes[i]);
  }
  put_setting(o, BAN_MEMORY, text, sizeof text);
}

// The job lines of a job's launch: the job, the host, the ranks.
void put_job_settings(line_out* o, const job_text& job) {
  put_setting(o, BAN_JOB, job.name, sizeof job.name);
  struct utsname u;
  put_setting(o, BAN_HOST, uname(&u) == 0 ? u.nodename : "-");
  char ranks[64] = "-";
  if (job.size > 0 && job.local_size > 0)
    snprintf(ranks, sizeof ranks, "%ld, %ld on this host", job.size, job.local_size);
  else if (job.size > 0)
    snprintf(ranks, sizeof ranks, "%ld", job.size);
  put_setting(o, BAN_RANKS, ranks, sizeof ranks);
}

// Fixed lines, each with its line end, then an empty line.
template <size_t N>
void put_lines(line_out* o, const char* const (&lines)[N]) {
  for (const char* line : lines) {
    put_text(o, line);
    put(o, "\n", 1);
  }
  put(o, "\n", 1);
}
}  // namespace

ZYG_HOT_CODE int format_log_line(char* buf, size_t size, const log_line& l) {
  line_out o = {buf, size, 0};
  if (size > 0) buf[0] = '\0';
  for (int c = 0; c < COL_COUNT; c++) {
    if (!log_column_written((log_column)c, l.l3_units)) continue;
    if (c == COL_MESSAGE)
      put_column(&o, COL_MESSAGE, l.text[c], l.message_more[0], l.message_more[1]);
    else
      put_column(&o, (log_column)c, l.text[c]);
  }
  return finish(&o);
}

int format_log_banner(char* buf, size_t size, const ldata_hdr* h, const job_text* job) {
  line_out o = {buf, size, 0};
  if (size > 0) buf[0] = '\0';
  char version[48];
  snprintf(version, sizeof version, "%d.%d.%d", kVersionMajor, kVersionMinor, kVersionPatch);
  put(&o, "\n", 1);
  put_lines(&o, kBannerHead);
  put_setting(&o, BAN_VERSION, version);
  put_setting(&o, BAN_PROC_POLICY, h->proc_policy_name, sizeof h->proc_policy_name);
  put_setting(&o, BAN_THRD_POLICY, h->thrd_policy_name, sizeof h->thrd_policy_name);
  put_setting(&o, BAN_CPU_LAUNCH, h->cpu_launch ? kBannerCpuYes : kBannerCpuNo);
  put_setting(&o, BAN_LAUNCH_NODES, h->launch_nodes, sizeof h->launch_nodes);
  put_setting(&o, BAN_LOG_FILE, h->log_file, sizeof h->log_file);
  put_setting(&o, BAN_ERROR_FILE, h->error_file, sizeof h->error_file);
  put_setting_number(&o, BAN_INITIAL_PID, (int)h->initial_pid);
  put_setting_number(&o, BAN_CONFIG_NODES, (int)h->config_node_cnt);
  put_setting_number(&o, BAN_AVAIL_NODES, (int)h->avail_node_cnt);
  if (h->unit_kind == UNIT_L3) put_l3_settings(&o);
  if (h->memory_mode != 0) put_memory_setting(&o, h);
  if (h->cpu_launch && h->unit_kind != UNIT_L3 && ld.hdr == h) put_entries(&o, BAN_LAUNCH_CPUS);
  if (job != nullptr) put_job_settings(&o, *job);
  put(&o, "\n", 1);
  put_lines(&o, kBannerTail);
  return clamp((int)o.len, size);
}

int format_log_column_header(char* buf, size_t size, bool l3_units) {
  line_out o = {buf, size, 0};
  if (size > 0) buf[0] = '\0';
  for (int c = 0; c < COL_COUNT; c++)
    if (log_column_written((log_column)c, l3_units))
      put_column(&o, (log_column)c, kLogColumns[c].title);
  return finish(&o);
}

}  // namespace zyg
