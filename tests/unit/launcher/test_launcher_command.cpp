// Resolving the command word the way execvpe searches, and the launcher's
// refusals of set-ID and 32-bit commands.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "command_check.h"

namespace {

using zyg::launcher::CommandVerdict;

class Command : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-cmd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    old_cwd_ = cwd;
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string make(const std::string& rel, mode_t mode, int cls = 2, int type = 2) {
    std::string path = dir_ + "/" + rel;
    std::string parent = path.substr(0, path.rfind('/'));
    std::string mk = "mkdir -p '" + parent + "'";
    EXPECT_EQ(system(mk.c_str()), 0);
    std::vector<char> h(64, 0);
    h[0] = 0x7f;
    h[1] = 'E';
    h[2] = 'L';
    h[3] = 'F';
    h[4] = static_cast<char>(cls);
    h[16] = static_cast<char>(type);
    std::ofstream(path, std::ios::binary).write(h.data(), static_cast<std::streamsize>(h.size()));
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string dir_;
  std::string old_cwd_;
};

TEST_F(Command, WordWithSlashIsThePath) {
  EXPECT_EQ(zyg::launcher::resolve_command_path("./x", "/bin"), "./x");
  EXPECT_EQ(zyg::launcher::resolve_command_path("/no/such", "/bin"), "/no/such");
  EXPECT_EQ(zyg::launcher::resolve_command_path("", "/bin"), "");
}

TEST_F(Command, PathElementsInOrder) {
  std::string a = make("a/tool", 0755);
  std::string b = make("b/tool", 0755);
  std::string path = dir_ + "/none:" + dir_ + "/a:" + dir_ + "/b";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), a);
  path = dir_ + "/b:" + dir_ + "/a";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), b);
  EXPECT_EQ(zyg::launcher::resolve_command_path("missing", path.c_str()), "");
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", ""), "");
}

TEST_F(Command, CandidateMustBeReadableAndExecutable) {
  make("a/tool", 0644);
  std::string b = make("b/tool", 0755);
  std::string path = dir_ + "/a:" + dir_ + "/b";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), b);
  if (geteuid() != 0) {  // root reads everything
    make("c/tool", 0311);
    path = dir_ + "/c:" + dir_ + "/b";
    EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), b);
  }
}

TEST_F(Command, DirectoryOfTheNameIsPassedOver) {
  std::string b = make("b/tool", 0755);
  ASSERT_EQ(mkdir((dir_ + "/a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ + "/a/tool").c_str(), 0755), 0);
  std::string path = dir_ + "/a:" + dir_ + "/b";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), b);
}

TEST_F(Command, EmptyElementIsTheCurrentDirectory) {
  make("here/tool", 0755);
  std::string b = make("b/tool", 0755);
  ASSERT_EQ(chdir((dir_ + "/here").c_str()), 0);
  std::string path = ":" + dir_ + "/b";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), "tool");
  path = dir_ + "/b::";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), b);
  path = dir_ + "/none:";
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", path.c_str()), "tool");
}

TEST_F(Command, NoPathSearchesCurrentDirectoryThenDefault) {
  make("here/sh", 0755);
  ASSERT_EQ(chdir((dir_ + "/here").c_str()), 0);
  EXPECT_EQ(zyg::launcher::resolve_command_path("sh", nullptr), "sh");
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::string found = zyg::launcher::resolve_command_path("sh", nullptr);
  EXPECT_TRUE(found == "/bin/sh" || found == "/usr/bin/sh") << found;
}

TEST_F(Command, LongPathsAreNotCut) {
  std::string rel;
  for (int i = 0; i < 5; ++i) rel += std::string(60, 'd') + std::to_string(i) + "/";
  std::string p = make(rel + "tool", 0755, 1, 2);
  ASSERT_GT(p.size(), 256u);
  std::string parent = p.substr(0, p.rfind('/'));
  EXPECT_EQ(zyg::launcher::resolve_command_path("tool", parent.c_str()), p);
  EXPECT_EQ(zyg::launcher::check_command(p), CommandVerdict::k32Bit);
}

TEST_F(Command, Verdicts) {
  EXPECT_EQ(zyg::launcher::check_command(""), CommandVerdict::kOk);
  EXPECT_EQ(zyg::launcher::check_command(make("e32", 0755, 1, 2)), CommandVerdict::k32Bit);
  EXPECT_EQ(zyg::launcher::check_command(make("d32", 0755, 1, 3)), CommandVerdict::kOk);
  EXPECT_EQ(zyg::launcher::check_command(make("e64", 0755, 2, 2)), CommandVerdict::kOk);
  if (geteuid() == 0) {
    std::string s = make("suid", 0755, 2, 2);
    ASSERT_EQ(chown(s.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(s.c_str(), 04755), 0);
    EXPECT_EQ(zyg::launcher::check_command(s), CommandVerdict::kSetId);
    // set-ID is checked first, whatever the class
    std::string s32 = make("suid32", 0755, 1, 2);
    ASSERT_EQ(chown(s32.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(s32.c_str(), 04755), 0);
    EXPECT_EQ(zyg::launcher::check_command(s32), CommandVerdict::kSetId);
  }
}

}  // namespace
