// path_search.cpp - the file an exec by name will run, found the way execvp
// searches PATH (shared/path_search.h, which the launcher uses too), so that
// the checks look at the executable itself.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/env.h"
#include "base/errors.h"
#include "base/layout.h"
#include "base/scratch.h"
#include "base/text.h"
#include "base/trace.h"
#include "exec/env.h"
#include "shared/path_search.h"

namespace zyg {

// The file an exec by name will run, found the way execvp searches PATH, for
// the checks on the executable.
ZYG_HOT_CODE int find_exec_file(const char* name, char* out, size_t size) {
  if (size > 0) out[0] = '\0';
  if (name == nullptr || name[0] == '\0' || size == 0) return 0;
  ZYG_TRACE("Entering find_exec_file() for %s\n", name);
  if (strchr(name, '/') != nullptr) {
    ZYG_TRACE("%s is an absolute or specific path\n", name);
    text_out o = text_start(out, size);
    text_put(&o, name);
    return 0;
  }
  ZYG_TRACE("Searching path for %s\n", name);

  const char* path = env_lookup("PATH");
  if (path != nullptr) ZYG_TRACE("Using PATH=\"%s\"\n", path);
  size_t work_size = search_path_size(name, path);
  char* work = static_cast<char*>(scratch_alloc(work_size));
  if (work == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  int saved_errno = errno;
  bool found = search_path(name, path, work, work_size);
  if (found) {
    ZYG_TRACE("Found executable %s\n", work);
    if (strlen(work) < size) {
      memcpy(out, work, strlen(work) + 1);
    } else {
      text_out o = text_start(out, size);
      text_put(&o, name);
    }
  } else {
    ZYG_TRACE("%s not found\n", name);
  }
  scratch_free(work);
  errno = saved_errno;
  return 0;
}

}  // namespace zyg
