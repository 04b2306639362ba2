#include "memory_check.h"

#include <fstream>
#include <memory>

#include "shared/memory_tiers.h"

namespace zyg::launcher {

namespace {

std::string first_line(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string mems_allowed_here() {
  std::ifstream in("/proc/self/status");
  const std::string key = "Mems_allowed_list:";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const std::size_t at = line.find_first_not_of(" \t", key.size());
    return at == std::string::npos ? std::string() : line.substr(at);
  }
  return std::string();
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

}  // namespace zyg::launcher
