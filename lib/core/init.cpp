// init.cpp - start-up of the library in each program image.
//
// The first process of a launch reads the ZYG_LAUNCH_* variables, refuses a
// bad configuration before the user's program runs, creates the launch data
// and places itself. A program exec'd inside the tree attaches to the launch
// data named by ZYG_LAUNCH_DATA_FILE and takes every setting from there; a
// problem there only switches placement off for that process, because the
// rest of the tree is already running.
#include "core/init.h"

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <numa.h>
#include <numaif.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/ldata.h"
#include "core/lock.h"
#include "core/names.h"
#include "core/real.h"
#include "core/state.h"
#include "core/sys.h"
#include "core/topology.h"
#include "exec/env.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/debug.h"
#include "report/log.h"
#include "report/report.h"

extern char** environ;

namespace zyg {

namespace {

constexpr int kDefaultMemfree = 50;
constexpr int kCwdSize = 4096;

// The values read from the environment by the first process before the
// launch data exists; copied into its header. About 1.9 KiB: it lives on the
// stack of launch_init, which runs in the main thread of a fresh image.
struct launch_config {
  char lib64[kMaxPath + 1];
  char lib32[kMaxPath + 1];
  char lib32_64[kMaxPath + 1];
  char log_file[kMaxPath + 1];
  char launch_nodes[kMaxPath + 1];
  char proc_policy_name[kMaxPolicyName + 1];
  char thrd_policy_name[kMaxPolicyName + 1];
  char data_file[kMaxDataFilePath + 1];
  int proc_kind;
  int proc_scope;
  int thrd_kind;
  int thrd_scope;
  unsigned cpu_launch;
  unsigned file_mode;
  int memfree_limit;
  unsigned log_enabled;
};

// getcwd buffer for a relative log name; kept off the stack. Only the first
// process's start-up uses it, in one thread.
char cwd_buf[kCwdSize];

struct policy_name {
  const char* name;
  int kind;
  int scope;
  bool process_only;
};

constexpr policy_name kPolicies[] = {
    {"none", KIND_NONE, SCOPE_FLAT, false},
    {"rr_flat", KIND_RR, SCOPE_FLAT, false},
    {"rr_tree", KIND_RR, SCOPE_TREE, false},
    {"ff_flat", KIND_FF, SCOPE_FLAT, false},
    {"ff_tree", KIND_FF, SCOPE_TREE, false},
    {"rr_pack", KIND_RR, SCOPE_RR_PACK, true},
    {"pack", KIND_PACK, SCOPE_FLAT, false},
    {"memfree_flat", KIND_MEMFREE, SCOPE_FLAT, false},
    {"memfree_tree", KIND_MEMFREE, SCOPE_TREE, false},
};

void copy_text(char* dst, size_t size, const char* src) {
  snprintf(dst, size, "%s", src);
}

bool has_value(const char* v) { return v != nullptr && v[0] != '\0'; }

[[noreturn]] void fatal_too_long(const char* what, size_t len) {
  char msg[128];
  snprintf(msg, sizeof msg, "%s length of %ld is too large", what, (long)len);
  report_fatal_text(msg);
}

// Until start-up completes a fatal report ends the process without any
// accounting: it has not been counted in anywhere we could count it out of.
void startup_exit(int status) {
  if (real_resolved[GROUP_EXIT] && real._exit != nullptr) real._exit(status);
  sys_exit_group(status);
}

// Once start-up is complete a fatal report ends the process through the
// library's own _exit, so that it is logged and counted out.
void initialized_exit(int status) { library_exit(status); }

void make_sure_libnuma_is_initialised() {
  if (numa_all_nodes_ptr != nullptr && numa_all_cpus_ptr != nullptr) return;
  // Called from another library's initialiser before libnuma's own has
  // run: opening it again runs that initialiser now.
  ZYG_TRACE("INIT : libnuma.so.1 not initialized, forcing init\n");
  if (dlopen("libnuma.so.1", RTLD_NOW | RTLD_GLOBAL) == nullptr) {
    char msg[512];
    const char* why = dlerror();
    snprintf(msg, sizeof msg, "Can't load libnuma.so.1: %s\n", why != nullptr ? why : "");
    report_fatal_text(msg);
  }
  if (numa_all_nodes_ptr == nullptr || numa_all_cpus_ptr == nullptr) {
    report_fatal_text("libnuma not initialized");
  }
}

void clear_config(launch_config* c) {
  memset(c, 0, sizeof *c);
  c->proc_kind = c->proc_scope = c->thrd_kind = c->thrd_scope = -1;
  c->memfree_limit = kDefaultMemfree;
}

void read_library_paths(launch_config* c) {
  struct {
    const char* name;
    char* dst;
  } libs[] = {{kEnvLib64, c->lib64}, {kEnvLib32, c->lib32}, {kEnvLib32_64, c->lib32_64}};
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

void read_policies(launch_config* c) {
  const char* p = env_lookup(kEnvProcPolicy);
  parse_policy(p, "process", &c->proc_kind, &c->proc_scope);
  copy_text(c->proc_policy_name, sizeof c->proc_policy_name, has_value(p) ? p : "none");

  const char* t = env_lookup(kEnvThrdPolicy);
  parse_policy(t, "thread", &c->thrd_kind, &c->thrd_scope);
  copy_text(c->thrd_policy_name, sizeof c->thrd_policy_name, has_value(t) ? t : "none");
  ZYG_TRACE("INIT : Process Launch Policy is: \"%s\" (%d)\n", c->proc_policy_name, c->proc_kind);
  ZYG_TRACE("INIT : Thread  Launch Policy is: \"%s\" (%d)\n", c->thrd_policy_name, c->thrd_kind);
  ZYG_TRACE("INIT : Process Launch Type is:    (%d)\n", c->proc_scope);
  ZYG_TRACE("INIT : Thread  Launch Type is:    (%d)\n", c->thrd_scope);

  if (c->thrd_kind != KIND_NONE && c->proc_scope == SCOPE_RR_PACK) {
    char msg[128];
    snprintf(msg, sizeof msg,
             "Thread launch policies cnnot be used with the %s process launch policy\n",
             "rr_pack");
    report_fatal_text(msg);
  }
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
  bitmask* m = numa_parse_nodestring(v);
  if (m == nullptr) {
    char msg[kMaxPath + 64];
    snprintf(msg, sizeof msg, "Invalid list of nodes: \"%s\"", v);
    report_fatal_text(msg);
  }
  numa_bitmask_free(m);
  copy_text(c->launch_nodes, sizeof c->launch_nodes, v);
  ZYG_TRACE("INIT : Initial Launch Nodes is:  \"%s\"\n", c->launch_nodes);
}

void read_modes(launch_config* c) {
  c->file_mode = env_lookup(kEnvOtherWrite) != nullptr ? kFileModeOther : kFileMode;
  c->cpu_launch = env_lookup(kEnvCpuPolicy) != nullptr ? 1 : 0;
  ZYG_TRACE("INIT : CPU Launch value is:       (%d)\n", (int)c->cpu_launch);
  ZYG_TRACE("INIT : File Mode value is:        (%d)\n", (int)c->file_mode);
  if (c->cpu_launch == 0) return;
  if (c->proc_scope == SCOPE_RR_PACK) {
    char msg[128];
    snprintf(msg, sizeof msg, "CPU launch cnnot be used with the %s policy\n", "rr_pack");
    report_fatal_text(msg);
  }
  if (c->proc_kind == KIND_NONE && c->thrd_kind == KIND_NONE) {
    report_fatal_text("CPU launch requires that a process or thread launch policy be specified");
  }
}

// From here on the launch data, not the environment, carries the
// configuration; what stays (memfree, debug and error file, data file) is
// what later programs of the tree still need to see.
void remove_config_variables() {
  static constexpr const char* kConsumed[] = {
      kEnvLib64,     kEnvLib32,      kEnvLib32_64, kEnvNodes,      kEnvProcPolicy,
      kEnvThrdPolicy, kEnvLogFile,   kEnvCpuPolicy, kEnvOtherWrite,
  };
  for (const char* name : kConsumed) env_unset(name);
}

// Creates the launch data and fills its header from the configuration.
void create_launch_data(launch_config* c) {
  int n = numa_num_configured_nodes();
  ZYG_TRACE("INIT : allocating ldata\n");
  ldata_create(c->file_mode, n, c->data_file);
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
  h->config_node_cnt = n;
  h->avail_node_cnt = 0;
  h->avail_cpu_cnt = 0;
  h->config_cpu_cnt = 0;
}

// Exec'd process: attaches to the tree's launch data. 0, or -1 with
// launching disabled.
int attach_launch_data(const char* path) {
  if (ldata_attach(path) != 0) {
    disable_launch();
    return -1;
  }
  int n = ld.hdr->config_node_cnt;
  if (ld.hdr->proc_scope == SCOPE_FLAT) {
    ld.proc_flat = table_alloc(n);
    if (ld.proc_flat == nullptr) {
      report_disable("Failed to allocate local proc launch count", errno, 1, sys_getpid());
      disable_launch();
      return -1;
    }
  }
  if (ld.hdr->thrd_scope == SCOPE_FLAT) {
    ld.thrd_flat = table_alloc(n);
    if (ld.thrd_flat == nullptr) {
      report_disable("Failed to allocate local thrd launch count", errno, 1, sys_getpid());
      disable_launch();
      return -1;
    }
  }
  return 0;
}

void clear_counters(bool first) {
  ZYG_TRACE("INIT : initializing proc and thrd counts\n");
  int n = ld.hdr->config_node_cnt;
  if (ld.proc_flat != nullptr) table_clear(ld.proc_flat, n);
  if (ld.thrd_flat != nullptr) table_clear(ld.thrd_flat, n);
  if (first) {
    table_clear(ld.proc_tree, n);
    table_clear(ld.thrd_tree, n);
    table_clear(ld.proc_log, n);
    table_clear(ld.thrd_log, n);
  }
}

void choose_tables() {
  ZYG_TRACE("INIT : initializing global proc and thrd pointers\n");
  uint32_t ps = ld.hdr->proc_scope;
  ld.proc = (ps == SCOPE_TREE || ps == SCOPE_RR_PACK) ? ld.proc_tree : ld.proc_flat;
  ld.thrd = ld.hdr->thrd_scope == SCOPE_TREE ? ld.thrd_tree : ld.thrd_flat;
}

void build_launch_map_first() {
  ZYG_TRACE("INIT : build the launch map\n");
  record_topology_counts();
  build_node_cpu_cache();
  setup_initial_launch_nodes();
  // The launcher's own memory policy must not leak into the command.
  long r = raw_syscall3(SYS_set_mempolicy, MPOL_DEFAULT, 0, 0);
  if (r < 0 && -r != EPERM) report_fatal("Can't set initial memory policy", (int)-r);
  build_l_nodes(kSysNodeDir);
  if (ld.proc != nullptr) ld.proc->next_node_index = 0;
  if (ld.thrd != nullptr) ld.thrd->next_node_index = 0;
  if (ld.hdr->proc_kind != KIND_NONE) {
    launch_choice ch = get_proc_launch();
    if (set_launch(ch.node, ch.cpu) != 0) {
      report_fatal("Fatal error: Launchng of the initial process/thread failed", errno);
    }
#if ZYG_DEBUG
    // The whole launch data once, as the first process placed itself, before
    // the launch log starts.
    if (debug_file_fd() >= 0) dump_ldata(debug_file_fd());
#endif
  }
}

// 0, or -1 when building the masks disabled launching.
int build_launch_map_exec() {
  ZYG_TRACE("INIT : build the launch map\n");
  if (build_node_cpu_cache() != 0) return -1;
  if (ld.hdr->proc_scope == SCOPE_FLAT && ld.hdr->proc_kind != KIND_NONE) {
    // The process already runs where its creator placed it: count that in
    // its own flat counters so its children start after it.
    mark_proc_launch(get_launch_node(), get_launch_cpu());
  }
  if (ld.hdr->thrd_scope == SCOPE_FLAT && ld.hdr->thrd_kind != KIND_NONE && ld.thrd_flat != nullptr) {
    ld.thrd_flat->next_node_index = 0;
  }
  return 0;
}

}  // namespace

const char* env_lookup(const char* name) {
  const char* v = getenv(name);
  if (v != nullptr && v[0] != '\0') return v;
  // Some programs edit environ directly; getenv may then miss an entry that
  // a later exec would still pass on.
  ZYG_TRACE("INIT : %s not in getenv()\n", name);
  if (environ == nullptr) return nullptr;
  size_t len = strlen(name);
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, name, len) == 0 && (*e)[len] == '=') {
      ZYG_TRACE("INIT : found environ[]:  %s\n", *e);
      return *e + len + 1;
    }
  }
  return nullptr;
}

