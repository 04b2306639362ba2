// The words srun --zyg-nox=OPTIONS gives the launcher, and the task's argv.
#include "task_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zyg::slurm::split_options;
using zyg::slurm::task_argv;

std::vector<std::string> split(const char* text, std::size_t buf_size = 256, int max = 8) {
  char buf[256];
  char* words[8];
  int n = split_options(text, buf, buf_size, words, max);
  if (n < 0) return {"<refused>"};
  return std::vector<std::string>(words, words + n);
}

struct SplitCase {
  const char* text;
  std::vector<std::string> words;
};

class SplitOptions : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitOptions, SplitsAsAShellWould) { EXPECT_EQ(split(GetParam().text), GetParam().words); }

const std::vector<std::string> kRefused = {"<refused>"};

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitOptions,
    testing::Values(SplitCase{"", {}}, SplitCase{" \t ", {}},
                    SplitCase{"-p rr_tree  -t rr_flat", {"-p", "rr_tree", "-t", "rr_flat"}},
                    SplitCase{"-l 'my run.%h.log' -c", {"-l", "my run.%h.log", "-c"}},
                    SplitCase{"-l \"a \\\"b\\\" \\c\"", {"-l", "a \"b\" \\c"}},
                    SplitCase{"-l a\\ b''c", {"-l", "a bc"}}, SplitCase{"--log=''", {"--log="}},
                    SplitCase{"-l 'run.log", kRefused}, SplitCase{"-l run.log\\", kRefused},
                    SplitCase{"1 2 3 4 5 6 7 8 9", kRefused}));

TEST(SplitOptions, RefusesATextLongerThanItsBuffer) {
  EXPECT_EQ(split("-p rr_tree", 11), (std::vector<std::string>{"-p", "rr_tree"}));
  EXPECT_EQ(split("-p rr_tree", 10), kRefused);
}

TEST(TaskArgv, PutsTheLauncherAndItsOptionsBeforeTheCommand) {
  char o0[] = "-p", o1[] = "rr_tree", c0[] = "-weird", c1[] = "x";
  char* options[] = {o0, o1};
  char* command[] = {c0, c1};
  char* out[8];
  ASSERT_EQ(task_argv("/usr/bin/zyg-nox", options, 2, command, 2, out, 8), 7);
  std::vector<std::string> got(out, out + 7);
  EXPECT_EQ(got, (std::vector<std::string>{"/usr/bin/zyg-nox", "--job", "-p", "rr_tree", "--",
                                           "-weird", "x"}));
  EXPECT_EQ(out[7], nullptr);
  EXPECT_EQ(task_argv("/usr/bin/zyg-nox", options, 2, command, 2, out, 7), -1);
}

// /proc/self/cmdline: each word ends in a NUL, empty words included.
TEST(CmdlineWords, SplitsAtEachNul) {
  char text[] = "/bin/app\0-x\0\0last";  // the array adds the last NUL
  char* words[5];
  ASSERT_EQ(zyg::slurm::cmdline_words(text, sizeof text, words, 5), 4);
  EXPECT_EQ(std::vector<std::string>(words, words + 4),
            (std::vector<std::string>{"/bin/app", "-x", "", "last"}));
  EXPECT_EQ(words[4], nullptr);
  EXPECT_EQ(zyg::slurm::cmdline_words(text, sizeof text, words, 4), -1) << "no room for the null";
  EXPECT_EQ(zyg::slurm::cmdline_words(text, sizeof text - 1, words, 5), -1) << "a cut word";
}

}  // namespace
