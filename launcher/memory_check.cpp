#include "memory_check.h"

#include <cstring>
#include <memory>

#include "shared/memory_tiers.h"
#include "shared/names.h"
#include "shared/policy_table.h"
#include "shared/read_text.h"

namespace zyg::launcher {

namespace {

// Plain reads: the launcher links no stream of the C++ library, whose locale
// set-up would run at every launch.
std::string first_line(const char* path) {
  char buf[4096];
  if (read_text(path, buf, sizeof buf) < 0) return std::string();
  return std::string(buf, strcspn(buf, "\n"));
}

std::string mems_allowed_here() {
  // Room for the CPU lines of thousands of CPUs that come before it.
  constexpr size_t kStatusSize = 1 << 16;
  std::unique_ptr<char[]> buf(new char[kStatusSize]);
  if (read_text("/proc/self/status", buf.get(), kStatusSize) < 0) return std::string();
  constexpr char kKey[] = "\nMems_allowed_list:";
  const char* at = strstr(buf.get(), kKey);
  if (at == nullptr) return std::string();
  at += sizeof(kKey) - 1;
  at += strspn(at, " \t");
  return std::string(at, strcspn(at, "\n"));
}

}  // namespace

bool memonly_node_allowed(const std::string& has_memory, const std::string& has_cpu,
                          const std::string& mems_allowed) {
  std::unique_ptr<bool[]> m(new bool[kMaxTierNodes]), c(new bool[kMaxTierNodes]),
      a(new bool[kMaxTierNodes]);
  if (parse_node_bits(has_memory.c_str(), m.get(), kMaxTierNodes) != 0 ||
      parse_node_bits(has_cpu.c_str(), c.get(), kMaxTierNodes) != 0)
    return false;
  const bool every = mems_allowed.empty();
  if (!every && parse_node_bits(mems_allowed.c_str(), a.get(), kMaxTierNodes) != 0) return false;
  for (int n = 0; n < kMaxTierNodes; ++n)
    if (m[n] && !c[n] && (every || a[n])) return true;
  return false;
}

bool memonly_node_here() {
  return memonly_node_allowed(first_line("/sys/devices/system/node/has_memory"),
                              first_line("/sys/devices/system/node/has_cpu"), mems_allowed_here());
}

bool memory_mode_placed(const LaunchEnv& env) {
  // An unknown name places nothing here; start-up refuses it by its name.
  auto named = [&env](const char* var, bool thread) {
    const policy_info* p = policy_named(launch_env_value(&env, var), thread);
    return p != nullptr ? p : policy_named(nullptr, thread);
  };
  return memory_mode_refused(*named(kEnvProcPolicy, false), *named(kEnvThrdPolicy, true)) ==
         nullptr;
}

bool memory_mode_usable(int mode, const LaunchEnv& env, FILE* err) {
  const char* name = memory_mode_name((uint32_t)mode);
  if (!memory_mode_placed(env)) {
    fprintf(err,
            "Error: --memory=%s needs a process or thread policy (-p, -t): without one no task "
            "is placed on one node, and every page would stay local\n",
            name);
    return false;
  }
  if (!memonly_node_here()) {
    fprintf(err,
            "Error: --memory=%s: no memory-only node (memory, no CPUs) on this machine or in "
            "its cpuset\n",
            name);
    return false;
  }
  return true;
}

}  // namespace zyg::launcher
