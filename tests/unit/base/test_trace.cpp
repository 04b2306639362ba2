// The debug trace of the debug build: opening the tree's debug file, the
// record layout, the reopen after the application closed our descriptor,
// and the refusals. Linked with the debug build's objects (ZYG_DEBUG=1).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/env.h"
#include "base/sys.h"
#include "base/trace.h"
#include "report_capture.h"

using zyg_test::read_file;
using zyg_test::split_lines;
using zyg_test::StderrCapture;
using zyg_test::TempDir;
using zyg_test::write_file;

static_assert(ZYG_DEBUG == 1, "test_debug is built against the debug objects");

namespace {

constexpr const char kVar[] = "ZYG_LAUNCH_DEBUG_FILE";
const std::string kFullPath =
    "Error: debug file must be specfied with a full path beginning with /\n";

std::string prefix() {
  return "*** tid " + std::to_string((int)zyg::sys_gettid()) + " pid " +
         std::to_string(getpid()) + " : ";
}

std::string start_marker() {
  return "\n" + prefix() + "INIT : launch_init for exec'd pid " + std::to_string(getpid()) + "\n";
}

class DebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zyg::debug_reset_for_test();
    unsetenv(kVar);
  }
  void TearDown() override {
    zyg::debug_reset_for_test();
    unsetenv(kVar);
  }
  void init(const std::string& value, bool first) {
    setenv(kVar, value.c_str(), 1);
    zyg::debug_init(zyg::env_lookup(kVar), first);
  }
  TempDir dir;
};

