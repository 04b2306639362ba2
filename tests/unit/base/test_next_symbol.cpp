// The lock-free RTLD_NEXT lookup against dlsym(RTLD_NEXT): the same address,
// or left to dlsym. next_shim.c's library comes before the C library.
#include "base/next_symbol.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

extern "C" const void* next_shim_self(void);

namespace {

const void* self() { return reinterpret_cast<const void*>(&self); }

void* next_after(const void* object, const char* name) {
  zyg::next_objects after;
  zyg::next_objects_init(&after, object);
  return zyg::next_symbol(after, name);
}

struct NameCase {
  const char* name;
  const char* env[2];  // a variable set for the lookup, or none
  int answered;        // 1 here, 0 left to dlsym, -1 either (ASan's memcpy comes first)
};

class NextSymbol : public ::testing::TestWithParam<NameCase> {};

TEST_P(NextSymbol, AgreesWithDlsym) {
  const NameCase& c = GetParam();
  if (c.env[0]) setenv(c.env[0], c.env[1], 1);
  void* got = next_after(self(), c.name);
  if (c.env[0]) unsetenv(c.env[0]);
  if (c.answered >= 0) {
    EXPECT_EQ(got != nullptr, c.answered == 1);
  }
  if (got != nullptr) {  // an indirect function's own address would not be dlsym's
    EXPECT_EQ(got, dlsym(RTLD_NEXT, c.name));
  }
}

// exit: global; execve: weak; posix_spawn: a hidden old version elsewhere
// beside the default; execvpe: the shim's; memcpy: an indirect function.
// LD_DYNAMIC_WEAK (any value) passes over a weak definition for a later
// global one, and an auditor may rebind: only dlsym knows then.
INSTANTIATE_TEST_SUITE_P(Shapes, NextSymbol,
                         ::testing::Values(NameCase{"exit", {}, 1}, NameCase{"execve", {}, 1},
                                           NameCase{"posix_spawn", {}, 1},
                                           NameCase{"execvpe", {}, 1}, NameCase{"memcpy", {}, -1},
                                           NameCase{"environ", {}, 0},
                                           NameCase{"zyg_no_such_function", {}, 0},
                                           NameCase{"execve", {"LD_DYNAMIC_WEAK", ""}, 0},
                                           NameCase{"execve", {"LD_AUDIT", "/x/audit.so"}, 0},
                                           NameCase{"execve", {"LD_AUDIT", ""}, 1}),
                         [](const ::testing::TestParamInfo<NameCase>& i) {
                           return std::string(i.param.name) + "_" + std::to_string(i.index);
                         });

// From the shim's own place the search starts after it.
TEST(NextSymbolAfter, TheObjectItIsAskedFrom) {
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  void* libc_execvpe = dlsym(libc, "execvpe");
  dlclose(libc);
  EXPECT_NE(next_after(self(), "execvpe"), libc_execvpe);
  EXPECT_EQ(next_after(next_shim_self(), "execvpe"), libc_execvpe);
}

}  // namespace