void env_unset(const char* name) {
  unsetenv(name);
  if (environ == nullptr) return;
  size_t len = strlen(name);
  char** out = environ;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, name, len) == 0 && (*e)[len] == '=') continue;
    *out++ = *e;
  }
  *out = nullptr;
}

int policy_from_name(const char* value, bool thread, int* kind, int* scope) {
  if (!has_value(value)) {
    *kind = KIND_NONE;
    *scope = SCOPE_FLAT;
    return 0;
  }
  for (const policy_name& p : kPolicies) {
    if (strcmp(value, p.name) != 0) continue;
    if (thread && p.process_only) return -1;
    *kind = p.kind;
    *scope = p.scope;
    return 0;
  }
  return -1;
}

void parse_policy(const char* value, const char* which, int* kind, int* scope) {
  bool thread = strcmp(which, "thread") == 0;
  if (policy_from_name(value, thread, kind, scope) == 0) return;
  char msg[256];
  snprintf(msg, sizeof msg, "unknown %s launch policy value: \"%s\"", which, value);
  report_fatal_text(msg);
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

void disable_launch() {
  reset_initial_launch_nodes();
  unset_launch_env();
  // From here on no exit path of this process counts it out, and programs it
  // execs run without the library: it leaves the count now, once, so that
  // lib_loaded_cnt still returns to 0 when the tree ends.
  lib_loaded_decrement();
  full_barrier();
  launch_disabled = 1;
}

void launch_init() {
  if (launch_initialized || launch_disabled || rr_pack_child) return;
  // Decided before the debug trace opens its file: the first process
  // truncates it, every later image appends.
  const char* data_file = env_lookup(kEnvDataFile);
  bool first = !has_value(data_file);
  is_initial_process = first ? 1 : 0;
#if ZYG_DEBUG
  debug_init();
#endif
  // A fatal report from here on must not depend on the termination code.
  report_set_exit_hook(startup_exit);

  if (first) {
    ZYG_TRACE("INIT : We are the initial process: %d\n", sys_getpid());
  } else {
    ZYG_TRACE("INIT : We are an exec'd process: %d\n", sys_getpid());
  }

  error_file_init();

  ZYG_TRACE("INIT : initializing numa pointers\n");
  make_sure_libnuma_is_initialised();
  ZYG_TRACE("INIT : initializing function pointers\n");
  resolve_all();

  ZYG_TRACE("INIT : obtaining all passed variables\n");
  launch_config cfg;
  clear_config(&cfg);

  if (!first) {
    size_t len = strlen(data_file);
    if (len > (size_t)kMaxDataFilePath) {
      char msg[128];
      snprintf(msg, sizeof msg, "%s length of %ld is too large", "Data file path", (long)len);
      report_disable(msg, 0, 7, sys_getpid());
      disable_launch();
      return;
    }
    copy_text(cfg.data_file, sizeof cfg.data_file, data_file);
    ZYG_TRACE("INIT : Data File is:             \"%s\"\n", cfg.data_file);
    if (attach_launch_data(cfg.data_file) != 0) return;
  } else {
    read_library_paths(&cfg);
    read_log_file(&cfg);
    read_policies(&cfg);
    read_memfree(&cfg);
    read_launch_nodes(&cfg);
    read_modes(&cfg);
    remove_config_variables();
    if (numa_available() < 0) report_fatal_text("NUMA is not supported on this system");
    create_launch_data(&cfg);
  }

  clear_counters(first);
  choose_tables();

  if (first) {
    build_launch_map_first();
  } else if (build_launch_map_exec() != 0) {
    return;
  }

  lib_loaded_rearm();

  if (ld.hdr->log_enabled == 1) {
    ZYG_TRACE("INIT : initializing the log file if specified\n");
    log_open(first);
    log_record(first ? "initial exec start" : "child exec start");
  }

  if (clone_arg_init(1) != 0) return;

  full_barrier();
  launch_initialized = 1;
  report_set_exit_hook(initialized_exit);
  ZYG_TRACE("INIT : launch_init complete for pid %d\n", sys_getpid());
}

}  // namespace zyg
