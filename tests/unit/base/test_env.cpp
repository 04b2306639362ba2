// The process's own environment: lookups that also scan environ, and unsets
// that also remove what a program's own unsetenv left behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "base/env.h"

extern char** environ;

namespace {

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

}  // namespace
