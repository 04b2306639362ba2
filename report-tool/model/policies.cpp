#include "model/policies.h"

namespace zr {

const zyg::policy_info* policy_of(const std::string& name) {
  for (const auto& p : zyg::kPolicies)
    if (name == p.name) return &p;
  return nullptr;
}

Spread spread_of(const zyg::policy_info& p, bool thread) {
  // A process-only policy never places threads.
  if (thread && p.process_only) return Spread::kUnjudged;
  switch (p.kind) {
    case zyg::KIND_RR:
      switch (p.scope) {
        case zyg::SCOPE_TREE:
        case zyg::SCOPE_RR_PACK:  // its processes count in the tree's table
          return Spread::kEven;
        case zyg::SCOPE_FLAT:
          return Spread::kEvenPerCreator;
      }
      break;
    case zyg::KIND_PACK:
      return Spread::kWithCreator;
    case zyg::KIND_FF:
    case zyg::KIND_MEMFREE:
    case zyg::KIND_NONE:
      return Spread::kUnjudged;
  }
  return Spread::kUnjudged;
}

bool uses_every_node(const zyg::policy_info& p) {
  switch (p.kind) {
    case zyg::KIND_RR:
    case zyg::KIND_MEMFREE:
      return true;
    case zyg::KIND_FF:
    case zyg::KIND_PACK:
    case zyg::KIND_NONE:
      return false;
  }
  return false;
}

bool children_untracked(const zyg::policy_info& p) { return p.alone; }

}  // namespace zr
