// LD_PRELOAD list editing: taking the library's two standard paths out of
// any list, and appending the library.
#include <stdlib.h>
#include <string.h>

#include "fuzz_util.h"
#include "shared/names.h"
#include "shared/preload_list.h"
#include "shared/version.h"

namespace {

bool has_item(const char* list, const char* item) {
  size_t n = strlen(item);
  for (const char* p = list; (p = strstr(p, item)) != nullptr; p++) {
    bool start = p == list || zyg::is_list_separator(p[-1]);
    bool end = p[n] == '\0' || zyg::is_list_separator(p[n]);
    if (start && end) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int mode = (data[0] & 1) ? zyg::kListWholeEntry : zyg::kListValueOnly;
  std::string list = zyg_fuzz::text(data + 1, size - 1);
  std::string text = mode == zyg::kListWholeEntry ? std::string(zyg::kEnvPreload) + "=" + list : list;
  const size_t before = text.size();
  std::string buf = text;
  zyg::remove_launch_lib(zyg::kEnvPreload, buf.data(), mode);
  const char* edited = buf.c_str();
  if (strlen(edited) > before) __builtin_trap();
  const char* value = mode == zyg::kListWholeEntry ? edited + strlen(zyg::kEnvPreload) + 1 : edited;
  if (mode == zyg::kListWholeEntry && strncmp(edited, text.c_str(), strlen(zyg::kEnvPreload) + 1) != 0)
    __builtin_trap();
  if (strcmp(edited, text.c_str()) != 0) {
    // An edited list: single colons between items, none at either end, and
    // neither standard path left.
    if (value[0] == ':' || strstr(value, "::") != nullptr) __builtin_trap();
    size_t n = strlen(value);
    if (n > 0 && value[n - 1] == ':') __builtin_trap();
    if (has_item(value, zyg::kReleaseLibPath) || has_item(value, zyg::kDebugLibPath))
      __builtin_trap();
  }
  char* joined = zyg::append_path_item(edited, zyg::kReleaseLibPath, mode);
  if (joined != nullptr) {
    size_t n = strlen(joined), item = strlen(zyg::kReleaseLibPath);
    if (n < item || strcmp(joined + n - item, zyg::kReleaseLibPath) != 0) __builtin_trap();
    free(joined);
  }
  return 0;
}
