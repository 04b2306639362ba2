// Every policy of the library's table judged by its kind and scope: a launch
// that put all its tasks on one node is warned about exactly under the
// policies that predict otherwise. A policy of a known kind and scope is
// tested as its siblings are; one of a new kind or scope has no expectation
// below and fails until it is given one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launches.h"
#include "model/launch.h"
#include "shared/policy_table.h"

using namespace zr;
using namespace zr_test;

namespace {

// Whether a kind and scope predict how evenly the tasks spread, as a process
// and as a thread policy.
struct Judged {
  zyg::policy_kind kind;
  zyg::policy_scope scope;
  bool process, thread;
};

constexpr Judged kJudged[] = {
    {zyg::KIND_RR, zyg::SCOPE_TREE, true, true},
    {zyg::KIND_RR, zyg::SCOPE_FLAT, true, true},
    {zyg::KIND_RR, zyg::SCOPE_RR_PACK, true, false},  // process-only: no threads to judge
    {zyg::KIND_PACK, zyg::SCOPE_FLAT, true, true},
    {zyg::KIND_FF, zyg::SCOPE_TREE, false, false},  // by CPU counts the log lacks
    {zyg::KIND_FF, zyg::SCOPE_FLAT, false, false},
    {zyg::KIND_MEMFREE, zyg::SCOPE_TREE, false, false},  // by free memory the log lacks
    {zyg::KIND_MEMFREE, zyg::SCOPE_FLAT, false, false},
    {zyg::KIND_NONE, zyg::SCOPE_FLAT, false, false},
};

struct Role {
  const zyg::policy_info* policy;
  bool thread;
};

std::vector<Role> roles() {
  std::vector<Role> r;
  for (const auto& p : zyg::kPolicies) {
    r.push_back({&p, false});
    r.push_back({&p, true});
  }
  return r;
}

// The first process on node 0 of launch nodes 0-3; its four children (or,
// for a thread policy, its four threads) all on node 1.
std::string all_on_node_1(const Role& r) {
  std::string text = banner(r.thread ? "none" : r.policy->name, r.thread ? r.policy->name : "none",
                            "No", "0-3", 100) +
                     header() + rec(1, 1, 100, 100, 1, "0", "-1", "initial exec start");
  int e = 2, t = 10;
  for (long id = 101; id <= 104; ++id) {
    const std::string num = std::to_string(id);
    if (r.thread) {
      text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created TID " + num);
      text += rec(t++, e++, id, 100, 1, "1", "-1", "child start in pthread_create() by user");
      text += rec(t++, e++, id, 100, 1, "1", "-1", "implicit user's pthread_create() exit");
    } else {
      text += rec(t++, e++, 100, 100, 1, "0", "-1", "Created PID " + num);
      text += rec(t++, e++, id, id, 100, "1", "-1", "child start in fork()");
      text += rec(t++, e++, id, id, 100, "1", "-1", "exit()");
    }
  }
  return text + rec(t, e, 100, 100, 1, "0", "-1", "exit()");
}

class EveryPolicy : public ::testing::TestWithParam<Role> {};

TEST_P(EveryPolicy, IsJudgedByItsKindAndScope) {
  const Role& r = GetParam();
  const Judged* judged = nullptr;
  for (const Judged& j : kJudged)
    if (j.kind == r.policy->kind && j.scope == r.policy->scope) judged = &j;
  ASSERT_NE(judged, nullptr) << r.policy->name << ": no expectation for its kind and scope";
  const Launch L = build(all_on_node_1(r));
  const bool warned = has_warning(L, "unevenly") || has_warning(L, "not on its");
  EXPECT_EQ(warned, r.thread ? judged->thread : judged->process)
      << testing::PrintToString(L.warnings);
}

INSTANTIATE_TEST_SUITE_P(Table, EveryPolicy, ::testing::ValuesIn(roles()), [](const auto& info) {
  return std::string(info.param.policy->name) + (info.param.thread ? "_threads" : "_processes");
});

}  // namespace
