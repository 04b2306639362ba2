// init.cpp - start-up of the library in each program image.
//
// The first process of a launch reads the ZYG_LAUNCH_* variables, refuses a
// bad configuration before the user's program runs, creates the launch data
// and places itself. A program exec'd inside the tree attaches to the launch
// data named by ZYG_LAUNCH_DATA_FILE and takes every setting from there; a
// problem there only switches placement off for that process, because the
// rest of the tree is already running.
//
// The launcher names the data file before the command runs. So a program
// whose environment is the launcher's own (Go's runtime passes the one it
// captured at start to its children; a static first command passes it on
// unread) still finds the launch: it attaches when the file exists, and
// creates it when no program of the launch could (the command itself is
// static). Two such programs starting at once: one creates, the other
// attaches.
//
// Membership: every image that attaches counts itself in, once; every exec
// counts its image out first, whatever path made the process. An image that
// nobody placed (ZYG_LAUNCH_PLACED_BY names neither it nor its parent: a raw
// clone's child, a static program's child) places itself by the process
// policy.
#include "start/init.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/env.h"
#include "base/layout.h"
#include "base/os.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/terminate.h"
#include "base/text.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/real.h"
#include "core/state.h"
#include "core/topology.h"
#include "exec/env.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/create.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/error_file.h"
#include "report/log.h"
#include "report/report.h"
#include "report/where.h"
#include "shared/data_path.h"
#include "shared/names.h"
#include "start/config.h"
#include "start/datafile.h"
#include "start/l3_units.h"
#include "start/memory_setup.h"
#include "start/numa_lib.h"
#include "start/program_kind.h"
#include "start/topology_setup.h"

