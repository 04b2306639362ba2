// Start-up configuration: policy names, memfree values, environment lookup,
// and the resolution of real functions.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/init.h"
#include "core/real.h"
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

class EnvLookup : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("ZYG_TEST_INIT_VAR"); }
};

TEST_F(EnvLookup, GetenvValue) {
  setenv("ZYG_TEST_INIT_VAR", "abc", 1);
  const char* v = zyg::env_lookup("ZYG_TEST_INIT_VAR");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "abc");
}

TEST_F(EnvLookup, AbsentGivesNothing) {
  unsetenv("ZYG_TEST_INIT_VAR");
  EXPECT_EQ(zyg::env_lookup("ZYG_TEST_INIT_VAR"), nullptr);
}

TEST_F(EnvLookup, EmptyValueIsPresent) {
  setenv("ZYG_TEST_INIT_VAR", "", 1);
  const char* v = zyg::env_lookup("ZYG_TEST_INIT_VAR");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "");
}

// Programs that edit environ themselves: getenv and a scan agree on glibc,
// but the scan must find entries through environ alone and must match the
// whole name, not a prefix of a longer one.
TEST_F(EnvLookup, ScansEnvironAndMatchesWholeNames) {
  char longer[] = "ZYG_TEST_INIT_VAR_LONGER=no";
  char exact[] = "ZYG_TEST_INIT_VAR=yes";
  char* fake[] = {longer, exact, nullptr};
  char** saved = environ;
  environ = fake;
  const char* v = zyg::env_lookup("ZYG_TEST_INIT_VAR");
  const char* missing = zyg::env_lookup("ZYG_TEST_INIT");
  environ = saved;
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "yes");
  EXPECT_EQ(missing, nullptr);
}

TEST_F(EnvLookup, EmptyGetenvFallsBackToALaterEntry) {
  char empty[] = "ZYG_TEST_INIT_VAR=";
  char later[] = "ZYG_TEST_INIT_VAR=second";
  char* fake[] = {empty, later, nullptr};
  char** saved = environ;
  environ = fake;
  const char* v = zyg::env_lookup("ZYG_TEST_INIT_VAR");
  environ = saved;
  ASSERT_NE(v, nullptr);
  // getenv gives the first (empty) entry; the scan takes the first entry too.
  EXPECT_STREQ(v, "");
}

TEST_F(EnvLookup, NullEnvironGivesNothing) {
  char** saved = environ;
  environ = nullptr;
  const char* v = zyg::env_lookup("ZYG_TEST_INIT_VAR");
  environ = saved;
  EXPECT_EQ(v, nullptr);
}

TEST_F(EnvLookup, UnsetRemovesEveryEntryEvenWhenUnsetenvMissesIt) {
  // Entries that the C library's unsetenv does not know about (a program
  // that built environ itself) go as well; other entries keep their order.
  char a[] = "A_ZYG_TEST=1";
  char x1[] = "ZYG_TEST_INIT_VAR=1";
  char b[] = "ZYG_TEST_INIT_VAR_LONGER=2";
  char x2[] = "ZYG_TEST_INIT_VAR=3";
  char c[] = "C_ZYG_TEST=4";
  char* fake[] = {a, x1, b, x2, c, nullptr};
  char** saved = environ;
  environ = fake;
  zyg::env_unset("ZYG_TEST_INIT_VAR");
  environ = saved;
  EXPECT_EQ(fake[0], a);
  EXPECT_EQ(fake[1], b);
  EXPECT_EQ(fake[2], c);
  EXPECT_EQ(fake[3], nullptr);
}

// In a test program there are no wrappers: the next definition after the
// program is the C library's own.
TEST(ResolveReal, FindsTheCLibraryDefinition) {
  void* p = zyg::resolve_real("execve", "symbol # 11", nullptr);
  EXPECT_EQ(p, dlsym(RTLD_DEFAULT, "execve"));
}

TEST(ResolveRealDeathTest, MissingNameEndsTheProcessWithTheLoaderText) {
  EXPECT_EXIT(zyg::resolve_real("zyg_no_such_function", "symbol # 99", nullptr),
              ::testing::ExitedWithCode(1),
              "zyg-nox error: can't obtain address for symbol # 99\n       .*zyg_no_such_function");
}

TEST(ResolveRealDeathTest, FindingOurselvesEndsTheProcess) {
  void* libc_execve = dlsym(RTLD_DEFAULT, "execve");
  EXPECT_EXIT(zyg::resolve_real("execve", "symbol # 11", libc_execve),
              ::testing::ExitedWithCode(1), "zyg-nox error: symbol # 11 is not different");
}

TEST(ResolveReal, EveryGroupResolves) {
  zyg::resolve_all();
  for (int g = 0; g < zyg::GROUP_COUNT; ++g) EXPECT_EQ(zyg::real_resolved[g], 1u) << g;
  EXPECT_NE(zyg::real.exit, nullptr);
  EXPECT_NE(zyg::real._exit, nullptr);
  EXPECT_NE(zyg::real._Exit, nullptr);
  EXPECT_NE(zyg::real.syscall, nullptr);
  EXPECT_NE(zyg::real.fork, nullptr);
  EXPECT_NE(zyg::real.clone, nullptr);
  EXPECT_NE(zyg::real.pthread_create, nullptr);
  EXPECT_NE(zyg::real.execve, nullptr);
  EXPECT_NE(zyg::real.execvpe, nullptr);
  EXPECT_NE(zyg::real.fexecve, nullptr);
  EXPECT_NE(zyg::real.execvp, nullptr);
  EXPECT_NE(zyg::real.execv, nullptr);
  EXPECT_NE(zyg::real.posix_spawn, nullptr);
  EXPECT_NE(zyg::real.posix_spawnp, nullptr);
  EXPECT_NE(zyg::real.system, nullptr);
  EXPECT_EQ(zyg::real.syscall(SYS_getpid), (long)getpid());
}

}  // namespace
