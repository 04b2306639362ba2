#include "lists/cpu_list.h"

#include <algorithm>
#include <cstdio>

#include "shared/list_text.h"

namespace zr {

namespace {

// A CPU list read from the kernel: numbers far above any CPU, or a range
// of more than a million, are no list this tool believes.
constexpr unsigned long kCpuNumberLimit = 1UL << 24, kWidestRange = 1UL << 20;

}  // namespace

bool parse_cpulist(const std::string& text, std::vector<int>& cpus) {
  cpus.clear();
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  if (t.empty()) return true;
  std::size_t pos = 0;
  while (pos <= t.size()) {
    std::size_t comma = t.find(',', pos);
    std::string item = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    int lo, hi;
    char extra;
    if (std::sscanf(item.c_str(), "%d-%d%c", &lo, &hi, &extra) == 2) {
    } else if (std::sscanf(item.c_str(), "%d%c", &lo, &extra) == 1) {
      hi = lo;
    } else {
      return false;
    }
    if (lo < 0 || hi < lo || hi > 65535) return false;
    for (int c = lo; c <= hi; ++c) cpus.push_back(c);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  std::sort(cpus.begin(), cpus.end());
  cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
  return true;
}

std::vector<int> parse_cpu_list(const std::string& text) {
  std::vector<int> cpus;
  const std::size_t end = text.find_last_not_of(" \n\t");
  if (end == std::string::npos) return cpus;
  bool too_wide = false;
  const int r = zyg::for_each_list_range(text.substr(0, end + 1).c_str(), kCpuNumberLimit,
                                         [&](unsigned long lo, unsigned long hi) {
                                           too_wide = too_wide || hi - lo > kWidestRange;
                                           for (unsigned long c = lo; c <= hi && !too_wide; ++c)
                                             cpus.push_back(static_cast<int>(c));
                                         });
  if (r != 0 || too_wide) return {};
  return cpus;
}

std::string range_list(const std::vector<int>& cpus) {
  std::string t;
  for (std::size_t i = 0; i < cpus.size(); ++i) {
    std::size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
    char item[32];
    if (j > i)
      std::snprintf(item, sizeof item, "%s%d-%d", t.empty() ? "" : ",", cpus[i], cpus[j]);
    else
      std::snprintf(item, sizeof item, "%s%d", t.empty() ? "" : ",", cpus[i]);
    t += item;
    i = j;
  }
  return t;
}

}  // namespace zr
