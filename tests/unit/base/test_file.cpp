// Small whole-file reads: the one-line reader stops at the read that ends
// with the newline and otherwise reads like read_small_file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "base/file.h"

namespace {

class SmallFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-test-file-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override { unlink(path_.c_str()); }
  void Write(const std::string& text) {
    int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
  }
  std::string path_;
};

TEST_F(SmallFile, OneLineIsReadWhole) {
  Write("bench_create\n");
  char buf[32];
  EXPECT_EQ(zyg::read_small_line_file(path_.c_str(), buf, sizeof buf), 13);
  EXPECT_STREQ(buf, "bench_create\n");
}

TEST_F(SmallFile, TextWithoutNewlineIsReadToTheEnd) {
  Write("no newline");
  char buf[32];
  EXPECT_EQ(zyg::read_small_line_file(path_.c_str(), buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "no newline");
}

TEST_F(SmallFile, NewlinesInsideTheTextAreKept) {
  // What one read returns is kept whole: a name may hold a newline itself.
  Write("a\nb\n");
  char buf[32];
  EXPECT_EQ(zyg::read_small_line_file(path_.c_str(), buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "a\nb\n");
}

TEST_F(SmallFile, ReadStopsAtTheBufferAsTheWholeFileRead) {
  Write("0123456789\n");
  char a[8], b[8];
  EXPECT_EQ(zyg::read_small_line_file(path_.c_str(), a, sizeof a), 7);
  EXPECT_EQ(zyg::read_small_file(path_.c_str(), b, sizeof b), 7);
  EXPECT_STREQ(a, b);
}

TEST_F(SmallFile, MissingFileIsMinusEnoentAtTheOpen) {
  char buf[8];
  zyg::file_step failed = zyg::FILE_READ;
  EXPECT_EQ(zyg::read_small_line_file("/nonexistent/zyg-test", buf, sizeof buf, &failed), -ENOENT);
  EXPECT_EQ(failed, zyg::FILE_OPEN);
  EXPECT_STREQ(buf, "");
}

TEST(SmallLineFile, ProcCommMatchesTheWholeFileRead) {
  char a[32], b[32];
  long n = zyg::read_small_line_file("/proc/self/comm", a, sizeof a);
  ASSERT_GT(n, 0);
  EXPECT_EQ(zyg::read_small_file("/proc/self/comm", b, sizeof b), n);
  EXPECT_STREQ(a, b);
}

}  // namespace
