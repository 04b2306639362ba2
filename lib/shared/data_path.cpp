// data_path.cpp - launch data file names.
#include "shared/data_path.h"

#include <stdio.h>
#include <string.h>

#include "base/layout.h"
#include "shared/names.h"

namespace zyg {

namespace {
constexpr const char kShmDir[] = "/dev/shm/";
}  // namespace

int format_data_file_path(char* out, size_t size, int pid, int k) {
  int n = k > 0 ? snprintf(out, size, "%s%s.%d.%d", kShmDir, kProgName, pid, k)
                : snprintf(out, size, "%s%s.%d", kShmDir, kProgName, pid);
  return (n < 0 || (size_t)n >= size) ? -1 : n;
}

ZYG_HOT_CODE int data_file_pid(const char* path) {
  if (path == nullptr) return -1;
  const size_t dir = sizeof kShmDir - 1, prog = sizeof kProgName - 1;
  // Byte loops: every exec'd program asks this at start-up.
  for (size_t i = 0; i < dir; i++)
    if (path[i] != kShmDir[i]) return -1;
  for (size_t i = 0; i < prog; i++)
    if (path[dir + i] != kProgName[i]) return -1;
  if (path[dir + prog] != '.') return -1;
  const char* p = path + dir + prog + 1;
  long pid = 0;
  if (*p < '0' || *p > '9') return -1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    pid = pid * 10 + (*p - '0');
    if (pid > 0x3fffffff) return -1;
  }
  if (*p == '.') {  // the suffix: digits only
    if (p[1] == '\0') return -1;
    for (++p; *p != '\0'; ++p)
      if (*p < '0' || *p > '9') return -1;
  }
  return *p == '\0' && pid > 0 ? (int)pid : -1;
}

}  // namespace zyg
