// CPU lists as the kernel writes them.
#include <gtest/gtest.h>

#include "lists/cpu_list.h"

using namespace zr;

namespace {

TEST(CpuList, ReadsRangesAndRefusesOtherText) {
  EXPECT_EQ(parse_cpu_list("0-2,5,7-8\n"), (std::vector<int>{0, 1, 2, 5, 7, 8}));
  EXPECT_EQ(parse_cpu_list("3"), (std::vector<int>{3}));
  for (const char* bad : {"", "?", "2-1", "1,,2", "1-", "-1", "0-3x", "a"})
    EXPECT_TRUE(parse_cpu_list(bad).empty()) << bad;
}

}  // namespace
