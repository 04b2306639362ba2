// Error reports: their layout on standard error, the error file, and the end
// of the process on a fatal report.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/env.h"
#include "report/error_file.h"
#include "core/ldata.h"
#include "core/state.h"
#include "base/terminate.h"
#include "report/report.h"
#include "report_capture.h"

using zyg_test::read_file;
using zyg_test::StderrCapture;
using zyg_test::TempDir;

namespace {

constexpr const char kVar[] = "ZYG_LAUNCH_ERROR_FILE";

std::string header_line(const char* label, const char* state) {
  return std::string("zyg-nox ") + label + ": PID " + std::to_string(getpid()) + " (" +
         zyg_test::own_command() + ") is " + state + "...\n";
}

// error_file_init reads the variable through the library's environment
// lookup; while start-up is not built yet that lookup finds nothing.
bool env_lookup_works() {
  setenv("ZYG_TEST_PROBE", "1", 1);
  const char* v = zyg::env_lookup("ZYG_TEST_PROBE");
  unsetenv("ZYG_TEST_PROBE");
  return v != nullptr;
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(kVar);
    zyg::is_initial_process = 0;
    zyg::error_file_init();  // error file off
  }
  void TearDown() override {
    unsetenv(kVar);
    zyg::is_initial_process = 0;
    zyg::error_file_init();
  }
  // Sets up the error file at `value` as the first process or a descendant.
  bool init_error_file(const std::string& value, bool first) {
    if (!env_lookup_works()) return false;
    setenv(kVar, value.c_str(), 1);
    zyg::is_initial_process = first ? 1 : 0;
    zyg::error_file_init();
    return true;
  }
};

#define REQUIRE_ENV_LOOKUP(call) \
  if (!(call)) GTEST_SKIP() << "env_lookup not available in this build"

TEST_F(ReportTest, StandardErrorLayoutBySeverity) {
  StderrCapture cap;
  errno = 42;
  zyg::report_warning("open(/x) failed", 13, zyg::RC_STAT);
  EXPECT_EQ(errno, 42) << "a report leaves errno as it found it";
  zyg::report_recovering("Try using the -w command line option", zyg::RC_TRY_W);
  zyg::report_warning("no error number", 0, zyg::RC_MEMFREE);
  cap.restore();
  EXPECT_EQ(cap.text(), header_line("warning", "") +
                            "zyg-nox warning: open(/x) failed\n"
                            "zyg-nox warning: Permission denied\n"
                            "zyg-nox warning: Try using the -w command line option\n" +
                            header_line("warning", "") + "zyg-nox warning: no error number\n");
}

TEST_F(ReportTest, DisableReportsCarryTheErrorTextInTheirMessage) {
  StderrCapture cap;
  zyg::report_disable("Can't stat the data file", ENOENT, zyg::RC_STAT, 777);
  zyg::report_disable_cmd("Can't exec", EACCES, zyg::RC_EXEC, 778, "/bin/app -x");
  cap.restore();
  EXPECT_EQ(cap.text(),
            header_line("warning", "disabling launch") +
                "zyg-nox warning: \n"
                "zyg-nox warning: Can't stat the data file: No such file or directory\n"
                "zyg-nox warning:     Launch policies will be disabled for PID: 777\n"
                "zyg-nox warning:     and all of its children.\n"
                "zyg-nox warning:     Resetting initial launch nodes if possible.\n" +
                header_line("warning", "disabling launch") +
                "zyg-nox warning: \n"
                "zyg-nox warning: Can't exec: Permission denied\n"
                "zyg-nox warning:     Launch policies will be disabled for\n"
                "zyg-nox warning:         PID: 778   cmd: /bin/app -x\n"
                "zyg-nox warning:     and all of its children.\n"
                "zyg-nox warning:     Resetting initial launch nodes if possible.\n");
}

TEST_F(ReportTest, MessageIsWrittenWholeBeyondTheLineLimit) {
  std::string msg(700, 'm');
  msg += "END";
  StderrCapture cap;
  zyg::report_warning(msg.c_str(), 0, zyg::RC_BIND_NODE);
  zyg::report_recovering(msg.c_str(), zyg::RC_BIND_NODE);
  cap.restore();
  std::string out = cap.text();
  EXPECT_EQ(out, header_line("warning", "") + "zyg-nox warning: " + msg + "\n" +
                     "zyg-nox warning: " + msg + "\n");
}

