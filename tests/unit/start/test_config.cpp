// Start-up configuration: policy names and memfree values.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "start/config.h"
#include "placement/policy.h"

extern char** environ;

namespace {

struct named_policy {
  const char* name;
  int kind;
  int scope;
};

const named_policy kBoth[] = {
    {"none", zyg::KIND_NONE, zyg::SCOPE_FLAT},       {"rr_flat", zyg::KIND_RR, zyg::SCOPE_FLAT},
    {"rr_tree", zyg::KIND_RR, zyg::SCOPE_TREE},      {"ff_flat", zyg::KIND_FF, zyg::SCOPE_FLAT},
    {"ff_tree", zyg::KIND_FF, zyg::SCOPE_TREE},      {"pack", zyg::KIND_PACK, zyg::SCOPE_FLAT},
    {"memfree_flat", zyg::KIND_MEMFREE, zyg::SCOPE_FLAT},
    {"memfree_tree", zyg::KIND_MEMFREE, zyg::SCOPE_TREE},
};

TEST(PolicyNames, EveryNameForProcessesAndThreads) {
  for (const auto& p : kBoth) {
    for (bool thread : {false, true}) {
      int kind = -7, scope = -7;
      ASSERT_EQ(zyg::policy_from_name(p.name, thread, &kind, &scope), 0) << p.name;
      EXPECT_EQ(kind, p.kind) << p.name;
      EXPECT_EQ(scope, p.scope) << p.name;
    }
  }
}

TEST(PolicyNames, RrPackIsAProcessPolicyOnly) {
  int kind = -7, scope = -7;
  ASSERT_EQ(zyg::policy_from_name("rr_pack", false, &kind, &scope), 0);
  EXPECT_EQ(kind, zyg::KIND_RR);
  EXPECT_EQ(scope, zyg::SCOPE_RR_PACK);
  EXPECT_EQ(zyg::policy_from_name("rr_pack", true, &kind, &scope), -1);
}

TEST(PolicyNames, AbsentOrEmptyMeansNone) {
  for (const char* v : {static_cast<const char*>(nullptr), ""}) {
    for (bool thread : {false, true}) {
      int kind = -7, scope = -7;
      ASSERT_EQ(zyg::policy_from_name(v, thread, &kind, &scope), 0);
      EXPECT_EQ(kind, zyg::KIND_NONE);
      EXPECT_EQ(scope, zyg::SCOPE_FLAT);
    }
  }
}

TEST(PolicyNames, UnknownNamesAndCaseAreRefused) {
  for (const char* v : {"RR_TREE", "Rr_flat", "rr", "tree", "rr_tree ", " rr_tree", "NONE",
                        "memfree", "bogus"}) {
    int kind = -7, scope = -7;
    EXPECT_EQ(zyg::policy_from_name(v, false, &kind, &scope), -1) << v;
    EXPECT_EQ(zyg::policy_from_name(v, true, &kind, &scope), -1) << v;
  }
}

TEST(Memfree, AcceptedValues) {
  struct {
    const char* text;
    int limit;
  } cases[] = {{"0", 0}, {"50", 50}, {"100", 100}, {" 75", 75}, {"\t 7", 7}, {"75%", 75},
               {"080", 80}, {"42abc", 42}};
  for (const auto& c : cases) {
    int limit = -1;
    ASSERT_EQ(zyg::memfree_from_text(c.text, &limit), 0) << c.text;
    EXPECT_EQ(limit, c.limit) << c.text;
  }
}

TEST(Memfree, RefusedValuesLeaveTheLimitAlone) {
  for (const char* v : {"101", "-5", "x", "+5", "%75", " ", "", "4294967296", "4294967346",
                        "99999999999999999999999"}) {
    int limit = 50;
    EXPECT_EQ(zyg::memfree_from_text(v, &limit), -1) << v;
    EXPECT_EQ(limit, 50) << v;
  }
}

}  // namespace
