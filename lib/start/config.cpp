// config.cpp - reading and checking the launch variables of the first
// process.
#include "start/config.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/env.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/trace.h"
#include "report/report.h"
#include "shared/l3_cache.h"
#include "shared/memory_tiers.h"
#include "start/numa_lib.h"

namespace zyg {

namespace {

constexpr int kDefaultMemfree = 50;
constexpr int kCwdSize = 4096;

// getcwd buffer for a relative log name; kept off the stack. Only the first
// process's start-up uses it, in one thread. After the small variables
// (ZYG_COLD_DATA, base/mask.h).
ZYG_COLD_DATA char cwd_buf[kCwdSize];

[[noreturn]] void fatal_too_long(const char* what, size_t len) {
  char msg[128];
  snprintf(msg, sizeof msg, "%s length of %ld is too large", what, (long)len);
  report_fatal_text(msg);
}

}  // namespace

// A plain copy: every exec'd program copies its data file name at start-up,
// and the formatting code of snprintf would cost it page faults of its own.
ZYG_HOT_CODE void copy_text(char* dst, size_t size, const char* src) {
  if (size == 0) return;
  size_t i = 0;
  for (; i + 1 < size && src[i] != '\0'; i++) dst[i] = src[i];
  dst[i] = '\0';
}

ZYG_HOT_CODE bool has_value(const char* v) { return v != nullptr && v[0] != '\0'; }

void clear_config(launch_config* c) {
  memset(c, 0, sizeof *c);
  c->proc_kind = c->proc_scope = c->thrd_kind = c->thrd_scope = -1;
  c->memfree_limit = kDefaultMemfree;
}

namespace {

void read_library_paths(launch_config* c) {
  struct {
    const char* name;
    char* dst;
  } libs[] = {{kEnvLib64, c->lib64}, {kEnvLib32, c->lib32}, {kEnvLib32And64, c->lib32_64}};
  for (auto& lib : libs) {
    const char* v = env_lookup(lib.name);
    if (!has_value(v)) continue;
    size_t len = strlen(v);
    if (len > (size_t)kMaxPath) fatal_too_long("path", len);
    copy_text(lib.dst, kMaxPath + 1, v);
  }
  ZYG_TRACE("INIT : 64-bit Library is:        \"%s\"\n", c->lib64);
  ZYG_TRACE("INIT : 32-bit Library is:        \"%s\"\n", c->lib32);
  ZYG_TRACE("INIT : 32/64-bit Library is:     \"%s\"\n", c->lib32_64);
}

// The log name is made absolute here so that every process of the tree,
// whatever its current directory, appends to the same file.
void read_log_file(launch_config* c) {
  const char* v = env_lookup(kEnvLogFile);
  if (!has_value(v)) return;
  size_t len = strlen(v);
  if (len > (size_t)kMaxPath) fatal_too_long("Log file", len);
  while (isspace((unsigned char)*v)) ++v;
  if (*v == '/') {
    copy_text(c->log_file, sizeof c->log_file, v);
  } else {
    if (getcwd(cwd_buf, sizeof cwd_buf) == nullptr) report_fatal_text("getcwd() error");
    if (strlen(cwd_buf) + strlen(v) + 1 > (size_t)kMaxPath) {
      char msg[128];
      snprintf(msg, sizeof msg, "Log file length > %d is too large", kMaxPath);
      report_fatal_text(msg);
    }
    size_t dir_len = strlen(cwd_buf);
    memcpy(c->log_file, cwd_buf, dir_len);
    c->log_file[dir_len] = '/';
    memcpy(c->log_file + dir_len + 1, v, strlen(v) + 1);
  }
  c->log_enabled = 1;
  ZYG_TRACE("INIT : Log file is:              \"%s\"\n", c->log_file);
}

// The policy of a launch variable's value; an unknown name is a terminating
// report.
const policy_info* parse_policy(const char* value, const char* which) {
  if (const policy_info* p = policy_named(value, strcmp(which, "thread") == 0)) return p;
  char msg[256];
  snprintf(msg, sizeof msg, "unknown %s launch policy value: \"%s\"", which, value);
  report_fatal_text(msg);
}

// A broken rule of combination is a terminating report in start-up's words.
[[noreturn]] void fatal_rule(const policy_rule* rule, const policy_info* proc) {
  char msg[192];
  snprintf(msg, sizeof msg, rule->startup, proc->name);
  report_fatal_text(msg);
}

void read_policies(launch_config* c) {
  const char* p = env_lookup(kEnvProcPolicy);
  c->proc_policy = parse_policy(p, "process");
  c->proc_kind = c->proc_policy->kind;
  c->proc_scope = c->proc_policy->scope;
  copy_text(c->proc_policy_name, sizeof c->proc_policy_name, has_value(p) ? p : "none");

  const char* t = env_lookup(kEnvThrdPolicy);
  c->thrd_policy = parse_policy(t, "thread");
  c->thrd_kind = c->thrd_policy->kind;
  c->thrd_scope = c->thrd_policy->scope;
  copy_text(c->thrd_policy_name, sizeof c->thrd_policy_name, has_value(t) ? t : "none");
  ZYG_TRACE("INIT : Process Launch Policy is: \"%s\" (%d)\n", c->proc_policy_name, c->proc_kind);
  ZYG_TRACE("INIT : Thread  Launch Policy is: \"%s\" (%d)\n", c->thrd_policy_name, c->thrd_kind);
  ZYG_TRACE("INIT : Process Launch Type is:    (%d)\n", c->proc_scope);
  ZYG_TRACE("INIT : Thread  Launch Type is:    (%d)\n", c->thrd_scope);

  if (const policy_rule* r = pair_refused(*c->proc_policy, *c->thrd_policy))
    fatal_rule(r, c->proc_policy);
}

void read_memfree(launch_config* c) {
  const char* v = env_lookup(kEnvMemfree);
  if (!has_value(v)) return;
  if (memfree_from_text(v, &c->memfree_limit) != 0) {
    char msg[128];
    snprintf(msg, sizeof msg, "Invalid memfree value: \"%s\"", v);
    report_fatal_text(msg);
  }
}

void read_launch_nodes(launch_config* c) {
  const char* v = env_lookup(kEnvNodes);
  if (!has_value(v)) return;
  size_t len = strlen(v);
  if (len > (size_t)kMaxPath) fatal_too_long("Initial launch nodes", len);
  bitmask* m = numa_lib().parse_nodestring(v);
  if (m == nullptr) {
    char msg[kMaxPath + 64];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", v);
    report_fatal_text(msg);
  }
  numa_lib().bitmask_free(m);
  copy_text(c->launch_nodes, sizeof c->launch_nodes, v);
  ZYG_TRACE("INIT : Initial Launch Nodes is:  \"%s\"\n", c->launch_nodes);
}

void read_modes(launch_config* c) {
  c->file_mode = env_lookup(kEnvOtherWrite) != nullptr ? kFileModeOther : kFileMode;
  c->cpu_launch = env_lookup(kEnvCpuPolicy) != nullptr ? 1 : 0;
  ZYG_TRACE("INIT : CPU Launch value is:       (%d)\n", (int)c->cpu_launch);
  ZYG_TRACE("INIT : File Mode value is:        (%d)\n", (int)c->file_mode);
  if (c->cpu_launch == 0) return;
  if (const policy_rule* r = cpu_launch_refused(*c->proc_policy, *c->thrd_policy))
    fatal_rule(r, c->proc_policy);
}

// The placement unit; unset is node units, as before the option existed.
void read_unit(launch_config* c) {
  const char* v = env_lookup(kEnvUnit);
  if (!has_value(v)) return;
  int kind = unit_kind_of(v);
  if (kind < 0) {
    char msg[128];
    snprintf(msg, sizeof msg, "Invalid unit: \"%.64s\" (node or l3)", v);
    report_fatal_text(msg);
  }
  c->unit_kind = (unsigned)kind;
  ZYG_TRACE("INIT : Placement unit is:        \"%s\"\n", v);
}

// The memory mode; an unknown name, or a mode no task would take for want
// of a policy, is a terminating report (the launcher refuses both first,
// this catches a variable set by hand).
void read_memory_mode(launch_config* c) {
  const char* v = env_lookup(kEnvMemory);
  if (!has_value(v)) return;
  const int mode = memory_mode_named(v);
  if (mode < 0) {
    char msg[128];
    snprintf(msg, sizeof msg, "unknown memory mode value: \"%.64s\"", v);
    report_fatal_text(msg);
  }
  c->memory_mode = (uint32_t)mode;
  ZYG_TRACE("INIT : Memory Mode is:             \"%s\" (%d)\n", v, mode);
  if (mode == MEMORY_LOCAL) return;
  if (const policy_rule* r = memory_mode_refused(*c->proc_policy, *c->thrd_policy))
    fatal_rule(r, c->proc_policy);
}

}  // namespace

// From here on the launch data, not the environment, carries the
// configuration; what stays (memfree, debug and error file, data file) is
// what later programs of the tree still need to see.
void remove_config_variables() {
  static constexpr const char* kConsumed[] = {
      kEnvLib64,   kEnvLib32,     kEnvLib32And64, kEnvNodes, kEnvProcPolicy, kEnvThrdPolicy,
      kEnvLogFile, kEnvCpuPolicy, kEnvOtherWrite, kEnvUnit,  kEnvMemory,     kEnvJob,
  };
  for (const char* name : kConsumed) env_unset(name);
}

void read_config(launch_config* c) {
  read_library_paths(c);
  read_log_file(c);
  read_policies(c);
  read_memfree(c);
  read_launch_nodes(c);
  read_modes(c);
  read_unit(c);
  read_memory_mode(c);
}

int policy_from_name(const char* value, bool thread, int* kind, int* scope) {
  const policy_info* p = policy_named(value, thread);
  if (p == nullptr) return -1;
  *kind = p->kind;
  *scope = p->scope;
  return 0;
}

int memfree_from_text(const char* value, int* limit) {
  if (value == nullptr) return -1;
  const char* p = value;
  while (isspace((unsigned char)*p)) ++p;
  if (!isdigit((unsigned char)*p)) return -1;
  errno = 0;
  long v = strtol(p, nullptr, 10);
  // Compared at full width: a number that only wraps into 0..100 as a
  // 32-bit value (4294967296 and the like) is not a valid percentage.
  if (errno == ERANGE || v < 0 || v > 100) return -1;
  *limit = (int)(uint32_t)v;
  return 0;
}

}  // namespace zyg
