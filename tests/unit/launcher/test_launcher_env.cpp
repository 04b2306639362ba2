// The launcher's copy of the inherited environment and its LD_PRELOAD edit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/names.h"
#include "launch_env.h"

namespace {

using zyg::launcher::LaunchEnv;

const std::string kRel = zyg::kReleaseLibPath;
const std::string kDbg = zyg::kDebugLibPath;

class Env : public ::testing::Test {
 protected:
  void TearDown() override { zyg::launcher::launch_env_free(&env_); }

  void init(std::vector<std::string> inherited) {
    inherited_ = std::move(inherited);
    ptrs_.clear();
    for (auto& s : inherited_) ptrs_.push_back(s.data());
    ptrs_.push_back(nullptr);
    ASSERT_EQ(zyg::launcher::launch_env_init(&env_, ptrs_.data()), 0);
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> v;
    for (size_t i = 0; i < env_.count; ++i) v.emplace_back(env_.entries[i]);
    EXPECT_EQ(env_.entries[env_.count], nullptr);
    return v;
  }

  std::vector<std::string> inherited_;
  std::vector<char*> ptrs_;
  LaunchEnv env_;
};

TEST_F(Env, LaunchVariablesDroppedOthersKept) {
  std::vector<std::string> in = {"A=1"};
  for (const char* name : zyg::kLaunchEnvNames) in.push_back(std::string(name) + "=x");
  in.insert(in.end(), {"ZYG_OTHER=1", "ZYG_LAUNCH_NODESX=1", "ZYG_LAUNCH_NODES", "ZYG_=",
                       "LD_PRELOAD_X=" + kRel, "B=2"});
  init(in);
  EXPECT_EQ(entries(), (std::vector<std::string>{"A=1", "ZYG_OTHER=1", "ZYG_LAUNCH_NODESX=1",
                                                 "ZYG_=", "LD_PRELOAD_X=" + kRel, "B=2"}));
  // the kept entries are the inherited strings themselves
  EXPECT_EQ(env_.entries[0], ptrs_[0]);
}

TEST_F(Env, IsLaunchVariable) {
  EXPECT_TRUE(zyg::launcher::is_launch_variable("ZYG_LAUNCH_LIB32_64=/x"));
  EXPECT_TRUE(zyg::launcher::is_launch_variable("ZYG_LAUNCH_NODES"));
  EXPECT_TRUE(zyg::launcher::is_launch_variable("ZYG_LAUNCH_MEMFREE="));
  EXPECT_FALSE(zyg::launcher::is_launch_variable("ZYG_LAUNCH_LIB3=/x"));
  EXPECT_FALSE(zyg::launcher::is_launch_variable("ZYG_LAUNCH_LIB64X=/x"));
  EXPECT_FALSE(zyg::launcher::is_launch_variable("XZYG_LAUNCH_NODES=0"));
  EXPECT_FALSE(zyg::launcher::is_launch_variable("LD_PRELOAD=x"));
}

TEST_F(Env, PreloadCleanedInPlace) {
  init({"A=1", "LD_PRELOAD=" + kRel + " /opt/a.so", "B=2", "LD_PRELOAD=" + kDbg,
        "LD_PRELOAD= : ", "LD_PRELOAD=/opt/b.so\t" + kRel + ":/opt/c.so"});
  EXPECT_EQ(entries(), (std::vector<std::string>{"A=1", "LD_PRELOAD=/opt/a.so", "B=2",
                                                 "LD_PRELOAD=", "LD_PRELOAD= : ",
                                                 "LD_PRELOAD=/opt/b.so:/opt/c.so"}));
  // the caller's strings are never edited
  EXPECT_EQ(inherited_[1], "LD_PRELOAD=" + kRel + " /opt/a.so");
}

TEST_F(Env, NullInherited) {
  ASSERT_EQ(zyg::launcher::launch_env_init(&env_, nullptr), 0);
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(env_.capacity, 16u);
  ASSERT_EQ(zyg::launcher::launch_env_add_preload(&env_, kRel.c_str()), 0);
  EXPECT_EQ(entries(), std::vector<std::string>{"LD_PRELOAD=" + kRel});
}

TEST_F(Env, AppendKeepsOrderAndGrows) {
  init({"A=1"});
  EXPECT_EQ(env_.capacity, 17u);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(zyg::launcher::launch_env_append(&env_, "V", std::to_string(i).c_str()), 0);
  }
  auto v = entries();
  ASSERT_EQ(v.size(), 41u);
  EXPECT_EQ(v[0], "A=1");
  EXPECT_EQ(v[1], "V=0");
  EXPECT_EQ(v[40], "V=39");
}

TEST_F(Env, PreloadExtended) {
  struct Case {
    std::string inherited;
    std::string expected;
  };
  for (const Case& c : {Case{"/opt/a.so", "/opt/a.so:" + kRel}, Case{"", kRel},
                        Case{kDbg, kRel}, Case{kRel, kRel}, Case{kRel + " /opt/a.so", "/opt/a.so:" + kRel},
                        Case{" : ", " : :" + kRel}}) {
    SCOPED_TRACE(c.inherited);
    zyg::launcher::launch_env_free(&env_);
    init({"A=1", "LD_PRELOAD=" + c.inherited, "B=2"});
    ASSERT_EQ(zyg::launcher::launch_env_add_preload(&env_, kRel.c_str()), 0);
    EXPECT_EQ(entries(), (std::vector<std::string>{"A=1", "LD_PRELOAD=" + c.expected, "B=2"}));
  }
}

TEST_F(Env, OnlyFirstPreloadExtended) {
  init({"LD_PRELOAD_X=/x", "LD_PRELOAD=/a", "LD_PRELOAD=/b"});
  ASSERT_EQ(zyg::launcher::launch_env_add_preload(&env_, kDbg.c_str()), 0);
  EXPECT_EQ(entries(), (std::vector<std::string>{"LD_PRELOAD_X=/x", "LD_PRELOAD=/a:" + kDbg,
                                                 "LD_PRELOAD=/b"}));
}

TEST_F(Env, PreloadAppendedWhenAbsent) {
  init({"A=1"});
  ASSERT_EQ(zyg::launcher::launch_env_append(&env_, zyg::kEnvCpuPolicy, "1"), 0);
  ASSERT_EQ(zyg::launcher::launch_env_append(&env_, zyg::kEnvLib64, kRel.c_str()), 0);
  ASSERT_EQ(zyg::launcher::launch_env_add_preload(&env_, kRel.c_str()), 0);
  EXPECT_EQ(entries(), (std::vector<std::string>{"A=1", "ZYG_LAUNCH_CPU_POLICY=1",
                                                 "ZYG_LAUNCH_LIB64=" + kRel,
                                                 "LD_PRELOAD=" + kRel}));
}

}  // namespace
