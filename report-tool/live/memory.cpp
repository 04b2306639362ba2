#include "live/memory.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace zr {

namespace {

// The number after "name=" in a numa_maps word; false for another word.
bool field_value(const std::string& word, const char* name, uint64_t& value) {
  const std::size_t n = std::strlen(name);
  if (word.compare(0, n, name) != 0 || word.size() <= n || word[n] != '=') return false;
  char* end = nullptr;
  value = std::strtoull(word.c_str() + n + 1, &end, 10);
  return *end == '\0';
}

// Whether a numa_maps line is a file's: "file=" names one. Anonymous shared
// memory ("/dev/zero") and anonymous huge pages ("/anon_hugepage", any
// hugetlbfs mapping: "huge") are the process's own although they show a file.
bool file_line(const std::vector<std::string>& words) {
  bool file = false;
  for (const auto& w : words) {
    if (w == "huge") return false;
    if (w.rfind("file=", 0) == 0)
      file = w.rfind("file=/dev/zero", 0) != 0 && w.rfind("file=/anon_hugepage", 0) != 0;
  }
  return file;
}

}  // namespace

ProcMemory parse_numa_maps(const std::string& text, uint64_t page_size) {
  ProcMemory m;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream split(line);
    std::vector<std::string> words;
    for (std::string w; split >> w;) words.push_back(w);
    uint64_t page = page_size, kb = 0;
    for (const auto& w : words)
      if (field_value(w, "kernelpagesize_kB", kb) && kb > 0) page = kb * 1024;
    const bool own = !file_line(words);
    for (const auto& w : words) {
      uint64_t pages = 0;
      if (w.size() < 4 || w[0] != 'N' || !std::isdigit(static_cast<unsigned char>(w[1]))) continue;
      const std::size_t eq = w.find('=');
      if (eq == std::string::npos || !field_value(w, w.substr(0, eq).c_str(), pages)) continue;
      const int node = std::atoi(w.c_str() + 1);
      m.resident += pages * page;
      if (own) m.own[node] += pages * page;
    }
  }
  return m;
}

MemoryShare memory_share(const std::map<int, uint64_t>& own, const std::set<int>& run_nodes) {
  MemoryShare s;
  for (const auto& [node, bytes] : own) (run_nodes.count(node) ? s.local : s.remote) += bytes;
  if (const uint64_t all = s.local + s.remote; all > 0)
    s.share = static_cast<double>(s.remote) / static_cast<double>(all);
  return s;
}

bool memory_warns(const MemoryShare& s) {
  return s.share > kRemoteShareWarn && s.remote >= kRemoteWarnBytes;
}
}  // namespace zr
