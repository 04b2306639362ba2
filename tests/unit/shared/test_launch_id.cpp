// A launch's identity: its text in the environment, its tags, and the birth
// of its data file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "shared/launch_id.h"

namespace {

using zyg::launch_id;

TEST(LaunchTag, IsSipHash24) {
  // The reference vector: key 00..0f, message 00..0e.
  launch_id id = {0, {0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull}};
  unsigned char msg[15];
  for (int i = 0; i < 15; i++) msg[i] = (unsigned char)i;
  EXPECT_EQ(0xa129ca6149be45e5ull, zyg::launch_tag(id, msg, sizeof msg));
  // Parts are their bytes joined.
  const zyg::tag_part parts[3] = {{msg, 3}, {msg + 3, 9}, {msg + 12, 3}};
  EXPECT_EQ(0xa129ca6149be45e5ull, zyg::launch_tag_parts(id, parts, 3));
}

TEST(LaunchId, TextRoundTripsAndRefusesAnythingElse) {
  launch_id id;
  zyg::launch_id_make(&id, 1000);
  char text[zyg::kLaunchIdText];
  EXPECT_EQ(4u + 1 + 32, zyg::launch_id_format(id, text, sizeof text));
  launch_id back;
  ASSERT_TRUE(zyg::launch_id_parse(text, &back));
  EXPECT_EQ(1000u, back.uid);
  EXPECT_EQ(id.key[0], back.key[0]);
  EXPECT_EQ(id.key[1], back.key[1]);
  launch_id other;
  zyg::launch_id_make(&other, 1000);
  EXPECT_FALSE(other.key[0] == id.key[0] && other.key[1] == id.key[1]) << "keys are random";
  const std::string good = "0-0123456789abcdef0123456789abcdef";
  EXPECT_TRUE(zyg::launch_id_parse(good.c_str(), &back));
  for (const char* bad :
       {"", "0", "0-", "x-0123456789abcdef0123456789abcdef", "0-0123456789abcdef0123456789abcde",
        "0-0123456789abcdef0123456789abcdef0", "0-0123456789ABCDEF0123456789abcdef",
        "4294967296-0123456789abcdef0123456789abcdef", "0_0123456789abcdef0123456789abcdef"})
    EXPECT_FALSE(zyg::launch_id_parse(bad, &back)) << bad;
  EXPECT_FALSE(zyg::launch_id_parse(nullptr, &back));
}

// The identity tag differs between launches and between first processes.
TEST(LaunchId, IdentityTagBindsKeyUidAndPid) {
  launch_id a = {0, {1, 2}}, b = {0, {1, 3}}, c = {1, {1, 2}};
  EXPECT_NE(zyg::launch_id_tag(a, 100), zyg::launch_id_tag(b, 100));
  EXPECT_NE(zyg::launch_id_tag(a, 100), zyg::launch_id_tag(c, 100));
  EXPECT_NE(zyg::launch_id_tag(a, 100), zyg::launch_id_tag(a, 101));
}

// The first free name for the pid, the mode whatever the umask, an empty
// header that names the pid and carries the identity, and the shared lock.
TEST(LaunchFile, CreatedWhole) {
  launch_id id;
  zyg::launch_id_make(&id, (uint32_t)geteuid());
  const int pid = 2000000000 + (int)(getpid() % 100000);
  const std::string first = "/dev/shm/zyg-nox." + std::to_string(pid);
  unlink(first.c_str());
  unlink((first + ".1").c_str());
  // Someone else's file (a FIFO, say) holds the first name.
  ASSERT_EQ(0, mkfifo(first.c_str(), 0666));
  mode_t old = umask(077);
  char path[65];
  int fd = zyg::launch_file_create(id, pid, 0666, path, sizeof path);
  umask(old);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(first + ".1", path);
  struct stat st;
  ASSERT_EQ(0, fstat(fd, &st));
  EXPECT_EQ(0666u, st.st_mode & 07777);
  EXPECT_EQ((off_t)zyg::kHdrSize, st.st_size);
  int32_t got_pid = 0;
  uint64_t tag = 0;
  EXPECT_EQ(4, pread(fd, &got_pid, 4, zyg::kHdrInitialPidOffset));
  EXPECT_EQ(8, pread(fd, &tag, 8, zyg::kHdrIdTagOffset));
  EXPECT_EQ(pid, got_pid);
  EXPECT_EQ(zyg::launch_id_tag(id, pid), tag);
  EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
  int probe = open(path, O_RDONLY);
  EXPECT_NE(0, flock(probe, LOCK_EX | LOCK_NB)) << "created holding the shared lock";
  EXPECT_EQ(0, zyg::launch_file_lock_shared(probe)) << "which others share";
  close(probe);
  close(fd);
  unlink(path);
  unlink(first.c_str());
}

// A clean-up's probe that took the exclusive lock on a file just made (it
// lets go at once) must not make its maker give up the name: the maker waits
// for the lock, unless the probe removed the file.
TEST(LaunchFile, NewFileWaitsOutAProbesLock) {
  const std::string path = "/dev/shm/zyg-nox-test-new." + std::to_string(getpid());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  int probe = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(0, flock(probe, LOCK_EX | LOCK_NB));
  std::thread lets_go([probe] {
    usleep(20000);
    close(probe);
  });
  EXPECT_EQ(0, zyg::launch_file_lock_new(fd, path.c_str()));
  lets_go.join();
  close(fd);

  fd = open(path.c_str(), O_RDWR);
  probe = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(0, flock(probe, LOCK_EX | LOCK_NB));
  unlink(path.c_str());
  EXPECT_EQ(-EWOULDBLOCK, zyg::launch_file_lock_new(fd, path.c_str()))
      << "a removed name is not waited for";
  close(probe);
  close(fd);
}

TEST(LaunchFile, OpenNeverFollowsNorBlocks) {
  const std::string fifo = "/dev/shm/zyg-nox-test-fifo." + std::to_string(getpid());
  const std::string link = fifo + ".link";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, symlink("/etc/passwd", link.c_str()));
  alarm(10);
  int fd = zyg::launch_file_open(fifo.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << "a FIFO opens at once, to be refused by its type";
  if (fd >= 0) close(fd);
  EXPECT_EQ(-ELOOP, zyg::launch_file_open(link.c_str(), O_RDONLY));
  alarm(0);
  unlink(fifo.c_str());
  unlink(link.c_str());
}

}  // namespace