TEST_F(ReportTest, ErrorFileHoldsReportsWithoutProgramNameOnTheirFirstLine) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  REQUIRE_ENV_LOOKUP(init_error_file(path, true));
  EXPECT_STREQ(zyg::error_file_path(), path.c_str());
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "created by the first report only";
  {
    StderrCapture cap;
    zyg::report_warning("open(/x) failed", 13, zyg::RC_STAT);
    zyg::report_recovering("short one", zyg::RC_LOG);
    zyg::report_disable("Can't stat the data file", ENOENT, zyg::RC_STAT, 777);
  }
  std::string head = header_line("warning", "").substr(strlen("zyg-nox "));
  std::string head3 = header_line("warning", "disabling launch").substr(strlen("zyg-nox "));
  EXPECT_EQ(read_file(path), head +
                                 "zyg-nox warning: open(/x) failed\n"
                                 "zyg-nox warning: Permission denied\n"
                                 "\n"
                                 "zyg-nox warning: short one\n" +
                                 head3 +
                                 "zyg-nox warning: \n"
                                 "zyg-nox warning: Can't stat the data file: No such file or "
                                 "directory\n"
                                 "zyg-nox warning:     Launch policies will be disabled for PID: "
                                 "777\n"
                                 "zyg-nox warning:     and all of its children.\n"
                                 "zyg-nox warning:     Resetting initial launch nodes if "
                                 "possible.\n"
                                 "\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u) << "no launch data mapped, no -w: 0664 despite the umask";
}

// Before the launch data is mapped the first process still has the
// launcher's variables: write-by-other only when -w was given.
class ErrorFileModeBeforeAttach : public ReportTest,
                                  public ::testing::WithParamInterface<bool> {};

TEST_P(ErrorFileModeBeforeAttach, IsOtherWritableOnlyWithW) {
  const bool other_write = GetParam();
  if (other_write) setenv("ZYG_LAUNCH_OTHER_WRITE", "", 1);
  TempDir dir;
  std::string path = dir.file("err.txt");
  bool ok = init_error_file(path, true);
  mode_t old_mask = umask(077);
  {
    StderrCapture cap;
    zyg::report_recovering("x", zyg::RC_LOG);
  }
  umask(old_mask);
  unsetenv("ZYG_LAUNCH_OTHER_WRITE");
  REQUIRE_ENV_LOOKUP(ok);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, other_write ? 0666u : 0664u);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutW, ErrorFileModeBeforeAttach, ::testing::Bool());

// A symbolic link planted at the error file's path: nothing is written
// through it and the target's mode stays as it was.
TEST_F(ReportTest, SymbolicLinkAtTheErrorFilePathIsNeverFollowed) {
  TempDir dir;
  std::string target = dir.file("victim");
  zyg_test::write_file(target, "precious\n");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  std::string path = dir.file("err.txt");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  StderrCapture cap;
  zyg::report_warning("open(/x) failed", 13, zyg::RC_STAT);
  cap.restore();
  EXPECT_EQ(read_file(target), "precious\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(cap.text().find("zyg-nox error: Can't open error file: " + path + "\n"),
            std::string::npos)
      << cap.text();
}

// An error file that another process of the tree (or the user) made keeps
// its owner's mode: we only append.
TEST_F(ReportTest, ExistingErrorFileKeepsItsMode) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  zyg_test::write_file(path, "");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  {
    StderrCapture cap;
    zyg::report_recovering("appended", zyg::RC_LOG);
  }
  EXPECT_EQ(read_file(path), "zyg-nox warning: appended\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A FIFO at the path would block the open (or feed a reader): refused.
TEST_F(ReportTest, FifoAtTheErrorFilePathIsRefusedWithoutBlocking) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);  // a blocked open ends the child by SIGALRM
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    zyg::report_recovering("x", zyg::RC_LOG);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Eight processes reporting at once: every report reaches the file whole,
// never interleaved line by line with another one.
TEST_F(ReportTest, ConcurrentReportsOfEightProcessesStayWhole) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  constexpr int kProcs = 8;
  constexpr int kReports = 150;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; p++) {
    pid_t pid = fork();
    if (pid == 0) {
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 2);
      for (int i = 0; i < kReports; i++) zyg::report_warning("stay whole", EACCES, zyg::RC_STAT);
      _exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  std::vector<std::string> lines = zyg_test::split_lines(read_file(path));
  ASSERT_EQ(lines.size(), (size_t)(kProcs * kReports * 4));
  for (size_t i = 0; i + 3 < lines.size(); i += 4) {
    ASSERT_EQ(lines[i].rfind("warning: PID ", 0), 0u) << "line " << i << ": " << lines[i];
    ASSERT_EQ(lines[i + 1], "zyg-nox warning: stay whole") << "line " << i + 1;
    ASSERT_EQ(lines[i + 2], "zyg-nox warning: Permission denied") << "line " << i + 2;
    ASSERT_EQ(lines[i + 3], "") << "line " << i + 3;
  }
}

TEST_F(ReportTest, ErrorFileModeComesFromTheLaunchData) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  REQUIRE_ENV_LOOKUP(init_error_file(path, true));
  void* mem = calloc(1, zyg::ldata_file_size(1));
  zyg::ldata_hdr* saved = zyg::ld.hdr;
  zyg::ld.hdr = static_cast<zyg::ldata_hdr*>(mem);
  zyg::ld.hdr->file_mode = 0640;
  {
    StderrCapture cap;
    zyg::report_recovering("x", zyg::RC_LOG);
  }
  zyg::ld.hdr = saved;
  free(mem);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ReportTest, RelativeErrorFileIsMadeAbsoluteAndExported) {
  TempDir dir;
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  bool ok = init_error_file("  sub/err.txt", true);
  ASSERT_EQ(chdir(old_cwd), 0);
  REQUIRE_ENV_LOOKUP(ok);
  std::string expect = dir.path() + "/sub/err.txt";
  EXPECT_EQ(std::string(zyg::error_file_path()), expect);
  ASSERT_NE(getenv(kVar), nullptr);
  EXPECT_EQ(std::string(getenv(kVar)), expect) << "descendants elsewhere find the same file";
}

