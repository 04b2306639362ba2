// The calling thread's memory policy read and put back exactly: mode, mode
// flags and node mask.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/mempolicy.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "base/os.h"

namespace {

long set_policy(int mode, const unsigned long* mask, unsigned long maxnode) {
  return syscall(SYS_set_mempolicy, mode, mask, maxnode);
}

struct Policy {
  const char* name;
  int mode;  // with its flags
  bool with_node0;
};

class MemPolicy : public ::testing::TestWithParam<Policy> {
 protected:
  void TearDown() override { set_policy(MPOL_DEFAULT, nullptr, 0); }
};

TEST_P(MemPolicy, SavedPolicyIsPutBackExactly) {
  const Policy p = GetParam();
  unsigned long node0 = 1;
  if (set_policy(p.mode, p.with_node0 ? &node0 : nullptr, p.with_node0 ? 64 : 0) != 0)
    GTEST_SKIP() << "kernel refuses " << p.name << ": errno " << errno;
  zyg::os_mempolicy saved;
  ASSERT_EQ(zyg::os_get_mempolicy(&saved), 0);
  EXPECT_EQ(saved.mode, p.mode);

  ASSERT_EQ(zyg::os_mempolicy_default(), 0);
  errno = 77;
  ASSERT_EQ(zyg::os_set_mempolicy(&saved), 0);
  EXPECT_EQ(errno, 77);

  int mode = -1;
  unsigned long mask[zyg::kMempolicyWords] = {};
  ASSERT_EQ(syscall(SYS_get_mempolicy, &mode, mask, zyg::kMempolicyWords * 64, nullptr, 0), 0);
  EXPECT_EQ(mode, p.mode);
  EXPECT_EQ(mask[0], p.with_node0 ? 1ul : 0ul);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MemPolicy,
    ::testing::Values(Policy{"interleave", MPOL_INTERLEAVE, true}, Policy{"bind", MPOL_BIND, true},
                      Policy{"preferred", MPOL_PREFERRED, true},
                      Policy{"interleave_static", MPOL_INTERLEAVE | MPOL_F_STATIC_NODES, true},
                      Policy{"local", MPOL_LOCAL, false}, Policy{"default", MPOL_DEFAULT, false}),
    [](const ::testing::TestParamInfo<Policy>& i) { return std::string(i.param.name); });

// A forget (a signal handler's policy) between the read and the note wins.
TEST(MemPolicyKnowledge, AForgetAfterTheReadWins) {
  std::thread([] {
    const unsigned char before = zyg::os_mempolicy_state();
    zyg::os_mempolicy_forget();
    zyg::os_mempolicy_note_default(before);
    EXPECT_FALSE(zyg::os_mempolicy_known_default());
  }).join();
}

}  // namespace
