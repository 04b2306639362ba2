// Removal of stale launch data files in a private directory: a file is over
// only when nobody holds its lock and fuser sees nobody using it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
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

  std::string make(const std::string& name, size_t size) {
    std::vector<char> data(size, 0);
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return path;
  }

  // A program of the launch: an open descriptor with the shared lock.
  static int hold(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(0, flock(fd, LOCK_SH | LOCK_NB));
    return fd;
  }

  static bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

  std::string dir_;
};

// Over only when the exclusive lock can be had; a FIFO, a link or a
// directory under the name is never anyone's to remove, and never blocks.
TEST_F(Cleanup, ProbeTellsOverFromInUse) {
  using zyg::launcher::Probe;
  using zyg::launcher::probe_data_file;
  std::string file = make("zyg-nox.1", 2048);
  EXPECT_EQ(Probe::kOver, probe_data_file(file.c_str(), nullptr));
  int fd = hold(file);
  EXPECT_EQ(Probe::kInUse, probe_data_file(file.c_str(), nullptr));
  close(fd);
  EXPECT_EQ(Probe::kOver, probe_data_file(file.c_str(), nullptr)) << "the probe took no lock";
  std::string fifo = dir_ + "/zyg-nox.2";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  alarm(10);
  EXPECT_EQ(Probe::kUnknown, probe_data_file(fifo.c_str(), nullptr));
  alarm(0);
  std::string link = dir_ + "/zyg-nox.3";
  ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
  EXPECT_EQ(Probe::kUnknown, probe_data_file(link.c_str(), nullptr));
  EXPECT_EQ(Probe::kUnknown, probe_data_file(dir_.c_str(), nullptr));
  EXPECT_EQ(Probe::kUnknown, probe_data_file((dir_ + "/missing").c_str(), nullptr));
}

// The background clean-up is only started when there is something it may
// remove: a data file of ours whose launch is over.
TEST_F(Cleanup, StaleCandidates) {
  EXPECT_FALSE(zyg::launcher::stale_candidate_in(dir_.c_str())) << "empty";
  make("other-file", 128);
  make("zyg-nox.x", 128);
  int fd = hold(make("zyg-nox.7", 128));
  EXPECT_FALSE(zyg::launcher::stale_candidate_in(dir_.c_str())) << "only live launches";
  make("zyg-nox.8.1", 128);
  EXPECT_TRUE(zyg::launcher::stale_candidate_in(dir_.c_str()));
  EXPECT_FALSE(zyg::launcher::stale_candidate_in((dir_ + "/missing").c_str()));
  close(fd);
}

TEST_F(Cleanup, LockAndFuserDecide) {
  if (zyg::launcher::find_fuser() == nullptr) GTEST_SKIP() << "fuser not installed";
  std::string stale = make("zyg-nox.1", 128);
  std::string suffixed = make("zyg-nox.5.2", 128);
  std::string not_ours = make("zyg-noxfoo", 10);
  std::string locked = make("zyg-nox.3", 128);
  std::string held = make("zyg-nox.2", 128);  // open, unlocked: fuser sees it
  std::string other = make("other", 128);
  std::string near = make("zyg-no.4", 128);
  int lock_fd = hold(locked);
  int fd = open(held.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(stale));
  EXPECT_FALSE(exists(suffixed));
  EXPECT_TRUE(exists(not_ours)) << "not a data file's name: another program's file";
  EXPECT_TRUE(exists(locked));
  EXPECT_TRUE(exists(held));
  EXPECT_TRUE(exists(other));
  EXPECT_TRUE(exists(near));
  close(fd);
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(held));
  EXPECT_TRUE(exists(locked));
  close(lock_fd);
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(locked));
}

// A job's key file outlives its data files for a while: a rank that starts
// late must find the job's identity and keep the job's log.
TEST_F(Cleanup, JobKeyFileKeptWhileARankMayStillStart) {
  const std::string key = make("zyg-nox.job-0123456789abcdef.key", 48);
  const std::string other_key = make("zyg-nox.job-00000000000000ff.key", 48);
  const int data_fd = hold(make("zyg-nox.job-00000000000000ff.0badcafe", 128));
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_TRUE(exists(key)) << "a rank started a moment ago";
  struct timespec old[2] = {{time(nullptr) - zyg::launcher::kJobKeyKeepSec - 1, 0},
                            {time(nullptr) - zyg::launcher::kJobKeyKeepSec - 1, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, key.c_str(), old, 0));
  ASSERT_EQ(0, utimensat(AT_FDCWD, other_key.c_str(), old, 0));
  zyg::launcher::remove_stale_data_files_in(dir_.c_str());
  EXPECT_FALSE(exists(key));
  EXPECT_TRUE(exists(other_key)) << "its job has a live data file";
  close(data_fd);
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