TEST_F(ReportTest, LeadingBlanksBeforeAnAbsolutePathAreSkipped) {
  TempDir dir;
  std::string path = dir.file("e");
  REQUIRE_ENV_LOOKUP(init_error_file("  " + path, false));
  EXPECT_EQ(std::string(zyg::error_file_path()), path);
}

TEST_F(ReportTest, OnlyTheFirstProcessDeletesAnOldErrorFile) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  zyg_test::write_file(path, "old launch\n");
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  EXPECT_EQ(read_file(path), "old launch\n") << "a descendant appends";
  ASSERT_TRUE(init_error_file(path, true));
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "a new launch starts a fresh file";
}

TEST_F(ReportTest, TooLongErrorFileInADescendantTurnsTheFileOff) {
  std::string value = "/tmp/" + std::string(260, 'x');
  StderrCapture cap;
  bool ok = init_error_file(value, false);
  cap.restore();
  REQUIRE_ENV_LOOKUP(ok);
  EXPECT_NE(cap.text().find("zyg-nox warning: Error file length of 265 is too large. Error file "
                            "reporting disabled for pid " +
                            std::to_string(getpid()) + "\n"),
            std::string::npos)
      << cap.text();
  EXPECT_EQ(getenv(kVar), nullptr) << "not passed on to children";
  EXPECT_STREQ(zyg::error_file_path(), "");
}

TEST_F(ReportTest, UnopenableErrorFileIsReportedOnceThenIgnored) {
  TempDir dir;
  std::string path = dir.file("missing-dir/err.txt");
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  StderrCapture cap;
  zyg::report_recovering("first", zyg::RC_LOG);
  zyg::report_recovering("second", zyg::RC_LOG);
  cap.restore();
  EXPECT_EQ(cap.text(), "zyg-nox warning: first\n"
                        "zyg-nox error: Can't open error file: " +
                            path +
                            "\n"
                            "zyg-nox warning: second\n");
}

TEST_F(ReportTest, ErrorFileDescriptorReusedByTheApplicationIsNotWritten) {
  TempDir dir;
  std::string path = dir.file("err.txt");
  REQUIRE_ENV_LOOKUP(init_error_file(path, false));
  StderrCapture cap;
  zyg::report_recovering("one", zyg::RC_LOG);
  int fd = zyg_test::fd_open_on(path);
  ASSERT_GE(fd, 0);
  // The application closes it and opens its own file under the same number.
  close(fd);
  std::string app = dir.file("app.dat");
  int app_fd = open(app.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(app_fd, 0);
  if (app_fd != fd) {
    ASSERT_EQ(dup2(app_fd, fd), fd);
    close(app_fd);
  }
  zyg::report_recovering("two", zyg::RC_LOG);
  cap.restore();
  close(fd);
  EXPECT_EQ(read_file(app), "");
  EXPECT_EQ(read_file(path), "zyg-nox warning: one\nzyg-nox warning: two\n");
}

// Runs `body` in a forked child with descriptor 2 on `err_path`; returns the
// wait status.
template <typename F>
int in_child(const std::string& err_path, F body) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    body();
    _exit(99);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

int hook_pipe = -1;
void test_exit_hook(int status) {
  char c = (char)('0' + status);
  if (write(hook_pipe, &c, 1) < 0) {
  }
  _exit(40 + status);
}
void returning_exit_hook(int) {}

TEST_F(ReportTest, FatalReportEndsTheProcessThroughTheExitHook) {
  TempDir dir;
  std::string out = dir.file("stderr");
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int status = in_child(out, [&] {
    hook_pipe = p[1];
    zyg::set_exit_hook(test_exit_hook);
    zyg::report_fatal("Can't open it", ENOENT);
  });
  close(p[1]);
  char c = 0;
  ASSERT_EQ(read(p[0], &c, 1), 1);
  close(p[0]);
  EXPECT_EQ(c, '1') << "the hook gets exit status 1";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 41);
  std::string text = read_file(out);
  EXPECT_NE(text.find(") is terminating...\nzyg-nox error: Can't open it\n"
                      "zyg-nox error: No such file or directory\n"),
            std::string::npos)
      << text;
}

TEST_F(ReportTest, FatalReportEndsWithStatusOneWithoutOrDespiteAHook) {
  TempDir dir;
  std::string out = dir.file("stderr");
  int status = in_child(out, [] {
    zyg::set_exit_hook(nullptr);
    zyg::report_fatal_text("plain");
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(read_file(out).find("zyg-nox error: plain\n"), std::string::npos);

  status = in_child(out, [] {
    zyg::set_exit_hook(returning_exit_hook);
    zyg::report_fatal_code("coded", 0, zyg::RC_MAP);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
