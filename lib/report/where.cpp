#include "report/where.h"

#include <stdio.h>

#include "base/errors.h"
#include "base/layout.h"
#include "base/mask.h"
#include "base/sys.h"
#include "core/hooks.h"
#include "core/ldata.h"
#include "core/state.h"
#include "core/topology.h"
#include "report/report.h"

namespace zyg {

namespace {

void nodes_failed() {
  if (!launch_initialized) report_fatal_text("Can't obtain current launch nodes");
  report_disable("Can't obtain current launch nodes", 0, RC_LAUNCH_NODES, sys_getpid());
  disable_launch();
}

}  // namespace

void get_launch_nodes(bitmask* out) {
  errno_guard keep;
  mask_clearall(out);
  int lowest;
  if (scan_launch_nodes(out, &lowest) != 0) nodes_failed();
}

int get_launch_node() {
  errno_guard keep;
  int lowest;
  if (scan_launch_nodes(nullptr, &lowest) != 0) nodes_failed();
  if (lowest >= 0) return lowest;
  return (ld.hdr ? ld.b.possible_node_cnt : 0) + 1;
}

int get_launch_unit() {
  if (!ld.hdr || ld.b.unit_kind != UNIT_L3) return get_launch_node();
  errno_guard keep;
  int unit;
  if (scan_launch_unit(&unit) != 0) nodes_failed();
  return unit >= 0 ? unit : 0;
}

ZYG_HOT_CODE void get_launch_nodes_cpu(bitmask* out, int* cpu, int* unit) {
  {
    errno_guard keep;
    mask_clearall(out);
    int lowest;
    if (scan_launch_nodes_cpu(out, &lowest, cpu, unit) == 0) return;
  }
  // The affinity could not be read: each column as its own call reports it.
  get_launch_nodes(out);
  *cpu = get_launch_cpu();
}

int get_launch_cpu() {
  errno_guard keep;
  int cpu;
  int err = read_launch_cpu(&cpu);
  if (err == 0) return cpu;
  char msg[96];
  snprintf(msg, sizeof msg, "Can't obtain launch CPUs of tid %ld / pid %d", sys_gettid(),
           sys_getpid());
  if (!launch_initialized) report_fatal(msg, err);
  report_disable(msg, err, RC_LAUNCH_NODES, sys_getpid());
  disable_launch();
  return -1;
}

}  // namespace zyg
