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

namespace {
constexpr char kJobPrefix[] = "zyg-nox.job-";
constexpr char kHex[] = "0123456789abcdef";

int put_hex(char* out, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = kHex[v & 0xf];
    v >>= 4;
  }
  return digits;
}

// n hex digits at p (lower case) into *v; false when they are not.
bool read_hex(const char* p, int n, uint64_t* v) {
  uint64_t x = 0;
  for (int i = 0; i < n; ++i) {
    const char c = p[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    x = (x << 4) | (uint64_t)d;
  }
  *v = x;
  return true;
}

int job_path(char* out, size_t size, uint64_t job, const char* tail, size_t tail_len) {
  const size_t dir = sizeof kShmDir - 1, prefix = sizeof kJobPrefix - 1;
  const size_t len = dir + prefix + 16 + tail_len;
  if (len + 1 > size) return -1;
  memcpy(out, kShmDir, dir);
  memcpy(out + dir, kJobPrefix, prefix);
  put_hex(out + dir + prefix, job, 16);
  memcpy(out + dir + prefix + 16, tail, tail_len);
  out[len] = '\0';
  return (int)len;
}
}  // namespace

int format_job_data_path(char* out, size_t size, uint64_t job, uint32_t allowance) {
  char tail[10] = ".";
  put_hex(tail + 1, allowance, 8);
  return job_path(out, size, job, tail, 9);
}

int format_job_key_path(char* out, size_t size, uint64_t job) {
  return job_path(out, size, job, ".key", 4);
}

shm_name_kind shm_name_kind_of(const char* name) {
  const size_t prefix = sizeof kJobPrefix - 1;
  uint64_t v;
  if (strncmp(name, kJobPrefix, prefix) == 0) {
    const char* p = name + prefix;
    if (!read_hex(p, 16, &v) || p[16] != '.') return SHM_OTHER;
    if (strcmp(p + 17, "key") == 0) return SHM_JOB_KEY;
    return read_hex(p + 17, 8, &v) && p[25] == '\0' ? SHM_JOB_DATA_FILE : SHM_OTHER;
  }
  char path[kMaxDataFilePath + 16];
  int n = snprintf(path, sizeof path, "%s%s", kShmDir, name);
  return n > 0 && (size_t)n < sizeof path && data_file_pid(path) > 0 ? SHM_DATA_FILE : SHM_OTHER;
}

uint64_t shm_job_of(const char* name) {
  uint64_t v = 0;
  const shm_name_kind k = shm_name_kind_of(name);
  if (k != SHM_JOB_DATA_FILE && k != SHM_JOB_KEY) return 0;
  read_hex(name + sizeof kJobPrefix - 1, 16, &v);
  return v;
}

}  // namespace zyg