TEST_F(DebugTest, FirstProcessStartsTheFileOverWithAMarker) {
  std::string path = dir.file("t");
  write_file(path, "left from an earlier launch\n");
  chmod(path.c_str(), 0600);
  init(path, true);
  EXPECT_EQ(start_marker(), read_file(path));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 07777);
  EXPECT_EQ(path, zyg::debug_file_path());
  // Away from the descriptors a program expects back from its own opens.
  EXPECT_GE(zyg::debug_file_fd(), 3);
  EXPECT_NE(0, fcntl(zyg::debug_file_fd(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(DebugTest, LaterImagesAppend) {
  std::string path = dir.file("t");
  write_file(path, "earlier\n");
  init(path, false);
  EXPECT_EQ("earlier\n" + start_marker(), read_file(path));
}

TEST_F(DebugTest, LeadingBlanksAreNotPartOfThePath) {
  std::string path = dir.file("t");
  init("  \t" + path, true);
  EXPECT_EQ(path, zyg::debug_file_path());
  EXPECT_EQ(start_marker(), read_file(path));
}

TEST_F(DebugTest, RecordsArePrefixedAndWhole) {
  std::string path = dir.file("t");
  init(path, true);
  zyg::debug_printf("value %d and %s\n", 42, "text");
  zyg::debug_printf("log #: %d, cmd: %s", 7, "prog");
  zyg::debug_raw("\n");
  std::string want = start_marker() + prefix() + "value 42 and text\n" + prefix() +
                     "log #: 7, cmd: prog" + "\n";
  EXPECT_EQ(want, read_file(path));
}

TEST_F(DebugTest, LongMessageIsCutAt255Bytes) {
  std::string path = dir.file("t");
  init(path, true);
  std::string before = read_file(path);
  std::string longtext(400, 'x');
  zyg::debug_printf("%s\n", longtext.c_str());
  std::string rec = read_file(path).substr(before.size());
  EXPECT_EQ(255u, rec.size());
  EXPECT_EQ(prefix() + std::string(255 - prefix().size(), 'x'), rec);
}

TEST_F(DebugTest, ErrnoIsKept) {
  init(dir.file("t"), true);
  errno = EDOM;
  zyg::debug_printf("x\n");
  zyg::debug_raw("\n");
  zyg::debug_sync();
  EXPECT_EQ(EDOM, errno);
}

TEST_F(DebugTest, ClosedDescriptorIsReopenedAndTheRecordWritten) {
  std::string path = dir.file("t");
  init(path, true);
  close(zyg::debug_file_fd());
  zyg::debug_printf("after the close\n");
  EXPECT_GE(zyg::debug_file_fd(), 0);
  EXPECT_EQ(start_marker() + prefix() + "after the close\n", read_file(path));
}

TEST_F(DebugTest, DescriptorReusedByTheApplicationIsNotWritten) {
  std::string path = dir.file("t");
  std::string app = dir.file("app");
  init(path, true);
  int ours = zyg::debug_file_fd();
  close(ours);
  // The application's next open lands on our old number.
  int fd = open(app.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  if (fd != ours) {
    ASSERT_EQ(ours, dup2(fd, ours));
    close(fd);
  }
  zyg::debug_printf("after the reuse\n");
  EXPECT_EQ("", read_file(app)) << "the application's file stays untouched";
  EXPECT_EQ(start_marker() + prefix() + "after the reuse\n", read_file(path));
  EXPECT_NE(ours, zyg::debug_file_fd());
  close(ours);
}

TEST_F(DebugTest, FailedReopenEndsTracingWithoutStopping) {
  std::string path = dir.file("t");
  init(path, true);
  close(zyg::debug_file_fd());
  // Something else now stands at the path: a symbolic link is never followed.
  unlink(path.c_str());
  std::string other = dir.file("other");
  write_file(other, "");
  ASSERT_EQ(0, symlink(other.c_str(), path.c_str()));
  {
    StderrCapture err;
    zyg::debug_printf("dropped\n");
    zyg::debug_printf("also dropped\n");
    err.restore();
    EXPECT_EQ("Failed to open debug file (disabling debug for this process tree) " + path +
                  " : Too many levels of symbolic links\n",
              err.text());
  }
  EXPECT_EQ(-1, zyg::debug_file_fd());
  EXPECT_EQ("", read_file(other));
}

TEST_F(DebugTest, SymbolicLinkIsRefusedAndItsTargetLeftAlone) {
  std::string target = dir.file("target");
  write_file(target, "keep\n");
  chmod(target.c_str(), 0600);
  std::string path = dir.file("t");
  ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
  StderrCapture err;
  init(path, true);
  err.restore();
  std::string why = " : Too many levels of symbolic links\n";
  EXPECT_EQ("Failed to create debug file (continuing without debug) " + path + why +
                "Failed to open debug file (disabling debug for this process tree) " + path + why,
            err.text());
  EXPECT_EQ(-1, zyg::debug_file_fd());
  EXPECT_EQ("keep\n", read_file(target));
  struct stat st;
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  zyg::debug_printf("nothing\n");  // tracing is off: no write, no report
  EXPECT_EQ("keep\n", read_file(target));
}

TEST_F(DebugTest, ExecdImageWithoutTheFileRunsUntraced) {
  std::string path = dir.file("missing");
  StderrCapture err;
  init(path, false);
  err.restore();
  EXPECT_EQ("Failed to open debug file (disabling debug for this process tree) " + path +
                " : No such file or directory\n",
            err.text());
  EXPECT_EQ(-1, zyg::debug_file_fd());
  EXPECT_EQ(path, zyg::debug_file_path());
}

using DebugDeathTest = DebugTest;

TEST_F(DebugDeathTest, NameMustBeAFullPath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* value : {"", "   ", "dbg.txt", "./dbg.txt", " x/y"}) {
    SCOPED_TRACE(value);
    EXPECT_EXIT(init(value, true), ::testing::ExitedWithCode(1), ::testing::Eq(kFullPath));
  }
  unsetenv(kVar);
  EXPECT_EXIT(zyg::debug_init(zyg::env_lookup(kVar), true), ::testing::ExitedWithCode(1), ::testing::Eq(kFullPath));
  EXPECT_EQ(69u, kFullPath.size());
}

TEST_F(DebugDeathTest, OtherWriteFailureTerminates) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        init("/dev/full", false);
        zyg::debug_printf("never\n");
      },
      ::testing::ExitedWithCode(1),
      ::testing::Eq("ERROR: can't write to debug file /dev/full : No space left on device\n"));
}

}  // namespace
