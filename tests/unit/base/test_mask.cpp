// The walk over a mask's set bits, which start-up uses on node masks with
// room for 1024 nodes: it must see every set bit below the mask's size and
// nothing above it, across word boundaries.
#include <gtest/gtest.h>
#include <numa.h>

#include <vector>

#include "base/mask.h"

namespace {

struct WalkCase {
  unsigned size;
  std::vector<unsigned> bits;
};

class MaskNextSet : public ::testing::TestWithParam<WalkCase> {};

TEST_P(MaskNextSet, VisitsEverySetBitInOrder) {
  const WalkCase& c = GetParam();
  bitmask* m = zyg::mask_alloc(c.size);
  ASSERT_NE(m, nullptr);
  for (unsigned b : c.bits) zyg::mask_setbit(m, b);
  std::vector<unsigned> seen;
  for (int b = zyg::mask_next_set(m, 0); b >= 0; b = zyg::mask_next_set(m, (unsigned)b + 1))
    seen.push_back((unsigned)b);
  EXPECT_EQ(seen, c.bits);
  EXPECT_EQ(zyg::mask_next_set(m, c.size), -1);
  zyg::mask_free(m);
}

INSTANTIATE_TEST_SUITE_P(Masks, MaskNextSet,
                         ::testing::Values(WalkCase{1024, {}}, WalkCase{1024, {0}},
                                           WalkCase{1024, {63, 64, 1023}}, WalkCase{70, {1, 69}},
                                           WalkCase{64, {63}}));

// Bits the mask's last word holds beyond its size are not the mask's.
TEST(MaskNextSet, IgnoresBitsBeyondTheSize) {
  bitmask* m = zyg::mask_alloc(70);
  ASSERT_NE(m, nullptr);
  m->maskp[1] |= 1UL << 10;  // bit 74
  EXPECT_EQ(zyg::mask_next_set(m, 0), -1);
  EXPECT_EQ(zyg::mask_next_set(nullptr, 0), -1);
  zyg::mask_free(m);
}

}  // namespace
