// The environment edit of an rr_pack child: the library leaves LD_PRELOAD and
// the launch file variables go, in place, without allocating, and the
// caller's strings are left untouched when they fit the library's buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/names.h"
#include "placement/create.h"

namespace {

const std::string kRel = zyg::kReleaseLibPath;
const std::string kDbg = zyg::kDebugLibPath;

struct Env {
  std::vector<std::string> text;  // owns the strings
  std::vector<char*> ptrs;
  explicit Env(std::vector<std::string> entries) : text(std::move(entries)) {
    for (std::string& s : text) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
  std::vector<std::string> now() const {
    std::vector<std::string> out;
    for (char* const* e = ptrs.data(); *e != nullptr; ++e) out.emplace_back(*e);
    return out;
  }
};

TEST(StripLaunchEnvInPlace, DropsFileVariablesAndTheLibrary) {
  Env env({"HOME=/root", "LD_PRELOAD=" + kRel, "ZYG_LAUNCH_DATA_FILE=/dev/shm/zyg-nox.7",
           "PATH=/bin", "ZYG_LAUNCH_ERROR_FILE=/tmp/e"});
  EXPECT_EQ(zyg::strip_launch_env_in_place(env.ptrs.data()), 3);
  EXPECT_EQ(env.now(), (std::vector<std::string>{"HOME=/root", "PATH=/bin"}));
}

TEST(StripLaunchEnvInPlace, KeepsOtherPreloadedLibraries) {
  std::string original = "LD_PRELOAD=/opt/a.so:" + kRel + " /opt/b.so:" + kDbg;
  Env env({"A=1", original, "B=2"});
  EXPECT_EQ(zyg::strip_launch_env_in_place(env.ptrs.data()), 1);
  EXPECT_EQ(env.now(), (std::vector<std::string>{"A=1", "LD_PRELOAD=/opt/a.so:/opt/b.so", "B=2"}));
  // The edit went into the library's own buffer, not the caller's string.
  EXPECT_EQ(env.text[1], original);
  EXPECT_NE(env.ptrs[1], env.text[1].data());
}

TEST(StripLaunchEnvInPlace, LeavesUnrelatedEntriesAlone) {
  Env env({"LD_PRELOAD=/opt/a.so", "ZYG_LAUNCH_DATA_FILEX=1", "ZYG_LAUNCH_LOG_FILE=run.log",
           "LD_PRELOAD_EXTRA=" + kRel});
  char* first = env.ptrs[0];
  EXPECT_EQ(zyg::strip_launch_env_in_place(env.ptrs.data()), 0);
  EXPECT_EQ(env.now(), (std::vector<std::string>{"LD_PRELOAD=/opt/a.so", "ZYG_LAUNCH_DATA_FILEX=1",
                                                 "ZYG_LAUNCH_LOG_FILE=run.log",
                                                 "LD_PRELOAD_EXTRA=" + kRel}));
  EXPECT_EQ(env.ptrs[0], first);
}

TEST(StripLaunchEnvInPlace, OverlongPreloadIsEditedWhereItIs) {
  std::string longlist = "LD_PRELOAD=" + std::string(9000, 'x') + ":" + kRel;
  Env env({longlist});
  char* where = env.ptrs[0];
  EXPECT_EQ(zyg::strip_launch_env_in_place(env.ptrs.data()), 1);
  ASSERT_EQ(env.ptrs[0], where);
  EXPECT_EQ(std::string(env.ptrs[0]), "LD_PRELOAD=" + std::string(9000, 'x'));
}

TEST(StripLaunchEnvInPlace, EmptyAndNull) {
  EXPECT_EQ(zyg::strip_launch_env_in_place(nullptr), 0);
  Env env({});
  EXPECT_EQ(zyg::strip_launch_env_in_place(env.ptrs.data()), 0);
  EXPECT_EQ(env.ptrs[0], nullptr);
}

}  // namespace
