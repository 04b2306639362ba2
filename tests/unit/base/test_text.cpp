// The text builder against snprintf: the same text, the same length counted
// past a buffer too small, always ended by a NUL.
#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct JoinCase {
  const char* prefix;
  long value;
  size_t size;
};

class TextJoinInt : public ::testing::TestWithParam<JoinCase> {};

TEST_P(TextJoinInt, MatchesSnprintf) {
  const JoinCase& c = GetParam();
  char want[64], got[64];
  memset(want, 'x', sizeof want);
  memset(got, 'x', sizeof got);
  int n = snprintf(want, c.size, "%s%ld", c.prefix, c.value);
  EXPECT_EQ(zyg::text_join_int(got, c.size, c.prefix, c.value), (size_t)n);
  EXPECT_EQ(std::string(got, got + sizeof got), std::string(want, want + sizeof want));
}

INSTANTIATE_TEST_SUITE_P(Cases, TextJoinInt,
                         ::testing::Values(JoinCase{"pid ", 0, 64}, JoinCase{"", 7, 64},
                                           JoinCase{"n=", -42, 64}, JoinCase{"", LONG_MIN, 64},
                                           JoinCase{"", LONG_MAX, 64}, JoinCase{"", INT_MIN, 64},
                                           JoinCase{"pid ", 12345, 7}, JoinCase{"pid ", 12345, 1},
                                           JoinCase{"pid ", 12345, 0},
                                           JoinCase{"long prefix", -9, 5}));

TEST(Text, PiecesAfterTheBufferIsFullAreCountedNotWritten) {
  char buf[8];
  zyg::text_out o = zyg::text_start(buf, sizeof buf);
  zyg::text_put(&o, "abcdef");
  zyg::text_put_char(&o, '=');
  zyg::text_put(&o, "ghij", 4);
  zyg::text_put_int(&o, 55);
  EXPECT_EQ(zyg::text_length(&o), 13u);
  EXPECT_STREQ(buf, "abcdef=");
}

}  // namespace
