// Resolving the C library's own definitions of the interposed functions.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/real.h"

namespace {

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
#define ZYG_REAL(name, group, symbol, ret, params) EXPECT_NE(zyg::real.name, nullptr) << #name;
#include "core/interposed.def"
  EXPECT_EQ(zyg::real.syscall(SYS_getpid), (long)getpid());
}

}  // namespace
