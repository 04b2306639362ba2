// The lock-free RTLD_NEXT lookup against dlsym(RTLD_NEXT) itself: for every
// name it answers, the same address; the names whose answer needs the
// loader's own rules are left to dlsym. This program needs next_shim.c's
// library before the C library, and that library defines execvpe too.
#include "base/next_symbol.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

extern "C" const void* next_shim_self(void);

namespace {

const void* self() { return reinterpret_cast<const void*>(&self); }

struct NameCase {
  const char* name;
  bool answered;  // false: may be left to dlsym
};

class NextSymbol : public ::testing::TestWithParam<NameCase> {};

void* next_after(const void* object, const char* name) {
  zyg::next_objects after;
  zyg::next_objects_init(&after, object);
  return zyg::next_symbol(after, name);
}

TEST_P(NextSymbol, AgreesWithDlsym) {
  const NameCase& c = GetParam();
  void* got = next_after(self(), c.name);
  if (c.answered) {
    EXPECT_NE(got, nullptr);
  }
  // An indirect function's own address, for one, would not be dlsym's.
  if (got != nullptr) {
    EXPECT_EQ(got, dlsym(RTLD_NEXT, c.name));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, NextSymbol,
                         // exit: global; execve: weak; posix_spawn: an old, hidden version
                         // elsewhere beside the default; execvpe: the shim's, before the C
                         // library's; memcpy: an indirect function (not under ASan).
                         ::testing::Values(NameCase{"exit", true}, NameCase{"execve", true},
                                           NameCase{"posix_spawn", true}, NameCase{"execvpe", true},
                                           NameCase{"memcpy", false}, NameCase{"environ", false},
                                           NameCase{"zyg_no_such_function", false}),
                         [](const ::testing::TestParamInfo<NameCase>& i) {
                           return std::string(i.param.name);
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

// LD_DYNAMIC_WEAK (with any value) makes the loader pass over a weak
// definition when a later object has a global one, and an auditor may
// rebind what dlsym returns: only dlsym knows the answer then.
struct EnvCase {
  const char* name;
  const char* value;
  bool answered;
};

class NextSymbolEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(NextSymbolEnv, LeavesLoaderRulesToDlsym) {
  const EnvCase& c = GetParam();
  setenv(c.name, c.value, 1);
  const bool answered = next_after(self(), "execve") != nullptr;
  unsetenv(c.name);
  EXPECT_EQ(answered, c.answered);
}

INSTANTIATE_TEST_SUITE_P(Variables, NextSymbolEnv,
                         ::testing::Values(EnvCase{"LD_DYNAMIC_WEAK", "", false},
                                           EnvCase{"LD_AUDIT", "/x/audit.so", false},
                                           EnvCase{"LD_AUDIT", "", true}));

}  // namespace
