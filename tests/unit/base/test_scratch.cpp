// Blocks a vfork child still holds when the parent resumes are released, at
// the child's level only: an enclosing child's blocks stay theirs.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/scratch.h"

namespace {

bool mapped(void* p) {
  unsigned char v;
  long page = sysconf(_SC_PAGESIZE);
  void* at = reinterpret_cast<void*>(reinterpret_cast<unsigned long>(p) & ~(page - 1));
  return mincore(at, 1, &v) == 0;
}

TEST(Scratch, ResumeReleasesOnlyTheChildrensBlocks) {
  void* parents = zyg::scratch_alloc(64);
  zyg::vfork_child_begin();                   // a child
  void* kept = zyg::scratch_alloc(64);
  zyg::vfork_child_begin();                   // its own vfork child
  void* left = zyg::scratch_alloc(64);
  void* freed = zyg::scratch_alloc(64);
  zyg::scratch_free(freed);
  EXPECT_EQ(zyg::vfork_depth(), 2u);

  zyg::vfork_parent_resume(1);                // the inner child exec'd
  EXPECT_FALSE(mapped(left));
  EXPECT_TRUE(mapped(kept));
  EXPECT_EQ(zyg::vfork_depth(), 1u);

  zyg::vfork_parent_resume(0);
  EXPECT_FALSE(mapped(kept));
  EXPECT_TRUE(mapped(parents));
  EXPECT_EQ(zyg::vfork_depth(), 0u);
  zyg::scratch_free(parents);
}

TEST(Scratch, ChildBeyondItsRecordsGetsNoBlock) {
  zyg::vfork_child_begin();
  void* blocks[32] = {};
  int got = 0;
  while (got < 32 && (blocks[got] = zyg::scratch_alloc(16)) != nullptr) ++got;
  EXPECT_GT(got, 4);
  EXPECT_LT(got, 32);
  zyg::vfork_parent_resume(0);
  for (int i = 0; i < got; ++i) EXPECT_FALSE(mapped(blocks[i]));
}

}  // namespace
