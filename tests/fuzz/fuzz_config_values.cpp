// The values the first process takes from ZYG_LAUNCH_* variables: memfree
// limits, policy names and node lists (checked with libnuma's parser, as
// start-up does, and written back with the library's own list formatter).
// The first byte chooses the parser, the rest is the value.
#include <numa.h>
#include <string.h>

#include "base/mask.h"
#include "fuzz_util.h"
#include "shared/names.h"
#include "start/config.h"

namespace {

bool same_mask(const bitmask* a, const bitmask* b) {
  unsigned n = numa_num_possible_nodes();
  for (unsigned i = 0; i < n; i++)
    if (zyg::mask_isbitset(a, i) != zyg::mask_isbitset(b, i)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string value = zyg_fuzz::text(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      int limit = -1;
      if (zyg::memfree_from_text(value.c_str(), &limit) == 0 && (limit < 0 || limit > 100))
        __builtin_trap();
      break;
    }
    case 1: {
      int kind = -1, scope = -1;
      bool thread = (data[0] & 0x80) != 0;
      if (zyg::policy_from_name(value.c_str(), thread, &kind, &scope) == 0) {
        if (kind < 0 || kind > 4 || scope < 10 || scope > 12) __builtin_trap();
        if (thread && scope == 12) __builtin_trap();
      }
      break;
    }
    default: {
      // Start-up refuses longer lists before parsing them.
      if (value.size() > (size_t)zyg::kMaxPath) break;
      bitmask* m = numa_parse_nodestring(value.c_str());
      if (m == nullptr) break;
      // What the library writes back parses to the same nodes.
      char text[8192];
      zyg::format_node_list(m, text, sizeof text);
      if (text[0] != '\0') {
        bitmask* again = numa_parse_nodestring(text);
        if (again == nullptr || !same_mask(m, again)) __builtin_trap();
        numa_bitmask_free(again);
      }
      numa_bitmask_free(m);
      break;
    }
  }
  return 0;
}
