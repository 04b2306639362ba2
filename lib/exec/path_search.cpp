// path_search.cpp - the file an exec by name will run, found the way execvp
// searches PATH, so that the checks look at the executable itself.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/scratch.h"
#include "base/env.h"
#include "base/errors.h"
#include "base/trace.h"
#include "exec/env.h"

namespace zyg {

// The file an exec by name will run, found the way execvp searches PATH, for
// the checks on the executable.
int find_exec_file(const char* name, char* out, size_t size) {
  if (size > 0) out[0] = '\0';
  if (name == nullptr || name[0] == '\0' || size == 0) return 0;
  ZYG_TRACE("Entering find_exec_file() for %s\n", name);
  if (strchr(name, '/') != nullptr) {
    ZYG_TRACE("%s is an absolute or specific path\n", name);
    snprintf(out, size, "%s", name);
    return 0;
  }
  ZYG_TRACE("Searching path for %s\n", name);

  size_t name_len = strlen(name);
  const char* path = env_lookup("PATH");
  char* default_path = nullptr;
  if (path != nullptr) {
    ZYG_TRACE("Using PATH=\"%s\"\n", path);
  } else {
    // No PATH at all: the system default, with the current directory first.
    size_t n = confstr(_CS_PATH, nullptr, 0);
    default_path = static_cast<char*>(scratch_alloc(n + 2));
    if (default_path == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    default_path[0] = ':';
    default_path[1] = '\0';
    if (n > 0) confstr(_CS_PATH, default_path + 1, n);
    path = default_path;
    ZYG_TRACE("PATH is not set, using _CS_PATH=\"%s\"\n", path);
  }

  char* work = static_cast<char*>(scratch_alloc(name_len + strlen(path) + 4));
  if (work == nullptr) {
    scratch_free(default_path);
    errno = ENOMEM;
    return -1;
  }
  int saved_errno = errno;
  bool found = false;
  const char* p = path;
  for (;;) {
    const char* end = strchr(p, ':');
    size_t len = end != nullptr ? (size_t)(end - p) : strlen(p);
    if (len == 0) {
      memcpy(work, name, name_len + 1);
    } else {
      memcpy(work, p, len);
      work[len] = '/';
      memcpy(work + len + 1, name, name_len + 1);
    }
    ZYG_TRACE("Looking for: %s\n", work);
    struct stat st;
    // A directory passes access() but is not what the exec would run.
    if (access(work, R_OK | X_OK) == 0 && stat(work, &st) == 0 && !S_ISDIR(st.st_mode)) {
      found = true;
      break;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  if (found) {
    ZYG_TRACE("Found executable %s\n", work);
    if (strlen(work) < size) {
      memcpy(out, work, strlen(work) + 1);
    } else {
      snprintf(out, size, "%s", name);
    }
  } else {
    ZYG_TRACE("%s not found\n", name);
  }
  scratch_free(work);
  scratch_free(default_path);
  errno = saved_errno;
  return 0;
}

}  // namespace zyg
