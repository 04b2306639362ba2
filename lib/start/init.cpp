// init.cpp - start-up of the library in each program image.
//
// The first program of a launch reads the ZYG_LAUNCH_* variables, refuses a
// bad configuration before the user's program runs, fills the launch data
// and places itself. Every other program of the tree attaches to the launch
// data named by ZYG_LAUNCH_DATA_FILE and takes every setting from there; a
// problem there only switches placement off for that process, because the
// rest of the tree is already running.
//
// Whoever starts the launch (the launcher, or this library preloaded by hand)
// makes the data file, empty, before the command runs; the first program of
// the launch that loads the library claims and fills it (the command itself,
// or the first dynamic program below a static command). What makes a file
// this launch's, how the count moves and who is placed already are the rules
// of core/membership.h.
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
#include "shared/job_text.h"
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

// The data file of a launch this image starts (the launcher's command, or a
// library preloaded by hand): no other program of the launch can exist yet.
char starting_launch_file[kMaxDataFilePath + 1];

// Until start-up completes a fatal report ends the process without any
// accounting: it has not been counted in anywhere we could count it out of.
// A launch that ends before its command ran leaves no data file behind.
void startup_exit(int status) {
  if (starting_launch_file[0] != '\0') unlink(starting_launch_file);
  if (real_resolved[GROUP_EXIT] && real._exit != nullptr) real._exit(status);
  sys_exit_group(status);
}

// Once start-up is complete a fatal report ends the process through the
// library's own _exit, so that it is logged and counted out.
void initialized_exit(int status) { library_exit(status); }

