// Removal of stale launch data files in a private directory: fuser decides,
// except that a file naming a live first process is always kept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cleanup.h"

namespace {

class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-clean-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string make(const std::string& name, size_t size, int32_t initial_pid = 0) {
    std::vector<char> data(size, 0);
    if (size >= 84) memcpy(data.data() + zyg::launcher::kInitialPidOffset, &initial_pid, 4);
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return path;
  }

  static bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

  static pid_t dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    int st;
    waitpid(pid, &st, 0);
    return pid;
  }

  std::string dir_;
};

TEST_F(Cleanup, InitialProcessAlive) {
  EXPECT_TRUE(zyg::launcher::initial_process_alive(make("self", 128, getpid()).c_str()));
  EXPECT_TRUE(zyg::launcher::initial_process_alive(make("init", 128, 1).c_str()));
  EXPECT_FALSE(zyg::launcher::initial_process_alive(make("dead", 128, dead_pid()).c_str()));
  EXPECT_FALSE(zyg::launcher::initial_process_alive(make("zero", 128, 0).c_str()));
  EXPECT_FALSE(zyg::launcher::initial_process_alive(make("neg", 128, -1).c_str()));
  EXPECT_FALSE(zyg::launcher::initial_process_alive(make("short", 83).c_str()));
  EXPECT_TRUE(zyg::launcher::initial_process_alive(make("exact", 84, getpid()).c_str()));
  EXPECT_FALSE(zyg::launcher::initial_process_alive((dir_ + "/missing").c_str()));
}

// The background clean-up is only started when there is something it may
// remove: a file of ours whose first process is gone.
TEST_F(Cleanup, StaleCandidates) {
  EXPECT_FALSE(zyg::launcher::stale_candidate_in(dir_.c_str())) << "empty";
  make("other-file", 128, dead_pid());
  make("zyg-nox.live", 128, getpid());
  EXPECT_FALSE(zyg::launcher::stale_candidate_in(dir_.c_str())) << "only live launches";
  make("zyg-nox.old", 128, dead_pid());
  EXPECT_TRUE(zyg::launcher::stale_candidate_in(dir_.c_str()));
  EXPECT_FALSE(zyg::launcher::stale_candidate_in((dir_ + "/missing").c_str()));
}

TEST_F(Cleanup, FuserDecides) {
  if (zyg::launcher::find_fuser() == nullptr) GTEST_SKIP() << "fuser not installed";
  std::string stale = make("zyg-nox.1", 128, dead_pid());
  std::string prefix_only = make("zyg-noxfoo", 10);
  std::string held = make("zyg-nox.2", 128);
  std::string alive = make("zyg-nox.3", 128, getpid());
  std::string other = make("other", 128);
  std::string near = make("zyg-no.4", 128);
  int fd = open(held.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(stale));
  EXPECT_FALSE(exists(prefix_only));
  EXPECT_TRUE(exists(held));
  EXPECT_TRUE(exists(alive));
  EXPECT_TRUE(exists(other));
  EXPECT_TRUE(exists(near));
  close(fd);
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(held));
  EXPECT_TRUE(exists(alive));
}

TEST_F(Cleanup, MissingDirectoryIsSilent) {
  zyg::launcher::remove_stale_data_files_in((dir_ + "/missing").c_str());
  SUCCEED();
}

TEST_F(Cleanup, FindFuserMatchesTheFixedPaths) {
  const char* found = zyg::launcher::find_fuser();
  const char* paths[] = {"/usr/bin/fuser", "/usr/sbin/fuser", "/bin/fuser", "/sbin/fuser"};
  const char* first = nullptr;
  for (const char* p : paths) {
    if (access(p, F_OK) == 0) {
      first = p;
      break;
    }
  }
  if (first == nullptr) {
    EXPECT_EQ(found, nullptr);
  } else {
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found, first);
  }
}

}  // namespace