namespace zyg {

namespace {

// Until start-up completes a fatal report ends the process without any
// accounting: it has not been counted in anywhere we could count it out of.
void startup_exit(int status) {
  if (real_resolved[GROUP_EXIT] && real._exit != nullptr) real._exit(status);
  sys_exit_group(status);
}

// Once start-up is complete a fatal report ends the process through the
// library's own _exit, so that it is logged and counted out.
void initialized_exit(int status) { library_exit(status); }

void build_launch_map_first(l3_units* domains) {
  ZYG_TRACE("INIT : build the launch map\n");
  record_topology_counts();
  build_node_cpu_cache();
  setup_initial_launch_nodes();
  // The launcher's own memory policy must not leak into the command.
  int err = -os_mempolicy_default();
  if (err != 0 && err != EPERM) report_fatal("Can't set initial memory policy", err);
  build_l_nodes(kSysNodeDir, domains);
  record_mem_nodes(kSysNodeDir);
  if (ld.proc != nullptr) ld.proc->next_node_index = 0;
  if (ld.thrd != nullptr) ld.thrd->next_node_index = 0;
  if (ld.hdr->proc_kind != KIND_NONE) {
    launch_choice ch = get_proc_launch();
    int err = set_launch_known(ch.unit, ch.cpu, inherited_state{POLICY_UNKNOWN, 0}, true);
    if (err != 0) report_fatal("Fatal error: Launchng of the initial process/thread failed", err);
#if ZYG_DEBUG
    // The whole launch data once, as the first process placed itself, before
    // the launch log starts.
    if (debug_file_fd() >= 0) dump_ldata(debug_file_fd());
#endif
  }
}

// A placed-by pid from the environment, or -1.
int placed_by_pid() {
  const char* v = env_lookup(kEnvPlacedBy);
  if (v == nullptr) return -1;
  long pid = 0;
  for (; *v >= '0' && *v <= '9' && pid < 0x3fffffff; ++v) pid = pid * 10 + (*v - '0');
  return (*v == '\0' && pid > 0) ? (int)pid : -1;
}

// An attached image that no interposer of ours placed: it takes its place by
// the process policy, as a fork child of the tree would have been given. Its
// creator's private counters are out of reach, so under a flat policy it
// stays where it was made; under rr_pack only a child of the first process
// is placed, and every such process then stays as an rr_pack child does.
void place_newcomer() {
  ldata_hdr* h = ld.hdr;
  if (h->proc_kind == KIND_NONE || h->proc_scope == SCOPE_FLAT) return;
  bool pack = h->proc_scope == SCOPE_RR_PACK;
  if (!pack || sys_getppid() == h->initial_pid) {
    launch_choice ch = get_proc_launch();
    ZYG_TRACE("INIT : not placed by its creator: node %d, cpu %d\n", ch.unit, ch.cpu);
    if (ch.unit != -1 &&
        set_launch_known(ch.unit, ch.cpu, inherited_state{POLICY_UNKNOWN, 0}, true) != 0)
      return;
  }
  if (pack) become_rr_pack_child();
}

// 0, or -1 when building the masks disabled launching.
int build_launch_map_exec() {
  ZYG_TRACE("INIT : build the launch map\n");
  if (build_node_cpu_cache() != 0) return -1;
  if (ld.hdr->proc_scope == SCOPE_FLAT && ld.hdr->proc_kind != KIND_NONE) {
    // The process already runs where its creator placed it: count that in
    // its own flat counters so its children start after it.
    mark_proc_launch(get_launch_unit(), get_launch_cpu());
  }
  if (ld.hdr->thrd_scope == SCOPE_FLAT && ld.hdr->thrd_kind != KIND_NONE &&
      ld.thrd_flat != nullptr) {
    ld.thrd_flat->next_node_index = 0;
  }
  return 0;
}

}  // namespace

ZYG_HOT_CODE void install_start_hooks() { set_launch_hooks(disable_launch_now, report_fatal_text); }

void disable_launch_now() {
  reset_initial_launch_nodes();
  if (vfork_depth() > 0) {
    // A vfork child: the flags and the environment it would change are its
    // parent's too. It counts itself out and turns launching off on its own
    // storage only; a program it execs gets an environment built without
    // the library (exec_outside_launch).
    lib_loaded_decrement();
    vfork_child_turn_off();
    return;
  }
  unset_launch_env();
  // From here on no exit path of this process counts it out, and programs it
  // execs run without the library: it leaves the count now, once, so that
  // lib_loaded_cnt still returns to 0 when the tree ends.
  lib_loaded_decrement();
  full_barrier();
  launch_disabled = 1;
}

namespace {

// What the environment says this image is.
struct start_role {
  bool first;         // may create the launch
  bool own_launch;    // the launcher's own command (or a library started by hand)
  bool launcher_env;  // the launcher's variables reached this image
  int placed_by;      // ZYG_LAUNCH_PLACED_BY, or -1
  const char* data_file;
  char given[kMaxDataFilePath + 1];  // the launcher's name for the data file, or ""
};

// May create the launch: the command the launcher started (or, with no name
// given, a library started by hand), or a program with the launcher's
// environment that finds no launch data yet.
void read_start_role(int pid, start_role* r) {
  r->data_file = env_lookup(kEnvDataFile);
  r->given[0] = '\0';
  const bool named = has_value(r->data_file) && data_file_pid(r->data_file) > 0 &&
                     text_ends_within(r->data_file, (size_t)kMaxDataFilePath + 1);
  if (named) copy_text(r->given, sizeof r->given, r->data_file);
  r->launcher_env = named && env_lookup(kEnvLib64) != nullptr;
  r->placed_by = placed_by_pid();
  r->own_launch = !has_value(r->data_file) ||
                  (r->launcher_env && data_file_pid(r->given) == pid && r->placed_by != pid);
  r->first = r->own_launch || (r->launcher_env && access(r->given, F_OK) != 0);
}

// The first process's launch data. False when another program of the launch
// created it first: this image attaches instead. The configuration (some
// kilobytes) lives in this frame alone: an exec'd image's start-up never
// needs it, and its stack stays a page shorter.
__attribute__((noinline)) bool create_launch(const start_role& r, l3_units* domains) {
  launch_config config;
  launch_config* cfg = &config;
  clear_config(cfg);
  read_config(cfg);
  remove_config_variables();
  if (numa_lib().available() < 0) report_fatal_text("NUMA is not supported on this system");
  if (create_launch_data(cfg, r.given[0] != '\0' ? r.given : nullptr, domains) != 0) {
    ZYG_TRACE("INIT : %s exists: attaching\n", r.given);
    return false;
  }
  // The launcher's own command: nothing of the launch runs yet that could
  // attach before it is whole.
  if (r.own_launch) ldata_mark_ready();
  return true;
}

// 0, or -1 with launching disabled.
int attach_launch(start_role* r, int pid) {
  if (r->launcher_env) {
    // The launcher's settings are the launch's; they must not make a program
    // this one starts look like the start of another launch.
    remove_config_variables();
  }
  if (!has_value(r->given)) {
    size_t len = strlen(r->data_file);
    if (len > (size_t)kMaxDataFilePath) {
      char msg[128];
      snprintf(msg, sizeof msg, "%s length of %ld is too large", "Data file path", (long)len);
      report_disable(msg, 0, RC_PATH, pid);
      disable_launch();
      return -1;
    }
    copy_text(r->given, sizeof r->given, r->data_file);
  }
  ZYG_TRACE("INIT : Data File is:             \"%s\"\n", r->given);
  return attach_launch_data(r->given);
}

// This image's place and count. A program whose end we cannot see is placed
// like any other but stays out of the count: it could never leave it.
// 0, or -1 with launching disabled.
int take_place(bool first, int pid, int placed_by, l3_units* domains) {
  const bool counted = !program_ends_unseen();
  if (first) {
    build_launch_map_first(domains);
    lib_loaded_rearm(pid);
    if (!counted) lib_loaded_decrement(pid);
    return 0;
  }
  if (build_launch_map_exec() != 0) return -1;
  // The count moved out with the image this one replaced, or this process
  // was never counted (made by a path the library did not see).
  if (counted) lib_loaded_increment(pid);
  if (placed_by != pid && placed_by != sys_getppid()) place_newcomer();
  return 0;
}

}  // namespace

ZYG_HOT_CODE void launch_init() {
  if (launch_initialized || launch_disabled || rr_pack_child) return;
  const int pid = sys_getpid();
  // This image holds no count until it creates the launch or counts itself
  // in: a failure before then that disables launching must not count out.
  mark_counted_out(pid);
  // Decided before the debug trace opens its file: the launcher's command
  // truncates it, every later image appends.
  start_role role;
  read_start_role(pid, &role);
  bool first = role.first;
  is_initial_process = first ? 1 : 0;
  install_start_hooks();
#if ZYG_DEBUG
  debug_init(env_lookup(kEnvDebugFile), role.own_launch);
#endif
  // A fatal report from here on must not depend on the termination code.
  set_exit_hook(startup_exit);

  if (first) {
    ZYG_TRACE("INIT : We are the initial process: %d\n", pid);
  } else {
    ZYG_TRACE("INIT : We are an exec'd process: %d\n", pid);
  }

  error_file_init();

  // Only the first process needs libnuma: an exec'd one takes the topology
  // from the launch data and never loads it.
  if (first) {
    ZYG_TRACE("INIT : initializing numa pointers\n");
    numa_lib();
  }
  resolve_all();

  ZYG_TRACE("INIT : obtaining all passed variables\n");

  // Under L3 units the domains found before the data file exists, until
  // they fill l_nodes.
  l3_units domains = {};
  if (first && !create_launch(role, &domains)) {
    first = false;
    is_initial_process = 0;
  }
  if (!first && attach_launch(&role, pid) != 0) return;

  clear_counters(first);
  choose_tables();
  if (take_place(first, pid, role.placed_by, &domains) != 0) return;

  if (ld.hdr->log_enabled == 1) {
    ZYG_TRACE("INIT : initializing the log file if specified\n");
    log_open(first);
    log_record(first ? REC_INITIAL_EXEC_START : REC_CHILD_EXEC_START);
  }
  // A program started by a static command: its siblings attach once the
  // launch log exists too.
  if (first) ldata_mark_ready();

  if (clone_arg_init(CLONE_ARG_START_UP) != 0) return;

  full_barrier();
  launch_initialized = 1;
  set_exit_hook(initialized_exit);
  ZYG_TRACE("INIT : launch_init complete for pid %d\n", pid);
}

}  // namespace zyg
