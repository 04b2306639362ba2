// policies.h - what each policy of the library's table (shared/policy_table.h)
// predicts that a log can show, by the policy's kind and scope, never by its
// name: a new policy of a known kind and scope is judged as its siblings
// are, and a new kind or scope does not compile until policies.cpp gives it
// its predictions.
#pragma once

#include <string>

#include "shared/policy_table.h"

namespace zr {

// The row a banner's policy name names; null for a name the table lacks.
const zyg::policy_info* policy_of(const std::string& name);

// How evenly a policy spreads the tasks it places over the launch nodes, as
// far as the log can tell.
enum class Spread {
  kUnjudged,        // the log cannot tell: fill-first fills by CPU counts and
                    // memfree by free memory, neither in the log; none places
                    // nothing
  kEven,            // counters shared by the tree: counts within one of each other
  kEvenPerCreator,  // private counters: the same among each creator's tasks
  kWithCreator,     // every task on its creator's node
};
// As a process policy, or as a thread policy (`thread`).
Spread spread_of(const zyg::policy_info& p, bool thread);

// Whether a policy uses every launch node once it has placed as many tasks:
// round robin takes each in turn, memfree each with the limit's share of its
// memory free. Pack and fill-first leave nodes unused by design.
bool uses_every_node(const zyg::policy_info& p);

// Whether the children a process policy places run on without the library
// (rr_pack), so that the log shows their start and nothing after.
bool children_untracked(const zyg::policy_info& p);

}  // namespace zr
