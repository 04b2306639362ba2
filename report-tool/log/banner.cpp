#include "log/banner.h"

#include "lists/number.h"
#include "shared/memory_tiers.h"

namespace zr {

namespace {

// "nearest-memonly 0:2 1:3": a known mode, then node:memory-node pairs.
bool parse_memory_setting(Banner& b, const std::string& value) {
  std::size_t at = value.find(' ');
  std::string mode = value.substr(0, at);
  const int known = zyg::memory_mode_named(mode.c_str());
  if (known <= 0) return false;
  std::map<int, int> nodes;
  while (at != std::string::npos) {
    const std::size_t next = value.find(' ', at + 1);
    const std::string pair = value.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    const std::size_t colon = pair.find(':');
    int node, mem;
    if (colon == std::string::npos || !to_int(pair.substr(0, colon), node) ||
        !to_int(pair.substr(colon + 1), mem) || node < 0 || mem < -1)
      return false;
    nodes[node] = mem;
    at = next;
  }
  b.memory_mode = mode;
  b.memory_nodes = std::move(nodes);
  return true;
}

}  // namespace

bool is_banner_text(const std::string& line) {
  for (const char* f : zyg::kBannerHead)
    if (line == f) return true;
  for (const char* f : zyg::kBannerTail)
    if (line == f) return true;
  return false;
}

zyg::banner_field banner_key(const std::string& key) {
  const std::string k = trim(key);
  for (int f = 0; f < zyg::BAN_COUNT; ++f)
    if (k == zyg::kBannerKeys[f]) return static_cast<zyg::banner_field>(f);
  return zyg::BAN_COUNT;
}

bool apply_banner_field(Banner& b, zyg::banner_field key, const std::string& value) {
  switch (key) {
    case zyg::BAN_VERSION:
      b.version = value;
      return !value.empty();
    case zyg::BAN_PROC_POLICY:
      b.proc_policy = value;
      return true;
    case zyg::BAN_THRD_POLICY:
      b.thrd_policy = value;
      return true;
    case zyg::BAN_CPU_LAUNCH:
      if (value != zyg::kBannerCpuYes && value != zyg::kBannerCpuNo) return false;
      b.cpu_launch = value == zyg::kBannerCpuYes;
      return true;
    case zyg::BAN_LAUNCH_NODES:
      b.launch_nodes = value;
      return true;
    case zyg::BAN_LOG_FILE:
      b.log_file = value;
      return true;
    case zyg::BAN_ERROR_FILE:
      b.error_file = value;
      return true;
    case zyg::BAN_INITIAL_PID: {
      long v;
      if (!to_long(value, v)) return false;
      b.initial_pid = v;
      return true;
    }
    case zyg::BAN_CONFIG_NODES:
      return to_int(value, b.config_node_cnt);
    case zyg::BAN_AVAIL_NODES:
      return to_int(value, b.avail_node_cnt);
    case zyg::BAN_UNIT:
      b.unit = value;
      return !value.empty();
    case zyg::BAN_L3_DOMAINS:
      b.l3_domains = value;
      return true;
    case zyg::BAN_MEMORY:
      return parse_memory_setting(b, value);
    case zyg::BAN_LAUNCH_CPUS:
      b.launch_cpus = value;
      return true;
    case zyg::BAN_JOB:
      b.job = value;
      return !value.empty();
    case zyg::BAN_HOST:
      b.host = value;
      return true;
    case zyg::BAN_RANKS:
      b.ranks = value;
      return true;
    case zyg::BAN_COUNT:
      break;
  }
  return false;
}

int memory_node_of(const Banner& b, const std::string& node) {
  int n;
  if (b.memory_nodes.empty() || !to_int(node, n)) return -1;
  auto it = b.memory_nodes.find(n);
  return it == b.memory_nodes.end() ? -1 : it->second;
}

}  // namespace zr
