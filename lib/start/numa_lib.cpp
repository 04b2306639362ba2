// numa_lib.cpp - opening libnuma in the process that needs it.
#include "start/numa_lib.h"

#include <dlfcn.h>
#include <stdio.h>

#include "base/trace.h"
#include "report/report.h"

namespace zyg {

namespace {

numa_fns fns;
bool loaded;

// The versions a link against libnuma binds: the bitmask interfaces, not
// the older nodemask_t ones that share their names.
struct wanted {
  const char* name;
  const char* version;
  void** slot;
};

[[noreturn]] void cannot_load(const char* why) {
  char msg[512];
  snprintf(msg, sizeof msg, "Can't load libnuma.so.1: %s\n", why != nullptr ? why : "");
  report_fatal_text(msg);
}

}  // namespace

const numa_fns& numa_lib() {
  if (loaded) return fns;
  ZYG_TRACE("INIT : opening libnuma.so.1\n");
  // Opening it runs its initialiser, which fills the variables below.
  void* h = dlopen("libnuma.so.1", RTLD_NOW | RTLD_GLOBAL);
  if (h == nullptr) cannot_load(dlerror());
  const wanted table[] = {
      {"numa_available", "libnuma_1.1", reinterpret_cast<void**>(&fns.available)},
      {"numa_parse_nodestring", "libnuma_1.2", reinterpret_cast<void**>(&fns.parse_nodestring)},
      {"numa_bitmask_free", "libnuma_1.2", reinterpret_cast<void**>(&fns.bitmask_free)},
      {"numa_num_configured_nodes", "libnuma_1.2",
       reinterpret_cast<void**>(&fns.num_configured_nodes)},
      {"numa_num_possible_nodes", "libnuma_1.2", reinterpret_cast<void**>(&fns.num_possible_nodes)},
      {"numa_num_configured_cpus", "libnuma_1.2",
       reinterpret_cast<void**>(&fns.num_configured_cpus)},
      {"numa_num_possible_cpus", "libnuma_1.3", reinterpret_cast<void**>(&fns.num_possible_cpus)},
      {"numa_get_run_node_mask", "libnuma_1.2", reinterpret_cast<void**>(&fns.get_run_node_mask)},
      {"numa_node_to_cpus", "libnuma_1.2", reinterpret_cast<void**>(&fns.node_to_cpus)},
      {"numa_distance", "libnuma_1.1", reinterpret_cast<void**>(&fns.distance)},
      {"numa_all_nodes_ptr", "libnuma_1.2", reinterpret_cast<void**>(&fns.all_nodes_ptr)},
      {"numa_all_cpus_ptr", "libnuma_1.2", reinterpret_cast<void**>(&fns.all_cpus_ptr)},
      {"numa_nodes_ptr", "libnuma_1.2", reinterpret_cast<void**>(&fns.nodes_ptr)},
  };
  for (const wanted& w : table) {
    *w.slot = dlvsym(h, w.name, w.version);
    if (*w.slot == nullptr) cannot_load(dlerror());
  }
  if (*fns.all_nodes_ptr == nullptr || *fns.all_cpus_ptr == nullptr) {
    report_fatal_text("libnuma not initialized");
  }
  loaded = true;
  return fns;
}

}  // namespace zyg
