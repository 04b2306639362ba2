// The kernel's list format, read once for CPU lists, node lists and the
// report tool: the items seen, where a list ends, and the two refusals.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "shared/list_text.h"

namespace {

using Ranges = std::vector<std::pair<unsigned long, unsigned long>>;

struct ListCase {
  const char* text;
  int result;
  Ranges seen;
};

class ListText : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListText, ReadsItemsUpToTheEnd) {
  const ListCase& c = GetParam();
  Ranges seen;
  const int r = zyg::for_each_list_range(
      c.text, 8, [&](unsigned long lo, unsigned long hi) { seen.emplace_back(lo, hi); });
  EXPECT_EQ(r, c.result) << c.text;
  EXPECT_EQ(seen, c.seen) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListText,
    ::testing::Values(ListCase{"", 0, {}}, ListCase{"\n", 0, {}},
                      ListCase{"0-1,3,5-7\n", 0, {{0, 1}, {3, 3}, {5, 7}}},
                      // A value in the middle of a status file: the rest is not the list's.
                      ListCase{"2\nCpus_allowed:\tff", 0, {{2, 2}}},
                      ListCase{"1,7-8", zyg::kListBeyond, {{1, 1}}},
                      ListCase{"1,", zyg::kListBad, {{1, 1}}}, ListCase{"2-1", zyg::kListBad, {}},
                      ListCase{"1,,2", zyg::kListBad, {{1, 1}}}, ListCase{"-1", zyg::kListBad, {}},
                      ListCase{"0-3x", zyg::kListBad, {{0, 3}}},
                      ListCase{" 1", zyg::kListBad, {}}));

TEST(ListText, NoTextIsNoList) {
  EXPECT_EQ(zyg::for_each_list_range(nullptr, 8, [](unsigned long, unsigned long) {}),
            zyg::kListBad);
}

}  // namespace