void build_launch_map_first(l3_units* domains, bool job_launch) {
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
  if (ld.hdr->proc_kind != KIND_NONE && sys_getpid() == ld.hdr->initial_pid && !job_launch) {
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
  bool by_hand;                      // no launch named: this image starts one
  bool in_job;                       // the launch of a job's ranks on a host (--job)
  bool job_rank;                     // this image is the command of the job's rank
  job_text job;                      // ZYG_LAUNCH_JOB, when in_job
  bool own_launch;                   // the launcher's own command (or a library started by hand)
  bool launcher_env;                 // the launcher's variables reached this image
  const char* mark;                  // ZYG_LAUNCH_PLACED_BY, or null
  char given[kMaxDataFilePath + 1];  // the data file's name, or ""
};

// The launcher's command is the process whose pid names the file, as long
// as no exec of its own made this image.
ZYG_HOT_CODE void read_start_role(int pid, start_role* r) {
  const char* data_file = env_lookup(kEnvDataFile);
  r->given[0] = '\0';
  r->by_hand = !has_value(data_file);
  if (!r->by_hand && text_ends_within(data_file, (size_t)kMaxDataFilePath + 1))
    copy_text(r->given, sizeof r->given, data_file);
  r->launcher_env = r->given[0] != '\0' && env_lookup(kEnvLib64) != nullptr;
  r->mark = env_lookup(kEnvPlacedBy);
  r->own_launch = r->by_hand || (r->launcher_env && data_file_pid(r->given) == pid &&
                                 !member_marked_placed(r->mark, pid, 0));
  if (r->own_launch) copy_text(starting_launch_file, sizeof starting_launch_file, r->given);
  r->in_job = r->launcher_env && parse_job_text(env_lookup(kEnvJob), &r->job);
  r->job_rank = r->in_job && r->job.pid == pid && !member_marked_placed(r->mark, pid, 0);
}

// The configuration is read into the header of the claimed file. It (some
// kilobytes) lives in this frame alone: an exec'd image's start-up never
// needs it, and its stack stays a page shorter.
__attribute__((noinline)) void fill_launch(const start_role& r, l3_units* domains) {
  launch_config config;
  launch_config* cfg = &config;
  clear_config(cfg);
  read_config(cfg);
  remove_config_variables();
  if (numa_lib().available() < 0) report_fatal_text("NUMA is not supported on this system");
  copy_text(cfg->data_file, sizeof cfg->data_file, r.given);
  create_launch_data(cfg, domains);
  // The launcher's own command: nothing of the launch runs yet that could
  // attach before it is whole (the end of start-up seals it again).
  if (r.own_launch) ldata_mark_ready();
}

// Opens the launch's data file: 1 claimed (this image fills it), 0 attached,
// -1 with launching disabled.
ZYG_HOT_CODE int open_launch(start_role* r, int pid) {
  if (r->by_hand) {
    // Made before any configuration is read: the mode is all it needs.
    const unsigned mode = env_lookup(kEnvOtherWrite) != nullptr ? kFileModeOther : kFileMode;
    start_launch_by_hand(mode, pid, r->given);
    copy_text(starting_launch_file, sizeof starting_launch_file, r->given);
  }
  if (r->given[0] == '\0') {
    const char* named = env_lookup(kEnvDataFile);
    char msg[128];
    snprintf(msg, sizeof msg, "%s length of %ld is too large", "Data file path",
             (long)strlen(named));
    report_disable(msg, 0, RC_PATH, pid);
    disable_launch();
    return -1;
  }
  ZYG_TRACE("INIT : Data File is:             \"%s\"\n", r->given);
  int opened = attach_launch_data(r->given, pid, true);
  if (opened == 0 && r->launcher_env) {
    // The launcher's settings are the launch's; they must not make a program
    // this one starts look like the start of another launch.
    remove_config_variables();
  }
  return opened;
}

// The command of a job's rank takes its place by the process policy among
// all the ranks of the host: from the shared counters, whatever the scope
// (a flat policy's own counters then start after it).
void place_rank() {
  if (ld.hdr->proc_kind == KIND_NONE) return;
  node_table* own = ld.proc;
  ld.proc = ld.proc_tree;
  launch_choice ch = get_proc_launch();
  ld.proc = own;
  ZYG_TRACE("INIT : job rank: node %d, cpu %d\n", ch.unit, ch.cpu);
  if (ch.unit == -1) return;
  if (set_launch_known(ch.unit, ch.cpu, inherited_state{POLICY_UNKNOWN, 0}, true) != 0) return;
  reset_proc_flat(ch.unit, ch.cpu);
}

// "Job rank 3 of 8 (local 1)": which of the job's ranks this process is.
void log_job_rank(const job_text& job) {
  char text[96];
  text_out o = text_start(text, sizeof text);
  text_put(&o, kRecJobRank);
  text_put_int(&o, job.rank);
  if (job.size > 0) {
    text_put(&o, " of ");
    text_put_int(&o, job.size);
  }
  if (job.local_rank >= 0) {
    text_put(&o, " (local ");
    text_put_int(&o, job.local_rank);
    text_put_char(&o, ')');
  }
  log_record(text);
}

// This image's place and count. A program whose end we cannot see is placed
// like any other but stays out of the count: it could never leave it.
// 0, or -1 with launching disabled.
ZYG_HOT_CODE int take_place(bool first, int pid, const start_role& r, l3_units* domains) {
  const char* mark = r.mark;
  const bool counted = !program_ends_unseen();
  if (first) {
    build_launch_map_first(domains, r.in_job);
    lib_loaded_rearm(pid);
    if (!counted) lib_loaded_decrement(pid);
  } else {
    if (build_launch_map_exec() != 0) return -1;
    // The count moved out with the image this one replaced, or this process
    // was never counted (made by a path the library did not see).
    if (counted) lib_loaded_increment(pid);
  }
  // The launched command took its place in build_launch_map_first (a job's
  // ranks take theirs among all ranks); every other program takes one unless
  // the mark says its process has one.
  if (r.job_rank) {
    place_rank();
  } else if (pid != ld.hdr->initial_pid || !first) {
    if (!member_marked_placed(mark, pid)) place_newcomer();
  }
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
  bool first = role.own_launch;
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
  const int opened = open_launch(&role, pid);
  if (opened < 0) return;
  first = opened == 1;
  // The first dynamic program below a static command: the launch starts
  // here, with a fresh error file.
  if (first && !is_initial_process) error_file_start_fresh();
  is_initial_process = first ? 1 : 0;
  // Under L3 units the domains found before the data file is sized, until
  // they fill l_nodes.
  l3_units domains = {};
  if (first) fill_launch(role, &domains);

  clear_counters(first);
  choose_tables();
  if (take_place(first, pid, role, &domains) != 0) return;

  if (ld.hdr->log_enabled == 1) {
    ZYG_TRACE("INIT : initializing the log file if specified\n");
    log_open(first, role.in_job ? &role.job : nullptr);
    log_record(first && pid == ld.hdr->initial_pid ? REC_INITIAL_EXEC_START : REC_CHILD_EXEC_START);
    if (role.job_rank) log_job_rank(role.job);
  }
  // The launch is whole: programs waiting to attach go on.
  if (first) ldata_mark_ready();
  starting_launch_file[0] = '\0';

  if (clone_arg_init(CLONE_ARG_START_UP) != 0) return;

  full_barrier();
  launch_initialized = 1;
  set_exit_hook(initialized_exit);
  ZYG_TRACE("INIT : launch_init complete for pid %d\n", pid);
}

}  // namespace zyg
