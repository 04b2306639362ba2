// Whether other tasks of the process still run: how the library tells the
// last thread's raw exit (which ends the process) from a thread's.
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "placement/create.h"

namespace {

long own_tid() { return syscall(SYS_gettid); }

// A /proc/<pid>/task look-alike: one directory per task holding "stat".
class TaskDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zyg-tasks-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { system(("rm -rf " + dir_).c_str()); }
  void task(const std::string& tid, const std::string& stat) {
    std::string d = dir_ + "/" + tid;
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    FILE* f = fopen((d + "/stat").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(stat.c_str(), f);
    fclose(f);
  }
  std::string dir_;
};

TEST_F(TaskDir, CountsRunningTasksOtherThanSelf) {
  task("100", "100 (app) S 1 100 100 0 -1 4194560 150 0 0 0 0 0 0 0 20 0 2 0\n");
  task("101", "101 (app) R 1 100 100 0 -1 4194368 150 0 0 0 0 0 0 0 20 0 2 0\n");
  EXPECT_EQ(zyg::other_running_tasks(dir_.c_str(), 100), 1);
  EXPECT_EQ(zyg::other_running_tasks(dir_.c_str(), 101), 1);
  EXPECT_EQ(zyg::other_running_tasks(dir_.c_str(), 7), 2);
}

TEST_F(TaskDir, ExitingAndDeadTasksDoNotCount) {
  task("100", "100 (app) S 1 100 100 0 -1 4194560 150 0 0 0 0 0 0 0 20 0 2 0\n");
  // PF_EXITING (0x4) set: 4194564 = 0x400104.
  task("101", "101 (app) R 1 100 100 0 -1 4194564 150 0 0 0 0 0 0 0 20 0 2 0\n");
  task("102", "102 (app) Z 1 100 100 0 -1 4194368 150 0 0 0 0 0 0 0 20 0 2 0\n");
  task("103", "103 (app) X 1 100 100 0 -1 4194368 150 0 0 0 0 0 0 0 20 0 2 0\n");
  EXPECT_EQ(zyg::other_running_tasks(dir_.c_str(), 100), 0);
}

TEST_F(TaskDir, CommWithSpacesAndParentheses) {
  task("100", "100 (a) b (c) S 1 100 100 0 -1 4194564 150 0 0 0 0 0 0 0 20 0 2 0\n");
  task("101", "101 (x) R 1 1) R 1 100 100 0 -1 64 150 0 0 0 0 0 0 0 20 0 2 0\n");
  EXPECT_EQ(zyg::other_running_tasks(dir_.c_str(), 1), 1);
}

TEST(OtherRunningTasks, MissingDirectory) {
  EXPECT_EQ(zyg::other_running_tasks("/nonexistent/zyg/task", 1), -1);
}

void* park(void* arg) {
  int* fds = static_cast<int*>(arg);
  char c;
  while (read(fds[0], &c, 1) < 0) {
  }
  return nullptr;
}

void* quick(void*) { return nullptr; }

TEST(OtherRunningTasks, ThisProcess) {
  int base = zyg::other_running_tasks("/proc/self/task", own_tid());
  ASSERT_GE(base, 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, park, fds), 0);
  EXPECT_EQ(zyg::other_running_tasks("/proc/self/task", own_tid()), base + 1);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  pthread_join(t, nullptr);
  close(fds[0]);
  close(fds[1]);
  // A thread that has just been joined may still be listed, but exiting.
  for (int i = 0; i < 50; i++) {
    pthread_t q;
    ASSERT_EQ(pthread_create(&q, nullptr, quick, nullptr), 0);
    pthread_join(q, nullptr);
    ASSERT_EQ(zyg::other_running_tasks("/proc/self/task", own_tid()), base) << "round " << i;
  }
}

}  // namespace
