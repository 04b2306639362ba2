// Exec interposition's pure pieces: the launch-log record of an exec, the
// argument vectors collected from execl-style lists, and how an environment
// is recognised as a launch of its own or as one that joins this launch.
#include "base/scratch.h"
#include "exec/exec.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

std::string record(const char* fn, const char* file, int setid, int thirty_two,
                   size_t size = 256, int* len = nullptr, bool new_launch = false) {
  char buf[512];
  memset(buf, 'X', sizeof(buf));
  int n = zyg::format_exec_record(buf, size, fn, file, setid, thirty_two, new_launch);
  if (len) *len = n;
  return std::string(buf);
}

TEST(ExecRecord, PrecedenceSetidThenThirtyTwoThenPlain) {
  EXPECT_EQ(record("execve", "/bin/ls", 0, 0), "execve(/bin/ls)");
  EXPECT_EQ(record("execvp", "ls", 0, 1), "32-bit executable: execvp(ls)");
  EXPECT_EQ(record("posix_spawn", "/x/su", 1, 0), "setuid/setgid executable: posix_spawn(/x/su)");
  // Both: the set-ID text wins.
  EXPECT_EQ(record("execl", "/x/old", 1, 1), "setuid/setgid executable: execl(/x/old)");
  // A launch of its own, unless the program cannot take the library at all.
  EXPECT_EQ(record("execvpe", "true", 0, 0, 256, nullptr, true), "new launch: execvpe(true)");
  EXPECT_EQ(record("execv", "/x/old", 0, 1, 256, nullptr, true), "32-bit executable: execv(/x/old)");
}

TEST(ExecRecord, CutAt255Characters) {
  std::string file(300, 'a');
  int len = 0;
  std::string got = record("execve", file.c_str(), 0, 0, 256, &len);
  EXPECT_EQ(got.size(), 255u);
  EXPECT_EQ(len, 255);
  EXPECT_EQ(got, ("execve(" + file).substr(0, 255));
  // A record that fits exactly is whole.
  std::string fits(255 - strlen("execve()"), 'b');
  got = record("execve", fits.c_str(), 0, 0, 256, &len);
  EXPECT_EQ(got, "execve(" + fits + ")");
  EXPECT_EQ(len, 255);
  // The prefix counts toward the limit.
  got = record("execve", file.c_str(), 1, 0, 256, &len);
  EXPECT_EQ(got.size(), 255u);
  EXPECT_EQ(got.rfind("setuid/setgid executable: execve(aaa", 0), 0u);
}

TEST(ExecRecord, FormNames) {
  const char* want[] = {"execve", "execvpe", "fexecve", "execle", "execvp",
                        "execv",  "execl",   "execlp",  "execveat"};
  static_assert(sizeof want / sizeof want[0] == zyg::FORM_COUNT);
  for (int f = 0; f < zyg::FORM_COUNT; ++f)
    EXPECT_STREQ(zyg::exec_form_name(static_cast<zyg::exec_form>(f)), want[f]);
  EXPECT_STREQ(zyg::exec_form_name(zyg::FORM_COUNT), "");
}

Strings vec(char** v) {
  Strings out;
  for (; *v != nullptr; ++v) out.emplace_back(*v);
  return out;
}

char** collect(char*** envp, const char* first, ...) {
  va_list ap;
  va_start(ap, first);
  char** v = zyg::collect_args(first, ap, envp);
  va_end(ap);
  return v;
}

TEST(CollectArgs, VectorUpToTheNull) {
  char** v = collect(nullptr, "ls", "-l", "/tmp", (char*)nullptr, "not taken");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(vec(v), (Strings{"ls", "-l", "/tmp"}));
  EXPECT_EQ(v[3], nullptr);
  zyg::scratch_free(v);

  v = collect(nullptr, "one", (char*)nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(vec(v), (Strings{"one"}));
  zyg::scratch_free(v);
}

TEST(CollectArgs, NullFirstArgumentGivesAnEmptyVector) {
  char** v = collect(nullptr, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], nullptr);
  zyg::scratch_free(v);
}

TEST(CollectArgs, ExecleEnvironmentFollowsTheNull) {
  char a[] = "A=1";
  char b[] = "B=2";
  char* env[] = {a, b, nullptr};
  char** got = nullptr;
  char** v = collect(&got, "prog", "x", (char*)nullptr, env);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(vec(v), (Strings{"prog", "x"}));
  EXPECT_EQ(got, env);
  zyg::scratch_free(v);

  got = env;
  v = collect(&got, nullptr, (char**)nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0], nullptr);
  EXPECT_EQ(got, nullptr);
  zyg::scratch_free(v);
}

TEST(LaunchEnv, NewLaunchOnlyWithTheLauncherLibraryVariable) {
  char lib[] = "ZYG_LAUNCH_LIB64=/usr/lib64/libzyg-nox.so.1.0.4";
  char other[] = "ZYG_LAUNCH_LIB64X=1";
  char bare[] = "ZYG_LAUNCH_LIB64";
  char path[] = "PATH=/bin";
  char* with[] = {path, lib, nullptr};
  char* without[] = {path, other, bare, nullptr};
  EXPECT_TRUE(zyg::is_new_launch_env(with));
  EXPECT_FALSE(zyg::is_new_launch_env(without));
  EXPECT_FALSE(zyg::is_new_launch_env(nullptr));
}

TEST(LaunchEnv, JoinsWithANonEmptyDataFile) {
  char data[] = "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.12";
  char empty[] = "ZYG_LAUNCH_DATA_FILE=";
  char other[] = "ZYG_LAUNCH_DATA_FILEX=/dev/shm/zyg-nox.12";
  char* joins[] = {data, nullptr};
  char* not_empty[] = {empty, nullptr};
  char* not_other[] = {other, nullptr};
  EXPECT_TRUE(zyg::env_joins_launch(joins));
  EXPECT_FALSE(zyg::env_joins_launch(not_empty));
  EXPECT_FALSE(zyg::env_joins_launch(not_other));
  EXPECT_FALSE(zyg::env_joins_launch(nullptr));
}

}  // namespace
