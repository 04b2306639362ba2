#include "shared/path_search.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/layout.h"
#include "base/trace.h"

namespace zyg {

namespace {

// elem (len bytes, empty for the current directory) joined with name in buf.
bool build_candidate(char* buf, size_t size, const char* elem, size_t len, const char* name,
                     size_t name_len) {
  size_t need = (len == 0 ? 0 : len + 1) + name_len + 1;
  if (need > size) return false;
  if (len != 0) {
    memcpy(buf, elem, len);
    buf[len++] = '/';
  }
  memcpy(buf + len, name, name_len + 1);
  return true;
}

bool runnable(const char* path) {
  struct stat st;
  return access(path, R_OK | X_OK) == 0 && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

ZYG_HOT_CODE size_t search_path_size(const char* name, const char* path_value) {
  size_t list = path_value != nullptr ? strlen(path_value) : kDefaultPathMax;
  return strlen(name) + list + 2;
}

ZYG_HOT_CODE bool search_path(const char* name, const char* path_value, char* buf, size_t size) {
  char default_path[kDefaultPathMax + 2];
  if (path_value == nullptr) {
    // The current directory first, then the system's default.
    default_path[0] = ':';
    default_path[1] = '\0';
    if (confstr(_CS_PATH, nullptr, 0) > 0) confstr(_CS_PATH, default_path + 1, kDefaultPathMax + 1);
    path_value = default_path;
    ZYG_TRACE("PATH is not set, using _CS_PATH=\"%s\"\n", path_value);
  }
  size_t name_len = strlen(name);
  for (const char* p = path_value;;) {
    const char* end = strchr(p, ':');
    size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
    if (build_candidate(buf, size, p, len, name, name_len)) {
      ZYG_TRACE("Looking for: %s\n", buf);
      if (runnable(buf)) return true;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  if (size > 0) buf[0] = '\0';
  return false;
}

}  // namespace zyg
