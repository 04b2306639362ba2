// init.cpp - start-up of the library in each program image.
//
// The first process of a launch reads the ZYG_LAUNCH_* variables, refuses a
// bad configuration before the user's program runs, creates the launch data
// and places itself. A program exec'd inside the tree attaches to the launch
// data named by ZYG_LAUNCH_DATA_FILE and takes every setting from there; a
// problem there only switches placement off for that process, because the
// rest of the tree is already running.
#include "start/init.h"

#include <dlfcn.h>
#include <errno.h>
#include <numa.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/env.h"
#include "base/os.h"
#include "base/scratch.h"
#include "base/sys.h"
#include "base/terminate.h"
#include "base/trace.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/real.h"
#include "core/topology.h"
#include "core/state.h"
#include "exec/env.h"
#include "placement/bind.h"
#include "placement/clone_arg.h"
#include "placement/policy.h"
#include "placement/termination.h"
#include "report/error_file.h"
#include "report/log.h"
#include "report/report.h"
#include "report/where.h"
#include "start/config.h"
#include "start/datafile.h"
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

void build_launch_map_first() {
  ZYG_TRACE("INIT : build the launch map\n");
  record_topology_counts();
  build_node_cpu_cache();
  setup_initial_launch_nodes();
  // The launcher's own memory policy must not leak into the command.
  int err = os_mempolicy_default();
  if (err != 0 && err != EPERM) report_fatal("Can't set initial memory policy", err);
  build_l_nodes(kSysNodeDir);
  if (ld.proc != nullptr) ld.proc->next_node_index = 0;
  if (ld.thrd != nullptr) ld.thrd->next_node_index = 0;
  if (ld.hdr->proc_kind != KIND_NONE) {
    launch_choice ch = get_proc_launch();
    int err = set_launch(ch.node, ch.cpu);
    if (err != 0) report_fatal("Fatal error: Launchng of the initial process/thread failed", err);
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

void install_start_hooks() { set_launch_hooks(disable_launch_now, report_fatal_text); }

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

void launch_init() {
  if (launch_initialized || launch_disabled || rr_pack_child) return;
  // Decided before the debug trace opens its file: the first process
  // truncates it, every later image appends.
  const char* data_file = env_lookup(kEnvDataFile);
  bool first = !has_value(data_file);
  is_initial_process = first ? 1 : 0;
  install_start_hooks();
#if ZYG_DEBUG
  debug_init(env_lookup(kEnvDebugFile), first);
#endif
  // A fatal report from here on must not depend on the termination code.
  set_exit_hook(startup_exit);

  if (first) {
    ZYG_TRACE("INIT : We are the initial process: %d\n", sys_getpid());
  } else {
    ZYG_TRACE("INIT : We are an exec'd process: %d\n", sys_getpid());
  }

  error_file_init();

  ZYG_TRACE("INIT : initializing numa pointers\n");
  make_sure_libnuma_is_initialised();
  resolve_all();

  ZYG_TRACE("INIT : obtaining all passed variables\n");
  launch_config cfg;
  clear_config(&cfg);

  if (!first) {
    size_t len = strlen(data_file);
    if (len > (size_t)kMaxDataFilePath) {
      char msg[128];
      snprintf(msg, sizeof msg, "%s length of %ld is too large", "Data file path", (long)len);
      report_disable(msg, 0, RC_PATH, sys_getpid());
      disable_launch();
      return;
    }
    copy_text(cfg.data_file, sizeof cfg.data_file, data_file);
    ZYG_TRACE("INIT : Data File is:             \"%s\"\n", cfg.data_file);
    if (attach_launch_data(cfg.data_file) != 0) return;
  } else {
    read_config(&cfg);
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
  set_exit_hook(initialized_exit);
  ZYG_TRACE("INIT : launch_init complete for pid %d\n", sys_getpid());
}

}  // namespace zyg
