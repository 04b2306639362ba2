// policy_table.cpp - looking a policy up by name.
#include "shared/policy_table.h"

#include <string.h>

namespace zyg {

const policy_info* policy_named(const char* name, bool thread) {
  const bool absent = name == nullptr || name[0] == '\0';
  for (const policy_info& p : kPolicies) {
    if (absent ? p.kind != KIND_NONE : strcmp(name, p.name) != 0) continue;
    if (thread && p.process_only) return nullptr;
    return &p;
  }
  return nullptr;
}

}  // namespace zyg
